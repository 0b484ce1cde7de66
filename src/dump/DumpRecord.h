// -dump: one record's unnamed $DATA, straight from the clusters, to a file.
#pragma once

#include <cstdint>
#include <string>

#include "ntfs/VolumeContext.h"

namespace sondrel {

enum class DumpOutcome {
  kWritten,       // the output file holds the value
  kNoRecord,      // no "FILE" signature: no file made, an existing one untouched
  kNoData,        // no unnamed $DATA: no file made, an existing one untouched
  kCreateFailed,  // the output file could not be created
  kWriteFailed,   // the write stopped short
};

struct DumpResult {
  DumpOutcome outcome = DumpOutcome::kNoRecord;
  std::string error;  // the platform's error text for the two failures
  // False when part of the written value could not be read or mapped and was
  // written as zeros, or the value was cut to its allocated size.
  bool complete = true;
};

// Values up to this size go out in one WriteFile; larger ones in pieces of
// this size, so no value, however large its recorded size, is held whole.
inline constexpr std::uint32_t kDumpChunkBytes = 16 * 1024 * 1024;

// Writes record dumpIndex's unnamed $DATA to dumpFileName: exactly its data
// size (the full 64 bits), every piece in VCN order, sparse stretches as
// zeros. The record number is dumpIndex taken as unsigned 32-bit.
DumpResult DumpRecordData(const VolumeContext& volume, std::int32_t dumpIndex,
                          const std::string& dumpFileName);

}  // namespace sondrel

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
  // written as zeros, or a damaged value was cut (see DumpRecordData).
  bool complete = true;
};

// Values up to this size go out in one WriteFile; larger ones in pieces of
// this size, so no value, however large its recorded size, is held whole.
inline constexpr std::uint32_t kDumpChunkBytes = 16 * 1024 * 1024;

// Writes record dumpIndex's unnamed $DATA to dumpFileName: its content as
// the file system gives it, every piece in VCN order, sparse stretches and
// everything past the initialized size as zeros. The record number is
// dumpIndex taken as unsigned 32-bit.
// Damaged values are cut, and the dump then reported incomplete:
// - never more than the data size (the full 64 bits); a data size above the
//   allocated size is cut to it;
// - never past the clusters the runs map, unless a piece named by the
//   attribute list was unusable: its VCNs are written as zeros, but the
//   value no further than the volume's size;
// - never past the first cluster that lies beyond the volume: such clusters
//   are neither read nor written, so a run past the volume's end cannot make
//   the dump grow without bound. Sparse stretches are not on the volume, so a
//   sparse value may still be larger than the volume.
DumpResult DumpRecordData(const VolumeContext& volume, std::int32_t dumpIndex,
                          const std::string& dumpFileName);

}  // namespace sondrel

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
};

DumpResult DumpRecordData(const VolumeContext& volume, std::int32_t dumpIndex,
                          const std::string& dumpFileName);

}  // namespace sondrel

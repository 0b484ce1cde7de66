// -list and -dig: the walk over every in-use MFT record and its report.
#pragma once

#include <cstdint>
#include <cstdio>

#include "cli/RunOptions.h"
#include "ntfs/VolumeContext.h"

namespace sondrel {

// Prints the listing to out and the progress and totals to err. In dig mode
// only the records the directory listing does not show are printed. Returns
// the total counter.
std::uint32_t ScanMft(const VolumeContext& volume, RunMode mode, char driveLetter, std::FILE* out,
                      std::FILE* err);

}  // namespace sondrel

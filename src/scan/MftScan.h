// -list and -dig: the walk over every in-use MFT record and its report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

#include "ntfs/VolumeContext.h"

namespace sondrel {

// -list prints every named record, -dig only the hidden ones.
enum class ScanMode { kList, kDig };

// Prints the listing to out and the progress and totals to err. In dig mode
// only the records the directory listing does not show (less the system
// metadata entries) are printed. Returns the total counter, or nullopt with
// nothing written when the $MFT's own record lacks its unnamed $BITMAP or
// $DATA, without which there is nothing to scan.
std::optional<std::uint32_t> ScanMft(const VolumeContext& volume, ScanMode mode, char driveLetter,
                                     std::FILE* out, std::FILE* err);

// Bit n mod 8 (least significant first) of byte n / 8. A bit beyond the
// bitmap reads as clear: a record the bitmap does not cover is not in use.
bool TestBit(std::span<const std::byte> bitmap, std::uint32_t n);

}  // namespace sondrel

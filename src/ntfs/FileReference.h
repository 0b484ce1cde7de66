// A file reference, as $FILE_NAME's parentReference, a record header's
// baseFileReference and an $ATTRIBUTE_LIST entry's fileReference hold it: the
// record number in the low 48 bits, the sequence number in the high 16.
#pragma once

#include <cstdint>

namespace sondrel {

inline constexpr std::uint64_t kRecordNumberMask = 0x0000FFFFFFFFFFFF;

// The record number a reference names, all 48 bits. The sequence number is
// never checked. Record numbers are 32-bit in the scan and in the path walk,
// so each caller says how it narrows: the attribute list and the extension
// record test keep all 48 bits, and a number above 32 bits names no record
// they can read; a parent reference is taken by its low 32 bits (the upper
// 16 bits of its record number ignored), as the Windows program takes it.
constexpr std::uint64_t RecordNumberOf(std::uint64_t fileReference) {
  return fileReference & kRecordNumberMask;
}

// The parent record of a $FILE_NAME, as the path walk follows it: the low 32
// bits of RecordNumberOf(parentReference).
constexpr std::uint32_t ParentRecordOf(std::uint64_t parentReference) {
  return static_cast<std::uint32_t>(RecordNumberOf(parentReference));
}

}  // namespace sondrel

// Whether a record is an extension record: one that holds further attributes
// of a file whose base record lists it. A record header's baseFileReference
// (0x20) alone is only a claim; any record can set it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ntfs/VolumeContext.h"

namespace sondrel {

// Answers for records met in any order, remembering the last base record
// asked about: the extension records of one file are asked about together.
class ExtensionRecords {
 public:
  explicit ExtensionRecords(const VolumeContext& volume) : volume_(volume) {}

  // True when record recordNumber, whose header names baseFileReference
  // (non-zero), is confirmed by its base: the base record (the reference's
  // record number, all 48 bits) has the "FILE" signature, is no extension
  // itself, and its $ATTRIBUTE_LIST has an entry in recordNumber. A claim on
  // a record that is the claimant itself, lies beyond 32 bits, or has no list
  // or no such entry is not confirmed. Costs at most one record read and one
  // list read (at most kMaxAttributeListBytes) per base record asked about.
  bool IsConfirmed(std::uint32_t recordNumber, std::uint64_t baseFileReference);

 private:
  const VolumeContext& volume_;
  std::optional<std::uint64_t> base_;  // the base record the list below is of
  std::vector<std::uint64_t> named_;   // record numbers its list names, sorted
};

}  // namespace sondrel

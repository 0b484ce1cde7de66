// Data runs (NTFS mapping pairs) of a non-resident attribute: one entry
// decoded, and one VCN mapped. Whole lists are decoded once into a RunMap
// (ntfs/RunMap.h) and read through a DataStream (ntfs/DataStream.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "ntfs/FileRecord.h"

namespace sondrel {

// One decoded entry of a run list.
struct DataRun {
  std::uint64_t length = 0;     // clusters
  std::int64_t lcnDelta = 0;    // 0 when the offset field is absent
  std::uint32_t entrySize = 0;  // 1 + L + O bytes
  // No offset field (O = 0): no clusters lie behind the run. A run whose
  // offset field is present is real even when it lands on LCN 0, as $Boot's
  // does, so it is read rather than zero-filled.
  bool sparse = false;
};

// The entry at position in runs, or nullopt at the end marker (header byte 0)
// or when the entry would reach past the end of runs.
// Damaged fields wider than 8 bytes (a nibble of 9 to 15) keep their first,
// least significant 8 bytes; the rest of the field is passed over, and the
// sign of a wider offset is that of its eighth byte.
std::optional<DataRun> DecodeDataRun(std::span<const std::byte> runs, std::size_t position);

struct VcnMapping {
  std::uint64_t lcn = 0;           // 0 for a sparse run
  std::uint64_t clustersLeft = 0;  // in the run from the VCN on, never 0
  bool sparse = false;             // read as zeros
};
// Nullopt for a VCN outside startVcn..lastVcn, for a resident attribute, and
// for one that no run holds (the list ends early or leaves the attribute).
// clustersLeft never reaches past lastVcn. Decodes the whole list on every
// call: for more than one look-up, build a RunMap once.
std::optional<VcnMapping> MapVcn(const AttributeRecord& attribute, std::uint64_t vcn);

}  // namespace sondrel

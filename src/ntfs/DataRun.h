// Data runs (NTFS mapping pairs) of a non-resident attribute, VCN-to-LCN
// mapping, and reads of whole attribute values.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "ntfs/FileRecord.h"
#include "ntfs/VolumeContext.h"
#include "ntfs/ZeroFill.h"

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
std::optional<DataRun> DecodeDataRun(std::span<const std::byte> runs, std::size_t position);

struct VcnMapping {
  std::uint64_t lcn = 0;           // 0 for a sparse run
  std::uint64_t clustersLeft = 0;  // in the run from the VCN on, never 0
  bool sparse = false;             // read as zeros
};
// Nullopt for a VCN outside startVcn..lastVcn, for a resident attribute, and
// for one that no run holds (the list ends early or leaves the attribute).
// clustersLeft never reaches past lastVcn.
std::optional<VcnMapping> MapVcn(const AttributeRecord& attribute, std::uint64_t vcn);

// What one step of a range read covered: clusters from its VCN on (at least
// one), and whether all of them were mapped and read.
struct VcnStep {
  std::uint64_t clusters = 1;
  bool complete = true;
};

// The walk shared by the range reads: fills the first count * clusterSize
// bytes of dest (no more than dest holds) in steps. step(vcn, clustersLeft,
// rest) fills the head of rest, the part of dest from vcn on, for the
// clusters it reports (1 to clustersLeft; a last partial cluster only as far
// as rest reaches). True when every step was complete.
template <typename Step>
bool WalkVcnRange(std::uint32_t clusterSize, std::uint64_t firstVcn, std::uint32_t count,
                  std::span<std::byte> dest, Step&& step) {
  if (clusterSize == 0) {
    ZeroFill(dest);
    return false;
  }
  const std::uint64_t wanted = std::uint64_t{count} * clusterSize;
  std::span<std::byte> range =
      dest.first(static_cast<std::size_t>(std::min<std::uint64_t>(wanted, dest.size())));
  bool complete = true;
  std::uint64_t vcn = firstVcn;
  std::size_t position = 0;
  while (position < range.size()) {
    const std::size_t bytesLeft = range.size() - position;
    const std::uint64_t clustersLeft = (bytesLeft + clusterSize - 1) / clusterSize;
    const VcnStep done = step(vcn, clustersLeft, range.subspan(position));
    complete &= done.complete;
    vcn += done.clusters;
    position += static_cast<std::size_t>(
        std::min<std::uint64_t>(done.clusters * clusterSize, bytesLeft));
  }
  return complete;
}

// The head of rest that n clusters cover.
inline std::span<std::byte> ClusterHead(std::span<std::byte> rest, std::uint64_t n,
                                        std::uint32_t clusterSize) {
  return rest.first(static_cast<std::size_t>(std::min<std::uint64_t>(
      n * clusterSize, rest.size())));
}

// The largest single platform read that a run piece is given; longer pieces
// are read in several reads of this size.
inline constexpr std::uint32_t kMaxReadBytes = 64 * 1024 * 1024;

// Fills dest with clusters firstVcn .. firstVcn + count - 1: one read per run
// piece, zeros for sparse pieces and for VCNs that cannot be mapped. Never
// writes past dest; a dest shorter than count * ClusterSize gets as much of
// the range as fits. Returns true when every cluster was mapped (or sparse)
// and read in full; the result may be ignored.
bool ReadVcnRange(const VolumeContext& volume, const AttributeRecord& attribute,
                  std::uint64_t firstVcn, std::uint32_t count, std::span<std::byte> dest);

// Copies a resident value or reads a non-resident one from VCN 0 through
// lastVcn into dest, never past its end (the rest of dest is zero-filled).
// Returns ReadVcnRange's outcome, or true for a resident value.
bool ReadAttributeValue(const VolumeContext& volume, const AttributeRecord& attribute,
                        std::span<std::byte> dest);

}  // namespace sondrel

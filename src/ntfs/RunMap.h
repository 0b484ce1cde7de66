// A run list decoded once: the extents that the pieces of one value map,
// sorted by VCN, so that any VCN is looked up in logarithmic time however
// many runs the value has.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ntfs/DataRun.h"
#include "ntfs/FileRecord.h"

namespace sondrel {

// A stretch of VCNs that one run maps, cut to its piece's startVcn..lastVcn.
struct Extent {
  std::uint64_t firstVcn = 0;
  std::uint64_t clusters = 0;  // at least 1
  std::uint64_t lcn = 0;       // of firstVcn; 0 for a sparse run
  bool sparse = false;         // no clusters behind it: reads as zeros
};

// The one walk over a run list. Damaged input, decided here:
// - the LCN is summed in unsigned 64 bits, so a damaged delta wraps it rather
//   than overflowing; the wrapped LCN is used as it comes (its read fails,
//   and a dump stops at the volume's end);
// - a run that would reach past VCN 2^64 - 1 is cut there and ends the list;
// - runs are cut at the piece's lastVcn, and a piece whose lastVcn lies
//   below its startVcn maps nothing;
// - fields wider than 8 bytes are taken as DecodeDataRun says.
// Each entry takes at least one byte of the list and one that maps clusters
// at least two, so a piece in a record of at most 64 KiB gives at most
// 32 Ki extents.
class RunMap {
 public:
  // The extents of one non-resident piece; nothing for a resident one.
  static RunMap OfPiece(const AttributeRecord& piece);

  // Adds a piece's extents. Pieces must come in VCN order with disjoint
  // ranges (as a DataStream holds them); one that starts inside what is
  // already mapped is left out.
  void AddPiece(const AttributeRecord& piece);

  // The mapping of vcn, or nullopt when no extent holds it.
  std::optional<VcnMapping> Map(std::uint64_t vcn) const;
  // The first mapped VCN above vcn, or nullopt when none is.
  std::optional<std::uint64_t> NextMapped(std::uint64_t vcn) const;
  // One past the last mapped VCN (at most 2^64 - 1); 0 when nothing is mapped.
  std::uint64_t End() const;
  // The first VCN whose cluster lies at or past volumeClusters, sparse
  // extents aside; nullopt when every mapped cluster lies on the volume.
  std::optional<std::uint64_t> FirstVcnPast(std::uint64_t volumeClusters) const;

  std::span<const Extent> Extents() const { return extents_; }

 private:
  std::vector<Extent> extents_;  // sorted by firstVcn, disjoint
};

}  // namespace sondrel

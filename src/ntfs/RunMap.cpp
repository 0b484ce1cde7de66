#include "ntfs/RunMap.h"

#include <algorithm>
#include <limits>

namespace sondrel {
namespace {

constexpr std::uint64_t kMaxVcn = std::numeric_limits<std::uint64_t>::max();

// One past an extent's last VCN, at most kMaxVcn.
std::uint64_t EndOf(const Extent& e) {
  const std::uint64_t last = e.firstVcn + (e.clusters - 1);
  return last == kMaxVcn ? kMaxVcn : last + 1;
}

// The first extent that starts above vcn.
template <typename Extents>
auto FirstAbove(const Extents& extents, std::uint64_t vcn) {
  return std::upper_bound(extents.begin(), extents.end(), vcn,
                          [](std::uint64_t v, const Extent& e) { return v < e.firstVcn; });
}

}  // namespace

RunMap RunMap::OfPiece(const AttributeRecord& piece) {
  RunMap map;
  map.AddPiece(piece);
  return map;
}

void RunMap::AddPiece(const AttributeRecord& piece) {
  if (piece.IsResident()) return;
  const AttributeHeader& h = piece.header;
  if (!extents_.empty() && h.startVcn < EndOf(extents_.back())) return;
  const std::span<const std::byte> runs = piece.MappingPairs();
  std::uint64_t lcn = 0;  // unsigned: a damaged delta wraps
  std::uint64_t vcn = h.startVcn;
  std::size_t position = 0;
  while (auto run = DecodeDataRun(runs, position)) {
    position += run->entrySize;
    lcn += static_cast<std::uint64_t>(run->lcnDelta);
    if (run->length == 0) continue;  // maps nothing; its delta still counts
    if (vcn > h.lastVcn) break;
    // Cut at lastVcn, written as a minimum plus one so that nothing wraps.
    const std::uint64_t clusters = std::min(run->length - 1, h.lastVcn - vcn) + 1;
    extents_.push_back(Extent{vcn, clusters, run->sparse ? 0 : lcn, run->sparse});
    if (run->length > kMaxVcn - vcn) break;  // reaches past the last VCN
    vcn += run->length;
  }
}

std::optional<VcnMapping> RunMap::Map(std::uint64_t vcn) const {
  auto next = FirstAbove(extents_, vcn);
  if (next == extents_.begin()) return std::nullopt;
  const Extent& e = *std::prev(next);
  const std::uint64_t offset = vcn - e.firstVcn;
  if (offset >= e.clusters) return std::nullopt;
  return VcnMapping{e.sparse ? 0 : e.lcn + offset, e.clusters - offset, e.sparse};
}

std::optional<std::uint64_t> RunMap::NextMapped(std::uint64_t vcn) const {
  auto next = FirstAbove(extents_, vcn);
  if (next == extents_.end()) return std::nullopt;
  return next->firstVcn;
}

std::uint64_t RunMap::End() const { return extents_.empty() ? 0 : EndOf(extents_.back()); }

std::optional<std::uint64_t> RunMap::FirstVcnPast(std::uint64_t volumeClusters) const {
  for (const Extent& e : extents_) {
    if (e.sparse) continue;
    if (e.lcn >= volumeClusters) return e.firstVcn;
    if (e.clusters > volumeClusters - e.lcn) return e.firstVcn + (volumeClusters - e.lcn);
  }
  return std::nullopt;
}

}  // namespace sondrel

#include "ntfs/DataStream.h"

#include <algorithm>
#include <limits>

#include "ntfs/DataRun.h"
#include "ntfs/VolumeContext.h"
#include "ntfs/ZeroFill.h"

namespace sondrel {

OwnedAttribute OwnedAttribute::CopyOf(const AttributeRecord& attribute) {
  return OwnedAttribute{{attribute.bytes.begin(), attribute.bytes.end()}, attribute.header};
}

std::uint64_t DataStream::ValueSize() const {
  if (pieces.empty()) return 0;
  const AttributeHeader& h = pieces.front().header;
  return h.nonResident == 0 ? h.valueLength : h.dataSize;
}

std::uint64_t DataStream::AllocatedSize() const {
  if (pieces.empty()) return 0;
  const AttributeHeader& h = pieces.front().header;
  return h.nonResident == 0 ? h.valueLength : h.allocatedSize;
}

std::uint64_t DataStream::MappedClusters() const {
  std::uint64_t end = 0;
  for (const OwnedAttribute& piece : pieces) {
    const AttributeRecord attribute = piece.View();
    if (attribute.IsResident()) continue;
    const std::span<const std::byte> runs = attribute.MappingPairs();
    std::uint64_t vcn = piece.header.startVcn;
    std::size_t position = 0;
    // Each entry takes at least one byte of the run list, so the walk ends.
    while (auto run = DecodeDataRun(runs, position)) {
      if (run->length > std::numeric_limits<std::uint64_t>::max() - vcn) {
        vcn = std::numeric_limits<std::uint64_t>::max();
        break;
      }
      vcn += run->length;
      position += run->entrySize;
    }
    // lastVcn + 1, written so that a lastVcn of all ones cannot wrap.
    if (vcn > piece.header.startVcn) {
      end = std::max(end, std::min(vcn - 1, piece.header.lastVcn) + 1);
    }
  }
  return end;
}

bool ReadStreamVcnRange(const VolumeContext& volume, const DataStream& stream,
                        std::uint64_t firstVcn, std::uint32_t count, std::span<std::byte> dest) {
  const std::uint32_t clusterSize = volume.geometry.ClusterSize;
  if (stream.IsResident()) {
    ZeroFill(dest);
    return false;
  }
  auto step = [&](std::uint64_t vcn, std::uint64_t clustersLeft,
                  std::span<std::byte> rest) -> VcnStep {
    // The last piece that starts at or before vcn, and the next one after it.
    auto next = std::upper_bound(
        stream.pieces.begin(), stream.pieces.end(), vcn,
        [](std::uint64_t v, const OwnedAttribute& piece) { return v < piece.header.startVcn; });
    if (next != stream.pieces.begin() && vcn <= std::prev(next)->header.lastVcn) {
      const OwnedAttribute& piece = *std::prev(next);
      // Written as a minimum plus one so a lastVcn of all ones cannot wrap.
      const std::uint64_t n =
          std::min({piece.header.lastVcn - vcn, clustersLeft - 1,
                    std::uint64_t{std::numeric_limits<std::uint32_t>::max() - 1}}) +
          1;
      return {n, ReadVcnRange(volume, piece.View(), vcn, static_cast<std::uint32_t>(n),
                              ClusterHead(rest, n, clusterSize))};
    }
    // No piece maps vcn: zeros up to the next piece, or to the end.
    const std::uint64_t n = next == stream.pieces.end()
                                ? clustersLeft
                                : std::min(next->header.startVcn - vcn, clustersLeft);
    ZeroFill(ClusterHead(rest, n, clusterSize));
    return {n, false};
  };
  return WalkVcnRange(clusterSize, firstVcn, count, dest, step);
}

bool ReadStreamValue(const VolumeContext& volume, const DataStream& stream,
                     std::span<std::byte> dest) {
  if (stream.pieces.empty()) {
    ZeroFill(dest);
    return false;
  }
  if (stream.IsResident()) return ReadAttributeValue(volume, stream.pieces.front().View(), dest);
  const std::uint32_t clusterSize = volume.geometry.ClusterSize;
  if (clusterSize == 0) {
    ZeroFill(dest);
    return false;
  }
  const std::uint64_t clusters = (std::uint64_t{dest.size()} + clusterSize - 1) / clusterSize;
  return ReadStreamVcnRange(volume, stream, 0,
                            static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                clusters, std::numeric_limits<std::uint32_t>::max())),
                            dest);
}

}  // namespace sondrel

#include "ntfs/DataRun.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "ntfs/ZeroFill.h"

namespace sondrel {
namespace {

// A little-endian field of up to 8 bytes (more keep their first 8).
std::uint64_t ReadField(std::span<const std::byte> field) {
  std::uint64_t value = 0;
  std::size_t used = std::min<std::size_t>(field.size(), 8);
  for (std::size_t i = 0; i < used; ++i) {
    value |= std::uint64_t{std::to_integer<std::uint8_t>(field[i])} << (8 * i);
  }
  return value;
}

}  // namespace

std::optional<DataRun> DecodeDataRun(std::span<const std::byte> runs, std::size_t position) {
  if (position >= runs.size()) return std::nullopt;
  const auto headerByte = std::to_integer<std::uint8_t>(runs[position]);
  if (headerByte == 0) return std::nullopt;
  const std::size_t lengthSize = headerByte & 0x0F;
  const std::size_t offsetSize = headerByte >> 4;
  const std::size_t entrySize = 1 + lengthSize + offsetSize;
  if (entrySize > runs.size() - position) return std::nullopt;

  DataRun run;
  run.entrySize = static_cast<std::uint32_t>(entrySize);
  run.length = ReadField(runs.subspan(position + 1, lengthSize));
  std::uint64_t delta = ReadField(runs.subspan(position + 1 + lengthSize, offsetSize));
  // The delta is signed: its sign is that of the field's most significant byte.
  if (offsetSize > 0 && offsetSize < 8 && (delta >> (8 * offsetSize - 1)) & 1) {
    delta |= ~std::uint64_t{0} << (8 * offsetSize);
  }
  run.lcnDelta = static_cast<std::int64_t>(delta);
  run.sparse = offsetSize == 0;
  return run;
}

std::optional<VcnMapping> MapVcn(const AttributeRecord& attribute, std::uint64_t vcn) {
  const AttributeHeader& h = attribute.header;
  if (attribute.IsResident() || vcn < h.startVcn || vcn > h.lastVcn) return std::nullopt;
  const std::span<const std::byte> runs = attribute.MappingPairs();
  std::uint64_t lcn = 0;  // unsigned, so a hostile delta wraps instead of overflowing
  std::uint64_t current = h.startVcn;
  std::size_t position = 0;
  // Each entry takes at least one byte of the run list, so the walk ends.
  while (auto run = DecodeDataRun(runs, position)) {
    lcn += static_cast<std::uint64_t>(run->lcnDelta);
    if (vcn >= current && vcn - current < run->length) {
      const std::uint64_t offset = vcn - current;
      // Clusters left in the run, but never past lastVcn.
      std::uint64_t left = std::min(run->length - offset - 1, h.lastVcn - vcn) + 1;
      return VcnMapping{run->sparse ? 0 : lcn + offset, left, run->sparse};
    }
    if (run->length > std::numeric_limits<std::uint64_t>::max() - current) return std::nullopt;
    current += run->length;
    position += run->entrySize;
  }
  return std::nullopt;
}

bool ReadVcnRange(const VolumeContext& volume, const AttributeRecord& attribute,
                  std::uint64_t firstVcn, std::uint32_t count, std::span<std::byte> dest) {
  const std::uint32_t clusterSize = volume.geometry.ClusterSize;
  const std::uint64_t maxClustersPerRead =
      clusterSize == 0 ? 1 : std::max<std::uint32_t>(kMaxReadBytes / clusterSize, 1);
  auto step = [&](std::uint64_t vcn, std::uint64_t clustersLeft,
                  std::span<std::byte> rest) -> VcnStep {
    auto mapping = MapVcn(attribute, vcn);
    if (!mapping) {
      if (vcn < attribute.header.startVcn) {
        // Before what this attribute record maps: zeros up to its first VCN.
        const std::uint64_t n = std::min(attribute.header.startVcn - vcn, clustersLeft);
        ZeroFill(ClusterHead(rest, n, clusterSize));
        return {n, false};
      }
      // Past lastVcn, or the run list ended early: no later VCN maps either.
      ZeroFill(rest);
      return {clustersLeft, false};
    }
    const std::uint64_t n = std::min({mapping->clustersLeft, clustersLeft, maxClustersPerRead});
    std::span<std::byte> piece = ClusterHead(rest, n, clusterSize);
    if (mapping->sparse) {
      ZeroFill(piece);
      return {n, true};
    }
    bool complete = true;
    const std::uint64_t whole = piece.size() / clusterSize;
    if (whole > 0) {
      complete &= ReadClusters(volume, mapping->lcn, static_cast<std::uint32_t>(whole),
                               piece.first(static_cast<std::size_t>(whole * clusterSize)));
    }
    const std::size_t tail = piece.size() % clusterSize;
    if (tail != 0) {
      // dest ends inside a cluster: read it whole aside, keep its head.
      std::vector<std::byte> bounce(clusterSize);
      complete &= ReadClusters(volume, mapping->lcn + whole, 1, bounce);
      std::memcpy(piece.data() + whole * clusterSize, bounce.data(), tail);
    }
    return {n, complete};
  };
  return WalkVcnRange(clusterSize, firstVcn, count, dest, step);
}

bool ReadAttributeValue(const VolumeContext& volume, const AttributeRecord& attribute,
                        std::span<std::byte> dest) {
  if (attribute.IsResident()) {
    std::span<const std::byte> value = attribute.ResidentValue();
    const std::size_t copied = std::min(value.size(), dest.size());
    std::copy_n(value.begin(), copied, dest.begin());
    ZeroFill(dest.subspan(copied));
    return true;
  }
  const std::uint32_t clusterSize = volume.geometry.ClusterSize;
  if (clusterSize == 0) {
    ZeroFill(dest);
    return false;
  }
  // VCN 0 through lastVcn; lastVcn of all ones (an empty value) gives none.
  const std::uint64_t clusters = attribute.header.lastVcn + 1;
  const std::uint64_t fits = (std::uint64_t{dest.size()} + clusterSize - 1) / clusterSize;
  const auto count = static_cast<std::uint32_t>(
      std::min<std::uint64_t>({clusters, fits, std::numeric_limits<std::uint32_t>::max()}));
  bool complete = ReadVcnRange(volume, attribute, 0, count, dest);
  const std::uint64_t written =
      std::min<std::uint64_t>(std::uint64_t{count} * clusterSize, dest.size());
  ZeroFill(dest.subspan(static_cast<std::size_t>(written)));
  return complete;
}

}  // namespace sondrel

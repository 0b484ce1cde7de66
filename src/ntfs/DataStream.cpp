#include "ntfs/DataStream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "ntfs/VolumeContext.h"
#include "ntfs/ZeroFill.h"

namespace sondrel {
namespace {

// What one step of a range read covered: clusters from its VCN on (at least
// one), and whether all of them were mapped and read.
struct VcnStep {
  std::uint64_t clusters = 1;
  bool complete = true;
};

// The head of rest that n clusters cover.
std::span<std::byte> ClusterHead(std::span<std::byte> rest, std::uint64_t n,
                                 std::uint32_t clusterSize) {
  return rest.first(
      static_cast<std::size_t>(std::min<std::uint64_t>(n * clusterSize, rest.size())));
}

// Reads the clusters from lcn on into piece (whole clusters, the last perhaps
// partial): one read, and one more for a partial last cluster.
bool ReadPiece(const VolumeContext& volume, std::uint64_t lcn, std::span<std::byte> piece) {
  const std::uint32_t clusterSize = volume.geometry.clusterSize;
  bool complete = true;
  const std::uint64_t whole = piece.size() / clusterSize;
  if (whole > 0) {
    complete &= ReadClusters(volume, lcn, static_cast<std::uint32_t>(whole),
                             piece.first(static_cast<std::size_t>(whole * clusterSize)));
  }
  const std::size_t tail = piece.size() % clusterSize;
  if (tail != 0) {
    // dest ends inside a cluster: read it whole aside, keep its head.
    std::vector<std::byte> bounce(clusterSize);
    complete &= ReadClusters(volume, lcn + whole, 1, bounce);
    std::memcpy(piece.data() + whole * clusterSize, bounce.data(), tail);
  }
  return complete;
}

}  // namespace

OwnedAttribute OwnedAttribute::CopyOf(const AttributeRecord& attribute) {
  return OwnedAttribute{{attribute.bytes.begin(), attribute.bytes.end()}, attribute.header};
}

DataStream DataStream::Of(const AttributeRecord& attribute) {
  DataStream stream;
  stream.pieces.push_back(OwnedAttribute::CopyOf(attribute));
  return stream;
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

std::uint64_t DataStream::InitializedSize() const {
  if (pieces.empty()) return 0;
  const AttributeHeader& h = pieces.front().header;
  return h.nonResident == 0 ? h.valueLength : std::min(h.initializedSize, h.dataSize);
}

const RunMap& DataStream::Runs() const {
  if (!runs_) {
    auto map = std::make_shared<RunMap>();
    for (const OwnedAttribute& piece : pieces) map->AddPiece(piece.View());
    runs_ = std::move(map);
  }
  return *runs_;
}

bool ReadStreamVcnRange(const VolumeContext& volume, const DataStream& stream,
                        std::uint64_t firstVcn, std::uint32_t count, std::span<std::byte> dest) {
  const std::uint32_t clusterSize = volume.geometry.clusterSize;
  if (stream.IsResident() || clusterSize == 0) {
    ZeroFill(dest);
    return false;
  }
  const RunMap& runs = stream.Runs();
  const std::uint64_t maxClustersPerRead = std::max<std::uint32_t>(kMaxReadBytes / clusterSize, 1);
  const std::uint64_t wanted = std::uint64_t{count} * clusterSize;
  std::span<std::byte> range =
      dest.first(static_cast<std::size_t>(std::min<std::uint64_t>(wanted, dest.size())));
  bool complete = true;
  std::uint64_t vcn = firstVcn;
  std::size_t position = 0;
  // Each step covers at least one cluster of the range, so the walk ends.
  while (position < range.size()) {
    const std::size_t bytesLeft = range.size() - position;
    const std::uint64_t clustersLeft = (bytesLeft + clusterSize - 1) / clusterSize;
    std::span<std::byte> rest = range.subspan(position);
    VcnStep step;
    if (auto mapping = runs.Map(vcn)) {
      step.clusters = std::min({mapping->clustersLeft, clustersLeft, maxClustersPerRead});
      std::span<std::byte> piece = ClusterHead(rest, step.clusters, clusterSize);
      if (mapping->sparse) {
        ZeroFill(piece);
      } else {
        step.complete = ReadPiece(volume, mapping->lcn, piece);
      }
    } else {
      // No piece maps vcn: zeros up to the next mapped VCN, or to the end.
      auto next = runs.NextMapped(vcn);
      step = {next ? std::min(*next - vcn, clustersLeft) : clustersLeft, false};
      ZeroFill(ClusterHead(rest, step.clusters, clusterSize));
    }
    complete &= step.complete;
    vcn += step.clusters;
    position +=
        static_cast<std::size_t>(std::min<std::uint64_t>(step.clusters * clusterSize, bytesLeft));
  }
  return complete;
}

bool ReadStreamValue(const VolumeContext& volume, const DataStream& stream,
                     std::span<std::byte> dest) {
  if (stream.pieces.empty()) {
    ZeroFill(dest);
    return false;
  }
  if (stream.IsResident()) {
    std::span<const std::byte> value = stream.pieces.front().View().ResidentValue();
    const std::size_t copied = std::min(value.size(), dest.size());
    std::copy_n(value.begin(), copied, dest.begin());
    ZeroFill(dest.subspan(copied));
    return true;
  }
  const std::uint32_t clusterSize = volume.geometry.clusterSize;
  if (clusterSize == 0) {
    ZeroFill(dest);
    return false;
  }
  // VCN 0 through lastVcn; a lastVcn of all ones (an empty value) gives none.
  const std::uint64_t clusters = stream.pieces.back().header.lastVcn + 1;
  const std::uint64_t fits = (std::uint64_t{dest.size()} + clusterSize - 1) / clusterSize;
  const auto count = static_cast<std::uint32_t>(
      std::min<std::uint64_t>({clusters, fits, std::numeric_limits<std::uint32_t>::max()}));
  const bool complete = ReadStreamVcnRange(volume, stream, 0, count, dest);
  const std::uint64_t written =
      std::min<std::uint64_t>(std::uint64_t{count} * clusterSize, dest.size());
  ZeroFill(dest.subspan(static_cast<std::size_t>(written)));
  return complete;
}

}  // namespace sondrel

#include "ntfs/MftChunkReader.h"

#include <algorithm>

#include "ntfs/FileRecord.h"
#include "ntfs/MftRecordAccess.h"
#include "ntfs/ZeroFill.h"

namespace sondrel {

MftChunkReader::MftChunkReader(const VolumeContext& volume, std::uint32_t recordCount,
                               std::uint32_t chunkBytes)
    : volume_(volume) {
  const VolumeGeometry& g = volume.geometry;
  if (g.clusterSize == 0 || g.recordSize == 0) return;
  const std::uint64_t bytes = std::uint64_t{recordCount} * g.recordSize;
  endVcn_ = (bytes + g.clusterSize - 1) / g.clusterSize;
  // A record may start inside one cluster and end in another.
  const std::uint32_t recordClusters = (g.recordSize + g.clusterSize - 1) / g.clusterSize + 1;
  chunkClusters_ = std::max(chunkBytes / g.clusterSize, recordClusters);
}

void MftChunkReader::Read(std::uint32_t recordNumber, std::span<std::byte> dest) {
  const VolumeGeometry& g = volume_.geometry;
  if (g.recordSize == 0 || g.clusterSize == 0 || dest.size() < g.recordSize) {
    ReadMftRecord(volume_, recordNumber, dest);
    return;
  }
  const std::uint64_t byteOffset = std::uint64_t{recordNumber} * g.recordSize;
  const std::uint64_t firstVcn = byteOffset / g.clusterSize;
  const std::uint64_t endVcn = (byteOffset + g.recordSize + g.clusterSize - 1) / g.clusterSize;
  if (firstVcn < chunkFirstVcn_ || endVcn > chunkEndVcn_) {
    // The next chunk starts at this record's cluster and runs to the end of
    // what the walk needs, never shorter than this record.
    chunkFirstVcn_ = firstVcn;
    chunkEndVcn_ = std::max(std::min(firstVcn + chunkClusters_, endVcn_), endVcn);
    const auto clusters = static_cast<std::uint32_t>(chunkEndVcn_ - chunkFirstVcn_);
    chunk_.resize(std::size_t{clusters} * g.clusterSize);
    chunkWhole_ = ReadMftClusters(volume_, chunkFirstVcn_, clusters, chunk_);
  }
  if (!chunkWhole_) {
    ReadMftRecord(volume_, recordNumber, dest);
    return;
  }
  std::span<std::byte> record = dest.first(g.recordSize);
  const std::size_t at = static_cast<std::size_t>(byteOffset - chunkFirstVcn_ * g.clusterSize);
  std::copy_n(chunk_.begin() + static_cast<std::ptrdiff_t>(at), g.recordSize, record.begin());
  if (!ApplyFixups(record)) ZeroFill(record);
}

}  // namespace sondrel

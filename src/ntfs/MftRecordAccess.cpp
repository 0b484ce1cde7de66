#include "ntfs/MftRecordAccess.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "ntfs/AttributeList.h"
#include "ntfs/DataStream.h"
#include "ntfs/FileRecord.h"
#include "ntfs/ZeroFill.h"

namespace sondrel {

bool LoadMftSelfRecord(VolumeContext& volume) {
  const VolumeGeometry& g = volume.geometry;
  volume.mftSelfRecord.assign(g.recordSize, std::byte{0});
  volume.mftData = {};
  volume.mftSelfData = {};
  if (g.recordSize == 0 || g.bytesPerSector == 0) return false;
  // Whole sectors that hold the record: a record smaller than a sector is
  // taken from the head of the one sector that holds it.
  const std::uint32_t sectors = (g.recordSize + g.bytesPerSector - 1) / g.bytesPerSector;
  std::vector<std::byte> scratch(std::size_t{sectors} * g.bytesPerSector);
  if (g.sectorsPerCluster == 0 ||
      g.mftStartLcn > std::numeric_limits<std::uint64_t>::max() / g.sectorsPerCluster) {
    return false;
  }
  bool ok = ReadSectors(volume, g.mftStartLcn * g.sectorsPerCluster, sectors, scratch);
  std::copy_n(scratch.begin(), g.recordSize, volume.mftSelfRecord.begin());
  if (!ok || !ApplyFixups(volume.mftSelfRecord) || !HasFileMagic(volume.mftSelfRecord)) {
    return false;
  }
  if (auto data = FindAttribute(volume.mftSelfRecord, kDataType)) {
    volume.mftSelfData = DataStream::Of(*data);
  }
  // The $MFT's $DATA may continue in extension records. Those are read
  // through the pieces gathered so far (at first record 0's own), so gather
  // again while that maps more; a chain that only unfolds one piece per
  // round is cut off after a few rounds, its rest reading as zeros.
  constexpr int kMaxGatherRounds = 8;
  for (int round = 0; round < kMaxGatherRounds; ++round) {
    auto data = FindAttributeStream(volume, volume.mftSelfRecord, 0, kDataType);
    if (!data || data->IsResident()) break;
    const bool grew = data->pieces.size() > volume.mftData.pieces.size();
    volume.mftData = std::move(*data);
    if (!grew || volume.mftData.consistent) break;
  }
  return true;
}

bool ReadMftClusters(const VolumeContext& volume, std::uint64_t firstVcn, std::uint32_t count,
                     std::span<std::byte> dest) {
  const DataStream& data = volume.mftData.pieces.empty() ? volume.mftSelfData : volume.mftData;
  return ReadStreamVcnRange(volume, data, firstVcn, count, dest);
}

void ReadMftRecord(const VolumeContext& volume, std::uint32_t recordNumber,
                   std::span<std::byte> dest) {
  ZeroFill(dest);
  const VolumeGeometry& g = volume.geometry;
  if (g.recordSize == 0 || g.clusterSize == 0 || dest.size() < g.recordSize) return;
  std::span<std::byte> record = dest.first(g.recordSize);

  // Record N lies at byte N * recordSize of the $MFT's $DATA; a record smaller
  // than a cluster shares it with its neighbours and is cut out of it.
  const std::uint64_t byteOffset = std::uint64_t{recordNumber} * g.recordSize;
  const std::uint64_t firstVcn = byteOffset / g.clusterSize;
  const std::uint32_t within = static_cast<std::uint32_t>(byteOffset % g.clusterSize);
  const std::uint32_t clusters = (within + g.recordSize + g.clusterSize - 1) / g.clusterSize;

  std::vector<std::byte> scratch(std::size_t{clusters} * g.clusterSize);
  if (!ReadMftClusters(volume, firstVcn, clusters, scratch)) return;
  std::copy_n(scratch.begin() + within, g.recordSize, record.begin());
  // A record whose update sequence array cannot be applied is unusable.
  if (!ApplyFixups(record)) ZeroFill(record);
}

}  // namespace sondrel

#include "ntfs/VolumeContext.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "ntfs/LittleEndianReader.h"
#include "ntfs/ZeroFill.h"

namespace sondrel {
namespace {

constexpr std::uint32_t kMaxRecordSize = 64 * 1024;
constexpr std::uint32_t kMinRecordSize = 256;
constexpr std::uint32_t kMaxClusterSize = 2 * 1024 * 1024;

std::string Hex(std::uint32_t value) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return "0x" + text;
}

GeometryResult Refuse(std::string reason) { return {std::nullopt, std::move(reason)}; }

}  // namespace

GeometryResult ReadVolumeGeometry(std::span<const std::byte> bootSector) {
  LittleEndianReader reader(bootSector);
  auto bytesPerSector = reader.U16(0x0B);
  auto clusterByte = reader.U8(0x0D);
  auto totalSectors = reader.U64(0x28);
  auto mftStartLcn = reader.U64(0x30);
  auto clustersPerRecord = reader.U32(0x40);
  if (!bytesPerSector || !clusterByte || !totalSectors || !mftStartLcn || !clustersPerRecord) {
    return Refuse("the boot sector is too short");
  }

  VolumeGeometry geometry;
  geometry.bytesPerSector = *bytesPerSector;
  geometry.totalSectors = *totalSectors;
  geometry.mftStartLcn = *mftStartLcn;
  geometry.clustersPerRecord = *clustersPerRecord;
  if (geometry.bytesPerSector < 256 || geometry.bytesPerSector > 4096 ||
      !std::has_single_bit(geometry.bytesPerSector)) {
    return Refuse("bytes per sector (" + std::to_string(geometry.bytesPerSector) +
                  ") is not a power of two from 256 to 4096");
  }

  // Sectors per cluster: a plain count up to 0x80; above it the byte holds a
  // negative power of two, as large-cluster volumes write it.
  if (*clusterByte == 0) return Refuse("sectors per cluster is zero");
  if (*clusterByte <= 0x80) {
    if (!std::has_single_bit(*clusterByte)) {
      return Refuse("sectors per cluster (" + std::to_string(*clusterByte) +
                    ") is not a power of two");
    }
    geometry.sectorsPerCluster = *clusterByte;
  } else {
    unsigned shift = 256u - *clusterByte;
    if (shift > 21) return Refuse("sectors per cluster (" + Hex(*clusterByte) + ") is too large");
    geometry.sectorsPerCluster = std::uint32_t{1} << shift;
  }
  std::uint64_t clusterSize = std::uint64_t{geometry.bytesPerSector} * geometry.sectorsPerCluster;
  if (clusterSize > kMaxClusterSize) {
    return Refuse("the cluster size (" + std::to_string(clusterSize) + " bytes) is above 2 MiB");
  }
  geometry.clusterSize = static_cast<std::uint32_t>(clusterSize);

  // Record size rule: below 0x80 a count of clusters, else the low byte is -n
  // and a record is 2^n bytes.
  std::uint32_t v = geometry.clustersPerRecord;
  std::uint64_t recordSize = 0;
  if (v >= 1 && v <= 127) {
    recordSize = std::uint64_t{v} * clusterSize;
  } else if (v >= 225 && v <= 255) {
    recordSize = std::uint64_t{1} << (256 - v);
  } else {
    return Refuse("clusters per file record (" + Hex(v) +
                  " at offset 0x40) is outside 1 to 127 and 225 to 255");
  }
  if (recordSize > kMaxRecordSize) {
    return Refuse("the file record size (" + std::to_string(recordSize) +
                  " bytes) is above 64 KiB");
  }
  if (recordSize < kMinRecordSize) {
    return Refuse("the file record size (" + std::to_string(recordSize) +
                  " bytes) is too small to hold a file record");
  }
  geometry.recordSize = static_cast<std::uint32_t>(recordSize);
  return {geometry, ""};
}

std::uint64_t VolumeSize(const VolumeContext& volume) {
  std::uint64_t size = std::numeric_limits<std::uint64_t>::max();
  const VolumeGeometry& g = volume.geometry;
  if (g.totalSectors != 0 && g.bytesPerSector != 0 &&
      g.totalSectors <= size / g.bytesPerSector) {
    size = g.totalSectors * g.bytesPerSector;
  }
  if (volume.deviceBytes != 0) size = std::min(size, volume.deviceBytes);
  return size;
}

std::optional<std::uint32_t> ReadBootSector(VolumeContext& volume) {
  std::uint32_t bytesRead = 0;
  if (volume.platform == nullptr ||
      !volume.platform->ReadFile(volume.volumeHandle, volume.bootSector, &bytesRead, nullptr)) {
    return std::nullopt;
  }
  return bytesRead;
}

bool ReadSectors(const VolumeContext& volume, std::uint64_t firstSector, std::uint32_t sectorCount,
                 std::span<std::byte> dest) {
  const std::uint32_t sectorSize = volume.geometry.bytesPerSector;
  const std::uint64_t byteCount = std::uint64_t{sectorCount} * sectorSize;
  if (sectorSize == 0 || byteCount > dest.size() ||
      byteCount > std::numeric_limits<std::uint32_t>::max() ||
      firstSector > std::numeric_limits<std::uint64_t>::max() / sectorSize ||
      volume.platform == nullptr) {
    ZeroFill(dest);
    return false;
  }
  std::span<std::byte> target = dest.first(static_cast<std::size_t>(byteCount));
  if (target.empty()) return true;

  const std::uint64_t offset = firstSector * sectorSize;
  Overlapped overlapped;
  overlapped.Offset = static_cast<std::uint32_t>(offset & 0xFFFFFFFFu);
  overlapped.OffsetHigh = static_cast<std::uint32_t>(offset >> 32);
  std::uint32_t bytesRead = 0;
  bool ok = volume.platform->ReadFile(volume.volumeHandle, target, &bytesRead, &overlapped);
  // A failed read may have left anything behind; a short one leaves its tail.
  std::size_t good = ok ? std::min<std::size_t>(bytesRead, target.size()) : 0;
  ZeroFill(target.subspan(good));
  return ok && good == target.size();
}

bool ReadClusters(const VolumeContext& volume, std::uint64_t firstCluster,
                  std::uint32_t clusterCount, std::span<std::byte> dest) {
  const std::uint32_t perCluster = volume.geometry.sectorsPerCluster;
  const std::uint64_t sectorCount = std::uint64_t{clusterCount} * perCluster;
  if (perCluster == 0 || sectorCount > std::numeric_limits<std::uint32_t>::max() ||
      firstCluster > std::numeric_limits<std::uint64_t>::max() / perCluster) {
    ZeroFill(dest);
    return false;
  }
  return ReadSectors(volume, firstCluster * perCluster, static_cast<std::uint32_t>(sectorCount),
                     dest);
}

}  // namespace sondrel

// What the tool knows of the open volume: the boot sector copy, the geometry
// read from it, and the $MFT's own record. Filled at start-up, then read-only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ntfs/DataStream.h"
#include "platform/Platform.h"

namespace sondrel {

inline constexpr std::size_t kBootSectorSize = 512;

struct VolumeGeometry {
  std::uint16_t bytesPerSector = 0;     // boot sector 0x0B
  std::uint32_t sectorsPerCluster = 0;  // boot sector 0x0D (values above 0x80 encode 2^(256-v))
  std::uint64_t totalSectors = 0;       // boot sector 0x28, sectors in the volume
  std::uint64_t mftStartLcn = 0;        // boot sector 0x30
  std::uint32_t clustersPerRecord = 0;  // boot sector 0x40, the record size rule's input
  std::uint32_t clusterSize = 0;        // bytesPerSector * sectorsPerCluster
  std::uint32_t recordSize = 0;         // bytes per MFT file record
};

// The geometry of a boot sector, or the reason it gives no usable one
// (zero sectors per cluster, a sector size that is not a power of two from
// 256 to 4096, a record size rule value outside 1..127 and 225..255, records
// above 64 KiB or below 256 bytes, clusters above 2 MiB). A usable geometry
// has powers of two throughout, so no division by it can fail downstream.
struct GeometryResult {
  std::optional<VolumeGeometry> geometry;
  std::string reason;
};
GeometryResult ReadVolumeGeometry(std::span<const std::byte> bootSector);

struct VolumeContext {
  Platform* platform = nullptr;
  FileHandle volumeHandle = kInvalidHandleValue;
  std::array<std::byte, kBootSectorSize> bootSector{};
  VolumeGeometry geometry;
  std::vector<std::byte> mftSelfRecord;  // record 0, fix-ups applied
  // Every piece of the $MFT's unnamed $DATA, set by LoadMftSelfRecord. When
  // empty, record reads go through mftSelfRecord's own $DATA alone.
  DataStream mftData;
  // mftSelfRecord's own unnamed $DATA as it stands, for record reads when no
  // stream could be gathered (say a damaged startVcn); its runs are decoded
  // once, like mftData's.
  DataStream mftSelfData;
  // The device's own length from the platform, 0 when it cannot be told.
  std::uint64_t deviceBytes = 0;
};

// The most bytes the volume can hold: the boot sector's total sectors and the
// device's length, whichever is smaller and known (all ones when neither is).
// Sizes read from records are capped by it, so a few damaged bytes cannot make
// the tool walk or allocate more than the volume could ever hold.
std::uint64_t VolumeSize(const VolumeContext& volume);

// Reads the first kBootSectorSize bytes of the device into volume.bootSector:
// the one read made before the geometry, and so the sector size, is known.
// It reads from the handle's own position, which a fresh handle holds at 0,
// so the Win32 platform may serve it from one whole 4096-byte sector on a
// disk that takes nothing smaller. Returns the bytes read, nullopt when the
// read failed.
std::optional<std::uint32_t> ReadBootSector(VolumeContext& volume);

// One positioned platform read of whole sectors into the first
// sectorCount * bytesPerSector bytes of dest. Returns false on a failed or
// short read; the part not read is then zero-filled. A dest too small for the
// count, or an offset beyond 64 bits, reads nothing and zero-fills dest.
bool ReadSectors(const VolumeContext& volume, std::uint64_t firstSector, std::uint32_t sectorCount,
                 std::span<std::byte> dest);
bool ReadClusters(const VolumeContext& volume, std::uint64_t firstCluster,
                  std::uint32_t clusterCount, std::span<std::byte> dest);

}  // namespace sondrel

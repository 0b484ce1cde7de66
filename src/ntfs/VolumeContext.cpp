#include "ntfs/VolumeContext.h"

namespace sondrel {

// Stand-ins until the volume layer lands.
GeometryResult ReadVolumeGeometry(std::span<const std::byte>) { return {{}, "not implemented"}; }
bool ReadSectors(const VolumeContext&, std::uint64_t, std::uint32_t, std::span<std::byte>) {
  return false;
}
bool ReadClusters(const VolumeContext&, std::uint64_t, std::uint32_t, std::span<std::byte>) {
  return false;
}

}  // namespace sondrel

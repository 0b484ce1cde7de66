#include "ntfs/MftRecordAccess.h"

namespace sondrel {

// Stand-ins until the volume layer lands.
bool LoadMftSelfRecord(VolumeContext&) { return false; }
void ReadMftRecord(const VolumeContext&, std::uint32_t, std::span<std::byte>) {}

}  // namespace sondrel

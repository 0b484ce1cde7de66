// A volume opened on a fake platform the way the run driver opens one: the
// image served as "\\.\X:", the boot sector read, the geometry taken from
// it and the $MFT's own record loaded.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "ntfs/MftRecordAccess.h"
#include "ntfs/VolumeContext.h"
#include "platform/FakePlatform.h"
#include "support/MftImageBuilder.h"

namespace sondrel::test {

// Returns false when the image gives no usable geometry or record 0 cannot
// be loaded. The opening's own reads are cleared from platform.reads.
inline bool OpenTestVolume(FakePlatform& platform, Bytes image, VolumeContext& volume,
                           char drive = 'X') {
  std::string device = std::string("\\\\.\\") + drive + ":";
  platform.files[device] = std::move(image);
  volume.platform = &platform;
  volume.volumeHandle = platform.CreateFileA(device, kGenericRead, kFileShareRead | kFileShareWrite,
                                             kOpenExisting);
  if (volume.volumeHandle == kInvalidHandleValue) return false;
  std::uint32_t got = 0;
  if (!platform.ReadFile(volume.volumeHandle, volume.bootSector, &got, nullptr)) return false;
  GeometryResult geometry = ReadVolumeGeometry(volume.bootSector);
  if (!geometry.geometry) return false;
  volume.geometry = *geometry.geometry;
  bool loaded = LoadMftSelfRecord(volume);
  platform.reads.clear();
  return loaded;
}

}  // namespace sondrel::test

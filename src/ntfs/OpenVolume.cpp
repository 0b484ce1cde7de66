#include "ntfs/OpenVolume.h"

#include <utility>

#include "ntfs/MftRecordAccess.h"

namespace sondrel {
namespace {

OpenVolumeResult Refuse(OpenStep step, std::string reason, bool accessDenied = false) {
  OpenVolumeResult result;
  result.failure = {step, std::move(reason), accessDenied};
  return result;
}

}  // namespace

OpenVolumeResult OpenVolumeGeometry(Platform& platform, std::string_view devicePath) {
  OpenedVolume opened;
  opened.context.platform = &platform;
  const FileHandle handle = platform.CreateFileA(devicePath, kGenericRead,
                                                 kFileShareRead | kFileShareWrite, kOpenExisting);
  if (handle == kInvalidHandleValue) {
    const bool denied = platform.GetLastError() == kErrorAccessDenied;
    return Refuse(OpenStep::kOpenDevice, platform.GetLastErrorMessage(), denied);
  }
  opened.handle = VolumeHandle(platform, handle);
  opened.context.volumeHandle = handle;

  std::optional<std::uint32_t> bytesRead = ReadBootSector(opened.context);
  if (!bytesRead) return Refuse(OpenStep::kReadBootSector, platform.GetLastErrorMessage());
  if (*bytesRead < kBootSectorSize) {
    return Refuse(OpenStep::kReadBootSector,
                  "only " + std::to_string(*bytesRead) + " of 512 bytes");
  }
  GeometryResult geometry = ReadVolumeGeometry(opened.context.bootSector);
  if (!geometry.geometry) return Refuse(OpenStep::kReadGeometry, geometry.reason);
  opened.context.geometry = *geometry.geometry;
  opened.context.deviceBytes = platform.GetLengthInfo(handle).value_or(0);

  OpenVolumeResult result;
  result.volume = std::move(opened);
  return result;
}

OpenVolumeResult OpenVolume(Platform& platform, std::string_view devicePath) {
  OpenVolumeResult result = OpenVolumeGeometry(platform, devicePath);
  if (!result.volume) return result;
  VolumeContext& volume = result.volume->context;
  if (!LoadMftSelfRecord(volume)) {
    return Refuse(OpenStep::kLoadMftRecord, "it cannot be read or has no FILE signature");
  }
  if (volume.mftData.pieces.empty() || volume.mftData.IsResident()) {
    return Refuse(OpenStep::kLoadMftRecord, "it has no non-resident unnamed $DATA attribute");
  }
  return result;
}

}  // namespace sondrel

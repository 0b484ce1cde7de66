// Opening a volume: the device, its boot sector and geometry, its length and
// the $MFT's own record, in that order. The run driver and the tests open
// every volume here, so each step is checked the same way everywhere.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ntfs/VolumeContext.h"
#include "platform/Platform.h"

namespace sondrel {

// Owns an open device handle and closes it when it goes, on every way out.
class VolumeHandle {
 public:
  VolumeHandle() = default;
  VolumeHandle(Platform& platform, FileHandle handle) : platform_(&platform), handle_(handle) {}
  VolumeHandle(VolumeHandle&& other) noexcept
      : platform_(other.platform_), handle_(other.Release()) {}
  VolumeHandle& operator=(VolumeHandle&& other) noexcept {
    if (this != &other) {
      Close();
      platform_ = other.platform_;
      handle_ = other.Release();
    }
    return *this;
  }
  VolumeHandle(const VolumeHandle&) = delete;
  VolumeHandle& operator=(const VolumeHandle&) = delete;
  ~VolumeHandle() { Close(); }

  FileHandle Get() const { return handle_; }
  // Gives the handle up without closing it; the caller closes it now.
  FileHandle Release() {
    FileHandle handle = handle_;
    handle_ = kInvalidHandleValue;
    return handle;
  }

 private:
  void Close() {
    if (platform_ != nullptr && handle_ != kInvalidHandleValue) platform_->CloseHandle(handle_);
    handle_ = kInvalidHandleValue;
  }

  Platform* platform_ = nullptr;
  FileHandle handle_ = kInvalidHandleValue;
};

// A volume ready to read: the context, and the handle it reads through,
// closed when this goes.
struct OpenedVolume {
  VolumeHandle handle;
  VolumeContext context;  // context.volumeHandle is handle.Get()
};

// The step at which a volume could not be opened.
enum class OpenStep {
  kOpenDevice,      // the platform would not open the device
  kReadBootSector,  // the boot sector read failed or came back short
  kReadGeometry,    // the boot sector gives no usable geometry
  kLoadMftRecord,   // record 0 cannot be used: unreadable, no "FILE", or no $DATA runs
};

struct OpenFailure {
  OpenStep step = OpenStep::kOpenDevice;
  std::string reason;         // the platform's message, or what the bytes lack
  bool accessDenied = false;  // the device refused the open: elevated rights would help
};

struct OpenVolumeResult {
  std::optional<OpenedVolume> volume;  // set when every step passed
  OpenFailure failure;                 // why not, when volume is empty
};

// Opens devicePath read-only with read and write sharing, reads its boot
// sector (a read of fewer than 512 bytes is refused with "only N of 512
// bytes"), takes the geometry from it and the device's length from the
// platform (0 when it cannot tell), loads record 0 and requires the $MFT's
// unnamed $DATA to be non-resident: every record is found through those
// runs, and without them an empty listing would pass for success.
OpenVolumeResult OpenVolume(Platform& platform, std::string_view devicePath);

// The steps of OpenVolume up to the device's length, for reads that need no
// $MFT (the read layer's own tests): record 0 is neither loaded nor checked.
OpenVolumeResult OpenVolumeGeometry(Platform& platform, std::string_view devicePath);

}  // namespace sondrel

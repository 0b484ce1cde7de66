// The platform on Windows: each operation is the KERNEL32 call it is named
// after, with the caller's flags passed through unchanged.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/SystemPlatform.h"

namespace sondrel {
namespace {

// The largest sector size a volume has.
constexpr DWORD kLargestSector = 4096;

HANDLE ToHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::intptr_t FromHandle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kInvalidHandleValue
                                        : reinterpret_cast<std::intptr_t>(handle);
}

class Win32Platform : public Platform {
 public:
  FileHandle CreateFileA(std::string_view path, std::uint32_t desiredAccess,
                         std::uint32_t shareMode, std::uint32_t creationDisposition) override {
    const std::string text(path);  // NUL-terminated; a zero byte inside ends the path
    HANDLE handle = ::CreateFileA(text.c_str(), desiredAccess, shareMode, nullptr,
                                  creationDisposition, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) RememberError();
    return FromHandle(handle);
  }

  bool ReadFile(FileHandle handle, std::span<std::byte> buffer, std::uint32_t* bytesRead,
                const Overlapped* overlapped) override {
    DWORD got = 0;
    BOOL ok;
    if (overlapped != nullptr) {
      // A synchronous handle: the call returns when the positioned read is done.
      OVERLAPPED at{};
      at.Offset = overlapped->Offset;
      at.OffsetHigh = overlapped->OffsetHigh;
      ok = ::ReadFile(ToHandle(handle), buffer.data(), static_cast<DWORD>(buffer.size()), &got, &at);
    } else {
      ok = ::ReadFile(ToHandle(handle), buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                      nullptr);
      if (!ok && ::GetLastError() == ERROR_INVALID_PARAMETER && buffer.size() < kLargestSector) {
        // A raw volume takes whole sectors only: the 512-byte boot sector read
        // fails on a disk with 4096-byte sectors. Read one such sector instead.
        std::vector<std::byte> sector(kLargestSector);
        ok = ::ReadFile(ToHandle(handle), sector.data(), kLargestSector, &got, nullptr);
        got = std::min<DWORD>(got, static_cast<DWORD>(buffer.size()));
        std::copy_n(sector.begin(), got, buffer.begin());
      }
    }
    if (!ok) RememberError();
    if (bytesRead != nullptr) *bytesRead = got;
    return ok != FALSE;
  }

  bool WriteFile(FileHandle handle, std::span<const std::byte> buffer,
                 std::uint32_t* bytesWritten) override {
    DWORD put = 0;
    BOOL ok = ::WriteFile(ToHandle(handle), buffer.data(), static_cast<DWORD>(buffer.size()), &put,
                          nullptr);
    if (!ok) RememberError();
    if (bytesWritten != nullptr) *bytesWritten = put;
    return ok != FALSE;
  }

  bool CloseHandle(FileHandle handle) override {
    BOOL ok = ::CloseHandle(ToHandle(handle));
    if (!ok) RememberError();
    return ok != FALSE;
  }

  std::optional<std::uint64_t> GetLengthInfo(FileHandle handle) override {
    // A volume or disk answers the control code; an image file answers GetFileSizeEx.
    GET_LENGTH_INFORMATION info{};
    DWORD returned = 0;
    if (::DeviceIoControl(ToHandle(handle), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info,
                          sizeof info, &returned, nullptr)) {
      return static_cast<std::uint64_t>(info.Length.QuadPart);
    }
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(ToHandle(handle), &size)) return static_cast<std::uint64_t>(size.QuadPart);
    return std::nullopt;
  }

  std::uint32_t GetFileSize(FileHandle handle) override {
    DWORD size = ::GetFileSize(ToHandle(handle), nullptr);
    if (size == INVALID_FILE_SIZE) RememberError();
    return size;
  }

  FileHandle CreateFileW(const WidePath&, std::uint32_t, std::uint32_t, std::uint32_t) override {
    return kInvalidHandleValue;
  }
  FindHandle FindFirstFileExW(const WidePath&, FindexInfoLevels, FindDataW*) override {
    return kInvalidHandleValue;
  }
  FindHandle FindFirstFileW(const WidePath&, FindDataW*) override { return kInvalidHandleValue; }
  bool FindNextFileW(FindHandle, FindDataW*) override { return false; }

  FindHandle FindFirstFileA(std::string_view pattern, FindData* findData) override {
    const std::string text(pattern);
    WIN32_FIND_DATAA found{};
    HANDLE handle = ::FindFirstFileA(text.c_str(), &found);
    if (handle == INVALID_HANDLE_VALUE) {
      RememberError();
      return kInvalidHandleValue;
    }
    Copy(found, findData);
    return FromHandle(handle);
  }

  bool FindNextFileA(FindHandle handle, FindData* findData) override {
    WIN32_FIND_DATAA found{};
    if (!::FindNextFileA(ToHandle(handle), &found)) {
      RememberError();
      return false;
    }
    Copy(found, findData);
    return true;
  }

  bool FindClose(FindHandle handle) override { return ::FindClose(ToHandle(handle)) != FALSE; }

  std::string WideCharToMultiByte(std::u16string_view text) override {
    if (text.empty()) return {};
    // wchar_t is UTF-16 on Windows, so the code units are passed as they are.
    const auto* source = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    int needed = ::WideCharToMultiByte(CP_ACP, 0, source, length, nullptr, 0, "NULL", nullptr);
    if (needed <= 0) return {};
    std::string out(static_cast<std::size_t>(needed), '\0');
    int written =
        ::WideCharToMultiByte(CP_ACP, 0, source, length, out.data(), needed, "NULL", nullptr);
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
  }

  std::uint32_t GetACP() override { return ::GetACP(); }

  std::string GetLastErrorMessage() override {
    if (lastError_ == 0) return {};
    char text[512] = {};
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, lastError_, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    // The system's texts end in a line break; the caller's message is one line.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ')) {
      message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(lastError_) : message;
  }

  std::uint32_t GetLastError() override { return lastError_; }

 private:
  void RememberError() { lastError_ = ::GetLastError(); }

  static void Copy(const WIN32_FIND_DATAA& found, FindData* findData) {
    findData->cFileName = found.cFileName;
    findData->cAlternateFileName = found.cAlternateFileName;
  }

  DWORD lastError_ = 0;
};

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform() { return std::make_unique<Win32Platform>(); }

}  // namespace sondrel

// The platform on Windows: each operation is the KERNEL32 call it is named
// after, with the caller's flags passed through unchanged.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SystemPlatform.h"

namespace sondrel {
namespace {

// The largest sector size a volume has.
constexpr DWORD kLargestSector = 4096;
// The longest path a "\\?\" path can be, in UTF-16 units without its NUL.
constexpr std::size_t kLongestPath = 32767;
// What a component cannot hold and still name itself alone in a "\\?\" path:
// separators, the NUL that ends the text, and the characters a search takes
// as wildcards.
constexpr std::u16string_view kNotInName{u"\\/\0*?<>\"", 8};

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t is UTF-16 on Windows");

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

  FileHandle CreateFileW(const WidePath& path, std::uint32_t desiredAccess,
                         std::uint32_t shareMode, std::uint32_t creationDisposition) override {
    const std::optional<std::wstring> text = PathText(path, false);
    if (!text) return kInvalidHandleValue;
    HANDLE handle = ::CreateFileW(text->c_str(), desiredAccess, shareMode, nullptr,
                                  creationDisposition, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) RememberError();
    return FromHandle(handle);
  }

  FindHandle FindFirstFileExW(const WidePath& directory, FindexInfoLevels infoLevel,
                              FindDataW* findData) override {
    const std::optional<std::wstring> text = PathText(directory, true);
    if (!text) return kInvalidHandleValue;
    const FINDEX_INFO_LEVELS level =
        infoLevel == FindExInfoBasic ? ::FindExInfoBasic : ::FindExInfoStandard;
    WIN32_FIND_DATAW found{};
    HANDLE handle = ::FindFirstFileExW(text->c_str(), level, &found, ::FindExSearchNameMatch,
                                       nullptr, 0);
    if (handle == INVALID_HANDLE_VALUE && level == ::FindExInfoBasic &&
        ::GetLastError() == ERROR_INVALID_PARAMETER) {
      // Windows before 7 knows only the standard level.
      handle = ::FindFirstFileExW(text->c_str(), ::FindExInfoStandard, &found,
                                  ::FindExSearchNameMatch, nullptr, 0);
    }
    return Started(handle, found, findData);
  }

  FindHandle FindFirstFileW(const WidePath& path, FindDataW* findData) override {
    const std::optional<std::wstring> text = PathText(path, false);
    if (!text) return kInvalidHandleValue;
    WIN32_FIND_DATAW found{};
    HANDLE handle = ::FindFirstFileW(text->c_str(), &found);
    return Started(handle, found, findData);
  }

  bool FindNextFileW(FindHandle handle, FindDataW* findData) override {
    WIN32_FIND_DATAW found{};
    if (!::FindNextFileW(ToHandle(handle), &found)) {
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
    // The default character as a one-byte string: in a double-byte code page
    // the system takes a second byte, when there is one, as part of it.
    static constexpr char kDefault[] = "N";
    int needed = ::WideCharToMultiByte(CP_ACP, 0, source, length, nullptr, 0, kDefault, nullptr);
    if (needed <= 0) return {};
    std::string out(static_cast<std::size_t>(needed), '\0');
    int written =
        ::WideCharToMultiByte(CP_ACP, 0, source, length, out.data(), needed, kDefault, nullptr);
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

  // "\\?\X:\a\b", with "\*" added for a listing. The prefix turns off the
  // system's normalisation, so each component reaches the file system as the
  // volume holds it; a component that could not stand literally in such a path
  // would name something else or many things, so it names nothing here and the
  // system is not asked. Sets lastError_ and returns nullopt on refusal.
  std::optional<std::wstring> PathText(const WidePath& path, bool listing) {
    const bool letter = (path.drive >= 'A' && path.drive <= 'Z') ||
                        (path.drive >= 'a' && path.drive <= 'z');
    if (!letter || !std::all_of(path.components.begin(), path.components.end(), Nameable)) {
      lastError_ = ERROR_INVALID_NAME;
      return std::nullopt;
    }
    std::wstring text = L"\\\\?\\";
    text += static_cast<wchar_t>(path.drive);
    text += L':';
    for (const std::u16string& component : path.components) {
      text += L'\\';
      // wchar_t is UTF-16 on Windows: the code units pass as they are.
      std::transform(component.begin(), component.end(), std::back_inserter(text),
                     [](char16_t unit) { return static_cast<wchar_t>(unit); });
    }
    text += listing ? L"\\*" : (path.components.empty() ? L"\\" : L"");
    if (text.size() > kLongestPath) {
      lastError_ = ERROR_FILENAME_EXCED_RANGE;
      return std::nullopt;
    }
    return text;
  }

  static bool Nameable(const std::u16string& component) {
    if (component.empty() || component == u"." || component == u"..") return false;
    return component.find_first_of(kNotInName) == std::u16string::npos;
  }

  FindHandle Started(HANDLE handle, const WIN32_FIND_DATAW& found, FindDataW* findData) {
    if (handle == INVALID_HANDLE_VALUE) {
      RememberError();
      return kInvalidHandleValue;
    }
    Copy(found, findData);
    return FromHandle(handle);
  }

  template <std::size_t N>
  static std::u16string Name(const wchar_t (&field)[N]) {
    // The arrays are NUL-terminated; a full one without its NUL still ends at the array.
    const wchar_t* end = std::find(field, field + N, L'\0');
    std::u16string name;
    std::transform(field, end, std::back_inserter(name),
                   [](wchar_t unit) { return static_cast<char16_t>(unit); });
    return name;
  }

  static void Copy(const WIN32_FIND_DATAW& found, FindDataW* findData) {
    findData->cFileName = Name(found.cFileName);
    findData->cAlternateFileName = Name(found.cAlternateFileName);
    findData->fileRecord = 0;  // a search gives no file id
  }

  DWORD lastError_ = 0;
};

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform() { return std::make_unique<Win32Platform>(); }

}  // namespace sondrel

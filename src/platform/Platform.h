// The one seam between the tool and its operating system. Every operation is
// named after the KERNEL32 call it stands for; the Win32 implementation makes
// exactly that call, the POSIX one gives the same results from pread, readdir
// and stat, and the fake serves tests from memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sondrel {

// Opaque handles; kInvalidHandleValue plays INVALID_HANDLE_VALUE.
using FileHandle = std::intptr_t;
using FindHandle = std::intptr_t;
inline constexpr std::intptr_t kInvalidHandleValue = -1;

// Win32 flag values, so callers pass what the Win32 program passes.
inline constexpr std::uint32_t kGenericRead = 0x80000000;   // GENERIC_READ
inline constexpr std::uint32_t kGenericWrite = 0x40000000;  // GENERIC_WRITE
inline constexpr std::uint32_t kFileShareRead = 0x1;        // FILE_SHARE_READ
inline constexpr std::uint32_t kFileShareWrite = 0x2;       // FILE_SHARE_WRITE
inline constexpr std::uint32_t kCreateAlways = 2;           // CREATE_ALWAYS
inline constexpr std::uint32_t kOpenExisting = 3;           // OPEN_EXISTING
inline constexpr std::uint32_t kInvalidFileSize = 0xFFFFFFFF;  // INVALID_FILE_SIZE
inline constexpr std::uint32_t kErrorAccessDenied = 5;         // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t kCodePageLatin1 = 28591;        // ISO 8859-1
inline constexpr std::uint32_t kCodePageUtf8 = 65001;          // CP_UTF8

// The positioned-read part of an OVERLAPPED record: the 64-bit byte offset
// split into its low and high halves.
struct Overlapped {
  std::uint32_t Offset = 0;
  std::uint32_t OffsetHigh = 0;
};

// A path on a drive's ordinary view as the volume names it: the drive and the
// components from its root down, each in UTF-16 exactly as the volume holds
// it. It is never made from text, so a component can hold any character (a
// backslash, "*", an unpaired surrogate) and stands for itself alone.
struct WidePath {
  char drive = 0;                          // 'C' for "C:"
  std::vector<std::u16string> components;  // empty for the drive's root
};

// What a directory search reports of one entry (WIN32_FIND_DATAW's names).
struct FindDataW {
  std::u16string cFileName;           // the long name
  std::u16string cAlternateFileName;  // the 8.3 name, empty when there is none
  // The entry's MFT record number where the view tells it (ntfs-3g serves it
  // as the inode number), so that an entry can be matched to the record it
  // is; 0 where the view does not tell it.
  std::uint64_t fileRecord = 0;
};

// FINDEX_INFO_LEVELS of FindFirstFileExW. FindExInfoBasic does not ask for the
// 8.3 name: cAlternateFileName may come back empty, which spares a platform
// that has to fetch short names one entry at a time.
enum FindexInfoLevels { FindExInfoStandard = 0, FindExInfoBasic = 1 };

class Platform {
 public:
  virtual ~Platform() = default;

  // Opens a file or a raw volume device ("\\.\C:"). Returns
  // kInvalidHandleValue on failure; GetLastErrorMessage() then says why.
  virtual FileHandle CreateFileA(std::string_view path, std::uint32_t desiredAccess,
                                 std::uint32_t shareMode, std::uint32_t creationDisposition) = 0;

  // Reads into buffer: from the handle's current position when overlapped is
  // null, else at the byte offset it carries. bytesRead gets the count read.
  virtual bool ReadFile(FileHandle handle, std::span<std::byte> buffer, std::uint32_t* bytesRead,
                        const Overlapped* overlapped) = 0;

  virtual bool WriteFile(FileHandle handle, std::span<const std::byte> buffer,
                         std::uint32_t* bytesWritten) = 0;

  virtual bool CloseHandle(FileHandle handle) = 0;

  // The low 32 bits of the file's size, or kInvalidFileSize on failure.
  virtual std::uint32_t GetFileSize(FileHandle handle) = 0;

  // CreateFileW on "\\?\C:\a\b\name": opens the file the path names,
  // component by component as the volume names them.
  virtual FileHandle CreateFileW(const WidePath& path, std::uint32_t desiredAccess,
                                 std::uint32_t shareMode, std::uint32_t creationDisposition) = 0;

  // FindFirstFileExW on the directory the path names with "\*" added
  // ("\\?\C:\a\b\*"): lists it entry by entry, "." and ".." first except at a
  // drive's root, as Windows does. FindExInfoBasic may leave every
  // cAlternateFileName empty. Each call lists the directory afresh.
  virtual FindHandle FindFirstFileExW(const WidePath& directory, FindexInfoLevels infoLevel,
                                      FindDataW* findData) = 0;
  // FindFirstFileW on the path itself, no wildcard added: the one entry it
  // names, with its 8.3 name. Every component is a name, never a pattern: one
  // the platform cannot name literally (on Windows, one holding a wildcard or a
  // separator) names nothing.
  virtual FindHandle FindFirstFileW(const WidePath& path, FindDataW* findData) = 0;
  virtual bool FindNextFileW(FindHandle handle, FindDataW* findData) = 0;
  virtual bool FindClose(FindHandle handle) = 0;

  // UTF-16LE to the system's narrow encoding (the ANSI code page on Windows,
  // UTF-8 on POSIX); a character it cannot map becomes 'N'.
  virtual std::string WideCharToMultiByte(std::u16string_view text) = 0;

  // The code page WideCharToMultiByte converts to: the ANSI code page on
  // Windows, kCodePageUtf8 on POSIX. Tells which bytes of a converted name
  // stand for control characters.
  virtual std::uint32_t GetACP() = 0;

  // Human-readable text of the last failed call's error, or "" when none.
  virtual std::string GetLastErrorMessage() = 0;

  // The Win32 code of the last failed call's error (kErrorAccessDenied, ...),
  // so a caller can add advice to the message; 0 when the platform cannot tell.
  virtual std::uint32_t GetLastError() { return 0; }

  // The length in bytes of an open raw volume or file (DeviceIoControl with
  // IOCTL_DISK_GET_LENGTH_INFO on Windows), or nullopt when it cannot be told.
  // Bounds what a damaged or hostile volume can make the tool read or allocate.
  virtual std::optional<std::uint64_t> GetLengthInfo(FileHandle /*handle*/) {
    return std::nullopt;
  }
};

}  // namespace sondrel

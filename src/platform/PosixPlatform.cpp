#include "platform/PosixPlatform.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/AsciiCase.h"
#include "platform/SystemPlatform.h"

namespace sondrel {
namespace {

// Win32 codes for the errors a caller may want to tell apart.
constexpr std::uint32_t kErrorFileNotFound = 2;  // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t kErrorPathNotFound = 3;  // ERROR_PATH_NOT_FOUND
constexpr std::uint32_t kErrorHandleEof = 38;    // ERROR_HANDLE_EOF
constexpr std::uint32_t kCreateNew = 1;          // CREATE_NEW
constexpr std::uint32_t kOpenAlways = 4;         // OPEN_ALWAYS
constexpr std::uint32_t kTruncateExisting = 5;   // TRUNCATE_EXISTING

// ntfs-3g serves each entry's 8.3 name under this extended attribute.
constexpr const char* kDosNameAttribute = "system.ntfs_dos_name";
// The root directory's MFT record number.
constexpr ino_t kRootRecord = 5;

std::string WithSlashes(std::string_view text) {
  std::string out(text);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

std::uint32_t Win32CodeOf(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    default:
      return 0;
  }
}

void AppendUtf8(std::uint32_t codePoint, std::string* out) {
  if (codePoint < 0x80) {
    out->push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform() {
  return std::make_unique<PosixPlatform>(PosixPlatform::DefaultDosDevices());
}

PosixPlatform::PosixPlatform(std::string dosDevices)
    : dosDevices_(std::move(dosDevices)), effectiveRoot_(::geteuid() == 0) {}

std::string PosixPlatform::DefaultDosDevices() {
  const char* configured = std::getenv("SONDREL_DOSDEVICES");
  if (configured != nullptr && *configured != '\0') return configured;
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    const passwd* user = getpwuid(getuid());
    home = user != nullptr ? user->pw_dir : "";
  }
  return std::string(home) + "/.sondrel/dosdevices";
}

void PosixPlatform::SetError(int error) {
  lastError_.clear();
  lastErrno_ = error;
  lastErrorCode_ = Win32CodeOf(error);
}

void PosixPlatform::SetError(std::string message, std::uint32_t code) {
  lastError_ = std::move(message);
  lastErrno_ = 0;
  lastErrorCode_ = code;
}

std::string PosixPlatform::GetLastErrorMessage() {
  return lastErrno_ != 0 ? std::string(std::strerror(lastErrno_)) : lastError_;
}

bool PosixPlatform::MapPath(std::string_view win32Path, HostPath* host) {
  // Win32 paths are C strings: a zero byte ends them.
  win32Path = win32Path.substr(0, win32Path.find('\0'));
  *host = HostPath{};
  auto driveEntry = [&](char drive, const char* suffix) {
    if (drive == '/' || drive == '\0') return false;
    host->path = dosDevices_ + "/" + FoldAsciiCase(drive) + suffix;
    return true;
  };
  if (win32Path.size() == 6 && win32Path.substr(0, 4) == "\\\\.\\" && win32Path[5] == ':') {
    host->rawVolume = true;
    if (driveEntry(win32Path[4], "::")) return true;
  } else if (win32Path.size() >= 2 && win32Path[1] == ':') {
    std::string_view rest = win32Path.substr(2);
    host->driveRoot = rest.find_first_not_of('\\') == std::string_view::npos;
    if (!DriveViewExists(win32Path[0])) {
      SetError(ENOENT);
      return false;
    }
    if (driveEntry(win32Path[0], ":")) {
      host->recordNumbers = DriveViewGivesRecords(win32Path[0]);
      if (!rest.empty() && rest[0] != '\\') host->path += '/';
      host->path += WithSlashes(rest);
      return true;
    }
  } else if (!win32Path.empty()) {
    host->path = WithSlashes(win32Path);
    return true;
  }
  SetError(ENOENT);
  return false;
}

bool PosixPlatform::DriveViewExists(char drive) {
  signed char& known = driveViews_[static_cast<unsigned char>(drive)];
  if (known == 0) {
    struct stat info {};
    std::string entry = dosDevices_ + "/" + FoldAsciiCase(drive) + ":";
    // Only "nothing there" is remembered; any other state is left to each call.
    if (::stat(entry.c_str(), &info) == 0) {
      known = info.st_ino == kRootRecord ? 2 : 1;
    } else {
      known = errno == ENOENT ? -1 : 1;
    }
  }
  return known > 0;
}

bool PosixPlatform::DriveViewGivesRecords(char drive) {
  return DriveViewExists(drive) && driveViews_[static_cast<unsigned char>(drive)] == 2;
}

FileHandle PosixPlatform::CreateFileA(std::string_view path, std::uint32_t desiredAccess,
                                      std::uint32_t /*shareMode*/,
                                      std::uint32_t creationDisposition) {
  HostPath host;
  if (!MapPath(path, &host)) return kInvalidHandleValue;
  if (!host.rawVolume && desiredAccess == kGenericRead && creationDisposition == kOpenExisting) {
    // The checks an open would make, without the open.
    struct stat info {};
    if (::stat(host.path.c_str(), &info) != 0) {
      SetError(errno);
      return kInvalidHandleValue;
    }
    if (S_ISDIR(info.st_mode)) {
      SetError(EISDIR);
      return kInvalidHandleValue;
    }
    // Root reads any file; asking would cost another round trip through FUSE.
    if (!effectiveRoot_ && ::faccessat(AT_FDCWD, host.path.c_str(), R_OK, AT_EACCESS) != 0) {
      SetError(errno);
      return kInvalidHandleValue;
    }
    FileHandle handle = nextDeferred_--;
    deferred_[handle] =
        DeferredFile{std::move(host.path), static_cast<std::uint64_t>(info.st_size)};
    return handle;
  }
  int flags = O_RDONLY;
  if (!host.rawVolume) {
    bool reading = (desiredAccess & kGenericRead) != 0;
    bool writing = (desiredAccess & kGenericWrite) != 0;
    flags = writing ? (reading ? O_RDWR : O_WRONLY) : O_RDONLY;
    if (creationDisposition == kCreateAlways) flags |= O_CREAT | O_TRUNC;
    if (creationDisposition == kCreateNew) flags |= O_CREAT | O_EXCL;
    if (creationDisposition == kOpenAlways) flags |= O_CREAT;
    if (creationDisposition == kTruncateExisting) flags |= O_TRUNC;
  }
  int fd = ::open(host.path.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) {
    SetError(errno);
    return kInvalidHandleValue;
  }
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    SetError(EISDIR);
    return kInvalidHandleValue;
  }
  return fd;
}

int PosixPlatform::DescriptorOf(FileHandle handle) {
  auto deferred = deferred_.find(handle);
  if (deferred == deferred_.end()) return static_cast<int>(handle);
  if (deferred->second.fd < 0) {
    deferred->second.fd = ::open(deferred->second.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (deferred->second.fd < 0) SetError(errno);
  }
  return deferred->second.fd;
}

bool PosixPlatform::ReadFile(FileHandle handle, std::span<std::byte> buffer,
                             std::uint32_t* bytesRead, const Overlapped* overlapped) {
  if (bytesRead != nullptr) *bytesRead = 0;
  const int fd = DescriptorOf(handle);
  if (fd < 0 && deferred_.count(handle) != 0) return false;
  std::uint64_t offset = 0;
  if (overlapped != nullptr) offset = (std::uint64_t{overlapped->OffsetHigh} << 32) | overlapped->Offset;
  std::size_t done = 0;
  while (done < buffer.size()) {
    ssize_t got = overlapped != nullptr
                      ? ::pread(fd, buffer.data() + done, buffer.size() - done,
                                static_cast<off_t>(offset + done))
                      : ::read(fd, buffer.data() + done, buffer.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      SetError(errno);
      if (bytesRead != nullptr) *bytesRead = static_cast<std::uint32_t>(done);
      return false;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  if (bytesRead != nullptr) *bytesRead = static_cast<std::uint32_t>(done);
  // Like Windows: a positioned read that starts at the end of the file fails.
  if (overlapped != nullptr && done == 0 && !buffer.empty()) {
    SetError("Reached the end of the file", kErrorHandleEof);
    return false;
  }
  return true;
}

bool PosixPlatform::WriteFile(FileHandle handle, std::span<const std::byte> buffer,
                              std::uint32_t* bytesWritten) {
  if (bytesWritten != nullptr) *bytesWritten = 0;
  if (deferred_.count(handle) != 0) {
    SetError(EBADF);  // opened for reading only
    return false;
  }
  std::size_t done = 0;
  while (done < buffer.size()) {
    ssize_t put = ::write(static_cast<int>(handle), buffer.data() + done, buffer.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      SetError(put < 0 ? errno : ENOSPC);
      if (bytesWritten != nullptr) *bytesWritten = static_cast<std::uint32_t>(done);
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  if (bytesWritten != nullptr) *bytesWritten = static_cast<std::uint32_t>(done);
  return true;
}

bool PosixPlatform::CloseHandle(FileHandle handle) {
  auto deferred = deferred_.find(handle);
  if (deferred != deferred_.end()) {
    int fd = deferred->second.fd;
    deferred_.erase(deferred);
    if (fd >= 0 && ::close(fd) != 0) {
      SetError(errno);
      return false;
    }
    return true;
  }
  if (handle < 0 || ::close(static_cast<int>(handle)) != 0) {
    SetError(handle < 0 ? EBADF : errno);
    return false;
  }
  return true;
}

std::uint32_t PosixPlatform::GetFileSize(FileHandle handle) {
  auto deferred = deferred_.find(handle);
  if (deferred != deferred_.end() && deferred->second.fd < 0) {
    return static_cast<std::uint32_t>(deferred->second.size & 0xFFFFFFFFu);
  }
  if (deferred != deferred_.end()) handle = deferred->second.fd;
  struct stat info {};
  if (::fstat(static_cast<int>(handle), &info) != 0) {
    SetError(errno);
    return kInvalidFileSize;
  }
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(info.st_size) & 0xFFFFFFFFu);
}

std::optional<std::uint64_t> PosixPlatform::GetLengthInfo(FileHandle handle) {
  const int fd = static_cast<int>(handle);
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  if (S_ISREG(info.st_mode)) return static_cast<std::uint64_t>(info.st_size);
  std::uint64_t bytes = 0;
  if (S_ISBLK(info.st_mode) && ::ioctl(fd, BLKGETSIZE64, &bytes) == 0) return bytes;
  return std::nullopt;
}

PosixPlatform::Directory* PosixPlatform::ReadDirectory(const HostPath& directory) {
  auto known = directories_.find(directory.path);
  if (known != directories_.end()) return &known->second;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.path.c_str()), ::closedir);
  if (!dir) {
    SetError(errno);
    return nullptr;
  }
  Directory entries;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries.names.Add(name);
    if (directory.recordNumbers) entries.records.push_back(entry->d_ino);
  }
  return &directories_.emplace(directory.path, std::move(entries)).first->second;
}

void PosixPlatform::LoadShortNames(const std::string& directory, Directory* entries) {
  if (entries->shortNamesLoaded) return;
  std::string path;
  for (std::size_t i = 0; i < entries->names.size(); ++i) {
    path.assign(directory).append("/").append(entries->names[i]);
    entries->shortNames.Add(ShortNameOf(path));
  }
  entries->shortNamesLoaded = true;
}

std::string PosixPlatform::ShortNameOf(const std::string& entryPath) {
  char value[64];
  ssize_t length = ::lgetxattr(entryPath.c_str(), kDosNameAttribute, value, sizeof value);
  if (length <= 0) return {};
  std::string name(value, static_cast<std::size_t>(length));
  return name.substr(0, name.find('\0'));
}

bool PosixPlatform::NextEntry(Search& search, FindData* findData) {
  if (search.next < search.entries.size()) {
    *findData = search.entries[search.next++];
    return true;
  }
  const Directory* directory = search.directory;
  const std::size_t index = search.next - search.entries.size();
  if (directory == nullptr || index >= directory->names.size()) return false;
  findData->cFileName.assign(directory->names[index]);
  findData->cAlternateFileName.assign(
      search.withShortNames ? directory->shortNames[index] : std::string_view());
  findData->fileRecord = directory->records.empty() ? 0 : directory->records[index];
  ++search.next;
  return true;
}

FindHandle PosixPlatform::StartSearch(Search search, FindData* findData) {
  if (!NextEntry(search, findData)) {
    SetError(ENOENT);
    return kInvalidHandleValue;
  }
  FindHandle handle = nextSearch_++;
  searches_[handle] = std::move(search);
  return handle;
}

FindHandle PosixPlatform::FindFirstFileA(std::string_view pattern, FindData* findData) {
  return FindFirstFileExA(pattern, FindExInfoStandard, findData);
}

FindHandle PosixPlatform::FindFirstFileExA(std::string_view pattern, FindexInfoLevels infoLevel,
                                           FindData* findData) {
  const bool wantShortNames = infoLevel != FindExInfoBasic;
  pattern = pattern.substr(0, pattern.find('\0'));
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == "\\*") {
    return StartListing(pattern.substr(0, pattern.size() - 2), wantShortNames, findData);
  }
  return StartLookup(pattern, wantShortNames, findData);
}

FindHandle PosixPlatform::StartListing(std::string_view directoryText, bool wantShortNames,
                                       FindData* findData) {
  HostPath directory;
  if (!MapPath(directoryText, &directory)) return kInvalidHandleValue;
  Directory* entries = ReadDirectory(directory);
  if (entries == nullptr) return kInvalidHandleValue;
  if (wantShortNames) LoadShortNames(directory.path, entries);
  Search search;
  // Windows gives "." and ".." for every directory but a drive's root.
  if (!directory.driveRoot) search.entries = {{".", ""}, {"..", ""}};
  search.directory = entries;
  search.withShortNames = entries->shortNamesLoaded;
  return StartSearch(std::move(search), findData);
}

FindHandle PosixPlatform::StartLookup(std::string_view path, bool wantShortNames,
                                      FindData* findData) {
  std::size_t slash = path.rfind('\\');
  std::string_view parent;
  std::string_view name;
  if (slash != std::string_view::npos) {
    parent = path.substr(0, slash);
    name = path.substr(slash + 1);
  } else if (path.size() >= 2 && path[1] == ':') {
    parent = path.substr(0, 2);
    name = path.substr(2);
  } else {
    parent = ".";
    name = path;
  }
  if (name.empty()) {
    SetError(ENOENT);
    return kInvalidHandleValue;
  }
  HostPath directory;
  if (!MapPath(parent.empty() ? std::string_view("\\") : parent, &directory)) {
    return kInvalidHandleValue;
  }
  Directory* entries = ReadDirectory(directory);
  if (entries == nullptr) return kInvalidHandleValue;
  std::optional<std::size_t> found = MatchEntry(directory.path, entries, name);
  if (!found) {
    SetError(ENOENT);
    return kInvalidHandleValue;
  }
  if (wantShortNames) LoadShortNames(directory.path, entries);
  Search search;
  search.entries.push_back(
      {std::string(entries->names[*found]),
       entries->shortNamesLoaded ? std::string(entries->shortNames[*found]) : std::string(),
       entries->records.empty() ? 0 : entries->records[*found]});
  return StartSearch(std::move(search), findData);
}

std::optional<std::size_t> PosixPlatform::MatchEntry(const std::string& directory,
                                                     Directory* entries, std::string_view name) {
  if (auto exact = entries->names.Find(name)) return exact;
  LoadShortNames(directory, entries);
  if (auto exact = entries->shortNames.Find(name)) return exact;
  for (std::size_t i = 0; i < entries->names.size(); ++i) {
    if (EqualsIgnoringAsciiCase(entries->names[i], name) ||
        (!entries->shortNames[i].empty() && EqualsIgnoringAsciiCase(entries->shortNames[i], name))) {
      return i;
    }
  }
  return std::nullopt;
}

bool PosixPlatform::FindNextFileA(FindHandle handle, FindData* findData) {
  auto it = searches_.find(handle);
  if (it == searches_.end() || !NextEntry(it->second, findData)) {
    SetError("There are no more files", 18);  // ERROR_NO_MORE_FILES
    return false;
  }
  return true;
}

bool PosixPlatform::FindClose(FindHandle handle) { return searches_.erase(handle) != 0; }

std::string PosixPlatform::WideCharToMultiByte(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00u), &out);
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      out.push_back('N');  // an unpaired surrogate has no encoding: the default character
    } else {
      AppendUtf8(unit, &out);
    }
  }
  return out;
}

}  // namespace sondrel

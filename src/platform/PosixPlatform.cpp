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
#include <utility>

#include "common/AsciiCase.h"
#include "platform/HostNames.h"
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

// Closes the descriptor it holds when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int value) : fd_(value) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int value) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = value;
  }

 private:
  int fd_;
};

// The open(2) flags for a CreateFile access and disposition.
int OpenFlagsOf(std::uint32_t desiredAccess, std::uint32_t creationDisposition) {
  const bool reading = (desiredAccess & kGenericRead) != 0;
  const bool writing = (desiredAccess & kGenericWrite) != 0;
  int flags = writing ? (reading ? O_RDWR : O_WRONLY) : O_RDONLY;
  if (creationDisposition == kCreateAlways) flags |= O_CREAT | O_TRUNC;
  if (creationDisposition == kCreateNew) flags |= O_CREAT | O_EXCL;
  if (creationDisposition == kOpenAlways) flags |= O_CREAT;
  if (creationDisposition == kTruncateExisting) flags |= O_TRUNC;
  return flags;
}

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform() {
  return std::make_unique<PosixPlatform>(PosixPlatform::DefaultDosDevices());
}

PosixPlatform::PosixPlatform(std::string dosDevices)
    : dosDevices_(std::move(dosDevices)), effectiveRoot_(::geteuid() == 0) {}

PosixPlatform::~PosixPlatform() {
  CloseDeferred();
  ForgetKnownFolders();
}

void PosixPlatform::ForgetKnownFolders() {
  for (KnownFolder& folder : knownFolders_) ::close(folder.fd);
  knownFolders_.clear();
}

PosixPlatform::PosixPlatform(PosixPlatform&& other) noexcept { *this = std::move(other); }

PosixPlatform& PosixPlatform::operator=(PosixPlatform&& other) noexcept {
  if (this == &other) return *this;
  CloseDeferred();
  ForgetKnownFolders();
  knownFolders_ = std::move(other.knownFolders_);
  other.knownFolders_.clear();  // its descriptors are this object's now
  dosDevices_ = std::move(other.dosDevices_);
  searches_ = std::move(other.searches_);
  nextSearch_ = other.nextSearch_;
  driveViews_ = other.driveViews_;
  deferred_ = std::move(other.deferred_);
  other.deferred_.clear();  // its descriptors are this object's now
  nextDeferred_ = other.nextDeferred_;
  lastError_ = std::move(other.lastError_);
  lastErrno_ = other.lastErrno_;
  effectiveRoot_ = other.effectiveRoot_;
  lastErrorCode_ = other.lastErrorCode_;
  return *this;
}

void PosixPlatform::CloseDeferred() {
  for (auto& [handle, file] : deferred_) {
    if (file.fd >= 0) ::close(file.fd);
    if (file.folder >= 0) ::close(file.folder);
  }
  deferred_.clear();
}

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
    if (!DriveViewExists(win32Path[0])) {
      SetError(ENOENT);
      return false;
    }
    if (driveEntry(win32Path[0], ":")) {
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
    return DeferOpen(AT_FDCWD, std::move(host.path));
  }
  const int flags = host.rawVolume ? O_RDONLY : OpenFlagsOf(desiredAccess, creationDisposition);
  int fd = ::open(host.path.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) {
    SetError(errno);
    return kInvalidHandleValue;
  }
  return RefuseFolder(fd);
}

FileHandle PosixPlatform::RefuseFolder(int fd) {
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
    deferred->second.fd =
        ::openat(deferred->second.folder, deferred->second.name.c_str(),
                 O_RDONLY | O_CLOEXEC | (deferred->second.folder >= 0 ? O_NOFOLLOW : 0));
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
    if (deferred->second.folder >= 0) ::close(deferred->second.folder);
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

FileHandle PosixPlatform::DeferOpen(int folder, std::string name) {
  Descriptor owned(folder);
  // The checks an open would make, without the open.
  struct stat info {};
  const int noFollow = folder >= 0 ? AT_SYMLINK_NOFOLLOW : 0;
  if (::fstatat(folder, name.c_str(), &info, noFollow) != 0) {
    SetError(errno);
    return kInvalidHandleValue;
  }
  if (S_ISDIR(info.st_mode)) {
    SetError(EISDIR);
    return kInvalidHandleValue;
  }
  if (S_ISLNK(info.st_mode)) {  // only reached on the view, where no link is followed
    SetError(ELOOP);
    return kInvalidHandleValue;
  }
  // Root reads any file; asking would cost another round trip through FUSE.
  if (!effectiveRoot_ && ::faccessat(folder, name.c_str(), R_OK, AT_EACCESS | noFollow) != 0) {
    SetError(errno);
    return kInvalidHandleValue;
  }
  FileHandle handle = nextDeferred_--;
  deferred_[handle] =
      DeferredFile{owned.release(), std::move(name), static_cast<std::uint64_t>(info.st_size)};
  return handle;
}

int PosixPlatform::OpenFolder(const WidePath& path, std::size_t depth) {
  if (!DriveViewExists(path.drive)) {
    SetError(ENOENT);
    return -1;
  }
  // The view's root may be a link to the mount point; nothing below it is followed.
  std::string root = dosDevices_ + "/" + FoldAsciiCase(path.drive) + ":";
  Descriptor folder(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) {
    SetError(errno);
    return -1;
  }
  for (std::size_t i = 0; i < depth && i < path.components.size(); ++i) {
    std::optional<std::string> name = EncodeHostName(path.components[i]);
    if (!name) {
      SetError(ENOENT);
      return -1;
    }
    Descriptor next(
        ::openat(folder.get(), name->c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0) {
      SetError(errno == ELOOP ? ENOTDIR : errno);
      return -1;
    }
    folder.reset(next.release());
  }
  return folder.release();
}

int PosixPlatform::OpenKnownFolder(const WidePath& path, std::size_t depth) {
  depth = std::min(depth, path.components.size());
  for (std::size_t i = 0; i < knownFolders_.size(); ++i) {
    const KnownFolder& known = knownFolders_[i];
    if (known.drive != path.drive || known.components.size() != depth ||
        !std::equal(known.components.begin(), known.components.end(),
                    path.components.begin())) {
      continue;
    }
    const int copy = ::fcntl(known.fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) break;
    std::rotate(knownFolders_.begin(), knownFolders_.begin() + static_cast<std::ptrdiff_t>(i),
                knownFolders_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    return copy;
  }
  const int folder = OpenFolder(path, depth);
  if (folder < 0) return folder;
  const int kept = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (kept >= 0) {
    if (knownFolders_.size() >= kKnownFolders) {
      ::close(knownFolders_.back().fd);
      knownFolders_.pop_back();
    }
    KnownFolder known;
    known.drive = path.drive;
    known.components.assign(path.components.begin(),
                            path.components.begin() + static_cast<std::ptrdiff_t>(depth));
    known.fd = kept;
    knownFolders_.insert(knownFolders_.begin(), std::move(known));
  }
  return folder;
}

std::u16string PosixPlatform::ShortNameOf(int folder, const std::string& name) {
  // Through the folder's descriptor: a short path whatever the folder's depth.
  std::string path = "/proc/self/fd/" + std::to_string(folder) + "/" + name;
  char value[64];
  ssize_t length = ::lgetxattr(path.c_str(), kDosNameAttribute, value, sizeof value);
  if (length <= 0) return {};
  std::string_view bytes(value, static_cast<std::size_t>(length));
  // ntfs-3g gives the name in the same UTF-8 as entry names, unterminated.
  std::optional<std::u16string> decoded = DecodeHostName(bytes.substr(0, bytes.find('\0')));
  return decoded.value_or(std::u16string());
}

FindHandle PosixPlatform::StartSearch(Search search, FindDataW* findData) {
  if (search.entries.empty()) {
    SetError(ENOENT);
    return kInvalidHandleValue;
  }
  *findData = search.entries[0];
  search.next = 1;
  FindHandle handle = nextSearch_++;
  searches_[handle] = std::move(search);
  return handle;
}

FindHandle PosixPlatform::FindFirstFileExW(const WidePath& directory, FindexInfoLevels infoLevel,
                                           FindDataW* findData) {
  const std::size_t depth = directory.components.size();
  Descriptor parent(OpenFolder(directory, depth == 0 ? 0 : depth - 1));
  if (parent.get() < 0) return kInvalidHandleValue;
  std::optional<std::string> name =
      depth == 0 ? std::optional<std::string>(".") : EncodeHostName(directory.components.back());
  if (!name) {
    SetError(ENOENT);
    return kInvalidHandleValue;
  }
  const int fd =
      ::openat(parent.get(), name->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    SetError(errno == ELOOP ? ENOTDIR : errno);
    return kInvalidHandleValue;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), ::closedir);
  if (!dir) {
    SetError(errno);
    ::close(fd);
    return kInvalidHandleValue;
  }
  const bool records = DriveViewGivesRecords(directory.drive);
  Search search;
  // Windows gives "." and ".." for every directory but a drive's root.
  if (depth != 0) search.entries = {{u".", u"", 0}, {u"..", u"", 0}};
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string_view host = entry->d_name;
    if (host == "." || host == "..") continue;
    // Bytes ntfs-3g would not read as a name name no entry of the volume.
    std::optional<std::u16string> wide = DecodeHostName(host);
    if (!wide) continue;
    FindDataW data{std::move(*wide), {}, records ? std::uint64_t{entry->d_ino} : 0};
    if (infoLevel != FindExInfoBasic) data.cAlternateFileName = ShortNameOf(fd, entry->d_name);
    search.entries.push_back(std::move(data));
  }
  return StartSearch(std::move(search), findData);
}

FindHandle PosixPlatform::FindFirstFileW(const WidePath& path, FindDataW* findData) {
  if (path.components.empty()) {  // a drive's root is no entry of a folder
    SetError(ENOENT);
    return kInvalidHandleValue;
  }
  Descriptor parent(OpenKnownFolder(path, path.components.size() - 1));
  if (parent.get() < 0) return kInvalidHandleValue;
  std::optional<std::string> name = EncodeHostName(path.components.back());
  struct stat info {};
  if (!name) {
    SetError(ENOENT);
    return kInvalidHandleValue;
  }
  if (::fstatat(parent.get(), name->c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    SetError(errno);
    return kInvalidHandleValue;
  }
  Search search;
  search.entries.push_back(
      FindDataW{path.components.back(), ShortNameOf(parent.get(), *name),
                DriveViewGivesRecords(path.drive) ? std::uint64_t{info.st_ino} : 0});
  return StartSearch(std::move(search), findData);
}

bool PosixPlatform::FindNextFileW(FindHandle handle, FindDataW* findData) {
  auto it = searches_.find(handle);
  if (it == searches_.end() || it->second.next >= it->second.entries.size()) {
    SetError("There are no more files", 18);  // ERROR_NO_MORE_FILES
    return false;
  }
  *findData = it->second.entries[it->second.next++];
  return true;
}

FileHandle PosixPlatform::CreateFileW(const WidePath& path, std::uint32_t desiredAccess,
                                      std::uint32_t /*shareMode*/,
                                      std::uint32_t creationDisposition) {
  if (path.components.empty()) {  // the root is a folder, never a file
    SetError(EISDIR);
    return kInvalidHandleValue;
  }
  Descriptor folder(OpenKnownFolder(path, path.components.size() - 1));
  if (folder.get() < 0) return kInvalidHandleValue;
  std::optional<std::string> name = EncodeHostName(path.components.back());
  if (!name) {
    SetError(ENOENT);
    return kInvalidHandleValue;
  }
  if (desiredAccess == kGenericRead && creationDisposition == kOpenExisting) {
    return DeferOpen(folder.release(), std::move(*name));
  }
  int fd = ::openat(folder.get(), name->c_str(),
                    OpenFlagsOf(desiredAccess, creationDisposition) | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    SetError(errno);
    return kInvalidHandleValue;
  }
  return RefuseFolder(fd);
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

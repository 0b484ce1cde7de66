// The platform on Linux and other POSIX systems. Windows drive names are
// looked up in a "dosdevices" folder: "x::" names the raw volume (a block
// device or an image file), "x:" the root of the same volume's ordinary
// mounted view. Entry names are lower case whatever case the drive is typed in.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace sondrel {

class PosixPlatform : public Platform {
 public:
  explicit PosixPlatform(std::string dosDevices);
  ~PosixPlatform() override;
  PosixPlatform(PosixPlatform&& other) noexcept;
  PosixPlatform& operator=(PosixPlatform&& other) noexcept;

  // $SONDREL_DOSDEVICES when set, else ~/.sondrel/dosdevices.
  static std::string DefaultDosDevices();

  // The raw volume is always opened read-only, whatever access is asked for.
  // An existing file opened for reading only is checked (stat, read access)
  // at once but opened for real at its first read: asking its size costs one
  // lookup, not an open and a close through a FUSE mount.
  FileHandle CreateFileA(std::string_view path, std::uint32_t desiredAccess,
                         std::uint32_t shareMode, std::uint32_t creationDisposition) override;
  bool ReadFile(FileHandle handle, std::span<std::byte> buffer, std::uint32_t* bytesRead,
                const Overlapped* overlapped) override;
  bool WriteFile(FileHandle handle, std::span<const std::byte> buffer,
                 std::uint32_t* bytesWritten) override;
  bool CloseHandle(FileHandle handle) override;
  std::uint32_t GetFileSize(FileHandle handle) override;
  // A block device's size (BLKGETSIZE64) or a regular file's.
  std::optional<std::uint64_t> GetLengthInfo(FileHandle handle) override;
  // CreateFileW walks the path component by component from the drive's view
  // root, never following a symbolic link below it; reading an existing file
  // is deferred as CreateFileA's is, the file opened relative to its folder.
  FileHandle CreateFileW(const WidePath& path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                         std::uint32_t creationDisposition) override;
  // Lists with readdir, afresh on every call: "." and ".." first except at a
  // drive root, then each entry readdir gives whose name decodes as ntfs-3g's
  // do. FindExInfoStandard reads each entry's 8.3 name attribute; Basic none.
  FindHandle FindFirstFileExW(const WidePath& directory, FindexInfoLevels infoLevel,
                              FindDataW* findData) override;
  // The entry the last component names in its folder, asked for by exactly
  // that name (no pattern, no case folding), with its 8.3 name.
  FindHandle FindFirstFileW(const WidePath& path, FindDataW* findData) override;
  bool FindNextFileW(FindHandle handle, FindDataW* findData) override;
  bool FindClose(FindHandle handle) override;
  // UTF-8; an unpaired surrogate becomes 'N'.
  std::string WideCharToMultiByte(std::u16string_view text) override;
  std::uint32_t GetACP() override { return kCodePageUtf8; }
  std::string GetLastErrorMessage() override;
  std::uint32_t GetLastError() override { return lastErrorCode_; }

 private:
  struct HostPath {
    std::string path;
    bool rawVolume = false;
  };
  // A file opened for reading whose descriptor is opened at its first read:
  // name relative to the folder descriptor (owned, or AT_FDCWD for a path).
  struct DeferredFile {
    int folder = -1;
    std::string name;
    std::uint64_t size = 0;
    int fd = -1;
  };
  // A search in progress: its entries, read whole when it began.
  struct Search {
    std::vector<FindDataW> entries;
    std::size_t next = 0;
  };

  // The host path a Win32 path stands for; false when it names nothing.
  bool MapPath(std::string_view win32Path, HostPath* host);
  // An O_PATH descriptor of the folder the first `depth` components of path
  // name, opened one component at a time from the drive's view root; -1 with
  // the error set when one names nothing or is not a folder (a symbolic link
  // is not followed). The caller closes it.
  int OpenFolder(const WidePath& path, std::size_t depth);
  // OpenFolder through a folder a recent file lookup reached, when path names
  // the same one: a scan sizes and looks up the entries of a few folders at a
  // time (files created side by side in several folders lie interleaved in
  // the MFT), and each walk from the root costs a lookup per component.
  // Listings always walk afresh.
  int OpenKnownFolder(const WidePath& path, std::size_t depth);
  // The 8.3 name of the entry `name` in the open folder, empty for none.
  static std::u16string ShortNameOf(int folder, const std::string& name);
  FindHandle StartSearch(Search search, FindDataW* findData);
  // Opens name in folder (AT_FDCWD, or a descriptor it then owns and closes)
  // for reading without the open: checked now, opened at its first read.
  FileHandle DeferOpen(int folder, std::string name);
  void CloseDeferred();
  // False when the drive's "x:" entry does not exist; asked once per drive, so
  // a run without a mounted view makes no system call per path for it.
  bool DriveViewExists(char drive);
  // Whether the drive's view numbers its entries by MFT record, as ntfs-3g
  // does: its root, the volume's record 5, is inode 5.
  bool DriveViewGivesRecords(char drive);
  // fd as a handle, unless it is a folder (closed, EISDIR): CreateFile opens files.
  FileHandle RefuseFolder(int fd);
  // The descriptor behind a handle, opening a deferred file; -1 on failure.
  int DescriptorOf(FileHandle handle);
  void SetError(int error);
  void SetError(std::string message, std::uint32_t code);

  // Folders recent file lookups reached (O_PATH descriptors), by path, the
  // latest first; at most kKnownFolders.
  struct KnownFolder {
    char drive = 0;
    std::vector<std::u16string> components;
    int fd = -1;
  };
  static constexpr std::size_t kKnownFolders = 16;
  std::vector<KnownFolder> knownFolders_;
  void ForgetKnownFolders();

  std::string dosDevices_;
  std::map<FindHandle, Search> searches_;
  FindHandle nextSearch_ = 1;
  // 0 not asked, 1 exists, 2 exists and numbers entries by record, -1 missing.
  std::array<signed char, 256> driveViews_{};
  std::map<FileHandle, DeferredFile> deferred_;
  FileHandle nextDeferred_ = -2;  // below kInvalidHandleValue, apart from descriptors
  // The last error's text, or the errno it is made from when asked: a scan
  // without a mounted view fails a lookup per path, and strerror is not cheap.
  std::string lastError_;
  int lastErrno_ = 0;
  // Asked once: every size query of a scan would otherwise ask again.
  bool effectiveRoot_ = false;
  std::uint32_t lastErrorCode_ = 0;
};

}  // namespace sondrel

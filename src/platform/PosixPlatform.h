// The platform on Linux and other POSIX systems. Windows drive names are
// looked up in a "dosdevices" folder: "x::" names the raw volume (a block
// device or an image file), "x:" the root of the same volume's ordinary
// mounted view. Entry names are lower case whatever case the drive is typed in.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/NameTable.h"
#include "platform/Platform.h"

namespace sondrel {

class PosixPlatform : public Platform {
 public:
  explicit PosixPlatform(std::string dosDevices);

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
  // "<dir>\*" lists <dir> with readdir ("." and ".." first, except at a drive
  // root); any other path finds that one entry in its parent's listing by
  // long or 8.3 name, exact match first, then ignoring ASCII case. Each
  // directory is read once per platform object: the volume is examined, not
  // changed, and a scan looks up many entries of one directory.
  FindHandle FindFirstFileA(std::string_view pattern, FindData* findData) override;
  // FindExInfoBasic fetches no 8.3 name unless the search needs it to match:
  // each costs a getxattr through ntfs-3g.
  FindHandle FindFirstFileExA(std::string_view pattern, FindexInfoLevels infoLevel,
                              FindData* findData) override;
  bool FindNextFileA(FindHandle handle, FindData* findData) override;
  FileHandle CreateFileW(const WidePath&, std::uint32_t, std::uint32_t, std::uint32_t) override {
    return kInvalidHandleValue;
  }
  FindHandle FindFirstFileExW(const WidePath&, FindexInfoLevels, FindDataW*) override {
    return kInvalidHandleValue;
  }
  FindHandle FindFirstFileW(const WidePath&, FindDataW*) override { return kInvalidHandleValue; }
  bool FindNextFileW(FindHandle, FindDataW*) override { return false; }
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
    bool driveRoot = false;
    bool recordNumbers = false;  // the drive's view serves MFT record numbers as inodes
  };
  // A file opened for reading whose descriptor is opened at its first read.
  struct DeferredFile {
    std::string path;
    std::uint64_t size = 0;
    int fd = -1;
  };

  // The host path a Win32 path stands for; false when it names nothing.
  bool MapPath(std::string_view win32Path, HostPath* host);
  // One directory as readdir gave it, "." and ".." left out. The 8.3 names
  // (empty for none, in the same order) are fetched on first need, all at once.
  struct Directory {
    NameTable names;
    NameTable shortNames;
    bool shortNamesLoaded = false;
    // Each entry's d_ino, in the same order, where the view serves MFT record
    // numbers as inodes; empty elsewhere.
    std::vector<std::uint64_t> records;
  };
  // A search in progress: first the entries given (the "." and ".." of a
  // directory, or the one entry found), then, for a directory, its listing,
  // read in place rather than copied.
  struct Search {
    std::vector<FindData> entries;
    const Directory* directory = nullptr;
    bool withShortNames = false;  // as loaded when the search began
    std::size_t next = 0;  // counts entries first, then the directory's names
  };
  // The directory's snapshot, read on first use; null when it cannot be read.
  Directory* ReadDirectory(const HostPath& directory);
  void LoadShortNames(const std::string& directory, Directory* entries);
  // The one place an entry's 8.3 name is fetched.
  static std::string ShortNameOf(const std::string& entryPath);
  // "<dir>\*": the directory's listing, "." and ".." first except at a drive
  // root. The 8.3 names come with it when asked for or already loaded.
  FindHandle StartListing(std::string_view directoryText, bool wantShortNames,
                          FindData* findData);
  // Any other path: the one entry it names, looked up in its parent's listing
  // so that an entry the listing hides stays hidden here too.
  FindHandle StartLookup(std::string_view path, bool wantShortNames, FindData* findData);
  // The position of name in the listing: by long name exactly, then by 8.3
  // name exactly (loading the 8.3 names), then either ignoring ASCII case.
  std::optional<std::size_t> MatchEntry(const std::string& directory, Directory* entries,
                                        std::string_view name);
  FindHandle StartSearch(Search search, FindData* findData);
  // The search's next entry into findData; false past the last.
  static bool NextEntry(Search& search, FindData* findData);
  // False when the drive's "x:" entry does not exist; asked once per drive, so
  // a run without a mounted view makes no system call per path for it.
  bool DriveViewExists(char drive);
  // Whether the drive's view numbers its entries by MFT record, as ntfs-3g
  // does: its root, the volume's record 5, is inode 5.
  bool DriveViewGivesRecords(char drive);
  // The descriptor behind a handle, opening a deferred file; -1 on failure.
  int DescriptorOf(FileHandle handle);
  void SetError(int error);
  void SetError(std::string message, std::uint32_t code);

  std::string dosDevices_;
  std::map<FindHandle, Search> searches_;
  std::unordered_map<std::string, Directory> directories_;
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

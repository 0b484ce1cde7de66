// An in-memory platform for tests: files and volume images are byte vectors,
// directories are lists of FindData, and every read and search is recorded.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace sondrel {

// A directory entry as a test writes it: narrow names, read as UTF-8 when
// they are valid multi-byte UTF-8 and as Latin-1 otherwise (the fake's code
// page), and served as UTF-16.
struct FindData {
  std::string cFileName;           // the long name
  std::string cAlternateFileName;  // the 8.3 name, empty when there is none
  std::uint64_t fileRecord = 0;    // 0: the view does not tell records
};

class FakePlatform : public Platform {
 public:
  struct ReadCall {
    FileHandle handle;
    bool positioned;
    std::uint64_t offset;  // the Overlapped offset, joined again
    std::uint32_t length;
  };
  struct OpenCall {
    std::string path;
    std::uint32_t desiredAccess;
    std::uint32_t shareMode;
    std::uint32_t creationDisposition;
  };

  // Contents by path: a volume device ("\\.\X:") or an ordinary file.
  std::map<std::string, std::vector<std::byte>> files;
  // Directory listings by directory text (e.g. "X:" or "X:\dir"). A WidePath
  // names the text of its drive and components joined by "\", each component
  // in the test's narrow form (Latin-1 when it fits, else UTF-8); a component
  // that holds a "\" names nothing. Served component by component as a real
  // view would: a listing gives the directory's entries ("." and ".." first
  // below a root), a lookup the one entry named exactly, long or 8.3 name.
  std::map<std::string, std::vector<FindData>> directories;
  // Called before each listing is served, with the directory's text: a test
  // changes the tree here to play a system that changes during a scan.
  std::function<void(const std::string&)> beforeListing;
  // What GetLengthInfo answers for a path in place of the served file's size;
  // nullopt plays a device that cannot tell its length.
  std::map<std::string, std::optional<std::uint64_t>> deviceLengths;
  // Paths that exist but cannot be opened (as if locked).
  std::vector<std::string> lockedPaths;

  std::vector<OpenCall> opens;
  std::vector<ReadCall> reads;
  // Every search as text: "<dir>\*" for a listing, the path for a lookup.
  std::vector<std::string> searches;
  std::vector<FindexInfoLevels> searchLevels;  // the level of each search, in step
  int openHandles = 0;

  FileHandle CreateFileA(std::string_view path, std::uint32_t desiredAccess,
                         std::uint32_t shareMode, std::uint32_t creationDisposition) override;
  bool ReadFile(FileHandle handle, std::span<std::byte> buffer, std::uint32_t* bytesRead,
                const Overlapped* overlapped) override;
  bool WriteFile(FileHandle handle, std::span<const std::byte> buffer,
                 std::uint32_t* bytesWritten) override;
  bool CloseHandle(FileHandle handle) override;
  std::uint32_t GetFileSize(FileHandle handle) override;
  // Opens the file named by the path's text, as CreateFileA would.
  FileHandle CreateFileW(const WidePath& path, std::uint32_t desiredAccess,
                         std::uint32_t shareMode, std::uint32_t creationDisposition) override;
  // FindExInfoBasic answers with every cAlternateFileName empty.
  FindHandle FindFirstFileExW(const WidePath& directory, FindexInfoLevels infoLevel,
                              FindDataW* findData) override;
  FindHandle FindFirstFileW(const WidePath& path, FindDataW* findData) override;
  bool FindNextFileW(FindHandle handle, FindDataW* findData) override;
  bool FindClose(FindHandle handle) override;
  // Code units below 0x100 map to one byte (a Latin-1 code page); others to 'N'.
  std::string WideCharToMultiByte(std::u16string_view text) override;
  std::uint32_t GetACP() override { return kCodePageLatin1; }
  std::string GetLastErrorMessage() override { return lastError_; }
  // The size of the file the handle serves, unless deviceLengths says otherwise.
  std::optional<std::uint64_t> GetLengthInfo(FileHandle handle) override;

 private:
  struct OpenFile {
    std::string path;
    std::uint64_t position = 0;
    bool writable = false;
  };
  struct Search {
    std::vector<FindDataW> entries;
    std::size_t next = 0;
  };
  std::map<FileHandle, OpenFile> open_;
  // The text a WidePath names here; nullopt when a component holds a "\".
  static std::optional<std::string> TextOf(const WidePath& path);
  FindHandle StartSearch(Search search, FindDataW* findData);

  std::map<FindHandle, Search> searches_;
  std::intptr_t nextHandle_ = 100;
  std::string lastError_;
};

}  // namespace sondrel

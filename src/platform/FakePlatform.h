// An in-memory platform for tests: files and volume images are byte vectors,
// directories are lists of FindData, and every read and search is recorded.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace sondrel {

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
  // Directory listings by directory text (e.g. "X:" or "X:\dir"); a search
  // pattern "<dir>\*" lists it, a full path "<dir>\<name>" finds one entry by
  // long or short name (exact first, then ignoring ASCII case).
  std::map<std::string, std::vector<FindData>> directories;
  // What GetLengthInfo answers for a path in place of the served file's size;
  // nullopt plays a device that cannot tell its length.
  std::map<std::string, std::optional<std::uint64_t>> deviceLengths;
  // Paths that exist but cannot be opened (as if locked).
  std::vector<std::string> lockedPaths;

  std::vector<OpenCall> opens;
  std::vector<ReadCall> reads;
  std::vector<std::string> searches;  // every FindFirstFileA/FindFirstFileExA argument
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
  FindHandle FindFirstFileA(std::string_view pattern, FindData* findData) override;
  // FindExInfoBasic answers with every cAlternateFileName empty.
  FindHandle FindFirstFileExA(std::string_view pattern, FindexInfoLevels infoLevel,
                              FindData* findData) override;
  bool FindNextFileA(FindHandle handle, FindData* findData) override;
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
    std::vector<FindData> entries;
    std::size_t next = 0;
  };
  std::map<FileHandle, OpenFile> open_;
  std::map<FindHandle, Search> searches_;
  std::intptr_t nextHandle_ = 100;
  std::string lastError_;
};

}  // namespace sondrel

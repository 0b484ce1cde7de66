#include "platform/FakePlatform.h"

#include <algorithm>
#include <cstring>

#include "common/AsciiCase.h"

namespace sondrel {
FileHandle FakePlatform::CreateFileA(std::string_view path, std::uint32_t desiredAccess,
                                     std::uint32_t shareMode,
                                     std::uint32_t creationDisposition) {
  std::string key(path);
  opens.push_back({key, desiredAccess, shareMode, creationDisposition});
  if (std::find(lockedPaths.begin(), lockedPaths.end(), key) != lockedPaths.end()) {
    lastError_ = "The process cannot access the file because it is being used by another process.";
    return kInvalidHandleValue;
  }
  if (creationDisposition == kCreateAlways) {
    files[key].clear();
  } else if (files.find(key) == files.end()) {
    lastError_ = "The system cannot find the file specified.";
    return kInvalidHandleValue;
  }
  FileHandle handle = nextHandle_++;
  open_[handle] = OpenFile{key, 0, (desiredAccess & kGenericWrite) != 0};
  ++openHandles;
  return handle;
}

bool FakePlatform::ReadFile(FileHandle handle, std::span<std::byte> buffer,
                            std::uint32_t* bytesRead, const Overlapped* overlapped) {
  if (bytesRead != nullptr) *bytesRead = 0;
  auto it = open_.find(handle);
  if (it == open_.end()) {
    lastError_ = "The handle is invalid.";
    return false;
  }
  std::uint64_t offset = overlapped != nullptr
                             ? (std::uint64_t{overlapped->OffsetHigh} << 32) | overlapped->Offset
                             : it->second.position;
  reads.push_back({handle, overlapped != nullptr, offset, static_cast<std::uint32_t>(buffer.size())});
  const std::vector<std::byte>& data = files[it->second.path];
  std::uint64_t available = offset < data.size() ? data.size() - offset : 0;
  std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(available, buffer.size()));
  if (count > 0) std::memcpy(buffer.data(), data.data() + offset, count);
  if (overlapped == nullptr) it->second.position += count;
  if (bytesRead != nullptr) *bytesRead = static_cast<std::uint32_t>(count);
  if (count == 0 && !buffer.empty() && overlapped != nullptr) {
    lastError_ = "Reached the end of the file.";
    return false;
  }
  return true;
}

bool FakePlatform::WriteFile(FileHandle handle, std::span<const std::byte> buffer,
                             std::uint32_t* bytesWritten) {
  if (bytesWritten != nullptr) *bytesWritten = 0;
  auto it = open_.find(handle);
  if (it == open_.end() || !it->second.writable) {
    lastError_ = "Access is denied.";
    return false;
  }
  std::vector<std::byte>& data = files[it->second.path];
  data.insert(data.end(), buffer.begin(), buffer.end());
  if (bytesWritten != nullptr) *bytesWritten = static_cast<std::uint32_t>(buffer.size());
  return true;
}

std::optional<std::uint64_t> FakePlatform::GetLengthInfo(FileHandle handle) {
  auto it = open_.find(handle);
  if (it == open_.end()) return std::nullopt;
  auto given = deviceLengths.find(it->second.path);
  if (given != deviceLengths.end()) return given->second;
  return files[it->second.path].size();
}

bool FakePlatform::CloseHandle(FileHandle handle) {
  if (open_.erase(handle) == 0) return false;
  --openHandles;
  return true;
}

std::uint32_t FakePlatform::GetFileSize(FileHandle handle) {
  auto it = open_.find(handle);
  if (it == open_.end()) return kInvalidFileSize;
  return static_cast<std::uint32_t>(files[it->second.path].size());
}

FindHandle FakePlatform::FindFirstFileA(std::string_view pattern, FindData* findData) {
  return FindFirstFileExA(pattern, FindExInfoStandard, findData);
}

FindHandle FakePlatform::FindFirstFileExA(std::string_view pattern, FindexInfoLevels infoLevel,
                                          FindData* findData) {
  searches.emplace_back(pattern);
  searchLevels.push_back(infoLevel);
  std::string text(pattern);
  std::size_t slash = text.rfind('\\');
  std::string directory = slash == std::string::npos ? std::string() : text.substr(0, slash);
  std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
  auto dir = directories.find(directory);
  if (dir == directories.end()) {
    lastError_ = "The system cannot find the path specified.";
    return kInvalidHandleValue;
  }
  Search search;
  if (name == "*") {
    search.entries = dir->second;
  } else {
    auto matches = [&](const FindData& e, bool exact) {
      return exact ? (e.cFileName == name || e.cAlternateFileName == name)
                   : (EqualsIgnoringAsciiCase(e.cFileName, name) ||
                      EqualsIgnoringAsciiCase(e.cAlternateFileName, name));
    };
    for (bool exact : {true, false}) {
      auto found = std::find_if(dir->second.begin(), dir->second.end(),
                                [&](const FindData& e) { return matches(e, exact); });
      if (found != dir->second.end()) {
        search.entries.push_back(*found);
        break;
      }
    }
  }
  if (search.entries.empty()) {
    lastError_ = "The system cannot find the file specified.";
    return kInvalidHandleValue;
  }
  if (infoLevel == FindExInfoBasic) {
    for (FindData& entry : search.entries) entry.cAlternateFileName.clear();
  }
  *findData = search.entries[0];
  search.next = 1;
  FindHandle handle = nextHandle_++;
  searches_[handle] = std::move(search);
  return handle;
}

bool FakePlatform::FindNextFileA(FindHandle handle, FindData* findData) {
  auto it = searches_.find(handle);
  if (it == searches_.end() || it->second.next >= it->second.entries.size()) return false;
  *findData = it->second.entries[it->second.next++];
  return true;
}

bool FakePlatform::FindClose(FindHandle handle) { return searches_.erase(handle) != 0; }

std::string FakePlatform::WideCharToMultiByte(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t unit : text) out.push_back(unit < 0x100 ? static_cast<char>(unit) : 'N');
  return out;
}

}  // namespace sondrel

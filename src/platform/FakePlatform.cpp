#include "platform/FakePlatform.h"

#include <algorithm>
#include <cstring>


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

namespace {

// The narrow form of a name: Latin-1 when every unit fits, else UTF-8.
std::string NarrowOf(std::u16string_view name) {
  std::string out;
  if (std::all_of(name.begin(), name.end(), [](char16_t unit) { return unit < 0x100; })) {
    for (char16_t unit : name) out.push_back(static_cast<char>(unit));
    return out;
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    std::uint32_t c = name[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
        name[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00u);
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// The UTF-16 form of a test's name: UTF-8 when it is valid multi-byte UTF-8
// (surrogates encoded alone included), else Latin-1.
std::u16string WideOf(std::string_view name) {
  std::u16string out;
  bool multiByte = false;
  for (std::size_t i = 0; i < name.size();) {
    const auto lead = static_cast<unsigned char>(name[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3
                               : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || i + length > name.size()) {
      multiByte = false;
      out.clear();
      break;
    }
    std::uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
    bool valid = true;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(name[i + k]);
      if ((next & 0xC0) != 0x80) valid = false;
      c = (c << 6) | (next & 0x3F);
    }
    if (!valid) {
      multiByte = false;
      out.clear();
      break;
    }
    multiByte = multiByte || length > 1;
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += length;
  }
  if (multiByte) return out;
  out.clear();
  for (char byte : name) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(byte)));
  return out;
}

FindDataW Served(const FindData& entry, FindexInfoLevels level) {
  FindDataW wide{WideOf(entry.cFileName), WideOf(entry.cAlternateFileName), entry.fileRecord};
  if (level == FindExInfoBasic) wide.cAlternateFileName.clear();
  return wide;
}

}  // namespace

std::optional<std::string> FakePlatform::TextOf(const WidePath& path) {
  std::string text{path.drive, ':'};
  for (const std::u16string& component : path.components) {
    std::string narrow = NarrowOf(component);
    if (narrow.find('\\') != std::string::npos) return std::nullopt;
    text.append("\\").append(narrow);
  }
  return text;
}

FileHandle FakePlatform::CreateFileW(const WidePath& path, std::uint32_t desiredAccess,
                                     std::uint32_t shareMode,
                                     std::uint32_t creationDisposition) {
  std::optional<std::string> text = TextOf(path);
  if (!text) {
    lastError_ = "The filename, directory name, or volume label syntax is incorrect.";
    return kInvalidHandleValue;
  }
  return CreateFileA(*text, desiredAccess, shareMode, creationDisposition);
}

FindHandle FakePlatform::StartSearch(Search search, FindDataW* findData) {
  if (search.entries.empty()) {
    lastError_ = "The system cannot find the file specified.";
    return kInvalidHandleValue;
  }
  *findData = search.entries[0];
  search.next = 1;
  FindHandle handle = nextHandle_++;
  searches_[handle] = std::move(search);
  return handle;
}

FindHandle FakePlatform::FindFirstFileExW(const WidePath& directory, FindexInfoLevels infoLevel,
                                          FindDataW* findData) {
  std::optional<std::string> text = TextOf(directory);
  searches.push_back(text.value_or("?") + "\\*");
  searchLevels.push_back(infoLevel);
  if (text && beforeListing) beforeListing(*text);
  auto dir = text ? directories.find(*text) : directories.end();
  if (dir == directories.end()) {
    lastError_ = "The system cannot find the path specified.";
    return kInvalidHandleValue;
  }
  Search search;
  if (!directory.components.empty()) search.entries = {{u".", u""}, {u"..", u""}};
  for (const FindData& entry : dir->second) search.entries.push_back(Served(entry, infoLevel));
  return StartSearch(std::move(search), findData);
}

FindHandle FakePlatform::FindFirstFileW(const WidePath& path, FindDataW* findData) {
  std::optional<std::string> text = TextOf(path);
  searches.push_back(text.value_or("?"));
  searchLevels.push_back(FindExInfoStandard);
  Search search;
  if (text && !path.components.empty()) {
    WidePath parent = path;
    parent.components.pop_back();
    std::string directory = *TextOf(parent);
    const std::u16string& name = path.components.back();
    auto dir = directories.find(directory);
    if (dir != directories.end()) {
      for (const FindData& entry : dir->second) {
        FindDataW served = Served(entry, FindExInfoStandard);
        if (served.cFileName == name || served.cAlternateFileName == name) {
          search.entries.push_back(std::move(served));
          break;
        }
      }
    }
  }
  return StartSearch(std::move(search), findData);
}

bool FakePlatform::FindNextFileW(FindHandle handle, FindDataW* findData) {
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

#include "names/DirectoryView.h"

#include "common/AsciiCase.h"

namespace sondrel {
namespace {

bool IsDriveComponent(std::string_view component) {
  return component.size() == 2 && component[1] == ':';
}

}  // namespace

// FindExInfoBasic adds the long names, FindExInfoStandard the short names
// that differ from them.
bool DirectoryView::ListDirectory(std::string_view directory, FindexInfoLevels level,
                                  NameTable& names) {
  std::string pattern;
  pattern.reserve(directory.size() + 2);
  pattern.append(directory).append("\\*");
  FindData entry;
  FindHandle handle = platform_.FindFirstFileExA(pattern, level, &entry);
  if (handle == kInvalidHandleValue) return false;
  do {
    if (level == FindExInfoBasic) {
      names.Add(entry.cFileName);
    } else if (!EqualsIgnoringAsciiCase(entry.cAlternateFileName, entry.cFileName)) {
      names.Add(entry.cAlternateFileName);
    }
  } while (platform_.FindNextFileA(handle, &entry));
  platform_.FindClose(handle);
  return true;
}

bool DirectoryView::Lists(std::string_view directory, std::string_view name) {
  DirectoryListing* listing = listings_.Lookup(directory);
  if (listing == nullptr) {
    // Entered before the search, so a failed search is not repeated.
    listing = &listings_.Insert(directory, DirectoryListing{});
    listing->searched = ListDirectory(directory, FindExInfoBasic, listing->names);
  }
  if (listing->names.Find(name)) return true;
  if (!listing->searched || listing->shortNamesAdded) return false;
  listing->shortNamesAdded = true;
  ListDirectory(directory, FindExInfoStandard, listing->names);
  return listing->names.Find(name).has_value();
}

std::optional<std::string_view> DirectoryView::LongNameOf(std::string_view directory,
                                                          std::string_view name) {
  if (name.empty()) return std::nullopt;
  searchPath_.assign(directory).push_back('\\');
  searchPath_.append(name);
  FindHandle handle = platform_.FindFirstFileExA(searchPath_, FindExInfoBasic, &entry_);
  if (handle == kInvalidHandleValue) return std::nullopt;
  platform_.FindClose(handle);
  // Found under its own long name, the component reads the same whether it is
  // replaced or not, so its 8.3 name need not be fetched.
  if (entry_.cFileName == name) return std::nullopt;
  handle = platform_.FindFirstFileA(searchPath_, &entry_);
  if (handle == kInvalidHandleValue) return std::nullopt;
  const bool stands = EqualsIgnoringAsciiCase(entry_.cAlternateFileName, entry_.cFileName);
  platform_.FindClose(handle);
  if (stands) return std::nullopt;
  return std::string_view(entry_.cFileName);
}

bool DirectoryView::IsVisibleToWin32(std::string_view path) {
  std::size_t slash = path.rfind('\\');
  if (slash == std::string_view::npos) return Lists(path, {});
  return Lists(path.substr(0, slash), path.substr(slash + 1));
}

std::uint32_t DirectoryView::QueryWin32FileSize(std::string_view path) {
  FileHandle handle = platform_.CreateFileA(path, kGenericRead, kFileShareRead, kOpenExisting);
  if (handle == kInvalidHandleValue) return 0;
  std::uint32_t size = platform_.GetFileSize(handle);
  if (size == kInvalidFileSize) size = 0;
  platform_.CloseHandle(handle);
  return size;
}

std::string DirectoryView::ExpandLongComponent(std::string_view path) {
  std::size_t slash = path.rfind('\\');
  if (slash == std::string_view::npos || slash + 1 == path.size()) return std::string(path);
  std::string expanded(path.substr(0, slash));
  AppendLongComponent(expanded, path.substr(slash + 1));
  return expanded;
}

void DirectoryView::AppendLongComponent(std::string& output, std::string_view component) {
  std::optional<std::string_view> longName = LongNameOf(output, component);
  output.push_back('\\');
  output.append(longName ? *longName : component);
}

std::string DirectoryView::ExpandLongPath(std::string_view path) {
  if (path.size() <= 3) return std::string(path);
  std::string output;
  std::size_t done = 0;  // bytes of path whose components are expanded into output
  std::string prefix;
  for (std::size_t slash = path.rfind('\\'); slash != std::string_view::npos && done == 0;
       slash = slash == 0 ? std::string_view::npos : path.rfind('\\', slash - 1)) {
    prefix.assign(path.substr(0, slash));
    auto found = expansions_.find(prefix);
    if (found != expansions_.end()) {
      output = found->second;
      done = slash + 1;
    }
  }
  std::string_view rest = path.substr(done);
  for (std::size_t slash = rest.find('\\'); slash != std::string_view::npos;
       slash = rest.find('\\')) {
    std::string_view component = rest.substr(0, slash);
    if (IsDriveComponent(component)) {
      output.assign(component);
    } else {
      AppendLongComponent(output, component);
    }
    rest.remove_prefix(slash + 1);
    done += slash + 1;
    expansions_.try_emplace(std::string(path.substr(0, done - 1)), output);
  }
  if (!rest.empty()) AppendLongComponent(output, rest);
  return output;
}

}  // namespace sondrel

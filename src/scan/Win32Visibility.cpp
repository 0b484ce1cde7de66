#include "scan/Win32Visibility.h"

#include <string>

#include "names/AsciiCase.h"

namespace sondrel {
namespace {

// FindExInfoBasic adds the long names, FindExInfoStandard the short names
// that differ from them. False when the directory cannot be listed.
bool ListDirectory(Platform& platform, std::string_view directory, FindexInfoLevels level,
                   NameTable& names) {
  std::string pattern;
  pattern.reserve(directory.size() + 2);
  pattern.append(directory).append("\\*");
  FindData entry;
  FindHandle handle = platform.FindFirstFileExA(pattern, level, &entry);
  if (handle == kInvalidHandleValue) return false;
  do {
    if (level == FindExInfoBasic) {
      names.Add(entry.cFileName);
    } else if (!EqualsIgnoringAsciiCase(entry.cAlternateFileName, entry.cFileName)) {
      names.Add(entry.cAlternateFileName);
    }
  } while (platform.FindNextFileA(handle, &entry));
  platform.FindClose(handle);
  return true;
}

}  // namespace

bool IsVisibleToWin32(Platform& platform, DirectoryCache& cache, std::string_view path) {
  std::string_view directory = path;
  std::string_view name;
  std::size_t slash = path.rfind('\\');
  if (slash != std::string_view::npos) {
    directory = path.substr(0, slash);
    name = path.substr(slash + 1);
  }
  DirectoryListing* listing = cache.Lookup(directory);
  if (listing == nullptr) {
    // Entered before the search, so a failed search is not repeated.
    listing = &cache.Insert(directory, DirectoryListing{});
    listing->searched = ListDirectory(platform, directory, FindExInfoBasic, listing->names);
  }
  if (listing->names.Find(name)) return true;
  if (!listing->searched || listing->shortNamesAdded) return false;
  listing->shortNamesAdded = true;
  ListDirectory(platform, directory, FindExInfoStandard, listing->names);
  return listing->names.Find(name).has_value();
}

}  // namespace sondrel

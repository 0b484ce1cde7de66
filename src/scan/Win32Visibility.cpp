#include "scan/Win32Visibility.h"

#include <string>

#include "names/AsciiCase.h"

namespace sondrel {
namespace {

void ListDirectory(Platform& platform, std::string_view directory, DirectoryListing& listing) {
  std::string pattern;
  pattern.reserve(directory.size() + 2);
  pattern.append(directory).append("\\*");
  FindData entry;
  FindHandle handle = platform.FindFirstFileA(pattern, &entry);
  if (handle == kInvalidHandleValue) return;
  do {
    listing.Insert(entry.cFileName, ListedName{});
    if (!EqualsIgnoringAsciiCase(entry.cAlternateFileName, entry.cFileName)) {
      listing.Insert(entry.cAlternateFileName, ListedName{});
    }
  } while (platform.FindNextFileA(handle, &entry));
  platform.FindClose(handle);
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
  const DirectoryListing* listing = cache.Lookup(directory);
  if (listing == nullptr) {
    // Entered before the search, so a failed search is not repeated.
    DirectoryListing& fresh = cache.Insert(directory, DirectoryListing{});
    ListDirectory(platform, directory, fresh);
    listing = &fresh;
  }
  return listing->Lookup(name) != nullptr;
}

}  // namespace sondrel

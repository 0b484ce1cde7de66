// Does the ordinary directory listing show a path's last component? The raw
// MFT is set against exactly this view: an entry a rootkit filters out of
// listings is missing here while its record is still in use.
#pragma once

#include <string_view>

#include "names/NameCache.h"
#include "names/NameTable.h"
#include "platform/Platform.h"

namespace sondrel {

// Every long name a directory search returned and, once a name was looked for
// that is not among them, every short name that differs from its long name
// other than in ASCII case: fetching 8.3 names can cost a call per entry.
struct DirectoryListing {
  NameTable names;
  bool searched = false;         // the long-name search succeeded
  bool shortNamesAdded = false;  // the search for short names was made
};
// Key: the directory text as split from a path (no trailing backslash).
using DirectoryCache = NameCache<DirectoryListing>;

// True when the listing of the path's directory (the text before the last
// backslash, or the whole path when there is none) holds the text after it,
// compared with case. Each directory text is searched once per run
// ("<dir>\*") for its long names, and once more for its short names only when
// a name is not among them; a directory that cannot be listed keeps an empty
// listing, so every path in it is not visible and it is not searched again.
bool IsVisibleToWin32(Platform& platform, DirectoryCache& cache, std::string_view path);

}  // namespace sondrel

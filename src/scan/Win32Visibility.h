// Does the ordinary directory listing show a path's last component? The raw
// MFT is set against exactly this view: an entry a rootkit filters out of
// listings is missing here while its record is still in use.
#pragma once

#include <string_view>

#include "names/NameCache.h"
#include "platform/Platform.h"

namespace sondrel {

// A listed name carries no data: being in the listing is the answer.
struct ListedName {};
// Every long name a directory search returned and, where it differs other
// than in ASCII case, the short name too.
using DirectoryListing = NameCache<ListedName>;
// Key: the directory text as split from a path (no trailing backslash).
using DirectoryCache = NameCache<DirectoryListing>;

// True when the listing of the path's directory (the text before the last
// backslash, or the whole path when there is none) holds the text after it,
// compared with case. Each directory text is searched once per run
// ("<dir>\*"); a directory that cannot be listed keeps an empty listing, so
// every path in it is not visible and it is not searched again.
bool IsVisibleToWin32(Platform& platform, DirectoryCache& cache, std::string_view path);

}  // namespace sondrel

// Rewriting 8.3 short components of a path into the long names that the
// directory search reports for them.
#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace sondrel {

// The path with its last component replaced by the entry's long name when a
// search for the whole path finds an entry whose short name differs from its
// long name other than in ASCII case (an entry without a short name counts).
// Unchanged when there is no backslash, it is the last character, or the
// search finds nothing. One FindFirstFileA, no wildcard.
std::string ExpandLongComponent(Platform& platform, std::string_view path);

// Expands every component from the top down, each searched under the prefix
// already expanded. A component "<c>:" restarts the output as that drive; a
// path that does not start with one gains a leading backslash; a trailing
// backslash is dropped. Paths of 3 bytes or fewer are returned unchanged with
// no search. Held whole at any length: a path the platform cannot reach is
// simply not found and stays as built.
std::string ExpandLongPath(Platform& platform, std::string_view path);

}  // namespace sondrel

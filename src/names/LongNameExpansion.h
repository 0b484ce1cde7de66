// Rewriting 8.3 short components of a path into the long names that the
// directory search reports for them.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/Platform.h"

namespace sondrel {

// What the components of a path before one of its backslashes expanded to,
// keyed by the path's text up to that backslash: the directories of a run are
// expanded once, not once for every path under them.
using PrefixExpansions = std::unordered_map<std::string, std::string>;

// The path with its last component replaced by the entry's long name when a
// search for the whole path finds an entry whose short name differs from its
// long name other than in ASCII case (an entry without a short name counts).
// Unchanged when there is no backslash, it is the last character, or the
// search finds nothing. One FindFirstFileExA without the 8.3 name, no
// wildcard; a second search with it when the entry was found by another name.
std::string ExpandLongComponent(Platform& platform, std::string_view path);

// Expands every component from the top down, each searched under the prefix
// already expanded. A component "<c>:" restarts the output as that drive; a
// path that does not start with one gains a leading backslash; a trailing
// backslash is dropped. Paths of 3 bytes or fewer are returned unchanged with
// no search. Held whole at any length: a path the platform cannot reach is
// simply not found and stays as built.
std::string ExpandLongPath(Platform& platform, std::string_view path);
// The same, taking the expansion of the longest prefix already in known and
// adding the prefixes it expands. A directory renamed during the run keeps
// the expansion it had when first met.
std::string ExpandLongPath(Platform& platform, std::string_view path, PrefixExpansions* known);

}  // namespace sondrel

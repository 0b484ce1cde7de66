// The full path of an MFT record, built from the chain of parent directories
// that the $FILE_NAME attributes record, up to the root directory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "names/NameCache.h"
#include "ntfs/VolumeContext.h"

namespace sondrel {

// What one directory record contributes to a path: its name and its parent.
struct ParentLink {
  std::uint32_t parentRecord = 0;  // low 32 bits of the first $FILE_NAME's parentReference
  std::string name;                // that $FILE_NAME's name, converted, held whole
  // False when the record gave no name: no "FILE" signature or no usable
  // $FILE_NAME. Cached too, so such a record is read once per run.
  bool usable = true;
};

// Key: the record number in decimal. Each directory record is read from the
// volume at most once per run.
using PathCache = NameCache<ParentLink>;

// The path of a record named ownName whose parent is parentRecord: the
// drive letter, ":\" and the components joined by "\" when the walk reaches
// the root (the record named "."). The walk also ends, without a drive part,
// at a parent number of 0, at a record that is its own parent, at a record
// met a second time (a loop), and at a record with no "FILE" signature or no
// $FILE_NAME; the path is then the components gathered so far. A record on
// the chain with an empty name makes the whole path empty. Nothing is cut:
// names and paths are held whole.
std::string BuildFullPath(const VolumeContext& volume, PathCache& cache, char driveLetter,
                          std::string_view ownName, std::uint32_t parentRecord);

// What every path below one parent record begins with: the text before the
// own name (with its closing ""), or nullopt when such paths are empty.
// A scan meets each directory many times and walks its chain once.
using ParentPrefixes = std::unordered_map<std::uint32_t, std::optional<std::string>>;
// The same path as above, the parent's part taken from or added to known.
std::string BuildFullPath(const VolumeContext& volume, PathCache& cache, char driveLetter,
                          std::string_view ownName, std::uint32_t parentRecord,
                          ParentPrefixes& known);

}  // namespace sondrel

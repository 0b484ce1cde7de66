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
#include "platform/Platform.h"

namespace sondrel {

// What one directory record contributes to a path: its name and its parent.
struct ParentLink {
  std::uint32_t parentRecord = 0;  // ParentRecordOf the first $FILE_NAME's parentReference
  std::string name;                // that $FILE_NAME's name, converted, held whole
  // False when the record gave no name: no "FILE" signature or no usable
  // $FILE_NAME. Cached too, so such a record is read once per run.
  bool usable = true;
};

// Key: the record number in decimal. Each directory record is read from the
// volume at most once per run.
using PathCache = NameCache<ParentLink>;

// What every path below one parent record begins with: the text before the
// own name (with its closing "\"), or nullopt when such paths are empty.
// A scan meets each directory many times and walks its chain once.
using ParentPrefixes = std::unordered_map<std::uint32_t, std::optional<std::string>>;

// Builds the paths of one run's records. Parent records are read from the
// volume; their names are converted through the platform given here.
class PathBuilder {
 public:
  PathBuilder(const VolumeContext& volume, Platform& platform, char driveLetter)
      : volume_(volume), platform_(platform), driveLetter_(driveLetter) {}
  PathBuilder(const PathBuilder&) = delete;
  PathBuilder& operator=(const PathBuilder&) = delete;

  // The path of a record named ownName whose parent is parentRecord: the
  // drive letter, ":\" and the components joined by "\" when the walk reaches
  // the root (the record named "."). The walk also ends, without a drive part,
  // at a parent number of 0, at a record that is its own parent, at a record
  // met a second time (a loop), and at a record with no "FILE" signature or no
  // $FILE_NAME; the path is then the components gathered so far. A record on
  // the chain with an empty name makes the whole path empty. Nothing is cut:
  // names and paths are held whole. Each parent's chain is walked once per
  // builder: a directory renamed on the volume during the run keeps its path.
  std::string BuildFullPath(std::string_view ownName, std::uint32_t parentRecord);

  // The directory records met so far, by record number; a caller may seed a
  // link in place of reading its record.
  PathCache& parentLinks() { return links_; }

 private:
  const ParentLink& LinkOf(std::uint32_t recordNumber);
  std::optional<std::string> ParentPrefix(std::uint32_t parentRecord);

  const VolumeContext& volume_;
  Platform& platform_;
  const char driveLetter_;
  PathCache links_;
  ParentPrefixes prefixes_;
};

}  // namespace sondrel

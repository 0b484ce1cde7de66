// The full path of an MFT record, built from the chain of parent directories
// that the $FILE_NAME attributes record, up to the root directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "names/NameCache.h"
#include "ntfs/VolumeContext.h"
#include "platform/Platform.h"

namespace sondrel {

// What one directory record contributes to a path: its name and its parent.
struct ParentLink {
  std::uint32_t parentRecord = 0;  // ParentRecordOf the first $FILE_NAME's parentReference
  std::string name;                // that $FILE_NAME's name, converted, held whole
  std::u16string wideName;         // the same name as the volume holds it
  std::u16string pairedLongName;   // PairedLongName of that $FILE_NAME, empty for none
  // False when the record gave no name: no "FILE" signature or no usable
  // $FILE_NAME. Cached too, so such a record is read once per run.
  bool usable = true;
};

// Key: the record number in decimal. Each directory record is read from the
// volume at most once per run.
using PathCache = NameCache<ParentLink>;

// What every path below one parent record begins with: the text before the
// own name (with its closing "\"), or nullopt when such paths are empty.
// A scan meets each directory many times and walks its chain once. Only
// prefixes that reach the root are kept: a walk that ends in a loop or at an
// orphan is walked again when asked again.
using ParentPrefixes = std::unordered_map<std::uint32_t, std::optional<std::string>>;

// The most bytes of prefix text kept at once. A chain of directories D deep
// has prefixes of up to D components each; past this the kept ones are
// dropped and the next walks, which resume at the nearest kept ancestor,
// start again from the root once.
inline constexpr std::size_t kMaxParentPrefixBytes = std::size_t{16} << 20;

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

  // The directories from just below the root down to directoryRecord, for a
  // directory whose chain reaches the root (empty for the root itself); nullopt
  // where its paths have no drive part (parent number 0, a loop, a record that
  // is its own parent, a record without a usable name). The walk is the one
  // BuildFullPath makes, over the links it has read.
  // With stopAt, the chain starts below the nearest directory where it holds.
  std::optional<std::vector<std::uint32_t>> RootedChain(
      std::uint32_t directoryRecord, const std::function<bool(std::uint32_t)>& stopAt = {});

  // What directory record recordNumber contributes to paths, read once per run.
  const ParentLink& Link(std::uint32_t recordNumber) { return LinkOf(recordNumber); }

  // The directory records met so far, by record number; a caller may seed a
  // link in place of reading its record.
  PathCache& parentLinks() { return links_; }

  // The bytes of prefix text kept now; never above kMaxParentPrefixBytes.
  std::size_t ParentPrefixBytes() const { return prefixBytes_; }

 private:
  const ParentLink& LinkOf(std::uint32_t recordNumber);
  bool ReachesRoot(std::uint32_t directoryRecord);
  std::optional<std::string> ParentPrefix(std::uint32_t parentRecord);
  void KeepPrefix(std::uint32_t parentRecord, std::optional<std::string> prefix);

  const VolumeContext& volume_;
  Platform& platform_;
  const char driveLetter_;
  PathCache links_;
  // Beside the cache, each link by its record number: a walk up a deep chain
  // costs one integer lookup a step, not a decimal text and its hash.
  std::unordered_map<std::uint32_t, const ParentLink*> linkByRecord_;
  // Whether each directory walked so far reaches the root. The links never
  // change within a run, so neither does the answer; a chain is then checked
  // for loops once, not on every walk.
  std::unordered_map<std::uint32_t, bool> rooted_;
  ParentPrefixes prefixes_;
  std::size_t prefixBytes_ = 0;
};

}  // namespace sondrel

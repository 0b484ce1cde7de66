// The ordinary view of the volume, the one every other program sees: what
// its directory listings show, the long names its searches report and the
// sizes its file API gives. The raw MFT is set against exactly this view: an
// entry a rootkit filters out of listings is missing here while its record
// is still in use. Every question is about one entry of one directory; the
// whole-path operations below are built from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/NameTable.h"
#include "names/PrefixTree.h"
#include "platform/Platform.h"

namespace sondrel {

// Every long name a directory search returned and, once a name was looked for
// that is not among them, every short name that differs from its long name
// other than in ASCII case: fetching 8.3 names can cost a call per entry.
struct DirectoryListing {
  NameTable names;
  bool searched = false;         // the long-name search succeeded
  bool shortNamesAdded = false;  // the search for short names was made
  // (record number, position in names) of every entry, by record number,
  // where the view told the record of every entry; empty elsewhere.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> records;
};

// What one directory component of a path expanded to, under the prefix
// before it: its long name, or the component itself when it stands.
struct ComponentExpansion {
  bool expanded = false;  // asked already
  bool replaced = false;  // longName takes the component's place
  std::string longName;
};

// One run's view. Listings and expansions are taken when first asked for and
// kept for the run: a directory changed during the run keeps the answers it
// gave first (a file created after its directory was listed stays unlisted).
// They are kept by directory in a PrefixTree, and only for texts that begin
// with a drive ("X:"): a path the walk could not take to the root (a parent
// loop, an orphan) is asked afresh each time, so the rotations of a loop of N
// directories cost one path's memory, not N paths of N prefixes each.
class DirectoryView {
 public:
  explicit DirectoryView(Platform& platform) : platform_(platform) {}
  DirectoryView(const DirectoryView&) = delete;
  DirectoryView& operator=(const DirectoryView&) = delete;

  // True when the listing of directory holds name, compared with case. Each
  // directory text is searched once per run ("<dir>\*") for its long names,
  // and once more for its short names only when a name is not among them; a
  // directory that cannot be listed keeps an empty listing, so no name is in
  // it and it is not searched again. Where the view tells each entry's record
  // and the caller gives the one name belongs to, a name that is no long name
  // is listed when that record is: the entry it is the 8.3 name of is found
  // without fetching any 8.3 name.
  bool Lists(std::string_view directory, std::string_view name,
             std::optional<std::uint64_t> record = std::nullopt);

  // The long name to put in place of name in directory: the name the search
  // for "<directory>\<name>" reports when the entry's short name differs from
  // it other than in ASCII case (an entry without a short name counts).
  // Nullopt when name stands: empty, not found, or found under its own long
  // name. One FindFirstFileExA without the 8.3 name, no wildcard; a second
  // search with it when the entry was found by another name. The view it
  // returns lasts until the next question.
  std::optional<std::string_view> LongNameOf(std::string_view directory, std::string_view name);

  // Whether the listing of the path's directory (the text before the last
  // backslash, or the whole path when there is none) holds the text after it;
  // record, when given, is the MFT record the path names (see Lists).
  bool IsVisibleToWin32(std::string_view path,
                        std::optional<std::uint64_t> record = std::nullopt);

  // Opens the path for reading with read sharing only and returns the low 32
  // bits of its size; 0 when it cannot be opened (a file held open for writing
  // by another process cannot) or its size cannot be read. Not cached: asked
  // once per record at most.
  std::uint32_t QueryWin32FileSize(std::string_view path);

  // The path with its last component replaced by LongNameOf. Unchanged when
  // there is no backslash or it is the last character.
  std::string ExpandLongComponent(std::string_view path);

  // Expands every component from the top down, each searched under the prefix
  // already expanded; a directory component expanded before under the same
  // prefix text is taken as it is, and a path below the directory expanded
  // last starts from there, so a chain of directories is not walked again.
  // A component "<c>:" restarts the output as that drive; a path that does
  // not start with one gains a leading backslash; a trailing backslash is
  // dropped. Paths of 3 bytes or fewer are returned unchanged with no search.
  // Before the first drive component, once a component is not found, those
  // below it are kept as built without a search.
  // Held whole at any length: a path the platform cannot reach is simply not
  // found and stays as built. When record, the MFT record the path names, is
  // given and the view tells each entry's record, the last component of a
  // path below a drive is expanded from its directory's listing: to the long
  // name of the entry that is that record, when it is listed and the component
  // is neither that name nor that name but for ASCII case.
  std::string ExpandLongPath(std::string_view path,
                             std::optional<std::uint64_t> record = std::nullopt);

 private:
  using RecordPositions = std::vector<std::pair<std::uint64_t, std::uint32_t>>;
  // Adds to names what one search of directory gives at level, and to records
  // (when given) each long name's record and position; false when the
  // directory cannot be listed.
  bool ListDirectory(std::string_view directory, FindexInfoLevels level, NameTable& names,
                     RecordPositions* records);
  // Searches directory's long names into listing, with their records where
  // the view tells every entry's.
  void SearchLongNames(std::string_view directory, DirectoryListing& listing);
  // The listing of the directory at node, whose text is directory, searched
  // on first use.
  DirectoryListing& ListingAt(std::uint32_t node, std::string_view directory);
  // The position in the listing's names of the entry that is record, when the
  // listing tells records and holds it.
  static std::optional<std::uint32_t> PositionOfRecord(const DirectoryListing& listing,
                                                       std::uint64_t record);
  // Appends "\" and the long name of the component that names record, taken
  // from the listing of its directory (at node, as directory spells it) when
  // it tells records; false, with nothing appended, elsewhere.
  bool AppendRecordsLongName(std::string& output, std::string_view component,
                             std::uint64_t record, std::uint32_t node,
                             std::string_view directory);
  // Appends "\" and component, or its long name, to output.
  void AppendLongComponent(std::string& output, std::string_view component);
  // The same for a path that did not reach the root, while searching holds;
  // a component not found clears it.
  void AppendOffRootComponent(std::string& output, std::string_view component, bool& searching);
  // The node of a directory text that begins with a drive, created when
  // absent; nullopt for any other text, which is not remembered.
  std::optional<std::uint32_t> DirectoryNode(std::string_view directory);

 public:
  // What the view holds beyond the listings' names: the tree's components and
  // the long names found for them. Grows with the directories met, not with
  // the paths below them.
  std::size_t RememberedBytes() const;

 private:
  // A directory text met last, and its node (and, for the expansion, the text
  // it expanded to): the next text below it resumes there.
  struct Cursor {
    std::string text;
    std::uint32_t node = PrefixTree::kTop;
    std::string expanded;
  };

  Platform& platform_;
  PrefixTree tree_;
  std::unordered_map<std::uint32_t, DirectoryListing> listings_;  // by node
  std::vector<ComponentExpansion> expansions_;                     // by node
  std::size_t expansionBytes_ = 0;
  Cursor listCursor_;
  Cursor expandCursor_;
  // Reused by LongNameOf, so a search costs no allocation of its own.
  std::string searchPath_;
  FindData entry_;
  bool lastFound_ = false;  // LongNameOf's last search found its entry
};

}  // namespace sondrel

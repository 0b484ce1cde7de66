// The ordinary view of the volume, the one every other program sees: what
// its directory listings show, the long names its entries carry and the sizes
// its file API gives. The raw MFT is set against exactly this view: an entry a
// rootkit filters out of listings is missing here while its record is still
// in use.
//
// The view is asked about a record's own names as the volume holds them
// (UTF-16), in the directory its $FILE_NAME names, and each directory is
// reached component by component down the chain of parent records its path
// was built from. Nothing is asked from a converted text, so neither a second
// conversion nor a pattern character can make one name stand for another, and
// a path that does not reach the drive's root is not looked up at all.
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
#include "names/PathBuilder.h"
#include "platform/Platform.h"

namespace sondrel {

// What one search of a directory showed, "." and ".." left out.
struct DirectoryListing {
  bool listed = false;            // the search succeeded
  bool shortNamesListed = false;  // shortNames holds every entry's 8.3 name
  WideNameTable longNames;        // entry i's long name
  WideNameTable shortNames;       // entry i's 8.3 name, empty for none
  // (record, entry) of every entry, sorted, where the view told every entry's
  // MFT record; empty where it does not tell them.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> byRecord;
  // 8.3 names fetched one entry at a time, by entry.
  std::unordered_map<std::uint32_t, std::u16string> fetchedShortNames;
};

// One run's view. A directory is listed when first asked about and its
// listing kept for the run; Relist takes it afresh.
class DirectoryView {
 public:
  DirectoryView(Platform& platform, PathBuilder& paths, char driveLetter)
      : platform_(platform), paths_(paths), driveLetter_(driveLetter) {}
  DirectoryView(const DirectoryView&) = delete;
  DirectoryView& operator=(const DirectoryView&) = delete;

  // Whether the listing of directory record parent shows record under name:
  // an entry whose long name, or whose 8.3 name, equals name unit for unit.
  // Where the view tells each entry's record, the entry must also be that
  // record: a name shown for another record does not show this one. There an
  // 8.3 name is matched through pairedLongName, the Win32 name the record
  // holds beside it (PairedLongName): the record's own entry listed under
  // exactly that long name shows it, and no 8.3 name is fetched; without a
  // pair, only the record's own entry's 8.3 name is fetched. False, with
  // nothing asked, when parent's chain does not reach the root. A directory
  // that cannot be listed shows nothing and is not searched again until
  // relisted.
  bool IsVisibleToWin32(std::uint32_t parent, std::u16string_view name, std::uint64_t record,
                        std::u16string_view pairedLongName = {});

  // Drops what directory record parent's listing showed, so that the next
  // question lists it afresh.
  void Relist(std::uint32_t parent);

  // The size the file API gives for record, the file named name in directory
  // record parent, opened for reading with read sharing only: the low 32 bits,
  // or 0 when it cannot be opened (a file held open for writing by another
  // process cannot) or sized, or when parent's chain does not reach the root.
  // Where the view tells records, a name that opens another record gives 0:
  // a masquerading name is not sized as the file it imitates.
  std::uint32_t QueryWin32FileSize(std::uint32_t parent, std::u16string_view name,
                                   std::uint64_t record, std::u16string_view pairedLongName = {});

  // The path to print for the record named name in directory record parent,
  // whose path as built is builtPath: each component from the root down that
  // is the 8.3 name of the entry it names exactly (and, where the view tells
  // records, of its own record's entry) is replaced by that entry's long name,
  // unless the two differ only in ASCII case. A component the view does not
  // show stays as built. A path whose chain does not reach the root is
  // returned as built: it is not looked up. builtName is name as converted
  // (the path's last component).
  std::string ExpandLongPath(std::string_view builtPath, std::string_view builtName,
                             std::uint32_t parent, std::u16string_view name,
                             std::uint64_t record, std::u16string_view pairedLongName = {});

  // The bytes of expanded directory texts kept now; never above
  // kMaxExpandedPrefixBytes.
  std::size_t ExpandedPrefixBytes() const { return prefixBytes_; }

  // The most bytes of expanded directory text kept at once; past it the kept
  // texts are dropped and built again from their directories' listings.
  static constexpr std::size_t kMaxExpandedPrefixBytes = std::size_t{16} << 20;

 private:
  // The path of directory record directory on the drive, or nullopt when its
  // chain does not reach the root.
  std::optional<WidePath> PathOf(std::uint32_t directory);
  // The text printed for a path whose chain does not reach the root.
  static std::string Unreached(std::string_view builtPath);
  // Directory record directory's listing, taken on first use; null when its
  // chain does not reach the root.
  DirectoryListing* ListingOf(std::uint32_t directory);
  // One search of the directory at level into listing; false when it cannot
  // be listed.
  bool Search(const WidePath& path, FindexInfoLevels level, DirectoryListing& listing);
  // Entry i's 8.3 name: from the full listing, or fetched for that entry alone.
  std::u16string_view ShortNameOf(std::uint32_t directory, DirectoryListing& listing,
                                  std::uint32_t entry);
  // The entry that shows record under name, as IsVisibleToWin32 decides, and
  // whether name is that entry's 8.3 name.
  struct Shown {
    std::uint32_t entry = 0;
    bool byShortName = false;
  };
  std::optional<Shown> EntryShowing(std::uint32_t directory, DirectoryListing& listing,
                                    std::u16string_view name, std::uint64_t record,
                                    std::u16string_view pairedLongName);
  // The text for the component name (builtName as converted) of record in
  // directory: the long name of the entry it is the 8.3 name of, or builtName.
  std::string ExpandComponent(std::uint32_t directory, std::u16string_view name,
                              std::string_view builtName, std::uint64_t record,
                              std::u16string_view pairedLongName);
  // "X:\" and directory's components expanded, each followed by "\".
  const std::string& ExpandedPrefix(std::uint32_t directory, const std::vector<std::uint32_t>& chain);
  void KeepPrefix(std::uint32_t directory, std::string prefix);

  Platform& platform_;
  PathBuilder& paths_;
  const char driveLetter_;
  std::unordered_map<std::uint32_t, DirectoryListing> listings_;  // by directory record
  std::unordered_map<std::uint32_t, std::string> prefixes_;       // by directory record
  std::size_t prefixBytes_ = 0;
};

}  // namespace sondrel

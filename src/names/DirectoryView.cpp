#include "names/DirectoryView.h"

#include <algorithm>

#include "common/AsciiCase.h"
#include "names/FileNameConversion.h"

namespace sondrel {
namespace {

bool IsSelfOrParent(std::u16string_view name) { return name == u"." || name == u".."; }

// An 8.3 name counts only where it differs from the long name other than in
// ASCII case: one that does not is the long name, as the entry's listing has it.
std::u16string_view DistinctShortName(std::u16string_view shortName,
                                      std::u16string_view longName) {
  return EqualsIgnoringAsciiCase(shortName, longName) ? std::u16string_view() : shortName;
}

}  // namespace

std::optional<WidePath> DirectoryView::PathOf(std::uint32_t directory) {
  std::optional<std::vector<std::uint32_t>> chain = paths_.RootedChain(directory);
  if (!chain) return std::nullopt;
  WidePath path;
  path.drive = driveLetter_;
  path.components.reserve(chain->size());
  for (std::uint32_t record : *chain) path.components.push_back(paths_.Link(record).wideName);
  return path;
}

bool DirectoryView::Search(const WidePath& path, FindexInfoLevels level,
                           DirectoryListing& listing) {
  listing = DirectoryListing{};
  FindDataW entry;
  FindHandle handle = platform_.FindFirstFileExW(path, level, &entry);
  if (handle == kInvalidHandleValue) return false;
  bool everyRecord = true;
  do {
    if (IsSelfOrParent(entry.cFileName)) continue;
    const auto index = static_cast<std::uint32_t>(listing.longNames.size());
    listing.longNames.Add(entry.cFileName);
    if (level == FindExInfoStandard) {
      listing.shortNames.Add(DistinctShortName(entry.cAlternateFileName, entry.cFileName));
    }
    everyRecord = everyRecord && entry.fileRecord != 0;
    if (everyRecord) listing.byRecord.emplace_back(entry.fileRecord, index);
  } while (platform_.FindNextFileW(handle, &entry));
  platform_.FindClose(handle);
  if (!everyRecord) listing.byRecord.clear();
  std::sort(listing.byRecord.begin(), listing.byRecord.end());
  listing.byRecord.shrink_to_fit();
  listing.listed = true;
  listing.shortNamesListed = level == FindExInfoStandard;
  return true;
}

DirectoryListing* DirectoryView::ListingOf(std::uint32_t directory) {
  auto known = listings_.find(directory);
  if (known != listings_.end()) return &known->second;
  // Whether a chain reaches the root is decided once per run: asked again,
  // an unreached one costs no walk.
  std::optional<WidePath> path = PathOf(directory);
  if (!path) return nullptr;
  // Kept whether or not the search succeeds, so a failed one is not repeated.
  DirectoryListing& listing = listings_[directory];
  Search(*path, FindExInfoBasic, listing);
  return &listing;
}

void DirectoryView::Relist(std::uint32_t parent) { listings_.erase(parent); }

std::u16string_view DirectoryView::ShortNameOf(std::uint32_t directory,
                                               DirectoryListing& listing, std::uint32_t entry) {
  if (listing.shortNamesListed) return listing.shortNames[entry];
  auto fetched = listing.fetchedShortNames.find(entry);
  if (fetched != listing.fetchedShortNames.end()) return fetched->second;
  std::u16string shortName;
  if (std::optional<WidePath> path = PathOf(directory)) {
    path->components.emplace_back(listing.longNames[entry]);
    FindDataW found;
    FindHandle handle = platform_.FindFirstFileW(*path, &found);
    if (handle != kInvalidHandleValue) {
      platform_.FindClose(handle);
      shortName = DistinctShortName(found.cAlternateFileName, listing.longNames[entry]);
    }
  }
  return listing.fetchedShortNames.emplace(entry, std::move(shortName)).first->second;
}

std::optional<DirectoryView::Shown> DirectoryView::EntryShowing(std::uint32_t directory,
                                                                DirectoryListing& listing,
                                                                std::u16string_view name,
                                                                std::uint64_t record,
                                                                std::u16string_view pairedLongName) {
  if (!listing.listed || name.empty()) return std::nullopt;
  if (!listing.byRecord.empty()) {
    // Only the entries that are this record; a twin name elsewhere shows nothing.
    auto [first, last] = std::equal_range(
        listing.byRecord.begin(), listing.byRecord.end(), std::make_pair(record, std::uint32_t{0}),
        [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto at = first; at != last; ++at) {
      if (listing.longNames[at->second] == name) return Shown{at->second, false};
    }
    if (!pairedLongName.empty()) {
      // The record's own entry under the long name its 8.3 name stands beside.
      for (auto at = first; at != last; ++at) {
        if (listing.longNames[at->second] == pairedLongName) return Shown{at->second, true};
      }
      return std::nullopt;
    }
    for (auto at = first; at != last; ++at) {
      if (ShortNameOf(directory, listing, at->second) == name) return Shown{at->second, true};
    }
    return std::nullopt;
  }
  if (std::optional<std::size_t> entry = listing.longNames.Find(name)) {
    return Shown{static_cast<std::uint32_t>(*entry), false};
  }
  if (!listing.shortNamesListed) {
    // The 8.3 names are asked for only once a name is not among the long ones.
    std::optional<WidePath> path = PathOf(directory);
    if (!path || !Search(*path, FindExInfoStandard, listing)) return std::nullopt;
    if (std::optional<std::size_t> entry = listing.longNames.Find(name)) {
      return Shown{static_cast<std::uint32_t>(*entry), false};
    }
  }
  if (std::optional<std::size_t> entry = listing.shortNames.Find(name)) {
    return Shown{static_cast<std::uint32_t>(*entry), true};
  }
  return std::nullopt;
}

bool DirectoryView::IsVisibleToWin32(std::uint32_t parent, std::u16string_view name,
                                     std::uint64_t record, std::u16string_view pairedLongName) {
  DirectoryListing* listing = ListingOf(parent);
  return listing != nullptr &&
         EntryShowing(parent, *listing, name, record, pairedLongName).has_value();
}

std::uint32_t DirectoryView::QueryWin32FileSize(std::uint32_t parent, std::u16string_view name,
                                                std::uint64_t record,
                                                std::u16string_view pairedLongName) {
  DirectoryListing* listing = ListingOf(parent);
  if (listing == nullptr) return 0;  // not reached from the root
  std::optional<WidePath> path = PathOf(parent);
  if (!path || name.empty()) return 0;
  path->components.emplace_back(name);
  if (!listing->byRecord.empty() &&
      !EntryShowing(parent, *listing, name, record, pairedLongName)) {
    // Not listed as this record: open the name only if it is this record.
    FindDataW found;
    FindHandle handle = platform_.FindFirstFileW(*path, &found);
    if (handle == kInvalidHandleValue) return 0;
    platform_.FindClose(handle);
    if (found.fileRecord != 0 && found.fileRecord != record) return 0;
  }
  FileHandle handle = platform_.CreateFileW(*path, kGenericRead, kFileShareRead, kOpenExisting);
  if (handle == kInvalidHandleValue) return 0;
  std::uint32_t size = platform_.GetFileSize(handle);
  if (size == kInvalidFileSize) size = 0;
  platform_.CloseHandle(handle);
  return size;
}

std::string DirectoryView::ExpandComponent(std::uint32_t directory, std::u16string_view name,
                                           std::string_view builtName, std::uint64_t record,
                                           std::u16string_view pairedLongName) {
  DirectoryListing* listing = ListingOf(directory);
  if (listing == nullptr) return std::string(builtName);
  std::optional<Shown> shown = EntryShowing(directory, *listing, name, record, pairedLongName);
  if (!shown || !shown->byShortName) return std::string(builtName);
  const std::u16string_view longName = listing->longNames[shown->entry];
  if (EqualsIgnoringAsciiCase(name, longName)) return std::string(builtName);
  return ConvertFileName(platform_, longName);
}

void DirectoryView::KeepPrefix(std::uint32_t directory, std::string prefix) {
  if (prefix.size() > kMaxExpandedPrefixBytes) return;
  if (prefixBytes_ + prefix.size() > kMaxExpandedPrefixBytes) {
    prefixes_.clear();
    prefixBytes_ = 0;
  }
  prefixBytes_ += prefix.size();
  prefixes_.insert_or_assign(directory, std::move(prefix));
}

std::string DirectoryView::Unreached(std::string_view builtPath) {
  // Not looked up; printed as such paths always were, after a backslash.
  if (builtPath.size() <= 3) return std::string(builtPath);
  // Appended, not "\\" + std::string(...): MinGW's GCC 12 takes that
  // operator+ for an overlapping copy (-Wrestrict) in the Windows builds.
  std::string text(1, '\\');
  text += builtPath;
  return text;
}

std::string DirectoryView::ExpandLongPath(std::string_view builtPath, std::string_view builtName,
                                          std::uint32_t parent, std::u16string_view name,
                                          std::uint64_t record,
                                          std::u16string_view pairedLongName) {
  std::string prefix;
  if (auto kept = prefixes_.find(parent); kept != prefixes_.end()) {
    prefix = kept->second;
  } else {
    // Down from the nearest directory whose expanded text is kept, or from
    // the root; the directories below it are expanded from their parents'
    // listings.
    std::optional<std::vector<std::uint32_t>> chain = paths_.RootedChain(
        parent, [this](std::uint32_t directory) { return prefixes_.contains(directory); });
    if (!chain) return Unreached(builtPath);
    const std::uint32_t top = chain->empty() ? parent : paths_.Link(chain->front()).parentRecord;
    if (auto above = prefixes_.find(top); above != prefixes_.end()) {
      prefix = above->second;
    } else {
      prefix = std::string{driveLetter_, ':', '\\'};
      if (chain->empty()) KeepPrefix(parent, prefix);
    }
    for (const std::uint32_t directory : *chain) {
      const ParentLink& link = paths_.Link(directory);
      prefix += ExpandComponent(link.parentRecord, link.wideName, link.name, directory,
                                link.pairedLongName);
      prefix.push_back('\\');
      KeepPrefix(directory, prefix);
    }
  }
  return prefix + ExpandComponent(parent, name, builtName, record, pairedLongName);
}

}  // namespace sondrel

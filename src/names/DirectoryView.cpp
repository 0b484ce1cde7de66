#include "names/DirectoryView.h"

#include <algorithm>

#include "common/AsciiCase.h"

namespace sondrel {
namespace {

bool IsDriveComponent(std::string_view component) {
  return component.size() == 2 && component[1] == ':';
}

// A text whose first component is a drive: what the path walk gives for a
// record it took to the root.
bool BeginsWithDrive(std::string_view text) {
  return IsDriveComponent(text.substr(0, text.find('\\')));
}

// Where text continues below the cursor's text: the offset of its next
// component, or nullopt when text does not lie below it (or equals it).
std::optional<std::size_t> Below(std::string_view cursorText, std::string_view text) {
  if (cursorText.empty() || text.size() <= cursorText.size() ||
      text[cursorText.size()] != '\\' || !text.starts_with(cursorText)) {
    return std::nullopt;
  }
  return cursorText.size() + 1;
}

}  // namespace

// FindExInfoBasic adds the long names, FindExInfoStandard the short names
// that differ from them.
bool DirectoryView::ListDirectory(std::string_view directory, FindexInfoLevels level,
                                  NameTable& names, RecordPositions* records) {
  std::string pattern;
  pattern.reserve(directory.size() + 2);
  pattern.append(directory).append("\\*");
  FindData entry;
  FindHandle handle = platform_.FindFirstFileExA(pattern, level, &entry);
  if (handle == kInvalidHandleValue) return false;
  do {
    if (level == FindExInfoBasic) {
      names.Add(entry.cFileName);
      if (records != nullptr) {
        records->emplace_back(entry.fileRecord, static_cast<std::uint32_t>(names.size() - 1));
      }
    } else if (!EqualsIgnoringAsciiCase(entry.cAlternateFileName, entry.cFileName)) {
      names.Add(entry.cAlternateFileName);
    }
  } while (platform_.FindNextFileA(handle, &entry));
  platform_.FindClose(handle);
  return true;
}

std::optional<std::uint32_t> DirectoryView::DirectoryNode(std::string_view directory) {
  if (!BeginsWithDrive(directory)) return std::nullopt;
  if (directory == listCursor_.text) return listCursor_.node;
  std::uint32_t node = PrefixTree::kTop;
  std::string_view rest = directory;
  if (std::optional<std::size_t> below = Below(listCursor_.text, directory)) {
    node = listCursor_.node;
    rest.remove_prefix(*below);
  }
  while (true) {
    std::size_t slash = rest.find('\\');
    node = tree_.Child(node, rest.substr(0, slash)).first;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  listCursor_.text.assign(directory);
  listCursor_.node = node;
  return node;
}

void DirectoryView::SearchLongNames(std::string_view directory, DirectoryListing& listing) {
  RecordPositions& records = listing.records;
  listing.searched = ListDirectory(directory, FindExInfoBasic, listing.names, &records);
  // Records count only where the view told every entry's ("." and ".." aside).
  std::erase_if(records, [&](const auto& entry) {
    std::string_view name = listing.names[entry.second];
    return name == "." || name == "..";
  });
  if (std::any_of(records.begin(), records.end(), [](const auto& r) { return r.first == 0; })) {
    records.clear();
  }
  std::sort(records.begin(), records.end());
  records.shrink_to_fit();
}

DirectoryListing& DirectoryView::ListingAt(std::uint32_t node, std::string_view directory) {
  // Entered before the search, so a failed search is not repeated.
  auto [at, created] = listings_.try_emplace(node);
  if (created) SearchLongNames(directory, at->second);
  return at->second;
}

std::optional<std::uint32_t> DirectoryView::PositionOfRecord(const DirectoryListing& listing,
                                                             std::uint64_t record) {
  auto at = std::lower_bound(listing.records.begin(), listing.records.end(),
                             std::make_pair(record, std::uint32_t{0}));
  if (at == listing.records.end() || at->first != record) return std::nullopt;
  return at->second;
}

bool DirectoryView::Lists(std::string_view directory, std::string_view name,
                          std::optional<std::uint64_t> record) {
  std::optional<DirectoryListing> unremembered;
  DirectoryListing* remembered = nullptr;
  if (std::optional<std::uint32_t> node = DirectoryNode(directory)) {
    remembered = &ListingAt(*node, directory);
  } else {
    SearchLongNames(directory, unremembered.emplace());
  }
  DirectoryListing& listing = remembered != nullptr ? *remembered : *unremembered;
  if (listing.names.Find(name)) return true;
  if (!listing.searched) return false;
  if (record && !listing.records.empty()) return PositionOfRecord(listing, *record).has_value();
  if (listing.shortNamesAdded) return false;
  listing.shortNamesAdded = true;
  ListDirectory(directory, FindExInfoStandard, listing.names, nullptr);
  return listing.names.Find(name).has_value();
}

std::optional<std::string_view> DirectoryView::LongNameOf(std::string_view directory,
                                                          std::string_view name) {
  lastFound_ = false;
  if (name.empty()) return std::nullopt;
  searchPath_.assign(directory).push_back('\\');
  searchPath_.append(name);
  FindHandle handle = platform_.FindFirstFileExA(searchPath_, FindExInfoBasic, &entry_);
  lastFound_ = handle != kInvalidHandleValue;
  if (!lastFound_) return std::nullopt;
  platform_.FindClose(handle);
  // Found under its own long name, the component reads the same whether it is
  // replaced or not, so its 8.3 name need not be fetched.
  if (entry_.cFileName == name) return std::nullopt;
  handle = platform_.FindFirstFileA(searchPath_, &entry_);
  if (handle == kInvalidHandleValue) return std::nullopt;
  const bool stands = EqualsIgnoringAsciiCase(entry_.cAlternateFileName, entry_.cFileName);
  platform_.FindClose(handle);
  if (stands) return std::nullopt;
  return std::string_view(entry_.cFileName);
}

bool DirectoryView::IsVisibleToWin32(std::string_view path, std::optional<std::uint64_t> record) {
  std::size_t slash = path.rfind('\\');
  if (slash == std::string_view::npos) return Lists(path, {}, record);
  return Lists(path.substr(0, slash), path.substr(slash + 1), record);
}

std::uint32_t DirectoryView::QueryWin32FileSize(std::string_view path) {
  FileHandle handle = platform_.CreateFileA(path, kGenericRead, kFileShareRead, kOpenExisting);
  if (handle == kInvalidHandleValue) return 0;
  std::uint32_t size = platform_.GetFileSize(handle);
  if (size == kInvalidFileSize) size = 0;
  platform_.CloseHandle(handle);
  return size;
}

std::string DirectoryView::ExpandLongComponent(std::string_view path) {
  std::size_t slash = path.rfind('\\');
  if (slash == std::string_view::npos || slash + 1 == path.size()) return std::string(path);
  std::string expanded(path.substr(0, slash));
  AppendLongComponent(expanded, path.substr(slash + 1));
  return expanded;
}

bool DirectoryView::AppendRecordsLongName(std::string& output, std::string_view component,
                                          std::uint64_t record, std::uint32_t node,
                                          std::string_view directory) {
  DirectoryListing& listing = ListingAt(node, directory);
  if (!listing.searched || listing.records.empty()) return false;
  std::string_view name = component;
  if (!listing.names.Find(component)) {
    std::optional<std::uint32_t> position = PositionOfRecord(listing, record);
    if (position && !EqualsIgnoringAsciiCase(component, listing.names[*position])) {
      name = listing.names[*position];
    }
  }
  output.push_back('\\');
  output.append(name);
  return true;
}

void DirectoryView::AppendLongComponent(std::string& output, std::string_view component) {
  std::optional<std::string_view> longName = LongNameOf(output, component);
  output.push_back('\\');
  output.append(longName ? *longName : component);
}

std::string DirectoryView::ExpandLongPath(std::string_view path,
                                          std::optional<std::uint64_t> record) {
  if (path.size() <= 3) return std::string(path);
  // Only a text that begins with a drive is remembered, by directory node.
  std::optional<std::uint32_t> node;
  if (BeginsWithDrive(path)) node = PrefixTree::kTop;
  std::string output;
  std::size_t done = 0;  // bytes of path whose components are expanded into output
  if (std::optional<std::size_t> below = node ? Below(expandCursor_.text, path) : std::nullopt) {
    output = expandCursor_.expanded;
    node = expandCursor_.node;
    done = *below;
  }
  // Before any drive component the path did not reach the root: its components
  // are searched from the root of the current drive, and once one is not found
  // there, none below it is searched (each search would cost the whole text
  // again, and a loop's rotations are many and long).
  bool searching = true;
  std::string_view rest = path.substr(done);
  for (std::size_t slash = rest.find('\\'); slash != std::string_view::npos;
       slash = rest.find('\\')) {
    std::string_view component = rest.substr(0, slash);
    if (IsDriveComponent(component)) {
      output.assign(component);
      searching = true;
      if (node) node = tree_.Child(*node, component).first;
    } else if (!node) {
      AppendOffRootComponent(output, component, searching);
    } else {
      node = tree_.Child(*node, component).first;
      if (expansions_.size() <= *node) expansions_.resize(tree_.size());
      ComponentExpansion& known = expansions_[*node];
      if (!known.expanded) {
        std::optional<std::string_view> longName = LongNameOf(output, component);
        known.expanded = true;
        known.replaced = longName.has_value();
        if (longName) known.longName.assign(*longName);
        expansionBytes_ += known.longName.size();
      }
      output.push_back('\\');
      output.append(known.replaced ? std::string_view(known.longName) : component);
    }
    rest.remove_prefix(slash + 1);
    done += slash + 1;
  }
  if (node && done > 0) {
    expandCursor_.text.assign(path.substr(0, done - 1));
    expandCursor_.node = *node;
    expandCursor_.expanded = output;
  }
  if (!rest.empty()) {
    if (node) {
      const std::string_view directory = path.substr(0, path.size() - rest.size() - 1);
      if (!(record && AppendRecordsLongName(output, rest, *record, *node, directory))) {
        AppendLongComponent(output, rest);
      }
    } else {
      AppendOffRootComponent(output, rest, searching);
    }
  }
  return output;
}

void DirectoryView::AppendOffRootComponent(std::string& output, std::string_view component,
                                           bool& searching) {
  if (!searching) {
    output.push_back('\\');
    output.append(component);
    return;
  }
  AppendLongComponent(output, component);
  searching = lastFound_ || component.empty();
}

std::size_t DirectoryView::RememberedBytes() const {
  return tree_.bytes() + expansionBytes_ + expansions_.size() * sizeof(ComponentExpansion);
}

}  // namespace sondrel

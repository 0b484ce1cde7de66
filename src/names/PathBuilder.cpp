#include "names/PathBuilder.h"

#include <algorithm>
#include <cstddef>
#include <span>
#include <unordered_set>
#include <vector>

#include "names/FileNameConversion.h"
#include "ntfs/FileRecord.h"
#include "ntfs/FileReference.h"
#include "ntfs/MftRecordAccess.h"
#include "ntfs/RecordFileName.h"

namespace sondrel {
namespace {

// Records met on one walk. Chains are short, so a few are compared in place;
// a long (hostile) chain moves to a set so the walk stays linear.
class VisitedRecords {
 public:
  // False when the record was met before.
  bool Add(std::uint32_t record) {
    if (set_.empty()) {
      if (std::find(few_.begin(), few_.end(), record) != few_.end()) return false;
      few_.push_back(record);
      if (few_.size() > 32) set_.insert(few_.begin(), few_.end());
      return true;
    }
    return set_.insert(record).second;
  }

 private:
  std::vector<std::uint32_t> few_;
  std::unordered_set<std::uint32_t> set_;
};

// Components were gathered from the record upward; the path runs downward.
// Each is followed by "\", so the own name can be appended.
std::string PrefixDownward(const std::vector<std::string_view>& upward, std::string path = {}) {
  std::size_t length = path.size() + upward.size();
  for (std::string_view part : upward) length += part.size();
  path.reserve(length);
  for (auto it = upward.rbegin(); it != upward.rend(); ++it) {
    path.append(*it);
    path.push_back('\\');
  }
  return path;
}

std::string Joined(const std::optional<std::string>& prefix, std::string_view ownName) {
  if (!prefix) return {};
  std::string path;
  path.reserve(prefix->size() + ownName.size());
  path.append(*prefix).append(ownName);
  return path;
}

// The root directory is the record named "." as the volume holds it: a name
// that only converts to "." (a full-width stop, say) is an ordinary directory.
bool IsRootName(const ParentLink& link) { return link.wideName == u"."; }

}  // namespace

const ParentLink& PathBuilder::LinkOf(std::uint32_t recordNumber) {
  if (auto indexed = linkByRecord_.find(recordNumber); indexed != linkByRecord_.end()) {
    return *indexed->second;
  }
  std::string key = std::to_string(recordNumber);
  if (const ParentLink* known = links_.Lookup(key)) {  // seeded by a caller
    linkByRecord_.emplace(recordNumber, known);
    return *known;
  }
  std::vector<std::byte> record(volume_.geometry.recordSize);
  ReadMftRecord(volume_, recordNumber, record);
  ParentLink link;
  link.usable = false;
  std::optional<FileNameValue> value;
  if (HasFileMagic(record)) value = ReadRecordFileName(volume_, record, recordNumber);
  if (value) {
    link.parentRecord = ParentRecordOf(value->parentReference);
    link.name = ConvertFileName(platform_, value->fileName);
    link.wideName.assign(value->fileName);
    link.pairedLongName = PairedLongName(record, *value).value_or(std::u16string());
    link.usable = true;
  }
  const ParentLink& stored = links_.Insert(key, std::move(link));
  linkByRecord_.emplace(recordNumber, &stored);
  return stored;
}

// The text that precedes a name whose parent is parentRecord (nonzero), or
// nullopt when a record on the chain has an empty name. The walk stops at the
// nearest ancestor whose prefix is kept, so each directory of a chain costs
// one step, not a walk to the root. Only a prefix that reached the root (or
// is empty) is kept.
std::optional<std::string> PathBuilder::ParentPrefix(std::uint32_t parentRecord) {
  // Views into the cache's entries, which never move.
  std::vector<std::string_view> upward;
  VisitedRecords visited;
  std::uint32_t current = parentRecord;
  std::optional<std::string> prefix;
  bool rooted = false;
  while (true) {
    if (!visited.Add(current)) break;
    if (current != parentRecord) {
      auto kept = prefixes_.find(current);
      if (kept != prefixes_.end()) {
        if (!kept->second) return std::nullopt;
        prefix = PrefixDownward(upward, *kept->second);
        rooted = true;
        break;
      }
    }
    const ParentLink& link = LinkOf(current);
    if (!link.usable) break;
    if (link.name.empty()) {
      KeepPrefix(parentRecord, std::nullopt);
      return std::nullopt;
    }
    if (IsRootName(link)) {
      prefix = PrefixDownward(upward, std::string{driveLetter_, ':', '\\'});
      rooted = true;
      break;
    }
    upward.push_back(link.name);
    if (link.parentRecord == current) break;
    current = link.parentRecord;
    if (current == 0) break;
  }
  if (!prefix) prefix = PrefixDownward(upward);
  if (rooted) KeepPrefix(parentRecord, prefix);
  return prefix;
}

void PathBuilder::KeepPrefix(std::uint32_t parentRecord, std::optional<std::string> prefix) {
  const std::size_t size = prefix ? prefix->size() : 0;
  if (size > kMaxParentPrefixBytes) return;
  if (prefixBytes_ + size > kMaxParentPrefixBytes) {
    prefixes_.clear();
    prefixBytes_ = 0;
  }
  prefixBytes_ += size;
  prefixes_.insert_or_assign(parentRecord, std::move(prefix));
}

bool PathBuilder::ReachesRoot(std::uint32_t directoryRecord) {
  std::vector<std::uint32_t> walked;
  VisitedRecords visited;
  std::uint32_t current = directoryRecord;
  bool rooted = false;
  while (true) {
    if (auto known = rooted_.find(current); known != rooted_.end()) {
      rooted = known->second;
      break;
    }
    if (current == 0 || !visited.Add(current)) break;
    const ParentLink& link = LinkOf(current);
    if (!link.usable || link.name.empty()) break;
    if (IsRootName(link)) {
      rooted = true;
      break;
    }
    walked.push_back(current);
    if (link.parentRecord == current) break;
    current = link.parentRecord;
  }
  // Every directory met answers as its walk's end does: its own walk is the
  // rest of this one.
  for (std::uint32_t directory : walked) rooted_.emplace(directory, rooted);
  return rooted;
}

std::optional<std::vector<std::uint32_t>> PathBuilder::RootedChain(
    std::uint32_t directoryRecord, const std::function<bool(std::uint32_t)>& stopAt) {
  if (!ReachesRoot(directoryRecord)) return std::nullopt;
  // Known to reach the root: no loop to look for, and such a chain holds
  // each link read so far at most once.
  std::vector<std::uint32_t> downward;
  std::uint32_t current = directoryRecord;
  for (const ParentLink* link = &LinkOf(current); !IsRootName(*link);
       link = &LinkOf(current)) {
    if (stopAt && stopAt(current)) break;
    if (downward.size() > linkByRecord_.size()) return std::nullopt;
    downward.push_back(current);
    current = link->parentRecord;
  }
  std::reverse(downward.begin(), downward.end());
  return downward;
}

std::string PathBuilder::BuildFullPath(std::string_view ownName, std::uint32_t parentRecord) {
  if (parentRecord == 0) return std::string(ownName);
  auto kept = prefixes_.find(parentRecord);
  if (kept != prefixes_.end()) return Joined(kept->second, ownName);
  return Joined(ParentPrefix(parentRecord), ownName);
}

}  // namespace sondrel

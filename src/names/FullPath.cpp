#include "names/FullPath.h"

#include <algorithm>
#include <cstddef>
#include <span>
#include <unordered_set>
#include <vector>

#include "names/AnsiName.h"
#include "names/RecordFileName.h"
#include "ntfs/FileRecord.h"
#include "ntfs/MftRecordAccess.h"

namespace sondrel {
namespace {

ParentLink ReadParentLink(const VolumeContext& volume, std::uint32_t recordNumber) {
  std::vector<std::byte> record(volume.geometry.RecordSize);
  ReadMftRecord(volume, recordNumber, record);
  ParentLink link;
  link.usable = false;
  if (!HasFileMagic(record)) return link;
  std::optional<FileNameValue> value = ReadRecordFileName(volume, record, recordNumber);
  if (!value) return link;
  link.parentRecord = static_cast<std::uint32_t>(value->parentReference);
  link.name = ConvertFileName(*volume.platform, value->fileName);
  link.usable = true;
  return link;
}

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
std::string JoinDownward(const std::vector<std::string_view>& upward) {
  std::size_t length = upward.size();
  for (std::string_view part : upward) length += part.size();
  std::string path;
  path.reserve(length);
  for (auto it = upward.rbegin(); it != upward.rend(); ++it) {
    if (it != upward.rbegin()) path.push_back('\\');
    path.append(*it);
  }
  return path;
}

}  // namespace

std::string BuildFullPath(const VolumeContext& volume, PathCache& cache, char driveLetter,
                          std::string_view ownName, std::uint32_t parentRecord) {
  if (parentRecord == 0) return std::string(ownName);
  // Views into the cache's entries, which never move.
  std::vector<std::string_view> upward{ownName};
  VisitedRecords visited;
  std::uint32_t current = parentRecord;
  while (true) {
    if (!visited.Add(current)) return JoinDownward(upward);
    std::string key = std::to_string(current);
    const ParentLink* link = cache.Lookup(key);
    if (link == nullptr) link = &cache.Insert(key, ReadParentLink(volume, current));
    if (!link->usable) return JoinDownward(upward);
    if (link->name.empty()) return {};
    if (link->name == ".") {
      std::string path{driveLetter, ':', '\\'};
      return path + JoinDownward(upward);
    }
    upward.push_back(link->name);
    if (link->parentRecord == current) return JoinDownward(upward);
    current = link->parentRecord;
    if (current == 0) return JoinDownward(upward);
  }
}

}  // namespace sondrel

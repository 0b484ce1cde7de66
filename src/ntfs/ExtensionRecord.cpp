#include "ntfs/ExtensionRecord.h"

#include <algorithm>
#include <limits>

#include "ntfs/AttributeList.h"
#include "ntfs/FileRecord.h"
#include "ntfs/FileReference.h"
#include "ntfs/MftRecordAccess.h"

namespace sondrel {

bool ExtensionRecords::IsConfirmed(std::uint32_t recordNumber, std::uint64_t baseFileReference) {
  const std::uint64_t base = RecordNumberOf(baseFileReference);
  if (base == recordNumber || base > std::numeric_limits<std::uint32_t>::max()) return false;
  if (base_ != base) {
    base_ = base;
    named_.clear();
    std::vector<std::byte> record(volume_.geometry.recordSize);
    ReadMftRecord(volume_, static_cast<std::uint32_t>(base), record);
    std::optional<FileRecordHeader> header = ReadFileRecordHeader(record);
    if (HasFileMagic(record) && header && header->baseFileReference == 0) {
      if (std::optional<AttributeList> list = ReadAttributeList(volume_, record)) {
        for (const AttributeListEntry& entry : list->entries) {
          named_.push_back(RecordNumberOf(entry.fileReference));
        }
      }
    }
    std::sort(named_.begin(), named_.end());
  }
  return std::binary_search(named_.begin(), named_.end(), std::uint64_t{recordNumber});
}

}  // namespace sondrel

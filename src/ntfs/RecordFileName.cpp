#include "ntfs/RecordFileName.h"

#include "ntfs/AttributeList.h"

namespace sondrel {

std::optional<FileNameValue> ReadRecordFileName(const VolumeContext& volume,
                                                std::span<const std::byte> record,
                                                std::uint32_t recordNumber) {
  if (std::optional<AttributeRecord> own = FindAttribute(record, kFileNameType)) {
    return ReadFileNameValue(*own);
  }
  // Only a record with a list can have its name elsewhere; most have none,
  // and they cost no further read.
  if (!FindAttribute(record, kAttributeListType)) return std::nullopt;
  std::optional<DataStream> stream =
      FindAttributeStream(volume, record, recordNumber, kFileNameType);
  if (!stream || !stream->IsResident()) return std::nullopt;
  return ReadFileNameValue(stream->pieces.front().View());
}

}  // namespace sondrel

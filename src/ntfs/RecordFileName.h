// The name and parent of a record, as its first unnamed $FILE_NAME gives them,
// wherever in the file's records that attribute lies.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "ntfs/FileRecord.h"
#include "ntfs/VolumeContext.h"

namespace sondrel {

// The first unnamed $FILE_NAME of base record recordNumber: in the record
// itself, or else, when the record has an $ATTRIBUTE_LIST, in the extension
// record the list names (ntfs-3g moves names there, and Windows does for
// files with many names). Nullopt when there is none or it cannot be read.
std::optional<FileNameValue> ReadRecordFileName(const VolumeContext& volume,
                                                std::span<const std::byte> record,
                                                std::uint32_t recordNumber);

}  // namespace sondrel

// One MFT file record as hostile input: the fix-ups, the attribute walk, the
// attribute sizes, the $FILE_NAME fields and the run lists it holds.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ntfs/DataRun.h"
#include "ntfs/FileRecord.h"

namespace {

// Decodes every entry of a run list, as MapVcn does, until the end marker or
// a damaged entry; each entry advances by its size, so the walk ends.
void WalkRuns(std::span<const std::byte> runs) {
  std::size_t position = 0;
  while (auto run = sondrel::DecodeDataRun(runs, position)) {
    if (run->entrySize == 0) __builtin_trap();  // a walk that cannot advance
    position += run->entrySize;
  }
}

void Inspect(const sondrel::AttributeRecord& attribute) {
  (void)sondrel::AttributeValueSize(attribute);
  (void)sondrel::AttributeAllocatedSize(attribute);
  (void)sondrel::AttributeName(attribute);
  if (attribute.IsResident()) {
    (void)attribute.ResidentValue();
    if (attribute.header.typeCode == sondrel::kFileNameType) {
      (void)sondrel::ReadFileNameValue(attribute);
    }
  } else {
    WalkRuns(attribute.MappingPairs());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::byte> record(size);
  for (std::size_t i = 0; i < size; ++i) record[i] = static_cast<std::byte>(data[i]);

  (void)sondrel::HasFileMagic(record);
  (void)sondrel::ReadFileRecordHeader(record);
  (void)sondrel::ApplyFixups(record);

  for (std::uint32_t type : {sondrel::kAttributeListType, sondrel::kFileNameType,
                             sondrel::kDataType, sondrel::kBitmapType}) {
    if (auto attribute = sondrel::FindAttribute(record, type)) Inspect(*attribute);
  }
  sondrel::WalkAttributes(record, [](const sondrel::AttributeRecord& attribute) {
    Inspect(attribute);
    return false;
  });
  return 0;
}

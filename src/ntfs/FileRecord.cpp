#include "ntfs/FileRecord.h"

#include "ntfs/LittleEndianReader.h"

namespace sondrel {
namespace {

constexpr std::size_t kFileRecordHeaderSize = 0x28;
constexpr std::size_t kFixupStride = 512;
constexpr std::uint32_t kResidentHeaderSize = 0x18;
constexpr std::uint32_t kNonResidentHeaderSize = 0x40;

}  // namespace

std::optional<FileRecordHeader> ReadFileRecordHeader(std::span<const std::byte> record) {
  LittleEndianReader reader(record);
  if (!reader.Contains(0, kFileRecordHeaderSize)) return std::nullopt;
  FileRecordHeader header;
  header.magic = *reader.U32(0x00);
  header.updateSequenceOffset = *reader.U16(0x04);
  header.updateSequenceCount = *reader.U16(0x06);
  header.firstAttributeOffset = *reader.U16(0x14);
  header.recordFlags = *reader.U16(0x16);
  header.baseFileReference = *reader.U64(0x20);
  return header;
}

bool HasFileMagic(std::span<const std::byte> record) {
  return LittleEndianReader(record).U32(0) == kFileMagic;
}

bool ApplyFixups(std::span<std::byte> record) {
  auto header = ReadFileRecordHeader(record);
  if (!header) return false;
  const std::size_t count = header->updateSequenceCount;
  if (count <= 1) return true;
  const std::size_t arrayOffset = header->updateSequenceOffset;
  // Update sequence array: entry 0 is the sequence number; entry i restores
  // the last two bytes of 512-byte stride i. Both must lie inside the record.
  LittleEndianReader reader(record);
  if (!reader.Contains(arrayOffset, 2 * count) || kFixupStride * (count - 1) > record.size()) {
    return false;
  }
  for (std::size_t i = 1; i < count; ++i) {
    const std::size_t target = kFixupStride * i - 2;
    record[target] = record[arrayOffset + 2 * i];
    record[target + 1] = record[arrayOffset + 2 * i + 1];
  }
  return true;
}

std::span<const std::byte> AttributeRecord::ResidentValue() const {
  if (!IsResident()) return {};
  return bytes.subspan(header.valueOffset, header.valueLength);
}

std::span<const std::byte> AttributeRecord::MappingPairs() const {
  if (IsResident()) return {};
  return bytes.subspan(header.mappingPairsOffset);
}

std::optional<AttributeRecord> DecodeAttributeAt(std::span<const std::byte> record,
                                                 std::size_t offset, std::size_t* nextOffset) {
  LittleEndianReader reader(record);
  auto typeCode = reader.U32(offset);
  if (!typeCode || *typeCode == kAttributeEndMarker) return std::nullopt;
  auto recordLength = reader.U32(offset + 4);
  if (!recordLength || *recordLength < kResidentHeaderSize) return std::nullopt;
  auto slice = reader.Slice(offset, *recordLength);
  if (!slice) return std::nullopt;

  AttributeRecord attribute;
  attribute.bytes = *slice;
  LittleEndianReader in(*slice);
  AttributeHeader& h = attribute.header;
  h.typeCode = *typeCode;
  h.recordLength = *recordLength;
  h.nonResident = *in.U8(0x08);
  h.nameLength = *in.U8(0x09);
  h.nameOffset = *in.U16(0x0A);
  if (h.nameLength != 0 && !in.Contains(h.nameOffset, 2 * std::size_t{h.nameLength})) {
    return std::nullopt;
  }
  if (h.nonResident == 0) {
    h.valueLength = *in.U32(0x10);
    h.valueOffset = *in.U16(0x14);
    if (!in.Contains(h.valueOffset, h.valueLength)) return std::nullopt;
  } else {
    if (h.recordLength < kNonResidentHeaderSize) return std::nullopt;
    h.startVcn = *in.U64(0x10);
    h.lastVcn = *in.U64(0x18);
    h.mappingPairsOffset = *in.U16(0x20);
    h.allocatedSize = *in.U64(0x28);
    h.dataSize = *in.U64(0x30);
    h.initializedSize = *in.U64(0x38);
    if (h.mappingPairsOffset < kNonResidentHeaderSize || h.mappingPairsOffset > h.recordLength) {
      return std::nullopt;
    }
  }
  if (nextOffset != nullptr) *nextOffset = offset + h.recordLength;
  return attribute;
}

std::optional<AttributeRecord> FindAttribute(std::span<const std::byte> record,
                                             std::uint32_t typeCode) {
  return WalkAttributes(record, [typeCode](const AttributeRecord& attribute) {
    return attribute.header.typeCode == typeCode && attribute.header.nameLength == 0;
  });
}

std::u16string AttributeName(const AttributeRecord& attribute) {
  std::u16string name;
  LittleEndianReader reader(attribute.bytes);
  for (std::size_t i = 0; i < attribute.header.nameLength; ++i) {
    auto unit = reader.U16(attribute.header.nameOffset + 2 * i);
    if (!unit) break;
    name.push_back(static_cast<char16_t>(*unit));
  }
  return name;
}

std::uint32_t AttributeValueSize(const AttributeRecord& attribute) {
  return attribute.IsResident() ? attribute.header.valueLength
                                : static_cast<std::uint32_t>(attribute.header.dataSize);
}

std::uint32_t AttributeAllocatedSize(const AttributeRecord& attribute) {
  return attribute.IsResident() ? attribute.header.valueLength
                                : static_cast<std::uint32_t>(attribute.header.allocatedSize);
}

std::optional<FileNameValue> ReadFileNameValue(const AttributeRecord& attribute) {
  if (!attribute.IsResident()) return std::nullopt;
  LittleEndianReader reader(attribute.ResidentValue());
  auto parentReference = reader.U64(0x00);
  auto realSize = reader.U64(0x30);
  auto nameLength = reader.U8(0x40);
  if (!parentReference || !realSize || !nameLength) return std::nullopt;
  auto name = reader.Slice(0x42, 2 * std::size_t{*nameLength});
  if (!name) return std::nullopt;
  FileNameValue value;
  value.parentReference = *parentReference;
  value.realSize = *realSize;
  value.fileNamespace = reader.U8(0x41).value_or(0);
  LittleEndianReader units(*name);
  value.fileName.resize(*nameLength);
  for (std::size_t i = 0; i < *nameLength; ++i) {
    value.fileName[i] = static_cast<char16_t>(*units.U16(2 * i));
  }
  return value;
}

std::optional<std::u16string> PairedLongName(std::span<const std::byte> record,
                                             const FileNameValue& shortName) {
  if (shortName.fileNamespace != kDosNamespace) return std::nullopt;
  const std::uint64_t parent = shortName.parentReference & 0xFFFFFFFFFFFFull;
  std::optional<FileNameValue> partner;
  WalkAttributes(record, [&](const AttributeRecord& attribute) {
    if (attribute.header.typeCode != kFileNameType || attribute.header.nameLength != 0) {
      return false;
    }
    std::optional<FileNameValue> value = ReadFileNameValue(attribute);
    if (!value || value->fileNamespace != kWin32Namespace ||
        (value->parentReference & 0xFFFFFFFFFFFFull) != parent) {
      return false;
    }
    partner = std::move(value);
    return true;
  });
  if (!partner) return std::nullopt;
  return std::move(partner->fileName);
}

}  // namespace sondrel

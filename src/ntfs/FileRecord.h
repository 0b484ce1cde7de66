// One MFT file record in a caller-owned buffer, and views of its attributes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace sondrel {

inline constexpr std::uint32_t kFileMagic = 0x454C4946;    // "FILE"
inline constexpr std::uint32_t kAttributeListType = 0x20;  // $ATTRIBUTE_LIST
inline constexpr std::uint32_t kFileNameType = 0x30;       // $FILE_NAME
inline constexpr std::uint32_t kDataType = 0x80;           // $DATA
inline constexpr std::uint32_t kBitmapType = 0xB0;         // $BITMAP
inline constexpr std::uint32_t kAttributeEndMarker = 0xFFFFFFFF;

inline constexpr std::uint16_t kRecordInUse = 0x0001;
inline constexpr std::uint16_t kRecordIsDirectory = 0x0002;

// FILE record header, the fields in use.
struct FileRecordHeader {
  std::uint32_t magic = 0;                 // 0x00
  std::uint16_t updateSequenceOffset = 0;  // 0x04
  std::uint16_t updateSequenceCount = 0;   // 0x06
  std::uint16_t firstAttributeOffset = 0;  // 0x14
  std::uint16_t recordFlags = 0;           // 0x16
  std::uint64_t baseFileReference = 0;     // 0x20, non-zero in an extension record
};
// Nullopt when the record is too short to hold the header.
std::optional<FileRecordHeader> ReadFileRecordHeader(std::span<const std::byte> record);

// True when the record begins with "FILE".
bool HasFileMagic(std::span<const std::byte> record);

// Restores the last two bytes of each 512-byte stride from the update
// sequence array: entry i (i >= 1) goes to the end of stride i.
// Damaged input:
// - a record too short for its header, an array that reaches past the
//   buffer, or a count that names a stride ending past it: returns false and
//   leaves the record untouched;
// - a count of 0 or 1 names no stride: returns true, nothing changed;
// - the update sequence number (entry 0) is not compared with the stride
//   ends it replaces, so a torn write, whose strides come from different
//   writes, is not detected: the record is restored and used as it reads;
// - a count below the strides the record holds restores only those it names;
// - the signature is not checked here (callers ask HasFileMagic).
bool ApplyFixups(std::span<std::byte> record);

// Attribute header, common, resident and non-resident fields.
struct AttributeHeader {
  std::uint32_t typeCode = 0;      // 0x00
  std::uint32_t recordLength = 0;  // 0x04
  std::uint8_t nonResident = 0;    // 0x08
  std::uint8_t nameLength = 0;     // 0x09, UTF-16 units
  std::uint16_t nameOffset = 0;    // 0x0A
  // Resident form.
  std::uint32_t valueLength = 0;  // 0x10
  std::uint16_t valueOffset = 0;  // 0x14
  // Non-resident form.
  std::uint64_t startVcn = 0;            // 0x10
  std::uint64_t lastVcn = 0;             // 0x18
  std::uint16_t mappingPairsOffset = 0;  // 0x20
  std::uint64_t allocatedSize = 0;       // 0x28
  std::uint64_t dataSize = 0;            // 0x30
  std::uint64_t initializedSize = 0;     // 0x38
};

// A view of one attribute: exactly its recordLength bytes inside the record
// buffer, and its decoded header. Valid while the buffer holds that record.
struct AttributeRecord {
  std::span<const std::byte> bytes;
  AttributeHeader header;

  bool IsResident() const { return header.nonResident == 0; }
  // The resident value (checked to lie inside the attribute by FindAttribute).
  std::span<const std::byte> ResidentValue() const;
  // The data runs, from mappingPairsOffset to the attribute's end.
  std::span<const std::byte> MappingPairs() const;
};

// The well-formed attribute at offset in the record, or nullopt at the end
// marker and at a damaged one: a length too small for its header, an
// attribute that would leave the record, a name, value or run list that lies
// outside the attribute. nextOffset (when given) gets the next attribute's offset.
std::optional<AttributeRecord> DecodeAttributeAt(std::span<const std::byte> record,
                                                 std::size_t offset,
                                                 std::size_t* nextOffset = nullptr);

// Calls visit(attribute) for each attribute in record order until visit
// returns true (then returns that attribute), the end marker, or a damaged
// attribute. Every step advances, so the walk ends within the record.
template <typename Visit>
std::optional<AttributeRecord> WalkAttributes(std::span<const std::byte> record, Visit visit) {
  auto header = ReadFileRecordHeader(record);
  if (!header) return std::nullopt;
  std::size_t offset = header->firstAttributeOffset;
  while (offset < record.size()) {
    std::size_t next = 0;
    auto attribute = DecodeAttributeAt(record, offset, &next);
    if (!attribute) return std::nullopt;
    if (visit(*attribute)) return attribute;
    offset = next;
  }
  return std::nullopt;
}

// The first unnamed attribute of the type, or nullopt. The walk stops at the
// end marker, at a length too small for a header, at an attribute that would
// leave the record, and at one whose value or runs lie outside itself.
std::optional<AttributeRecord> FindAttribute(std::span<const std::byte> record,
                                             std::uint32_t typeCode);

// The attribute's name (empty when unnamed).
std::u16string AttributeName(const AttributeRecord& attribute);

// Low 32 bits of the value's logical and allocated sizes.
std::uint32_t AttributeValueSize(const AttributeRecord& attribute);
std::uint32_t AttributeAllocatedSize(const AttributeRecord& attribute);

// $FILE_NAME value, the fields in use.
struct FileNameValue {
  std::uint64_t parentReference = 0;  // 0x00
  std::uint64_t realSize = 0;         // 0x30
  std::uint8_t fileNamespace = 0;     // 0x41: 0 POSIX, 1 Win32, 2 DOS (8.3), 3 both
  std::u16string fileName;            // 0x42, fileNameLength (0x40) units
};
inline constexpr std::uint8_t kWin32Namespace = 1;
inline constexpr std::uint8_t kDosNamespace = 2;
// Nullopt when the attribute is not resident or the name reaches past its value.
std::optional<FileNameValue> ReadFileNameValue(const AttributeRecord& attribute);

// The long name an 8.3 name stands beside: for a $FILE_NAME in the DOS
// namespace, the name of the unnamed $FILE_NAME in the Win32 namespace with
// the same parent, in this record (a link has at most one such pair). Nullopt
// for any other name, or when the record holds no partner.
std::optional<std::u16string> PairedLongName(std::span<const std::byte> record,
                                             const FileNameValue& shortName);

}  // namespace sondrel

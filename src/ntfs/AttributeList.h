// Attributes of a base record wherever they lie: in the record itself, or in
// extension records named by its $ATTRIBUTE_LIST (0x20).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ntfs/DataStream.h"
#include "ntfs/VolumeContext.h"

namespace sondrel {

// One $ATTRIBUTE_LIST entry, the fields in use.
struct AttributeListEntry {
  std::uint32_t typeCode = 0;       // 0x00
  std::uint16_t entryLength = 0;    // 0x04
  std::uint64_t startVcn = 0;       // 0x08
  std::uint64_t fileReference = 0;  // 0x10: record number in the low 48 bits
  std::u16string name;              // nameLength (0x06) units at nameOffset (0x07)
};

struct AttributeList {
  std::vector<AttributeListEntry> entries;  // those before any damage, in list order
  bool damaged = false;  // an entry was cut short, too small, or its name left it
};

// Decodes a list value. Every entry is checked to lie in the value, so a
// truncated or damaged list yields its whole entries and damaged = true.
AttributeList DecodeAttributeList(std::span<const std::byte> value);

// NTFS keeps an attribute list to 256 KiB.
inline constexpr std::uint32_t kMaxAttributeListBytes = 256 * 1024;
// The most list entries that one look-up follows: a list of 256 KiB holds no
// more entries of the smallest size NTFS writes (0x20 bytes, no name).
inline constexpr std::size_t kMaxPiecesFollowed = kMaxAttributeListBytes / 0x20;

// The $ATTRIBUTE_LIST of a record, read (resident or not) and decoded;
// nullopt when the record has none. A list recorded as larger than
// kMaxAttributeListBytes is damaged: only its first 256 KiB are read and
// decoded, and the list is marked damaged.
std::optional<AttributeList> ReadAttributeList(const VolumeContext& volume,
                                               std::span<const std::byte> record);

// The unnamed attribute of the type of base record baseNumber, with every
// piece of it: from the record alone, or through its attribute list from the
// extension records (read with ReadMftRecord) that name baseNumber as their
// base. Pieces that cannot be used (a damaged, unreadable or foreign
// extension record, a missing attribute, VCNs overlapping an earlier piece)
// are left out and the stream marked inconsistent; their VCNs then read as
// zeros. The work is bounded whatever the list says: at most
// kMaxPiecesFollowed entries are followed (a longer list is damaged, its
// further entries left out), and each record they name is read at most once
// (ExtensionRecordCache), so one look-up costs at most that many record
// reads and walks.
// Nullopt when there is no such attribute or no piece starts at VCN 0 (its
// sizes are then unknown). Also how the scan finds a $FILE_NAME or $BITMAP
// that lies in an extension record: pieces.front().View() is the attribute.
std::optional<DataStream> FindAttributeStream(const VolumeContext& volume,
                                              std::span<const std::byte> baseRecord,
                                              std::uint32_t baseNumber, std::uint32_t typeCode);

}  // namespace sondrel

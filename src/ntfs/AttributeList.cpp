#include "ntfs/AttributeList.h"

#include <algorithm>
#include <limits>
#include <set>

#include "ntfs/ExtensionRecordCache.h"
#include "ntfs/FileReference.h"
#include "ntfs/LittleEndianReader.h"

namespace sondrel {
namespace {

constexpr std::size_t kEntryHeaderSize = 0x1A;
constexpr std::uint64_t kEmptyLastVcn = std::numeric_limits<std::uint64_t>::max();  // -1

std::optional<DataStream> StreamOfRecordAlone(std::span<const std::byte> record,
                                              std::uint32_t typeCode) {
  auto attribute = FindAttribute(record, typeCode);
  if (!attribute || (!attribute->IsResident() && attribute->header.startVcn != 0)) {
    return std::nullopt;
  }
  DataStream stream;
  stream.pieces.push_back(OwnedAttribute::CopyOf(*attribute));
  return stream;
}

// Pieces in VCN order; one whose VCNs overlap an earlier piece is dropped.
bool SortAndDropOverlaps(std::vector<OwnedAttribute>& pieces) {
  std::stable_sort(pieces.begin(), pieces.end(), [](const auto& a, const auto& b) {
    return a.header.startVcn < b.header.startVcn;
  });
  bool consistent = true;
  std::vector<OwnedAttribute> kept;
  for (OwnedAttribute& piece : pieces) {
    const AttributeHeader& h = piece.header;
    const bool empty = h.lastVcn == kEmptyLastVcn && h.startVcn == 0;
    const bool backwards = !empty && h.lastVcn < h.startVcn;
    const bool overlaps = !kept.empty() && (kept.back().header.lastVcn == kEmptyLastVcn ||
                                            h.startVcn <= kept.back().header.lastVcn);
    if (backwards || (overlaps && !empty)) {
      consistent = false;
      continue;
    }
    if (overlaps) continue;
    kept.push_back(std::move(piece));
  }
  pieces = std::move(kept);
  return consistent;
}

}  // namespace

AttributeList DecodeAttributeList(std::span<const std::byte> value) {
  AttributeList list;
  LittleEndianReader reader(value);
  std::size_t offset = 0;
  // Each entry is at least kEntryHeaderSize bytes, so the walk ends.
  while (offset < value.size()) {
    auto entryLength = reader.U16(offset + 4);
    auto nameLength = reader.U8(offset + 6);
    auto nameOffset = reader.U8(offset + 7);
    if (!reader.Contains(offset, kEntryHeaderSize) || !entryLength ||
        *entryLength < kEntryHeaderSize || !reader.Contains(offset, *entryLength) ||
        std::size_t{*nameOffset} + 2 * std::size_t{*nameLength} > *entryLength) {
      list.damaged = true;
      break;
    }
    AttributeListEntry entry;
    entry.typeCode = *reader.U32(offset);
    entry.entryLength = *entryLength;
    entry.startVcn = *reader.U64(offset + 0x08);
    entry.fileReference = *reader.U64(offset + 0x10);
    for (std::size_t i = 0; i < *nameLength; ++i) {
      entry.name.push_back(static_cast<char16_t>(*reader.U16(offset + *nameOffset + 2 * i)));
    }
    list.entries.push_back(std::move(entry));
    offset += *entryLength;
  }
  return list;
}

std::optional<AttributeList> ReadAttributeList(const VolumeContext& volume,
                                               std::span<const std::byte> record) {
  auto attribute = FindAttribute(record, kAttributeListType);
  if (!attribute) return std::nullopt;
  if (attribute->IsResident()) return DecodeAttributeList(attribute->ResidentValue());
  const std::uint32_t clusterSize = volume.geometry.clusterSize;
  if (clusterSize == 0) return AttributeList{{}, true};
  const std::uint64_t size =
      std::min<std::uint64_t>(attribute->header.dataSize, kMaxAttributeListBytes);
  std::vector<std::byte> value(static_cast<std::size_t>(size));
  ReadStreamValue(volume, DataStream::Of(*attribute), value);
  AttributeList list = DecodeAttributeList(value);
  list.damaged = list.damaged || size < attribute->header.dataSize;
  return list;
}

std::optional<DataStream> FindAttributeStream(const VolumeContext& volume,
                                              std::span<const std::byte> baseRecord,
                                              std::uint32_t baseNumber, std::uint32_t typeCode) {
  auto list = ReadAttributeList(volume, baseRecord);
  if (!list) return StreamOfRecordAlone(baseRecord, typeCode);

  DataStream stream;
  bool consistent = !list->damaged;
  // The entries that name a piece of the attribute, no more than a whole
  // list of the smallest entries NTFS writes can hold.
  std::vector<const AttributeListEntry*> named;
  for (const AttributeListEntry& entry : list->entries) {
    if (entry.typeCode != typeCode || !entry.name.empty()) continue;
    if (named.size() == kMaxPiecesFollowed) {
      consistent = false;
      break;
    }
    named.push_back(&entry);
  }
  ExtensionRecordCache holders(volume, baseRecord, baseNumber, typeCode);
  for (const AttributeListEntry* entry : named) {
    holders.Want(RecordNumberOf(entry->fileReference), entry->startVcn);
  }
  // A piece named twice is taken once; the second naming overlaps the first.
  std::set<const OwnedAttribute*> taken;
  for (const AttributeListEntry* entry : named) {
    const OwnedAttribute* piece =
        holders.Find(RecordNumberOf(entry->fileReference), entry->startVcn);
    if (piece == nullptr) {
      consistent = false;
      continue;
    }
    if (piece->header.nonResident == 0) {
      // A resident value is whole in one attribute: nothing else to gather.
      DataStream resident;
      resident.pieces.push_back(*piece);
      return resident;
    }
    if (!taken.insert(piece).second) {
      const bool empty = piece->header.lastVcn == kEmptyLastVcn && piece->header.startVcn == 0;
      consistent = consistent && empty;
      continue;
    }
    stream.pieces.push_back(*piece);
  }
  if (stream.pieces.empty()) {
    // A list that names no usable piece: the record's own attribute, if any.
    auto alone = StreamOfRecordAlone(baseRecord, typeCode);
    if (alone) alone->consistent = consistent;
    return alone;
  }
  consistent = SortAndDropOverlaps(stream.pieces) && consistent;
  if (stream.pieces.front().header.startVcn != 0) return std::nullopt;
  stream.consistent = consistent;
  return stream;
}

}  // namespace sondrel

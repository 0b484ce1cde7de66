#include "ntfs/ExtensionRecordCache.h"

#include <limits>
#include <vector>

#include "ntfs/FileRecord.h"
#include "ntfs/FileReference.h"
#include "ntfs/MftRecordAccess.h"

namespace sondrel {

ExtensionRecordCache::ExtensionRecordCache(const VolumeContext& volume,
                                           std::span<const std::byte> baseRecord,
                                           std::uint32_t baseNumber, std::uint32_t typeCode)
    : volume_(volume), baseRecord_(baseRecord), baseNumber_(baseNumber), typeCode_(typeCode) {}

void ExtensionRecordCache::Want(std::uint64_t number, std::uint64_t startVcn) {
  Holder& holder = holders_[number];
  if (!holder.loaded) holder.wanted.insert(startVcn);
}

const OwnedAttribute* ExtensionRecordCache::Find(std::uint64_t number, std::uint64_t startVcn) {
  Holder& holder = holders_[number];
  if (!holder.loaded) Load(number, holder);
  if (!holder.usable) return nullptr;
  auto piece = holder.pieces.find(startVcn);
  return piece == holder.pieces.end() ? nullptr : &piece->second;
}

void ExtensionRecordCache::Load(std::uint64_t number, Holder& holder) {
  holder.loaded = true;
  std::span<const std::byte> record = baseRecord_;
  std::vector<std::byte> extension;
  if (number != baseNumber_) {
    if (number > std::numeric_limits<std::uint32_t>::max()) return;
    extension.resize(volume_.geometry.recordSize);
    ReadMftRecord(volume_, static_cast<std::uint32_t>(number), extension);
    // An extension record must point back to this base record.
    auto header = ReadFileRecordHeader(extension);
    if (!HasFileMagic(extension) || !header || header->baseFileReference == 0 ||
        RecordNumberOf(header->baseFileReference) != baseNumber_) {
      return;
    }
    record = extension;
  }
  holder.usable = true;
  // One walk of the record: the first unnamed attribute of the type that
  // starts at each wanted VCN (a resident one starts at 0).
  WalkAttributes(record, [&](const AttributeRecord& a) {
    if (a.header.typeCode != typeCode_ || a.header.nameLength != 0) return false;
    const std::uint64_t start = a.IsResident() ? 0 : a.header.startVcn;
    if (holder.wanted.count(start) != 0 && holder.pieces.count(start) == 0) {
      holder.pieces.emplace(start, OwnedAttribute::CopyOf(a));
    }
    return false;
  });
  holder.wanted.clear();
}

}  // namespace sondrel

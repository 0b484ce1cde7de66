// One attribute's whole value as NTFS keeps it: a resident value, or the
// non-resident attribute records (pieces) that together map its VCNs. A very
// fragmented value continues in extension records, listed in the base
// record's $ATTRIBUTE_LIST; the pieces are copied out so they outlive the
// record buffers they were found in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ntfs/FileRecord.h"

namespace sondrel {

struct VolumeContext;

// An attribute copied out of its record.
struct OwnedAttribute {
  std::vector<std::byte> bytes;
  AttributeHeader header;

  static OwnedAttribute CopyOf(const AttributeRecord& attribute);
  // A view of the copy; valid while this object lives unchanged.
  AttributeRecord View() const { return AttributeRecord{bytes, header}; }
};

struct DataStream {
  // Non-resident pieces sorted by startVcn, their VCN ranges disjoint; or a
  // single resident attribute. The first piece starts at VCN 0 and carries
  // the value's sizes.
  std::vector<OwnedAttribute> pieces;
  // False when some piece named by the attribute list could not be used
  // (unreadable or foreign extension record, overlapping VCNs): its VCNs
  // read as zeros.
  bool consistent = true;

  bool IsResident() const { return !pieces.empty() && pieces.front().header.nonResident == 0; }
  // valueLength, or the first piece's full 64-bit dataSize / allocatedSize.
  std::uint64_t ValueSize() const;
  std::uint64_t AllocatedSize() const;
  // One past the last VCN that the pieces' run lists actually map (each piece
  // no further than its lastVcn); 0 for a resident value. Past it no cluster
  // of the value exists, whatever the sizes claim.
  std::uint64_t MappedClusters() const;
};

// Fills dest with clusters firstVcn .. firstVcn + count - 1 of a non-resident
// stream, each VCN through the piece that maps it; VCNs no piece maps read as
// zeros. Never writes past dest. True when every cluster was mapped and read.
bool ReadStreamVcnRange(const VolumeContext& volume, const DataStream& stream,
                        std::uint64_t firstVcn, std::uint32_t count, std::span<std::byte> dest);

// Copies a resident value, or reads a non-resident stream from VCN 0 on, into
// dest (the rest of dest past the value's clusters is zero-filled). For
// $BITMAP and the like; a dest of ValueSize bytes takes the whole value.
bool ReadStreamValue(const VolumeContext& volume, const DataStream& stream,
                     std::span<std::byte> dest);

}  // namespace sondrel

// One attribute's whole value as NTFS keeps it, and the one way to read it:
// a resident value, or the non-resident attribute records (pieces) that
// together map its VCNs. A very fragmented value continues in extension
// records, listed in the base record's $ATTRIBUTE_LIST; the pieces are copied
// out so they outlive the record buffers they were found in. A single
// attribute is read as a stream of one piece (DataStream::Of).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "ntfs/FileRecord.h"
#include "ntfs/RunMap.h"

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
  // the value's sizes. Not changed once the stream has been read.
  std::vector<OwnedAttribute> pieces;
  // False when some piece named by the attribute list could not be used
  // (damaged, unreadable or foreign extension record, overlapping VCNs): its
  // VCNs read as zeros.
  bool consistent = true;

  // A stream of the one attribute as it stands, whatever its startVcn.
  static DataStream Of(const AttributeRecord& attribute);

  bool IsResident() const { return !pieces.empty() && pieces.front().header.nonResident == 0; }
  // valueLength, or the first piece's full 64-bit dataSize / allocatedSize.
  std::uint64_t ValueSize() const;
  std::uint64_t AllocatedSize() const;
  // Bytes of the value that hold data: the first piece's initializedSize,
  // never above ValueSize; past it the value reads as zeros whatever its
  // clusters hold. ValueSize for a resident value.
  std::uint64_t InitializedSize() const;
  // Every piece's run list, decoded at the first call and kept.
  const RunMap& Runs() const;
  // One past the last VCN that the pieces' run lists actually map (each piece
  // no further than its lastVcn); 0 for a resident value. Past it no cluster
  // of the value exists, whatever the sizes claim.
  std::uint64_t MappedClusters() const { return Runs().End(); }

 private:
  // Shared, so that copies of a stream share the one decoding.
  mutable std::shared_ptr<const RunMap> runs_;
};

// The largest single platform read that a run piece is given; longer pieces
// are read in several reads of this size.
inline constexpr std::uint32_t kMaxReadBytes = 64 * 1024 * 1024;

// Fills dest with clusters firstVcn .. firstVcn + count - 1 of a non-resident
// stream: one read per run piece (each no larger than kMaxReadBytes), zeros
// without a read for sparse runs and for VCNs that no piece maps. Never
// writes past dest; a dest shorter than count clusters gets as much of the
// range as fits (a last partial cluster is read whole aside). True when every
// cluster was mapped (or sparse) and read in full; the result may be ignored.
// A resident stream has no clusters: dest is zero-filled, false.
bool ReadStreamVcnRange(const VolumeContext& volume, const DataStream& stream,
                        std::uint64_t firstVcn, std::uint32_t count, std::span<std::byte> dest);

// Copies a resident value, or reads a non-resident stream from VCN 0 through
// its last piece's lastVcn, into dest, never past its end; the rest of dest
// is zero-filled. A dest of AllocatedSize bytes takes every cluster. Returns
// ReadStreamVcnRange's outcome, true for a resident value, false for none.
bool ReadStreamValue(const VolumeContext& volume, const DataStream& stream,
                     std::span<std::byte> dest);

}  // namespace sondrel

// The records that hold the pieces of one attribute of a base record, for
// one look-up through its $ATTRIBUTE_LIST. Each extension record is read at
// most once however many list entries name it, and the pieces asked of it are
// indexed by the VCN they start at when it is read, so a list of thousands of
// entries costs one read per distinct record and a logarithmic look-up per
// entry.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <span>

#include "ntfs/DataStream.h"
#include "ntfs/VolumeContext.h"

namespace sondrel {

class ExtensionRecordCache {
 public:
  // Pieces of the unnamed attribute of typeCode, of base record baseNumber
  // (whose own bytes, baseRecord, are used as they are and must outlive the
  // cache).
  ExtensionRecordCache(const VolumeContext& volume, std::span<const std::byte> baseRecord,
                       std::uint32_t baseNumber, std::uint32_t typeCode);

  // Notes that a list entry names the piece starting at startVcn (0 for a
  // resident value) in record number. Only noted pieces are kept when their
  // record is read, so the cache holds no more than the pieces asked for.
  void Want(std::uint64_t number, std::uint64_t startVcn);

  // The piece, reading its record first if it has not been read; nullptr
  // when the record is damaged (unreadable, no "FILE", a number beyond 32
  // bits), is no extension of the base record, or holds no such piece. Valid
  // while the cache lives.
  const OwnedAttribute* Find(std::uint64_t number, std::uint64_t startVcn);

 private:
  struct Holder {
    std::set<std::uint64_t> wanted;
    bool loaded = false;
    bool usable = false;
    std::map<std::uint64_t, OwnedAttribute> pieces;  // by startVcn
  };
  void Load(std::uint64_t number, Holder& holder);

  const VolumeContext& volume_;
  std::span<const std::byte> baseRecord_;
  std::uint32_t baseNumber_;
  std::uint32_t typeCode_;
  std::map<std::uint64_t, Holder> holders_;  // by record number
};

}  // namespace sondrel

// MFT records for a walk in ascending record order, cut out of large reads of
// the $MFT instead of one platform read per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ntfs/VolumeContext.h"

namespace sondrel {

// 1 MiB: few enough reads that a million records cost about a thousand of
// them, small enough to stay in the processor's cache while records are
// taken out of it.
inline constexpr std::uint32_t kMftChunkBytes = 1u << 20;

class MftChunkReader {
 public:
  // Records numbered recordCount and above are never asked for, so no chunk
  // reaches past them. chunkBytes is rounded down to whole clusters, and a
  // chunk always holds at least one whole record.
  MftChunkReader(const VolumeContext& volume, std::uint32_t recordCount,
                 std::uint32_t chunkBytes = kMftChunkBytes);

  // Fills dest exactly as ReadMftRecord does. A chunk that cannot be read
  // whole (a failed read, clusters the $MFT's $DATA does not map) is not
  // used: each of its records is then read alone, so one bad cluster costs
  // only the records that lie in it.
  void Read(std::uint32_t recordNumber, std::span<std::byte> dest);

 private:
  const VolumeContext& volume_;
  std::uint64_t endVcn_ = 0;  // one past the last cluster any record needs
  std::uint32_t chunkClusters_ = 1;
  std::vector<std::byte> chunk_;
  std::uint64_t chunkFirstVcn_ = 0;
  std::uint64_t chunkEndVcn_ = 0;  // empty while equal to chunkFirstVcn_
  bool chunkWhole_ = false;
};

}  // namespace sondrel

// Any MFT record by its number, through the $MFT's own $DATA runs.
#pragma once

#include <cstdint>
#include <span>

#include "ntfs/VolumeContext.h"

namespace sondrel {

// Loads record 0 straight from the boot sector's MFT cluster into
// volume.mftSelfRecord (recordSize bytes, fix-ups applied). The geometry must
// already be set. Returns false when it cannot be read or is no usable file
// record (no "FILE", an update sequence array outside the record); the
// buffer then holds what was read, zeros for a failed read.
// It also gathers every piece of the $MFT's unnamed $DATA into
// volume.mftData, through record 0's $ATTRIBUTE_LIST when it has one.
bool LoadMftSelfRecord(VolumeContext& volume);

// Reads clusters firstVcn .. firstVcn + count - 1 of the $MFT's $DATA into
// dest: through every gathered piece, or through record 0's own $DATA when
// none were gathered. True when all of them were mapped and read.
bool ReadMftClusters(const VolumeContext& volume, std::uint64_t firstVcn, std::uint32_t count,
                     std::span<std::byte> dest);

// Reads record recordNumber into dest (recordSize bytes) with fix-ups applied.
// A record that cannot be read (not mapped by the $MFT's $DATA, a failed read)
// leaves dest zero-filled, so it fails the "FILE" test.
void ReadMftRecord(const VolumeContext& volume, std::uint32_t recordNumber,
                   std::span<std::byte> dest);

}  // namespace sondrel

// Attributes of a base record wherever they lie: in the record itself, or in
// extension records named by its $ATTRIBUTE_LIST.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "ntfs/DataStream.h"
#include "ntfs/VolumeContext.h"

namespace sondrel {

// The unnamed attribute of the type of base record baseNumber, with every
// piece of it. Nullopt when there is none, or when no piece starts at VCN 0
// (its sizes are then unknown).
std::optional<DataStream> FindAttributeStream(const VolumeContext& volume,
                                              std::span<const std::byte> baseRecord,
                                              std::uint32_t baseNumber, std::uint32_t typeCode);

}  // namespace sondrel

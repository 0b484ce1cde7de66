#include "ntfs/AttributeList.h"

namespace sondrel {

std::optional<DataStream> FindAttributeStream(const VolumeContext&,
                                              std::span<const std::byte> baseRecord, std::uint32_t,
                                              std::uint32_t typeCode) {
  auto attribute = FindAttribute(baseRecord, typeCode);
  if (!attribute || (!attribute->IsResident() && attribute->header.startVcn != 0)) {
    return std::nullopt;
  }
  DataStream stream;
  stream.pieces.push_back(OwnedAttribute::CopyOf(*attribute));
  return stream;
}

}  // namespace sondrel

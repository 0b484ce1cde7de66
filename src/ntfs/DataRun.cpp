#include "ntfs/DataRun.h"

#include <algorithm>

#include "ntfs/RunMap.h"

namespace sondrel {
namespace {

// A little-endian field of up to 8 bytes; a damaged wider one keeps its first 8.
std::uint64_t ReadField(std::span<const std::byte> field) {
  std::uint64_t value = 0;
  std::size_t used = std::min<std::size_t>(field.size(), 8);
  for (std::size_t i = 0; i < used; ++i) {
    value |= std::uint64_t{std::to_integer<std::uint8_t>(field[i])} << (8 * i);
  }
  return value;
}

}  // namespace

std::optional<DataRun> DecodeDataRun(std::span<const std::byte> runs, std::size_t position) {
  if (position >= runs.size()) return std::nullopt;
  const auto headerByte = std::to_integer<std::uint8_t>(runs[position]);
  if (headerByte == 0) return std::nullopt;
  const std::size_t lengthSize = headerByte & 0x0F;
  const std::size_t offsetSize = headerByte >> 4;
  const std::size_t entrySize = 1 + lengthSize + offsetSize;
  if (entrySize > runs.size() - position) return std::nullopt;

  DataRun run;
  run.entrySize = static_cast<std::uint32_t>(entrySize);
  run.length = ReadField(runs.subspan(position + 1, lengthSize));
  std::uint64_t delta = ReadField(runs.subspan(position + 1 + lengthSize, offsetSize));
  // The delta is signed: its sign is that of the field's most significant byte.
  if (offsetSize > 0 && offsetSize < 8 && (delta >> (8 * offsetSize - 1)) & 1) {
    delta |= ~std::uint64_t{0} << (8 * offsetSize);
  }
  run.lcnDelta = static_cast<std::int64_t>(delta);
  run.sparse = offsetSize == 0;
  return run;
}

std::optional<VcnMapping> MapVcn(const AttributeRecord& attribute, std::uint64_t vcn) {
  return RunMap::OfPiece(attribute).Map(vcn);
}

}  // namespace sondrel

// Bounds-checked little-endian field reads over a byte span. Every on-disk
// field goes through here: nothing is read by casting a packed struct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace sondrel {

class LittleEndianReader {
 public:
  explicit LittleEndianReader(std::span<const std::byte> bytes) : bytes_(bytes) {}

  std::size_t size() const { return bytes_.size(); }
  std::span<const std::byte> bytes() const { return bytes_; }

  // True when [offset, offset + length) lies inside the span; cannot overflow.
  bool Contains(std::size_t offset, std::size_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }

  std::optional<std::uint8_t> U8(std::size_t offset) const { return Read<std::uint8_t>(offset); }
  std::optional<std::uint16_t> U16(std::size_t offset) const {
    return Read<std::uint16_t>(offset);
  }
  std::optional<std::uint32_t> U32(std::size_t offset) const {
    return Read<std::uint32_t>(offset);
  }
  std::optional<std::uint64_t> U64(std::size_t offset) const {
    return Read<std::uint64_t>(offset);
  }

  // A sub-span, or nullopt when it would leave the span.
  std::optional<std::span<const std::byte>> Slice(std::size_t offset, std::size_t length) const {
    if (!Contains(offset, length)) return std::nullopt;
    return bytes_.subspan(offset, length);
  }

 private:
  template <typename T>
  std::optional<T> Read(std::size_t offset) const {
    if (!Contains(offset, sizeof(T))) return std::nullopt;
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      value = static_cast<T>(value | (static_cast<T>(std::to_integer<std::uint8_t>(
                                          bytes_[offset + i]))
                                      << (8 * i)));
    }
    return value;
  }

  std::span<const std::byte> bytes_;
};

}  // namespace sondrel

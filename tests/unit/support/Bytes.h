// Bytes for hand-built test images, and the little-endian put helpers every
// builder uses to lay fields into them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace sondrel::test {

using Bytes = std::vector<std::byte>;

inline Bytes BytesOf(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

// The low `width` bytes of v at `at`, least significant first.
inline void PutLe(Bytes& b, std::size_t at, std::uint64_t v, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i)
    b.at(at + i) = static_cast<std::byte>((v >> (8 * i)) & 0xFF);
}
inline void Put8(Bytes& b, std::size_t at, std::uint64_t v) { PutLe(b, at, v, 1); }
inline void Put16(Bytes& b, std::size_t at, std::uint64_t v) { PutLe(b, at, v, 2); }
inline void Put32(Bytes& b, std::size_t at, std::uint64_t v) { PutLe(b, at, v, 4); }
inline void Put64(Bytes& b, std::size_t at, std::uint64_t v) { PutLe(b, at, v, 8); }

// Copies v to `at`, growing b when it ends short of it.
inline void PutBytes(Bytes& b, std::size_t at, const Bytes& v) {
  if (v.empty()) return;
  if (b.size() < at + v.size()) b.resize(at + v.size());
  std::memcpy(b.data() + at, v.data(), v.size());
}

inline std::size_t Align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

inline Bytes Utf16Bytes(std::u16string_view text) {
  Bytes out;
  for (char16_t c : text) {
    out.push_back(static_cast<std::byte>(c & 0xFF));
    out.push_back(static_cast<std::byte>(c >> 8));
  }
  return out;
}

}  // namespace sondrel::test

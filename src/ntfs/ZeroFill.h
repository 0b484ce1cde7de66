// Clearing a buffer: what every read leaves behind where it could not read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

namespace sondrel {

inline void ZeroFill(std::span<std::byte> bytes) {
  std::fill(bytes.begin(), bytes.end(), std::byte{0});
}

}  // namespace sondrel

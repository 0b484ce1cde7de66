#include "names/NameCache.h"

namespace sondrel {

std::int32_t HashKey(std::string_view key) {
  std::int32_t h = 0;
  for (char byte : key) {
    if (byte == '\0') break;  // a key ends at its terminator
    // Bytes 0x80..0xFF count as -128..-1 whatever the signedness of char.
    std::int32_t c = static_cast<std::int8_t>(static_cast<unsigned char>(byte));
    h = (c + h * 128) % 2713;
  }
  return h;
}

}  // namespace sondrel

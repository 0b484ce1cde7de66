#include "scan/PrintablePath.h"

#include "platform/Platform.h"

namespace sondrel {

void AppendPrintablePath(std::string& line, std::string_view path, std::uint32_t codePage) {
  const bool utf8 = codePage == kCodePageUtf8;
  const bool latin1 = codePage == kCodePageLatin1;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto byte = static_cast<unsigned char>(path[i]);
    if (byte < 0x20 || byte == 0x7F || (latin1 && byte >= 0x80 && byte <= 0x9F)) {
      line.push_back('^');
    } else if (utf8 && byte == 0xC2 && i + 1 < path.size() &&
               static_cast<unsigned char>(path[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(path[i + 1]) <= 0x9F) {
      line.push_back('^');
      ++i;
    } else {
      line.push_back(path[i]);
    }
  }
}

}  // namespace sondrel

#include "scan/PrintablePath.h"

#include "platform/Platform.h"

namespace sondrel {

void AppendPrintablePath(std::string& line, std::string_view path, std::uint32_t codePage) {
  const bool utf8 = codePage == kCodePageUtf8;
  const bool latin1 = codePage == kCodePageLatin1;
  // Runs of printable bytes are appended whole: most paths hold no control
  // character at all, and a byte at a time costs a fifth of a -list.
  std::size_t start = 0;  // the first byte of path not yet appended
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto byte = static_cast<unsigned char>(path[i]);
    if (byte >= 0x20 && byte < 0x7F) continue;  // printable ASCII, what most names are made of
    std::size_t width = 0;  // bytes of the control character at i; 0 for none
    if (byte < 0x20 || byte == 0x7F || (latin1 && byte >= 0x80 && byte <= 0x9F)) {
      width = 1;
    } else if (utf8 && byte == 0xC2 && i + 1 < path.size() &&
               static_cast<unsigned char>(path[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(path[i + 1]) <= 0x9F) {
      width = 2;
    }
    if (width == 0) continue;
    line.append(path.substr(start, i - start));
    line.push_back('^');
    i += width - 1;
    start = i + 1;
  }
  line.append(path.substr(start));
}

}  // namespace sondrel

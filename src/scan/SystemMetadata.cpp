#include "scan/SystemMetadata.h"

#include "common/AsciiCase.h"

namespace sondrel {

bool IsSystemMetadataPath(std::string_view path) {
  if (path.size() <= 3) return false;
  std::string_view tail = path.substr(2);
  for (std::string_view excluded : kMetadataExclusionList) {
    if (EqualsIgnoringAsciiCase(tail, excluded)) return true;
  }
  return false;
}

}  // namespace sondrel

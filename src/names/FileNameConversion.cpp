#include "names/FileNameConversion.h"

namespace sondrel {

std::string ConvertFileName(Platform& platform, std::u16string_view storedName) {
  std::size_t end = storedName.find(u'\0');
  if (end != std::u16string_view::npos) storedName = storedName.substr(0, end);
  if (storedName.empty()) return {};
  std::string name = platform.WideCharToMultiByte(storedName);
  // Printed with %s: a converted NUL would end the text there anyway.
  std::size_t nul = name.find('\0');
  if (nul != std::string::npos) name.resize(nul);
  return name;
}

}  // namespace sondrel

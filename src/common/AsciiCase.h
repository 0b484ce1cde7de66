// Comparison without regard to letter case, as the file system's own names
// are compared by the tool: only A..Z fold onto a..z, every other byte must
// match exactly (no locale, no code-page case rules).
#pragma once

#include <algorithm>
#include <string_view>

namespace sondrel {

inline char FoldAsciiCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return FoldAsciiCase(x) == FoldAsciiCase(y);
         });
}

// The same for names as the volume holds them (UTF-16 code units).
inline bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  auto fold = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) {
           return fold(x) == fold(y);
         });
}

}  // namespace sondrel

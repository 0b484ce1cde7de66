// One record, one line: a path is printed with every control character
// (U+0000..U+001F, U+007F, U+0080..U+009F) written as '^', so a name holding
// a line break cannot forge a record line and an escape sequence never
// reaches the analyst's terminal. Only the printed text changes: lookups in
// the directory view use the name as stored.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sondrel {

// Appends path to line in printable form. The text is in codePage, as the
// platform's WideCharToMultiByte gave it (its GetACP): bytes 0x00..0x1F and
// 0x7F are controls in every code page (no ANSI or double-byte code page uses
// them inside a character); U+0080..U+009F are the two bytes C2 80..C2 9F in
// UTF-8 and the bytes 0x80..0x9F in Latin-1, each written as one '^'. In the
// other ANSI code pages 0x80..0x9F are the code page's own characters or lead
// bytes, and are left as they are. Names without control characters are
// appended unchanged.
void AppendPrintablePath(std::string& line, std::string_view path, std::uint32_t codePage);

}  // namespace sondrel

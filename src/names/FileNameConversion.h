// A file name from the volume (UTF-16LE) converted to the tool's own text,
// through the platform's WideCharToMultiByte (the ANSI code page on Windows).
#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace sondrel {

// Converts the stored name through the platform's WideCharToMultiByte. The
// name ends at its first U+0000 unit, as a terminated text would; the result
// is held whole, however long. Unmappable characters come back as 'N'.
std::string ConvertFileName(Platform& platform, std::u16string_view storedName);

}  // namespace sondrel

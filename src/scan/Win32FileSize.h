// The size of a file as the Win32 file API reports it, for records whose
// $FILE_NAME gives none.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/Platform.h"

namespace sondrel {

// Opens the path for reading with read sharing only and returns the low 32
// bits of its size; 0 when it cannot be opened (a file held open for writing
// by another process cannot) or its size cannot be read.
std::uint32_t QueryWin32FileSize(Platform& platform, std::string_view path);

}  // namespace sondrel

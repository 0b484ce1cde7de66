// The platform of the system the program was built for: Win32 on Windows,
// POSIX elsewhere.
#pragma once

#include <memory>

#include "platform/Platform.h"

namespace sondrel {

std::unique_ptr<Platform> MakeSystemPlatform();

}  // namespace sondrel

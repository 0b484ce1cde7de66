// The top of the program: the command line, the volume open, one mode.
#pragma once

#include <cstdio>
#include <span>
#include <string>

#include "platform/Platform.h"

namespace sondrel {

// Exit status after the usage text: all 32 bits set (255 as a POSIX shell sees it).
inline constexpr int kUsageExitStatus = -1;
// Exit status when the volume or the dump file cannot be used; a message went to err.
inline constexpr int kFailureExitStatus = 1;

// Writes the usage text to out, one line per output call.
void PrintUsage(std::FILE* out);

// Runs one command line (args[0] is the program name) against the platform:
// the listing and the usage text go to out, progress, totals and failure
// messages to err. Returns the process exit status.
int RunSondrel(Platform& platform, std::span<const std::string> args, std::FILE* out,
               std::FILE* err);

}  // namespace sondrel

// The parsed command line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace sondrel {

enum class RunMode { kList, kDig, kDump };

struct RunOptions {
  RunMode mode = RunMode::kList;
  char driveChar = 0;     // first character of the last option's drive argument, as typed
  char driveLetter = 0;   // driveChar upper-cased by the 91..127 rule; heads every path
  std::int32_t dumpIndex = 0;
  std::string dumpFileName;  // held whole, however long
};

// What the argument loop made of the command line: the options, or the
// usage text is due (after the "Unknown parameter" line when unknownParameter
// is set).
struct CommandLine {
  std::optional<RunOptions> options;
  std::optional<std::string> unknownParameter;
};

// args[0] is the program's own name and is skipped. Options are compared
// ignoring ASCII case only; dump wins over dig and dig over list; the last
// option's drive counts. An option whose arguments run past the end of the
// command line asks for the usage text.
CommandLine ParseCommandLine(std::span<const std::string> args);

// 32 is subtracted for codes 91..127 taken as signed 8-bit; all else stays.
char DriveLetterOf(char driveChar);

// "\\.\C:" with the drive character as typed in place of C.
std::string DevicePathOf(char driveChar);

// The index argument's decimal value, read like atoi: leading white space,
// one optional sign, digits up to the first non-digit; no digits gives 0. A
// value beyond 32 bits saturates at INT32_MAX or INT32_MIN.
std::int32_t ParseDecimalIndex(const std::string& text);

}  // namespace sondrel

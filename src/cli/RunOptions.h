// The parsed command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sondrel {

enum class RunMode { kList, kDig, kDump };

struct RunOptions {
  RunMode mode = RunMode::kList;
  char driveChar = 0;     // first character of the last option's drive argument, as typed
  char driveLetter = 0;   // driveChar upper-cased by the 91..127 rule; heads every path
  std::int32_t dumpIndex = 0;
  std::string dumpFileName;
};

}  // namespace sondrel

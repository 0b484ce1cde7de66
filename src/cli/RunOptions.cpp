#include "cli/RunOptions.h"

#include <limits>
#include <string_view>

#include "common/AsciiCase.h"

namespace sondrel {
namespace {

// The first character of a drive argument; an empty argument gives the
// terminating zero, as the first byte of an empty C string would.
char FirstCharOf(const std::string& text) { return text.empty() ? '\0' : text[0]; }

}  // namespace

CommandLine ParseCommandLine(std::span<const std::string> args) {
  CommandLine result;
  if (args.size() < 2) return result;
  RunOptions options;
  bool sawDig = false;
  bool sawDump = false;
  std::size_t i = 1;
  while (i < args.size()) {
    const std::string& arg = args[i];
    std::size_t taken = 0;
    if (EqualsIgnoringAsciiCase(arg, "-dig")) {
      taken = 1;
    } else if (EqualsIgnoringAsciiCase(arg, "-list")) {
      taken = 1;
    } else if (EqualsIgnoringAsciiCase(arg, "-dump")) {
      taken = 3;
    } else {
      result.unknownParameter = arg;
      return result;
    }
    // The arguments are taken by position; a command line that ends before
    // them is malformed and gets the usage text.
    if (args.size() - i - 1 < taken) return result;
    options.driveChar = FirstCharOf(args[i + 1]);
    if (taken == 3) {
      sawDump = true;
      options.dumpIndex = ParseDecimalIndex(args[i + 2]);
      options.dumpFileName = args[i + 3];
    } else if (EqualsIgnoringAsciiCase(arg, "-dig")) {
      sawDig = true;
    }
    i += 1 + taken;
  }
  options.mode = sawDump ? RunMode::kDump : sawDig ? RunMode::kDig : RunMode::kList;
  options.driveLetter = DriveLetterOf(options.driveChar);
  result.options = std::move(options);
  return result;
}

char DriveLetterOf(char driveChar) {
  // As signed 8-bit, 91..127 is every code from 91 up; 128..255 are negative.
  auto code = static_cast<signed char>(driveChar);
  return code >= 91 ? static_cast<char>(code - 32) : driveChar;
}

std::string DevicePathOf(char driveChar) {
  std::string path = "\\\\.\\C:";
  path[4] = driveChar;
  return path;
}

std::int32_t ParseDecimalIndex(const std::string& text) {
  std::size_t i = 0;
  auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (i < text.size() && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate the magnitude up to just past INT32_MAX + 1, then stop growing.
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  std::int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

}  // namespace sondrel

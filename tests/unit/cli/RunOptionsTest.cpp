#include "cli/RunOptions.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace sondrel {
namespace {

CommandLine Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "Sondrel.exe");
  return ParseCommandLine(args);
}

TEST(ParseCommandLine, ChoosesModeAndDriveByPrecedenceAndPosition) {
  struct Case {
    std::vector<std::string> args;
    RunMode mode;
    char driveChar;
    char driveLetter;
    std::int32_t dumpIndex;
    std::string dumpFileName;
  };
  const Case cases[] = {
      {{"-dig", "c"}, RunMode::kDig, 'c', 'C', 0, ""},
      {{"-DIG", "c"}, RunMode::kDig, 'c', 'C', 0, ""},
      {{"-LiSt", "D"}, RunMode::kList, 'D', 'D', 0, ""},
      {{"-list", "c:\\"}, RunMode::kList, 'c', 'C', 0, ""},
      {{"-list", "cdrive"}, RunMode::kList, 'c', 'C', 0, ""},
      {{"-list", "c", "-dig", "d"}, RunMode::kDig, 'd', 'D', 0, ""},
      {{"-dig", "c", "-list", "d"}, RunMode::kDig, 'd', 'D', 0, ""},
      {{"-dump", "c", "5", "out.bin", "-list", "d"}, RunMode::kDump, 'd', 'D', 5, "out.bin"},
      {{"-dump", "c", "5", "a", "-DUMP", "e", "7", "b"}, RunMode::kDump, 'e', 'E', 7, "b"},
      // Arguments are taken by position, whatever they look like.
      {{"-dump", "-dig", "-list", "-dump"}, RunMode::kDump, '-', '-', 0, "-dump"},
      {{"-list", "z"}, RunMode::kList, 'z', 'Z', 0, ""},
      {{"-list", "1"}, RunMode::kList, '1', '1', 0, ""},
      {{"-list", "{"}, RunMode::kList, '{', '[', 0, ""},
      {{"-list", "\x7f"}, RunMode::kList, '\x7f', '_', 0, ""},
      {{"-list", "\xe9"}, RunMode::kList, '\xe9', '\xe9', 0, ""},
      {{"-list", ""}, RunMode::kList, '\0', '\0', 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    CommandLine line = Parse(c.args);
    ASSERT_TRUE(line.options.has_value());
    EXPECT_FALSE(line.unknownParameter.has_value());
    EXPECT_EQ(line.options->mode, c.mode);
    EXPECT_EQ(line.options->driveChar, c.driveChar);
    EXPECT_EQ(line.options->driveLetter, c.driveLetter);
    EXPECT_EQ(line.options->dumpIndex, c.dumpIndex);
    EXPECT_EQ(line.options->dumpFileName, c.dumpFileName);
  }
}

TEST(ParseCommandLine, AsksForUsageOnEmptyUnknownOrTruncatedCommandLines) {
  struct Case {
    std::vector<std::string> args;
    const char* unknown;  // nullptr: usage text without the "Unknown parameter" line
  };
  const Case cases[] = {
      {{}, nullptr},
      {{"-dig2", "c"}, "-dig2"},
      {{"-digs", "c"}, "-digs"},
      {{"dig", "c"}, "dig"},
      {{"-dig", "-list", "c"}, "c"},
      {{"-dig", "c", "extra"}, "extra"},
      {{"-d\xc9g", "c"}, "-d\xc9g"},  // only A..Z fold
      {{"-dig"}, nullptr},
      {{"-list", "c", "-dig"}, nullptr},
      {{"-dump", "c", "5"}, nullptr},
      {{"-dump", "c"}, nullptr},
      {{"-dump"}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    CommandLine line = Parse(c.args);
    EXPECT_FALSE(line.options.has_value());
    if (c.unknown == nullptr) {
      EXPECT_FALSE(line.unknownParameter.has_value());
    } else {
      EXPECT_EQ(line.unknownParameter, std::optional<std::string>(c.unknown));
    }
  }
}

TEST(ParseCommandLine, KeepsLongDumpFileNamesWhole) {
  std::string name(400, 'n');
  CommandLine line = Parse({"-dump", "c", "1", name});
  ASSERT_TRUE(line.options.has_value());
  EXPECT_EQ(line.options->dumpFileName, name);
}

TEST(ParseDecimalIndex, ReadsLikeAtoiAndSaturates) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"10224", 10224},          {" 42", 42},
      {"\t\n\v\f\r 7", 7},       {"12abc", 12},
      {"abc", 0},                {"", 0},
      {"-5", -5},                {"+8", 8},
      {"+-8", 0},                {"- 8", 0},
      {"007", 7},                {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},   {"99999999999999999999999", INT_MAX},
      {"-2147483648", INT_MIN},  {"-2147483649", INT_MIN},
      {"-99999999999999999999", INT_MIN},
  };
  for (const auto& [text, value] : cases) {
    EXPECT_EQ(ParseDecimalIndex(text), value) << '"' << text << '"';
  }
}

TEST(DevicePathOf, PutsTheDriveCharacterAsTyped) {
  EXPECT_EQ(DevicePathOf('c'), "\\\\.\\c:");
  EXPECT_EQ(DevicePathOf('D'), "\\\\.\\D:");
}

}  // namespace
}  // namespace sondrel

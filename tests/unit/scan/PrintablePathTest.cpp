#include "scan/PrintablePath.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/Platform.h"

namespace sondrel {
namespace {

TEST(AppendPrintablePath, WritesEachControlCharacterAsOneCaret) {
  struct Case {
    std::uint32_t codePage;
    std::string path;
    std::string printed;
  };
  const Case cases[] = {
      // C0 controls and DEL, in every code page.
      {kCodePageUtf8, "X:\\a\nb\rc\x1B[2Kd\te\x7F", "X:\\a^b^c^[2Kd^e^"},
      {1252, "X:\\a\nb\x01\x1F\x7F", "X:\\a^b^^^"},
      {kCodePageLatin1, std::string("a\0b", 3), "a^b"},
      // C1 controls: two bytes in UTF-8, one in Latin-1; each is one caret.
      {kCodePageUtf8, "X:\\\xC2\x9B" "31m\xC2\x80\xC2\x9F", "X:\\^31m^^"},
      {kCodePageLatin1, "X:\\\x9B" "31m\x80\x9F", "X:\\^31m^^"},
      // Neighbours of the ranges stay: U+00A0, U+00C9, and in UTF-8 the bytes
      // of other characters; in an ANSI code page 0x80..0x9F are its own
      // characters (0x80 is the euro sign in 1252).
      {kCodePageUtf8, "\xC2\xA0\xC3\x89\xE2\x82\xAC ~", "\xC2\xA0\xC3\x89\xE2\x82\xAC ~"},
      {kCodePageUtf8, "\xC2", "\xC2"},
      {kCodePageLatin1, "\xA0\xC9 ~", "\xA0\xC9 ~"},
      {1252, "\x80\x9B\xC2\x9B", "\x80\x9B\xC2\x9B"},
      {932, "\x81\x40\x9F\x7E", "\x81\x40\x9F\x7E"},
      // Names without control characters are printed as they are.
      {kCodePageUtf8, "X:\\Program Files\\app.exe", "X:\\Program Files\\app.exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.codePage) + " " + c.path);
    std::string line = "12 ";
    AppendPrintablePath(line, c.path, c.codePage);
    EXPECT_EQ(line, "12 " + c.printed);
  }
}

}  // namespace
}  // namespace sondrel

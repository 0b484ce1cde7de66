#include "names/FileNameConversion.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/FakePlatform.h"

namespace sondrel {
namespace {

// A double-byte code page: every character takes two bytes.
class DoubleBytePlatform : public FakePlatform {
 public:
  std::string WideCharToMultiByte(std::u16string_view text) override {
    std::string out;
    for (char16_t unit : text) out += {'\x81', static_cast<char>(unit & 0x7F)};
    return out;
  }
};

TEST(ConvertFileName, HoldsANameWhoseAnsiFormIsLongerThan258BytesWhole) {
  DoubleBytePlatform platform;
  std::string name = ConvertFileName(platform, std::u16string(255, u'a'));
  EXPECT_EQ(name.size(), 510u);
  EXPECT_EQ(name.substr(508), "\x81" "a");
}

TEST(ConvertFileName, EndsAtTheFirstNulUnit) {
  FakePlatform platform;
  EXPECT_EQ(ConvertFileName(platform, std::u16string(u"ab\0cd", 5)), "ab");
  EXPECT_EQ(ConvertFileName(platform, std::u16string(u"\0cd", 3)), "");
  EXPECT_EQ(ConvertFileName(platform, u"caf\u00E9\u4E2D"), "caf\xE9N");
}

}  // namespace
}  // namespace sondrel

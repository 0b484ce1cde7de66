#include "platform/HostNames.h"

#include <gtest/gtest.h>

#include <string>

namespace sondrel {
namespace {

// What ntfs-3g 2022.10.3 did on a mkntfs image: each name created through the
// mount, listed back by readdir, and found in the image as these UTF-16 units.
struct Named {
  const char* what;
  std::u16string units;
  std::string bytes;
};

const Named kBothWays[] = {
    {"ascii with separators of Windows", u"a\\b*?", "a\\b*?"},
    {"two-byte", u"\u00e9", "\xc3\xa9"},
    {"three-byte", u"\u20ac", "\xe2\x82\xac"},
    {"pair as one four-byte sequence", u"\U00010000", "\xf0\x90\x80\x80"},
    {"lone high surrogate", std::u16string{u'a', 0xD800, u'b'},
     "a\xed\xa0\x80"
     "b"},
    {"lone low surrogate", std::u16string{u'a', 0xDC00, u'b'},
     "a\xed\xb0\x80"
     "b"},
    {"high surrogate last", std::u16string{u'a', 0xDBFF}, "a\xed\xaf\xbf"},
    {"two high surrogates", std::u16string{0xD800, 0xD801}, "\xed\xa0\x80\xed\xa0\x81"},
    {"low before high", std::u16string{0xDC00, 0xD800}, "\xed\xb0\x80\xed\xa0\x80"},
    {"noncharacters", std::u16string{0xFFFE, 0xFFFF}, "\xef\xbf\xbe\xef\xbf\xbf"},
};

TEST(HostNames, EncodesAndDecodesAsNtfs3gDoes) {
  for (const Named& name : kBothWays) {
    SCOPED_TRACE(name.what);
    EXPECT_EQ(EncodeHostName(name.units), name.bytes);
    EXPECT_EQ(DecodeHostName(name.bytes), name.units);
  }
}

TEST(HostNames, JoinsASeparatelyEncodedPairAsNtfs3gDoes) {
  // ntfs-3g accepted this name and listed it back as the four-byte sequence.
  EXPECT_EQ(DecodeHostName("\xed\xa0\x80\xed\xb0\x80"), (std::u16string{0xD800, 0xDC00}));
}

TEST(HostNames, RefusesComponentsThatNameNothingOnTheHost) {
  for (std::u16string component : {std::u16string(), std::u16string(u"."), std::u16string(u".."),
                                   std::u16string(u"a/b"), std::u16string(u"a\0b", 3)}) {
    EXPECT_EQ(EncodeHostName(component), std::nullopt) << component.size();
  }
  EXPECT_EQ(EncodeHostName(u"..."), "...");
}

TEST(HostNames, RefusesBytesNtfs3gRefuses) {
  const char* const kRefused[] = {
      "\xc0\xaf",          // overlong two-byte (refused by the mount: EILSEQ)
      "\xe0\x80\xaf",      // overlong three-byte (likewise)
      "a\xff",             // no UTF-8 lead (likewise)
      "\x80",              // stray continuation byte
      "\xe2\x82",          // truncated
      "\xe2\x28\xac",      // bad continuation
      "\xf0\x8f\xbf\xbf",  // overlong four-byte
      "\xf4\x90\x80\x80",  // past U+10FFFF
      "\xf5\x80\x80\x80",  // lead past U+10FFFF
  };
  for (const char* bytes : kRefused) EXPECT_EQ(DecodeHostName(bytes), std::nullopt) << bytes;
  EXPECT_EQ(DecodeHostName(std::string_view("a\0b", 3)), std::nullopt);
  EXPECT_EQ(DecodeHostName(""), u"");
}

}  // namespace
}  // namespace sondrel

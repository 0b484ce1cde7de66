#include "platform/FakePlatform.h"

#include <gtest/gtest.h>

namespace sondrel {
namespace {

TEST(FakePlatform, ServesItsTreeComponentByComponent) {
  FakePlatform platform;
  platform.directories["X:"] = {{"Program Files", "PROGRA~1"}, {"\xC3\xA9t\xC3\xA9", ""}};
  platform.directories["X:\\Program Files"] = {{"caf\xE9", ""}};
  FindDataW data;
  // A lookup finds the entry by its long or its 8.3 name, exactly.
  FindHandle h = platform.FindFirstFileW({'X', {u"PROGRA~1"}}, &data);
  ASSERT_NE(h, kInvalidHandleValue);
  EXPECT_EQ(data.cFileName, u"Program Files");
  EXPECT_EQ(data.cAlternateFileName, u"PROGRA~1");
  platform.FindClose(h);
  EXPECT_EQ(platform.FindFirstFileW({'X', {u"progra~1"}}, &data), kInvalidHandleValue);
  h = platform.FindFirstFileW({'X', {u"Program Files"}}, &data);
  ASSERT_NE(h, kInvalidHandleValue);
  EXPECT_FALSE(platform.FindNextFileW(h, &data));
  platform.FindClose(h);

  // No "." and ".." at a root; UTF-8 and Latin-1 test names come back as UTF-16.
  h = platform.FindFirstFileExW({'X', {}}, FindExInfoBasic, &data);
  ASSERT_NE(h, kInvalidHandleValue);
  EXPECT_EQ(data.cFileName, u"Program Files");
  EXPECT_TRUE(data.cAlternateFileName.empty());
  EXPECT_TRUE(platform.FindNextFileW(h, &data));
  EXPECT_EQ(data.cFileName, u"\u00E9t\u00E9");
  platform.FindClose(h);
  h = platform.FindFirstFileExW({'X', {u"Program Files"}}, FindExInfoStandard, &data);
  EXPECT_EQ(data.cFileName, u".");
  EXPECT_TRUE(platform.FindNextFileW(h, &data));
  EXPECT_TRUE(platform.FindNextFileW(h, &data));
  EXPECT_EQ(data.cFileName, u"caf\u00E9");
  platform.FindClose(h);
  EXPECT_EQ(platform.searches, (std::vector<std::string>{"X:\\PROGRA~1", "X:\\progra~1", "X:\\Program Files",
                                                         "X:\\*", "X:\\Program Files\\*"}));
  EXPECT_EQ(platform.FindFirstFileExW({'Y', {}}, FindExInfoBasic, &data), kInvalidHandleValue);
  EXPECT_EQ(platform.FindFirstFileExW({'X', {u"a\\b"}}, FindExInfoBasic, &data),
            kInvalidHandleValue);
}

TEST(FakePlatform, RecordsPositionedReadsAndServesShortReads) {
  FakePlatform platform;
  platform.files["\\\\.\\X:"] = std::vector<std::byte>(1000, std::byte{7});
  FileHandle h = platform.CreateFileA("\\\\.\\X:", kGenericRead, kFileShareRead, kOpenExisting);
  std::vector<std::byte> buffer(512);
  std::uint32_t got = 0;
  Overlapped at{600, 0};
  EXPECT_TRUE(platform.ReadFile(h, buffer, &got, &at));
  EXPECT_EQ(got, 400u);
  ASSERT_EQ(platform.reads.size(), 1u);
  EXPECT_EQ(platform.reads[0].offset, 600u);
  EXPECT_EQ(platform.reads[0].length, 512u);
  EXPECT_TRUE(platform.CloseHandle(h));
  EXPECT_EQ(platform.openHandles, 0);
}

}  // namespace
}  // namespace sondrel

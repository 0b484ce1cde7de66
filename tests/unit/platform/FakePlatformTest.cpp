#include "platform/FakePlatform.h"

#include <gtest/gtest.h>

namespace sondrel {
namespace {

TEST(FakePlatform, FindsEntriesByLongOrShortNameAndListsDirectories) {
  FakePlatform platform;
  platform.directories["X:"] = {{"Program Files", "PROGRA~1"}, {"a.txt", ""}};
  FindData data;
  FindHandle h = platform.FindFirstFileA("X:\\progra~1", &data);
  ASSERT_NE(h, kInvalidHandleValue);
  EXPECT_EQ(data.cFileName, "Program Files");
  EXPECT_FALSE(platform.FindNextFileA(h, &data));
  platform.FindClose(h);

  h = platform.FindFirstFileA("X:\\*", &data);
  ASSERT_NE(h, kInvalidHandleValue);
  EXPECT_TRUE(platform.FindNextFileA(h, &data));
  EXPECT_EQ(data.cFileName, "a.txt");
  EXPECT_EQ(platform.searches.size(), 2u);
  EXPECT_EQ(platform.FindFirstFileA("Y:\\*", &data), kInvalidHandleValue);
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

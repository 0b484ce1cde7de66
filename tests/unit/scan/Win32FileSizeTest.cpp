#include "scan/Win32FileSize.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/FakePlatform.h"

namespace sondrel {
namespace {

TEST(QueryWin32FileSize, OpensForReadWithReadSharingAndCloses) {
  FakePlatform platform;
  platform.files["X:\\a.bin"] = std::vector<std::byte>(1234);
  EXPECT_EQ(QueryWin32FileSize(platform, "X:\\a.bin"), 1234u);
  ASSERT_EQ(platform.opens.size(), 1u);
  EXPECT_EQ(platform.opens[0].desiredAccess, kGenericRead);
  EXPECT_EQ(platform.opens[0].shareMode, kFileShareRead);
  EXPECT_EQ(platform.opens[0].creationDisposition, kOpenExisting);
  EXPECT_EQ(platform.openHandles, 0);
}

TEST(QueryWin32FileSize, GivesZeroWhenTheFileCannotBeOpened) {
  FakePlatform platform;
  platform.files["X:\\locked"] = std::vector<std::byte>(10);
  platform.lockedPaths.push_back("X:\\locked");
  EXPECT_EQ(QueryWin32FileSize(platform, "X:\\locked"), 0u);
  EXPECT_EQ(QueryWin32FileSize(platform, "X:\\missing"), 0u);
}

}  // namespace
}  // namespace sondrel

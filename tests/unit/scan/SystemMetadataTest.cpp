#include "scan/SystemMetadata.h"

#include <gtest/gtest.h>

#include <string>

namespace sondrel {
namespace {

TEST(IsSystemMetadataPath, MatchesWholeTailsIgnoringAsciiCase) {
  struct Case {
    const char* path;
    bool excluded;
  };
  const Case cases[] = {
      {"C:\\$MFT", true},
      {"z:\\$mft", true},
      {"D:\\.", true},
      {"C:\\$Extend\\$Reparse", true},
      {"C:\\System Volume Information\\MOUNTP~1", true},
      {"C:\\System Volume Information\\tracking.log", true},
      {"C:\\System Volume Information\\MountPointManagerRemoteDatabase", false},
      {"C:\\$Extend\\$UsnJrnl", false},
      {"C:\\$MFT\\x", false},
      {"C:\\$MFTMir", false},
      {"C:\\", false},
      {"$M", false},
      // A path without a drive part loses two characters all the same.
      {"xy\\$Boot", true},
      {"\\$Boot", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(IsSystemMetadataPath(c.path), c.excluded);
  }
}

TEST(IsSystemMetadataPath, EveryListedTailIsExcluded) {
  for (std::string_view tail : kMetadataExclusionList) {
    EXPECT_TRUE(IsSystemMetadataPath("Q:" + std::string(tail))) << tail;
  }
}

}  // namespace
}  // namespace sondrel

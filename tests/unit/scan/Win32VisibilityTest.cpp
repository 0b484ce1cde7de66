#include "scan/Win32Visibility.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/FakePlatform.h"

namespace sondrel {
namespace {

TEST(IsVisibleToWin32, AnswersFromTheLongNamesAndListsShortNamesOnlyWhenNeeded) {
  FakePlatform platform;
  platform.directories["X:"] = {{"Program Files", "PROGRA~1"}, {"boot.ini", "BOOT.INI"}};
  platform.directories["X:\\Program Files"] = {{".", ""}, {"..", ""}, {"app.exe", ""}};
  DirectoryCache cache;
  struct Case {
    const char* path;
    bool visible;
  };
  const Case cases[] = {
      {"X:\\Program Files", true},
      {"X:\\PROGRA~1", true},       // the short name is listed too
      {"X:\\program files", false}, // names compare with case
      {"X:\\boot.ini", true},
      {"X:\\BOOT.INI", false},      // a short name equal but for case is not kept
      {"X:\\rootkit.sys", false},
      {"X:\\Program Files\\app.exe", true},
      {"X:\\Program Files\\", true},  // no short name: the empty text is listed
      {"X:\\Program Files\\gone.dll", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(IsVisibleToWin32(platform, cache, c.path), c.visible);
  }
  // Each directory once for its long names, and once more for its short
  // names when a name was not among them (PROGRA~1, the empty name).
  EXPECT_EQ(platform.searches, (std::vector<std::string>{"X:\\*", "X:\\*", "X:\\Program Files\\*",
                                                         "X:\\Program Files\\*"}));
  EXPECT_EQ(platform.searchLevels,
            (std::vector<FindexInfoLevels>{FindExInfoBasic, FindExInfoStandard, FindExInfoBasic,
                                           FindExInfoStandard}));
}

TEST(IsVisibleToWin32, ADirectoryWhoseNamesAreAllLongIsSearchedOnceWithoutShortNames) {
  FakePlatform platform;
  platform.directories["X:\\dir"] = {{"a.txt", "A.TXT"}, {"long name.txt", "LONGNA~1.TXT"}};
  DirectoryCache cache;
  EXPECT_TRUE(IsVisibleToWin32(platform, cache, "X:\\dir\\a.txt"));
  EXPECT_TRUE(IsVisibleToWin32(platform, cache, "X:\\dir\\long name.txt"));
  EXPECT_EQ(platform.searchLevels, std::vector<FindexInfoLevels>{FindExInfoBasic});
  EXPECT_TRUE(IsVisibleToWin32(platform, cache, "X:\\dir\\LONGNA~1.TXT"));
  EXPECT_FALSE(IsVisibleToWin32(platform, cache, "X:\\dir\\A.TXT"));
  EXPECT_FALSE(IsVisibleToWin32(platform, cache, "X:\\dir\\gone.txt"));
  EXPECT_EQ(platform.searches.size(), 2u);
}

TEST(IsVisibleToWin32, ADirectoryThatCannotBeListedIsSearchedOnce) {
  FakePlatform platform;
  DirectoryCache cache;
  EXPECT_FALSE(IsVisibleToWin32(platform, cache, "X:\\Secret\\a"));
  EXPECT_FALSE(IsVisibleToWin32(platform, cache, "X:\\Secret\\b"));
  EXPECT_EQ(platform.searches, std::vector<std::string>{"X:\\Secret\\*"});
}

TEST(IsVisibleToWin32, ShortAndLongDirectoryTextsAreListedSeparately) {
  FakePlatform platform;
  platform.directories["X:\\Program Files"] = {{"app.exe", ""}};
  platform.directories["X:\\PROGRA~1"] = {{"app.exe", ""}};
  DirectoryCache cache;
  EXPECT_TRUE(IsVisibleToWin32(platform, cache, "X:\\PROGRA~1\\app.exe"));
  EXPECT_TRUE(IsVisibleToWin32(platform, cache, "X:\\Program Files\\app.exe"));
  EXPECT_EQ(platform.searches.size(), 2u);
}

TEST(IsVisibleToWin32, AFileCreatedAfterTheListingStaysInvisible) {
  FakePlatform platform;
  platform.directories["X:"] = {{"a", ""}};
  DirectoryCache cache;
  EXPECT_TRUE(IsVisibleToWin32(platform, cache, "X:\\a"));
  platform.directories["X:"].push_back({"b", ""});
  EXPECT_FALSE(IsVisibleToWin32(platform, cache, "X:\\b"));
}

}  // namespace
}  // namespace sondrel

#include "names/DirectoryView.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FakePlatform.h"

namespace sondrel {
namespace {

TEST(IsVisibleToWin32, AnswersFromTheLongNamesAndListsShortNamesOnlyWhenNeeded) {
  FakePlatform platform;
  platform.directories["X:"] = {{"Program Files", "PROGRA~1"}, {"boot.ini", "BOOT.INI"}};
  platform.directories["X:\\Program Files"] = {{".", ""}, {"..", ""}, {"app.exe", ""}};
  DirectoryView view(platform);
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
    EXPECT_EQ(view.IsVisibleToWin32(c.path), c.visible);
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
  DirectoryView view(platform);
  EXPECT_TRUE(view.IsVisibleToWin32("X:\\dir\\a.txt"));
  EXPECT_TRUE(view.IsVisibleToWin32("X:\\dir\\long name.txt"));
  EXPECT_EQ(platform.searchLevels, std::vector<FindexInfoLevels>{FindExInfoBasic});
  EXPECT_TRUE(view.IsVisibleToWin32("X:\\dir\\LONGNA~1.TXT"));
  EXPECT_FALSE(view.IsVisibleToWin32("X:\\dir\\A.TXT"));
  EXPECT_FALSE(view.IsVisibleToWin32("X:\\dir\\gone.txt"));
  EXPECT_EQ(platform.searches.size(), 2u);
}

TEST(IsVisibleToWin32, ADirectoryThatCannotBeListedIsSearchedOnce) {
  FakePlatform platform;
  DirectoryView view(platform);
  EXPECT_FALSE(view.IsVisibleToWin32("X:\\Secret\\a"));
  EXPECT_FALSE(view.IsVisibleToWin32("X:\\Secret\\b"));
  EXPECT_EQ(platform.searches, std::vector<std::string>{"X:\\Secret\\*"});
}

TEST(IsVisibleToWin32, ShortAndLongDirectoryTextsAreListedSeparately) {
  FakePlatform platform;
  platform.directories["X:\\Program Files"] = {{"app.exe", ""}};
  platform.directories["X:\\PROGRA~1"] = {{"app.exe", ""}};
  DirectoryView view(platform);
  EXPECT_TRUE(view.IsVisibleToWin32("X:\\PROGRA~1\\app.exe"));
  EXPECT_TRUE(view.IsVisibleToWin32("X:\\Program Files\\app.exe"));
  EXPECT_EQ(platform.searches.size(), 2u);
}

TEST(IsVisibleToWin32, AFileCreatedAfterTheListingStaysInvisible) {
  FakePlatform platform;
  platform.directories["X:"] = {{"a", ""}};
  DirectoryView view(platform);
  EXPECT_TRUE(view.IsVisibleToWin32("X:\\a"));
  platform.directories["X:"].push_back({"b", ""});
  EXPECT_FALSE(view.IsVisibleToWin32("X:\\b"));
}

// X:\Program Files (PROGRA~1)\Common Files (COMMON~1)\readme.txt (no short name)
// X:\Docs (short name DOCS: equal but for case)
FakePlatform MakeTree() {
  FakePlatform platform;
  platform.directories["X:"] = {{"Program Files", "PROGRA~1"}, {"Docs", "DOCS"}};
  platform.directories["X:\\Program Files"] = {{"Common Files", "COMMON~1"}};
  platform.directories["X:\\Program Files\\Common Files"] = {{"readme.txt", ""}};
  return platform;
}

TEST(ExpandLongPath, RewritesPathsComponentByComponent) {
  struct Case {
    const char* input;
    const char* expected;
    std::vector<std::string> searches;
  };
  // A component found under another name than its own long name is searched
  // twice: without, then with the 8.3 name that decides its rewriting.
  const Case cases[] = {
      // Short components become long ones; each is searched under the
      // prefix already expanded.
      {"X:\\PROGRA~1\\COMMON~1\\README.TXT",
       "X:\\Program Files\\Common Files\\readme.txt",
       {"X:\\PROGRA~1", "X:\\PROGRA~1", "X:\\Program Files\\COMMON~1",
        "X:\\Program Files\\COMMON~1", "X:\\Program Files\\Common Files\\README.TXT",
        "X:\\Program Files\\Common Files\\README.TXT"}},
      // A component that is not found stays as built, and so does what lies
      // below it.
      {"X:\\PROGRA~1\\HIDDEN~1\\a.txt",
       "X:\\Program Files\\HIDDEN~1\\a.txt",
       {"X:\\PROGRA~1", "X:\\PROGRA~1", "X:\\Program Files\\HIDDEN~1",
        "X:\\Program Files\\HIDDEN~1\\a.txt"}},
      // A short name equal to the long one but for case: the input's spelling stays.
      {"X:\\docs", "X:\\docs", {"X:\\docs", "X:\\docs"}},
      // Found under its own long name: one search, no 8.3 name needed.
      {"X:\\Program Files\\Common Files", "X:\\Program Files\\Common Files",
       {"X:\\Program Files", "X:\\Program Files\\Common Files"}},
      // A trailing backslash is dropped.
      {"X:\\PROGRA~1\\", "X:\\Program Files", {"X:\\PROGRA~1", "X:\\PROGRA~1"}},
      // Three bytes or fewer: unchanged, no search.
      {"X:\\", "X:\\", {}},
      {"abc", "abc", {}},
      // No drive component: looked up from the root, with a leading backslash.
      {"name.txt", "\\name.txt", {"\\name.txt"}},
      // A drive component anywhere restarts the output.
      {"a\\X:\\PROGRA~1", "X:\\Program Files", {"\\a", "X:\\PROGRA~1", "X:\\PROGRA~1"}},
      // Off the root, below a component not found nothing more is searched.
      {"a\\b\\c", "\\a\\b\\c", {"\\a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    FakePlatform platform = MakeTree();
    DirectoryView view(platform);
    EXPECT_EQ(view.ExpandLongPath(c.input), c.expected);
    EXPECT_EQ(platform.searches, c.searches);
    for (std::size_t i = 0; i < platform.searches.size(); ++i) {
      // The first search of a component never asks for the 8.3 name.
      bool again = i > 0 && platform.searches[i] == platform.searches[i - 1];
      EXPECT_EQ(platform.searchLevels[i], again ? FindExInfoStandard : FindExInfoBasic) << i;
    }
  }

  // Remembered prefixes give the same texts, in any order, to any depth.
  FakePlatform platform = MakeTree();
  DirectoryView view(platform);
  for (int round = 0; round < 2; ++round) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.input);
      EXPECT_EQ(view.ExpandLongPath(c.input), c.expected);
    }
  }
}

TEST(ExpandLongPath, ExpandsEachDirectoryOncePerRunWithRememberedPrefixes) {
  FakePlatform platform = MakeTree();
  DirectoryView view(platform);
  EXPECT_EQ(view.ExpandLongPath("X:\\PROGRA~1\\COMMON~1\\README.TXT"),
            "X:\\Program Files\\Common Files\\readme.txt");
  platform.searches.clear();
  EXPECT_EQ(view.ExpandLongPath("X:\\PROGRA~1\\COMMON~1\\new.txt"),
            "X:\\Program Files\\Common Files\\new.txt");
  EXPECT_EQ(view.ExpandLongPath("X:\\PROGRA~1\\COMMON~1\\"),
            "X:\\Program Files\\Common Files");
  EXPECT_EQ(view.ExpandLongPath("X:\\PROGRA~1\\other\\x"),
            "X:\\Program Files\\other\\x");
  EXPECT_EQ(platform.searches,
            (std::vector<std::string>{"X:\\Program Files\\Common Files\\new.txt",
                                      "X:\\Program Files\\other",
                                      "X:\\Program Files\\other\\x"}));
}

TEST(ExpandLongPath, HoldsPathsLongerThanTheFixedBuffersWhole) {
  FakePlatform platform = MakeTree();
  DirectoryView view(platform);
  std::string deep = "X:\\PROGRA~1";
  for (int i = 0; i < 40; ++i) deep += "\\directory-" + std::to_string(i);
  std::string expected = "X:\\Program Files" + deep.substr(11);
  ASSERT_GT(expected.size(), 260u);
  EXPECT_EQ(view.ExpandLongPath(deep), expected);
}

// Paths as the walk gives them for a loop of directories (no drive, every
// rotation) and for a deep chain (below the root, each one component deeper).
TEST(DirectoryView, RemembersPerDirectoryAndNothingForPathsOffTheRoot) {
  constexpr std::size_t kLoop = 2000;
  constexpr std::size_t kDepth = 10000;
  FakePlatform platform;
  DirectoryView view(platform);
  std::vector<std::string> names;
  for (std::size_t i = 0; i < kLoop; ++i) names.push_back("d" + std::to_string(i));
  for (std::size_t start = 0; start < kLoop; start += 97) {
    std::string path;
    for (std::size_t i = 0; i < kLoop; ++i) path += names[(start + i) % kLoop] + "\\";
    path += "f";
    EXPECT_EQ(view.ExpandLongPath(path), "\\" + path);
    EXPECT_FALSE(view.IsVisibleToWin32(path));
    // The first component, not found, and the listing of the path's directory.
    EXPECT_EQ(platform.searches.size(), 2u);
    platform.searches.clear();
  }
  EXPECT_EQ(view.RememberedBytes(), 0u);

  // The fake lists none of the chain: each directory is still asked once.
  std::string path = "X:";
  std::size_t searches = 0;
  for (std::size_t i = 0; i < kDepth; ++i) {
    path += "\\d" + std::to_string(i % 10);
    ASSERT_FALSE(view.IsVisibleToWin32(path + "\\f"));
    ASSERT_EQ(view.ExpandLongPath(path + "\\f"), path + "\\f");
    searches += platform.searches.size();
    platform.searches.clear();
  }
  // Per directory: its component and a parent number in the tree, an entry
  // of the expansions; not its whole text.
  EXPECT_LE(view.RememberedBytes(), kDepth * (3 + 4 + sizeof(ComponentExpansion)) + 8);
  // Each directory listed once; each component and each own name searched once.
  EXPECT_EQ(searches, kDepth + 2 * kDepth);
}

TEST(ExpandLongComponent, ReplacesOnlyTheLastComponent) {
  FakePlatform platform = MakeTree();
  DirectoryView view(platform);
  EXPECT_EQ(view.ExpandLongComponent("X:\\PROGRA~1"), "X:\\Program Files");
  // An entry without a short name comes back in the case the directory stores.
  EXPECT_EQ(view.ExpandLongComponent("X:\\Program Files\\Common Files\\README.txt"),
            "X:\\Program Files\\Common Files\\readme.txt");
  EXPECT_EQ(view.ExpandLongComponent("X:\\missing"), "X:\\missing");
  EXPECT_EQ(view.ExpandLongComponent("nobackslash"), "nobackslash");
  EXPECT_EQ(view.ExpandLongComponent("X:\\PROGRA~1\\"), "X:\\PROGRA~1\\");
  EXPECT_EQ(platform.searches.size(), 5u);  // the two rewritten ones twice
}

TEST(DirectoryView, AnswersAboutOneEntryOfOneDirectory) {
  struct Case {
    const char* directory;
    const char* name;
    std::optional<std::string> longName;
    std::size_t searches;
  };
  const Case cases[] = {
      {"X:", "PROGRA~1", "Program Files", 2},  // found by another name: its 8.3 name decides
      {"X:", "Program Files", std::nullopt, 1},
      {"X:", "docs", std::nullopt, 2},         // short name equal but for case
      {"X:\\Program Files", "COMMON~1", "Common Files", 2},
      {"X:", "missing", std::nullopt, 1},
      {"X:", "", std::nullopt, 0},             // nothing to search for
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.directory) + " " + c.name);
    FakePlatform platform = MakeTree();
    DirectoryView view(platform);
    std::optional<std::string_view> longName = view.LongNameOf(c.directory, c.name);
    EXPECT_EQ(longName ? std::optional<std::string>(*longName) : std::nullopt, c.longName);
    EXPECT_EQ(platform.searches.size(), c.searches);
  }
  // The listing behind the path question is the one behind the entry question.
  FakePlatform platform = MakeTree();
  DirectoryView view(platform);
  EXPECT_TRUE(view.Lists("X:", "Docs"));
  EXPECT_TRUE(view.IsVisibleToWin32("X:\\Docs"));
  EXPECT_FALSE(view.Lists("X:", "docs"));
  EXPECT_EQ(platform.searches, (std::vector<std::string>{"X:\\*", "X:\\*"}));
}

// A view that tells each entry's MFT record, as ntfs-3g does through inode
// numbers: X:\Program Files (PROGRA~1) is record 64, its app.exe (APP~1.EXE
// as the record's first name) 70; X:\Docs (DOCS) 65.
FakePlatform MakeNumberedTree() {
  FakePlatform platform;
  platform.directories["X:"] = {{"Program Files", "PROGRA~1", 64}, {"Docs", "DOCS", 65}};
  platform.directories["X:\\Program Files"] = {{"app.exe", "APP~1.EXE", 70}};
  platform.directories["X:\\PROGRA~1"] = platform.directories["X:\\Program Files"];
  return platform;
}

TEST(IsVisibleToWin32, AnEntrysRecordDecidesWhereTheViewTellsIt) {
  struct Case {
    const char* path;
    std::uint64_t record;
    bool visible;
  };
  const Case cases[] = {
      {"X:\\PROGRA~1", 64, true},                   // its 8.3 name, found by its record
      {"X:\\Program Files", 99, true},              // a long name listed: as always
      {"X:\\DOCS", 65, true},                       // 8.3 name equal but for case
      {"X:\\ROOTKIT.SYS", 66, false},               // record not listed
      {"X:\\PROGRA~1", 66, false},                  // another entry's 8.3 name
      {"X:\\PROGRA~1\\APP~1.EXE", 70, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    FakePlatform platform = MakeNumberedTree();
    DirectoryView view(platform);
    EXPECT_EQ(view.IsVisibleToWin32(c.path, c.record), c.visible);
    // No 8.3 name is asked for: one long-name listing of the directory.
    EXPECT_EQ(platform.searchLevels, std::vector<FindexInfoLevels>{FindExInfoBasic});
  }
}

TEST(IsVisibleToWin32, AListingWithoutEveryRecordFallsBackToShortNames) {
  FakePlatform platform = MakeNumberedTree();
  platform.directories["X:"].push_back({"Untold", "UNTOLD~1", 0});
  DirectoryView view(platform);
  EXPECT_TRUE(view.IsVisibleToWin32("X:\\PROGRA~1", 66));  // by 8.3 name, as without records
  EXPECT_EQ(platform.searchLevels,
            (std::vector<FindexInfoLevels>{FindExInfoBasic, FindExInfoStandard}));
}

TEST(ExpandLongPath, TheLastComponentIsExpandedByItsRecordFromTheListing) {
  struct Case {
    const char* input;
    std::uint64_t record;
    const char* expected;
  };
  const Case cases[] = {
      {"X:\\PROGRA~1\\APP~1.EXE", 70, "X:\\Program Files\\app.exe"},
      {"X:\\PROGRA~1", 64, "X:\\Program Files"},
      {"X:\\DOCS", 65, "X:\\DOCS"},                     // equal but for case: stands
      {"X:\\PROGRA~1\\HIDDEN~1.SYS", 71, "X:\\Program Files\\HIDDEN~1.SYS"},  // not listed
      {"X:\\PROGRA~1\\app.exe", 70, "X:\\Program Files\\app.exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    FakePlatform platform = MakeNumberedTree();
    DirectoryView view(platform);
    EXPECT_EQ(view.ExpandLongPath(c.input, c.record), c.expected);
    // The last component comes from its directory's listing, never a lookup.
    EXPECT_TRUE(platform.searches.back().ends_with("\\*")) << platform.searches.back();
  }
}

TEST(QueryWin32FileSize, OpensForReadWithReadSharingAndCloses) {
  FakePlatform platform;
  DirectoryView view(platform);
  platform.files["X:\\a.bin"] = std::vector<std::byte>(1234);
  EXPECT_EQ(view.QueryWin32FileSize("X:\\a.bin"), 1234u);
  ASSERT_EQ(platform.opens.size(), 1u);
  EXPECT_EQ(platform.opens[0].desiredAccess, kGenericRead);
  EXPECT_EQ(platform.opens[0].shareMode, kFileShareRead);
  EXPECT_EQ(platform.opens[0].creationDisposition, kOpenExisting);
  EXPECT_EQ(platform.openHandles, 0);
}

TEST(QueryWin32FileSize, GivesZeroWhenTheFileCannotBeOpened) {
  FakePlatform platform;
  DirectoryView view(platform);
  platform.files["X:\\locked"] = std::vector<std::byte>(10);
  platform.lockedPaths.push_back("X:\\locked");
  EXPECT_EQ(view.QueryWin32FileSize("X:\\locked"), 0u);
  EXPECT_EQ(view.QueryWin32FileSize("X:\\missing"), 0u);
}

}  // namespace
}  // namespace sondrel

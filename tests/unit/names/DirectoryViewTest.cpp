#include "names/DirectoryView.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FakePlatform.h"

namespace sondrel {
namespace {

// Directory records as the path walk would have read them: 5 is the root;
// 16 is X:\PROGRA~1 (Program Files), 17 X:\PROGRA~1\COMMON~1 (Common Files),
// 18 X:\top, 19 X:\top\* ; 30 is an orphan "/etc" (parent 0), 31 and 32 a loop.
class DirectoryViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Seed(5, 5, u".");
    Seed(16, 5, u"PROGRA~1");
    Seed(17, 16, u"COMMON~1");
    Seed(18, 5, u"top");
    Seed(19, 18, u"*");
    Seed(30, 0, u"/etc");
    Seed(31, 32, u"a");
    Seed(32, 31, u"b");
  }
  void Seed(std::uint32_t record, std::uint32_t parent, std::u16string name) {
    ParentLink link;
    link.parentRecord = parent;
    link.name = platform_.WideCharToMultiByte(name);
    link.wideName = std::move(name);
    paths_.parentLinks().Insert(std::to_string(record), std::move(link));
  }
  // The fake's tree of the same volume, without record numbers.
  void ListTree() {
    platform_.directories["X:"] = {{"Program Files", "PROGRA~1"}, {"boot.ini", "BOOT.INI"},
                                   {"top", ""}, {"NNNN.txt", ""}, {"report.txt", "REPORT~1.TXT"}};
    platform_.directories["X:\\PROGRA~1"] = {{"Common Files", "COMMON~1"}, {"app.exe", ""}};
    platform_.directories["X:\\PROGRA~1\\COMMON~1"] = {{"Read Me.txt", "README~1.TXT"}};
    platform_.directories["X:\\top"] = {{"*", ""}};
    platform_.directories["X:\\top\\*"] = {{"f.txt", ""}};
  }
  std::size_t Count(std::string_view search) const {
    return static_cast<std::size_t>(
        std::count(platform_.searches.begin(), platform_.searches.end(), search));
  }

  FakePlatform platform_;
  VolumeContext volume_;
  PathBuilder paths_{volume_, platform_, 'X'};
  DirectoryView view_{platform_, paths_, 'X'};
};

TEST_F(DirectoryViewTest, ShowsANameOnlyWhenItsDirectoryListsItExactly) {
  ListTree();
  struct Case {
    std::uint32_t parent;
    std::u16string name;
    bool visible;
  };
  const Case cases[] = {
      {5, u"Program Files", true},
      {5, u"PROGRA~1", true},          // an 8.3 name the listing gives
      {5, u"program files", false},    // names compare with case
      {5, u"BOOT.INI", false},         // an 8.3 name equal but for case is no name of its own
      {5, u"rootkit.sys", false},
      {5, u"\u0414\u0435\u043B\u0430.txt", false},  // not the decoy NNNN.txt its ANSI text is
      {5, u"a\xD800" u"b.txt", false},  // an unpaired surrogate is not the letter N
      {5, u"Report.txt", false},        // the case twin of a listed name
      {16, u"app.exe", true},
      {17, u"README~1.TXT", true},
      {18, u"*", true},                 // a name, never a pattern
      {19, u"f.txt", true},
      {19, u"g.txt", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(platform_.WideCharToMultiByte(c.name));
    EXPECT_EQ(view_.IsVisibleToWin32(c.parent, c.name, 99), c.visible);
  }
  // Each directory is listed once for its long names and once more for its
  // 8.3 names when a name is not among them; below "*" the search is literal.
  EXPECT_EQ(Count("X:\\*"), 2u);
  EXPECT_EQ(Count("X:\\PROGRA~1\\*"), 1u);
  EXPECT_EQ(Count("X:\\top\\*\\*"), 2u);
  EXPECT_EQ(platform_.searchLevels.front(), FindExInfoBasic);
}

TEST_F(DirectoryViewTest, PathsThatDoNotReachTheRootAreNeverLookedUp) {
  ListTree();
  platform_.directories["X:\\/etc"] = {{"passwd", ""}};
  platform_.files["X:\\/etc\\passwd"] = std::vector<std::byte>(1234);
  for (std::uint32_t parent : {0u, 30u, 31u}) {
    EXPECT_FALSE(view_.IsVisibleToWin32(parent, u"passwd", 40));
    EXPECT_EQ(view_.QueryWin32FileSize(parent, u"passwd", 40), 0u);
  }
  EXPECT_EQ(view_.ExpandLongPath("/etc\\passwd", "passwd", 30, u"passwd", 40), "\\/etc\\passwd");
  EXPECT_EQ(view_.ExpandLongPath("a\\X:\\b", "b", 31, u"b", 40), "\\a\\X:\\b");
  EXPECT_EQ(view_.ExpandLongPath("abc", "abc", 0, u"abc", 40), "abc");
  EXPECT_TRUE(platform_.searches.empty());
  EXPECT_TRUE(platform_.opens.empty());
}

TEST_F(DirectoryViewTest, ARelistSeesWhatChangedSinceTheFirstListing) {
  platform_.directories["X:"] = {{"old.txt", ""}};
  EXPECT_FALSE(view_.IsVisibleToWin32(5, u"new.txt", 40));
  platform_.directories["X:"].push_back({"new.txt", ""});
  EXPECT_FALSE(view_.IsVisibleToWin32(5, u"new.txt", 40));  // the listing is kept
  view_.Relist(5);
  EXPECT_TRUE(view_.IsVisibleToWin32(5, u"new.txt", 40));
  platform_.directories.erase("X:");  // a directory that can no longer be listed
  view_.Relist(5);
  EXPECT_FALSE(view_.IsVisibleToWin32(5, u"old.txt", 40));
  EXPECT_FALSE(view_.IsVisibleToWin32(5, u"new.txt", 40));
  EXPECT_EQ(Count("X:\\*"), 4u);  // a failed search is kept too, not made again
}

// Where the view tells each entry's record, as ntfs-3g does through inode
// numbers, an entry shows only the record it is.
TEST_F(DirectoryViewTest, AnEntryShowsOnlyTheRecordItIsWhereTheViewTellsRecords) {
  platform_.directories["X:"] = {{"Program Files", "PROGRA~1", 16},
                                 {"report.txt", "", 40},
                                 {"Docs", "DOCS", 41},
                                 {"other.txt", "", 42}};
  struct Case {
    std::u16string name;
    std::uint64_t record;
    bool visible;
  };
  const Case cases[] = {
      {u"Program Files", 16, true},
      {u"PROGRA~1", 16, true},      // its own entry's 8.3 name, fetched for it alone
      {u"report.txt", 40, true},
      {u"report.txt", 43, false},   // a masquerading name: the entry is another record
      {u"Report.txt", 44, false},   // a case twin
      {u"PROGRA~1", 42, false},     // another entry's 8.3 name
      {u"DOCS", 41, false},         // 8.3 name equal but for case
      {u"hidden.sys", 45, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(platform_.WideCharToMultiByte(c.name));
    EXPECT_EQ(view_.IsVisibleToWin32(5, c.name, c.record), c.visible);
  }
  // One listing without 8.3 names; one lookup each for the entries whose 8.3
  // name was needed, never every sibling's.
  EXPECT_EQ(platform_.searches,
            (std::vector<std::string>{"X:\\*", "X:\\Program Files", "X:\\other.txt",
                                      "X:\\Docs"}));

  // A name that opens another record does not size this one.
  platform_.files["X:\\report.txt"] = std::vector<std::byte>(5);
  EXPECT_EQ(view_.QueryWin32FileSize(5, u"report.txt", 40), 5u);
  EXPECT_EQ(view_.QueryWin32FileSize(5, u"report.txt", 43), 0u);
}

TEST_F(DirectoryViewTest, ExpandsOnlyTheEntryAComponentNamesExactly) {
  ListTree();
  struct Case {
    std::uint32_t parent;
    std::u16string name;
    const char* built;
    const char* expected;
  };
  const Case cases[] = {
      {17, u"README~1.TXT", "X:\\PROGRA~1\\COMMON~1\\README~1.TXT",
       "X:\\Program Files\\Common Files\\Read Me.txt"},
      {17, u"HIDDEN~1.SYS", "X:\\PROGRA~1\\COMMON~1\\HIDDEN~1.SYS",
       "X:\\Program Files\\Common Files\\HIDDEN~1.SYS"},  // not listed: stands
      {5, u"Report.txt", "X:\\Report.txt", "X:\\Report.txt"},  // never the twin's name
      {5, u"REPORT~1.TXT", "X:\\REPORT~1.TXT", "X:\\report.txt"},
      {5, u"BOOT.INI", "X:\\BOOT.INI", "X:\\BOOT.INI"},   // equal but for case: stands
      {19, u"f.txt", "X:\\top\\*\\f.txt", "X:\\top\\*\\f.txt"},  // "*" is a name
      {5, u".", "X:\\.", "X:\\."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.built);
    EXPECT_EQ(view_.ExpandLongPath(c.built, platform_.WideCharToMultiByte(c.name), c.parent,
                                   c.name, 99),
              c.expected);
  }
  // Each directory listed once, its expanded text kept for the paths below it.
  EXPECT_EQ(Count("X:\\PROGRA~1\\COMMON~1\\*"), 2u);
  EXPECT_EQ(Count("X:\\PROGRA~1\\*"), 2u);
  EXPECT_LE(view_.ExpandedPrefixBytes(), DirectoryView::kMaxExpandedPrefixBytes);
}

TEST_F(DirectoryViewTest, ReachesDirectoriesBeyondAnyTextLimitComponentByComponent) {
  // 300 levels of 100-character names: 30,000 characters, far beyond MAX_PATH
  // and PATH_MAX; every level is listed by its components.
  std::string text = "X:";
  std::uint32_t parent = 5;
  for (std::uint32_t level = 0; level < 300; ++level) {
    const std::uint32_t record = 100 + level;
    Seed(record, parent, std::u16string(100, static_cast<char16_t>(u'a' + level % 26)));
    platform_.directories[text].push_back({std::string(100, static_cast<char>('a' + level % 26)), ""});
    text += "\\" + std::string(100, static_cast<char>('a' + level % 26));
    parent = record;
  }
  platform_.directories[text] = {{"deep.txt", ""}};
  platform_.files[text + "\\deep.txt"] = std::vector<std::byte>(42);
  EXPECT_TRUE(view_.IsVisibleToWin32(parent, u"deep.txt", 1000));
  EXPECT_EQ(view_.QueryWin32FileSize(parent, u"deep.txt", 1000), 42u);
  EXPECT_EQ(view_.ExpandLongPath(text + "\\deep.txt", "deep.txt", parent, u"deep.txt", 1000),
            text + "\\deep.txt");
}

TEST_F(DirectoryViewTest, SizesAFileByItsOwnNameWithReadSharingOnly) {
  platform_.files["X:\\PROGRA~1\\app.exe"] = std::vector<std::byte>(77);
  EXPECT_EQ(view_.QueryWin32FileSize(16, u"app.exe", 70), 77u);
  ASSERT_EQ(platform_.opens.size(), 1u);
  EXPECT_EQ(platform_.opens[0].desiredAccess, kGenericRead);
  EXPECT_EQ(platform_.opens[0].shareMode, kFileShareRead);
  EXPECT_EQ(platform_.opens[0].creationDisposition, kOpenExisting);
  EXPECT_EQ(platform_.openHandles, 0);
  platform_.lockedPaths.push_back("X:\\PROGRA~1\\app.exe");
  EXPECT_EQ(view_.QueryWin32FileSize(16, u"app.exe", 70), 0u);
  EXPECT_EQ(view_.QueryWin32FileSize(16, u"gone.exe", 71), 0u);
}

}  // namespace
}  // namespace sondrel

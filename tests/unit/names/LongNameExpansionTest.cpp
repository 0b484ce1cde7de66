#include "names/LongNameExpansion.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/FakePlatform.h"

namespace sondrel {
namespace {

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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    FakePlatform platform = MakeTree();
    EXPECT_EQ(ExpandLongPath(platform, c.input), c.expected);
    EXPECT_EQ(platform.searches, c.searches);
    for (std::size_t i = 0; i < platform.searches.size(); ++i) {
      // The first search of a component never asks for the 8.3 name.
      bool again = i > 0 && platform.searches[i] == platform.searches[i - 1];
      EXPECT_EQ(platform.searchLevels[i], again ? FindExInfoStandard : FindExInfoBasic) << i;
    }
  }

  // Remembered prefixes give the same texts, in any order, to any depth.
  FakePlatform platform = MakeTree();
  PrefixExpansions known;
  for (int round = 0; round < 2; ++round) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.input);
      EXPECT_EQ(ExpandLongPath(platform, c.input, &known), c.expected);
    }
  }
}

TEST(ExpandLongPath, ExpandsEachDirectoryOncePerRunWithRememberedPrefixes) {
  FakePlatform platform = MakeTree();
  PrefixExpansions known;
  EXPECT_EQ(ExpandLongPath(platform, "X:\\PROGRA~1\\COMMON~1\\README.TXT", &known),
            "X:\\Program Files\\Common Files\\readme.txt");
  platform.searches.clear();
  EXPECT_EQ(ExpandLongPath(platform, "X:\\PROGRA~1\\COMMON~1\\new.txt", &known),
            "X:\\Program Files\\Common Files\\new.txt");
  EXPECT_EQ(ExpandLongPath(platform, "X:\\PROGRA~1\\COMMON~1\\", &known),
            "X:\\Program Files\\Common Files");
  EXPECT_EQ(ExpandLongPath(platform, "X:\\PROGRA~1\\other\\x", &known),
            "X:\\Program Files\\other\\x");
  EXPECT_EQ(platform.searches,
            (std::vector<std::string>{"X:\\Program Files\\Common Files\\new.txt",
                                      "X:\\Program Files\\other",
                                      "X:\\Program Files\\other\\x"}));
}

TEST(ExpandLongPath, HoldsPathsLongerThanTheFixedBuffersWhole) {
  FakePlatform platform = MakeTree();
  std::string deep = "X:\\PROGRA~1";
  for (int i = 0; i < 40; ++i) deep += "\\directory-" + std::to_string(i);
  std::string expected = "X:\\Program Files" + deep.substr(11);
  ASSERT_GT(expected.size(), 260u);
  EXPECT_EQ(ExpandLongPath(platform, deep), expected);
}

TEST(ExpandLongComponent, ReplacesOnlyTheLastComponent) {
  FakePlatform platform = MakeTree();
  EXPECT_EQ(ExpandLongComponent(platform, "X:\\PROGRA~1"), "X:\\Program Files");
  // An entry without a short name comes back in the case the directory stores.
  EXPECT_EQ(ExpandLongComponent(platform, "X:\\Program Files\\Common Files\\README.txt"),
            "X:\\Program Files\\Common Files\\readme.txt");
  EXPECT_EQ(ExpandLongComponent(platform, "X:\\missing"), "X:\\missing");
  EXPECT_EQ(ExpandLongComponent(platform, "nobackslash"), "nobackslash");
  EXPECT_EQ(ExpandLongComponent(platform, "X:\\PROGRA~1\\"), "X:\\PROGRA~1\\");
  EXPECT_EQ(platform.searches.size(), 5u);  // the two rewritten ones twice
}

}  // namespace
}  // namespace sondrel

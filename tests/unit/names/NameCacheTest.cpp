#include "names/NameCache.h"

#include <gtest/gtest.h>

#include <string>

namespace sondrel {
namespace {

TEST(NameCache, EmptyCacheFindsNothing) {
  NameCache<int> cache;
  EXPECT_EQ(cache.Lookup(""), nullptr);
  EXPECT_EQ(cache.FindEntry("x"), nullptr);
  EXPECT_TRUE(cache.empty());
}

TEST(NameCache, FirstInsertionWinsAndBothAreKept) {
  NameCache<int> cache;
  cache.Insert("key", 1);
  cache.Insert("key", 2);
  ASSERT_NE(cache.Lookup("key"), nullptr);
  EXPECT_EQ(*cache.Lookup("key"), 1);
  ASSERT_EQ(cache.size(), 2u);
  EXPECT_EQ(cache.entries()[1].value, 2);
}

TEST(NameCache, KeysAreComparedWithCase) {
  NameCache<int> cache;
  cache.Insert("Foo", 7);
  EXPECT_EQ(cache.Lookup("foo"), nullptr);
  EXPECT_EQ(cache.Lookup("FOO"), nullptr);
  ASSERT_NE(cache.Lookup("Foo"), nullptr);
}

TEST(NameCache, KeepsItsOwnCopiesOfKeyAndValue) {
  struct Link {
    unsigned parent;
    std::string name;
  };
  NameCache<Link> cache;
  std::string key = "42";
  Link link{5, "Windows"};
  cache.Insert(key, link);
  key[0] = '9';
  link.parent = 6;
  link.name = "changed";
  const Link* found = cache.Lookup("42");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->parent, 5u);
  EXPECT_EQ(found->name, "Windows");
  EXPECT_EQ(cache.Lookup("92"), nullptr);
}

TEST(NameCache, StoredValuesStayPutAsTheCacheGrows) {
  // Callers hold on to a stored value (a nested listing, a path component)
  // while further entries are appended.
  NameCache<std::string> cache;
  const std::string* first = &cache.Insert("0", "zero");
  for (int i = 1; i < 100000; ++i) cache.Insert(std::to_string(i), std::to_string(i));
  EXPECT_EQ(cache.Lookup("0"), first);
  EXPECT_EQ(*first, "zero");
  ASSERT_NE(cache.Lookup("99999"), nullptr);
  EXPECT_EQ(*cache.Lookup("99999"), "99999");
}

TEST(NameCache, NestedCachesSurviveBeingMovedIn) {
  NameCache<NameCache<int>> outer;
  NameCache<int>& inner = outer.Insert("X:\\dir", NameCache<int>{});
  inner.Insert("a.txt", 1);
  for (int i = 0; i < 1000; ++i) outer.Insert(std::to_string(i), NameCache<int>{});
  const NameCache<int>* found = outer.Lookup("X:\\dir");
  ASSERT_EQ(found, &inner);
  EXPECT_NE(found->Lookup("a.txt"), nullptr);
}

}  // namespace
}  // namespace sondrel

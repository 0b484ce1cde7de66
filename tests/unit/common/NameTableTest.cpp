#include "common/NameTable.h"

#include <gtest/gtest.h>

namespace sondrel {
namespace {

TEST(NameTable, KeepsTheOrderAddedAndFindsTheFirstOfEqualNames) {
  NameTable table;
  EXPECT_FALSE(table.Find("a"));
  for (const char* name : {"zeta", "Alpha", "", "alpha", "zeta", "b\xE4r"}) table.Add(name);
  ASSERT_EQ(table.size(), 6u);
  EXPECT_EQ(table[0], "zeta");
  EXPECT_EQ(table[2], "");
  EXPECT_EQ(table[5], "b\xE4r");
  EXPECT_EQ(table.Find("zeta"), 0u);   // the first of two
  EXPECT_EQ(table.Find("alpha"), 3u);  // with case
  EXPECT_EQ(table.Find(""), 2u);
  EXPECT_EQ(table.Find("b\xE4r"), 5u);
  EXPECT_FALSE(table.Find("ALPHA"));
  EXPECT_FALSE(table.Find("zet"));
  // Names added after a lookup are found too.
  table.Add("late");
  EXPECT_EQ(table.Find("late"), 6u);
  EXPECT_EQ(table.Find("Alpha"), 1u);
}

}  // namespace
}  // namespace sondrel

#include "names/PathBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/FakePlatform.h"
#include "support/MftImageBuilder.h"
#include "support/TestVolume.h"

namespace sondrel {
namespace {

using test::FileReference;

constexpr std::uint16_t kDirectory = 0x0003;

// Records 30.. hold the chains the walk is tested on.
test::MftImageBuilder MakeChains() {
  test::MftImageBuilder image;
  image.recordCount = 64;
  image.Record(5).Flags(kDirectory).FileName(FileReference(5, 5), u".");
  image.Record(30).Flags(kDirectory).FileName(FileReference(5), u"dir");
  image.Record(31).Flags(kDirectory).FileName(FileReference(30), u"sub");
  image.Record(40).Flags(kDirectory).FileName(FileReference(41), u"a");  // 40 -> 41 -> 40
  image.Record(41).Flags(kDirectory).FileName(FileReference(40), u"b");
  image.Record(42).Flags(kDirectory).FileName(FileReference(5), u"");
  image.Record(43).Flags(kDirectory).FileName(FileReference(43), u"self");
  image.Record(44).Flags(kDirectory).FileName(0, u"orphan");
  image.Record(45).Magic(0x44414142).FileName(FileReference(5), u"bad");  // "BAAD"
  image.Record(46).Flags(kDirectory).Resident(0x80, test::Bytes(16));     // no $FILE_NAME
  // 47 is never written: an all-zero slot.
  image.Record(48).Flags(kDirectory).FileName(FileReference(45), u"mid");
  // Only the low 32 bits of a reference name the parent.
  image.Record(49).Flags(kDirectory).FileName(0xBEEF00000000001Eull, u"x");
  image.Record(50).Flags(kDirectory).FileName(FileReference(5), u"d\u4E2D");
  return image;
}

class BuildFullPathTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(test::OpenTestVolume(platform_, MakeChains().Build(), volume_)); }
  std::string Build(const char* own, std::uint32_t parent) {
    return paths_.BuildFullPath(own, parent);
  }
  FakePlatform platform_;
  VolumeContext volume_;
  PathBuilder paths_{volume_, platform_, 'X'};
};

TEST_F(BuildFullPathTest, EndsTheWalkAsTheChainDictates) {
  struct Case {
    const char* own;
    std::uint32_t parent;
    const char* expected;
  };
  const Case cases[] = {
      {"f.txt", 0, "f.txt"},             // no parent: the name alone, nothing read
      {"boot.ini", 5, "X:\\boot.ini"},   // the root is named "."
      {".", 5, "X:\\."},                 // the root itself
      {"f", 31, "X:\\dir\\sub\\f"},
      {"f", 49, "X:\\dir\\x\\f"},
      {"f", 42, ""},                     // an empty name on the chain
      {"f", 43, "self\\f"},              // its own parent, not the root
      {"f", 44, "orphan\\f"},            // a parent number of 0
      {"f", 40, "b\\a\\f"},              // a loop: stops where a record repeats
      {"f", 41, "a\\b\\f"},
      {"f", 45, "f"},                    // no "FILE" signature
      {"f", 46, "f"},                    // no $FILE_NAME
      {"f", 47, "f"},                    // never written
      {"f", 48, "mid\\f"},               // a bad record further up
      {"f", 50, "X:\\dN\\f"},            // unmappable characters become N
      {"f", 1000000, "f"},               // beyond the MFT
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.own) + " under " + std::to_string(c.parent));
    // A fresh builder walks the chain once more, through no remembered prefix.
    PathBuilder fresh(volume_, platform_, 'X');
    EXPECT_EQ(fresh.BuildFullPath(c.own, c.parent), c.expected);
    // Remembered per parent, the walk's outcome is the same on first and later use.
    for (int pass = 0; pass < 2; ++pass) EXPECT_EQ(Build(c.own, c.parent), c.expected);
  }
}

TEST_F(BuildFullPathTest, ReadsEachDirectoryRecordOnce) {
  EXPECT_EQ(Build("a", 31), "X:\\dir\\sub\\a");
  std::size_t reads = platform_.reads.size();
  EXPECT_GT(reads, 0u);
  EXPECT_EQ(Build("b", 31), "X:\\dir\\sub\\b");
  // A walk from another parent meets directory 30 again and does not read it.
  EXPECT_EQ(Build("c", 30), "X:\\dir\\c");
  EXPECT_EQ(platform_.reads.size(), reads);
  // A record that gave no name is not read again either: 48's walk meets 45.
  Build("d", 48);
  reads = platform_.reads.size();
  Build("e", 45);
  EXPECT_EQ(platform_.reads.size(), reads);
}

TEST_F(BuildFullPathTest, UsesTheCachedLinkInsteadOfTheRecord) {
  paths_.parentLinks().Insert("31", ParentLink{30, "SUB~1"});
  EXPECT_EQ(Build("a", 31), "X:\\dir\\SUB~1\\a");
}

TEST_F(BuildFullPathTest, RootedChainAnswersAlikeWhateverWasWalkedBefore) {
  using Chain = std::optional<std::vector<std::uint32_t>>;
  const std::pair<std::uint32_t, Chain> cases[] = {
      {31, std::vector<std::uint32_t>{30, 31}},
      {30, std::vector<std::uint32_t>{30}},
      {49, std::vector<std::uint32_t>{30, 49}},  // through 30, already walked
      {5, std::vector<std::uint32_t>{}},         // the root itself
      {40, std::nullopt},                        // a loop
      {41, std::nullopt},                        // met on 40's walk
      {42, std::nullopt},                        // an empty name
      {43, std::nullopt},                        // its own parent
      {44, std::nullopt},                        // a parent number of 0
      {48, std::nullopt},                        // a bad record further up
      {0, std::nullopt},
      {1000000, std::nullopt},
  };
  // Each answer is remembered for the chain's directories: asked again, in
  // either order, and from a fresh builder, it is the same.
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& [directory, expected] : cases) {
      SCOPED_TRACE(directory);
      EXPECT_EQ(paths_.RootedChain(directory), expected);
      PathBuilder fresh(volume_, platform_, 'X');
      EXPECT_EQ(fresh.RootedChain(directory), expected);
    }
  }
  // Stopped at a directory on the way up, the chain starts below it.
  const auto below30 = [](std::uint32_t directory) { return directory == 30; };
  EXPECT_EQ(paths_.RootedChain(31, below30), Chain(std::vector<std::uint32_t>{31}));
  EXPECT_EQ(paths_.RootedChain(30, below30), Chain(std::vector<std::uint32_t>{}));
  EXPECT_EQ(paths_.RootedChain(40, below30), std::nullopt);
}

TEST(BuildFullPath, HoldsPathsLongerThanTheFixedBuffersWhole) {
  test::MftImageBuilder image;
  image.recordCount = 64;
  image.Record(5).Flags(kDirectory).FileName(FileReference(5, 5), u".");
  std::u16string longName(200, u'n');
  std::string expected = "X:";
  std::uint32_t parent = 5;
  for (std::uint32_t record = 20; record < 40; ++record) {
    image.Record(record).Flags(kDirectory).FileName(FileReference(parent), longName);
    expected += "\\" + std::string(200, 'n');
    parent = record;
  }
  FakePlatform platform;
  VolumeContext volume;
  ASSERT_TRUE(test::OpenTestVolume(platform, image.Build(), volume));
  PathBuilder paths(volume, platform, 'X');
  std::string ownName(255, 'f');
  std::string path = paths.BuildFullPath(ownName, parent);
  EXPECT_EQ(path, expected + "\\" + ownName);
  EXPECT_GT(path.size(), 4000u);
}

// Records first..first+count-1, each a directory inside the one before it;
// the first is in the root when rooted, else in the last (a loop).
void AddChain(test::MftImageBuilder& image, std::uint32_t first, std::uint32_t count, bool rooted) {
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t parent = i > 0 ? first + i - 1 : (rooted ? 5 : first + count - 1);
    const std::u16string name{u'd', static_cast<char16_t>(u'a' + i % 26)};
    image.Record(first + i).Flags(kDirectory).FileName(FileReference(parent), name);
  }
}

TEST(BuildFullPath, KeepsTheLoopsPrefixesNotAndADeepChainsWithinItsBound) {
  constexpr std::uint32_t kLoop = 2000;
  constexpr std::uint32_t kDepth = 12000;
  test::MftImageBuilder image;
  image.recordCount = 16 + kLoop + kDepth;
  image.Record(5).Flags(kDirectory).FileName(FileReference(5, 5), u".");
  AddChain(image, 16, kLoop, false);
  AddChain(image, 16 + kLoop, kDepth, true);
  FakePlatform platform;
  VolumeContext volume;
  ASSERT_TRUE(test::OpenTestVolume(platform, image.Build(), volume));
  PathBuilder paths(volume, platform, 'X');

  // Every directory of the loop is a rotation of it: none reaches the root,
  // so none is kept, and each is walked once per path.
  for (std::uint32_t i = 0; i < kLoop; ++i) {
    std::string path = paths.BuildFullPath("f", 16 + i);
    ASSERT_EQ(path.size(), 3 * kLoop + 1) << i;
  }
  EXPECT_EQ(paths.ParentPrefixBytes(), 0u);
  // Each record of the loop was read once.
  EXPECT_EQ(platform.reads.size(), kLoop);

  // The chain's prefixes sum to about 3 * kDepth^2 / 2 bytes (216 MB); the
  // kept ones stay within the bound, and every path is still whole.
  std::size_t reads = platform.reads.size();
  std::size_t peak = 0;
  for (std::uint32_t i = 0; i < kDepth; ++i) {
    std::string path = paths.BuildFullPath("f", 16 + kLoop + i);
    ASSERT_EQ(path.size(), 3 + 3 * (i + 1) + 1) << i;
    peak = std::max(peak, paths.ParentPrefixBytes());
  }
  EXPECT_LE(peak, kMaxParentPrefixBytes);
  EXPECT_GT(peak, kMaxParentPrefixBytes / 2);
  EXPECT_EQ(platform.reads.size() - reads, kDepth + 1);  // and the root's
  EXPECT_EQ(paths.BuildFullPath("f", 16 + kLoop + 2), "X:\\da\\db\\dc\\f");
}

}  // namespace
}  // namespace sondrel

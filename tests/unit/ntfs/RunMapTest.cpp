#include "ntfs/RunMap.h"

#include <gtest/gtest.h>

#include <limits>

#include "ntfs/DataStream.h"
#include "support/TestVolume.h"

namespace sondrel {
namespace {

using namespace test;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

Bytes DataRecord(const NonResidentLayout& layout, std::uint32_t size = 1024) {
  Bytes r = MakeFileRecord({NonResidentAttribute(layout)}, {.size = size});
  EXPECT_TRUE(ApplyFixups(r));
  return r;
}

TEST(RunMap, DecodesTheListOnceAndMapsEveryVcnAsMapVcnDoes) {
  // 24 clusters at 22068, 48 at 21812, 64 sparse; then a list that ends early,
  // a piece above VCN 0, and one cut short by its lastVcn.
  const Bytes records[] = {
      DataRecord({.runs = BytesOf({0x21, 0x18, 0x34, 0x56, 0x21, 0x30, 0x00, 0xFF, 0x01, 0x40, 0}),
                  .lastVcn = 135}),
      DataRecord({.runs = BytesOf({0x11, 1, 5, 0x01, 1, 0x11, 1, 0xFD, 0}), .lastVcn = 5}),
      DataRecord({.runs = BytesOf({0x11, 4, 9, 0}), .startVcn = 100, .lastVcn = 103}),
      DataRecord({.runs = BytesOf({0x10, 7, 0x11, 30, 9, 0}), .lastVcn = 10}),
  };
  for (const Bytes& r : records) {
    auto attribute = FindAttribute(r, kDataType);
    ASSERT_TRUE(attribute);
    const RunMap map = RunMap::OfPiece(*attribute);
    for (std::uint64_t vcn = 0; vcn < 140; ++vcn) {
      auto expected = MapVcn(*attribute, vcn);
      auto got = map.Map(vcn);
      ASSERT_EQ(got.has_value(), expected.has_value()) << vcn;
      if (!got) continue;
      EXPECT_EQ(got->lcn, expected->lcn) << vcn;
      EXPECT_EQ(got->clustersLeft, expected->clustersLeft) << vcn;
      EXPECT_EQ(got->sparse, expected->sparse) << vcn;
    }
  }
  const RunMap example = RunMap::OfPiece(*FindAttribute(records[0], kDataType));
  ASSERT_EQ(example.Extents().size(), 3u);
  EXPECT_EQ(example.End(), 136u);
  EXPECT_EQ(example.NextMapped(0), 24u);
  EXPECT_FALSE(example.NextMapped(72));
  // The zero-length run's delta (7) still moves the LCN of the next run.
  EXPECT_EQ(RunMap::OfPiece(*FindAttribute(records[3], kDataType)).Map(0)->lcn, 16u);
}

TEST(RunMap, DamagedListsAreCutAsTheHeaderSays) {
  // A delta that wraps the LCN below 0: kept as the wrapped value, which
  // lies past any volume.
  Bytes wraps = DataRecord({.runs = BytesOf({0x11, 1, 5, 0x11, 2, 0xF0, 0}), .lastVcn = 2});
  const RunMap wrapped = RunMap::OfPiece(*FindAttribute(wraps, kDataType));
  EXPECT_EQ(wrapped.Map(1)->lcn, kMax - 10);
  EXPECT_EQ(wrapped.FirstVcnPast(1000), 1u);
  EXPECT_FALSE(wrapped.FirstVcnPast(kMax));
  // A run that reaches past VCN 2^64 - 1 ends the list there.
  Bytes past = DataRecord(
      {.runs = BytesOf({0x11, 10, 5, 0x11, 1, 9, 0}), .startVcn = kMax - 3, .lastVcn = kMax});
  const RunMap cut = RunMap::OfPiece(*FindAttribute(past, kDataType));
  ASSERT_EQ(cut.Extents().size(), 1u);
  EXPECT_EQ(cut.Map(kMax)->clustersLeft, 1u);
  EXPECT_EQ(cut.End(), kMax);
  // A run partly past the volume: the first VCN whose cluster is off it.
  Bytes partly = DataRecord({.runs = BytesOf({0x01, 3, 0x11, 8, 60, 0}), .lastVcn = 10});
  EXPECT_EQ(RunMap::OfPiece(*FindAttribute(partly, kDataType)).FirstVcnPast(64), 7u);
  // Pieces must come in order: one that starts inside the map is left out.
  RunMap two = RunMap::OfPiece(*FindAttribute(partly, kDataType));
  two.AddPiece(*FindAttribute(past, kDataType));
  two.AddPiece(*FindAttribute(wraps, kDataType));
  EXPECT_EQ(two.Extents().size(), 3u);
}

// A 64 KiB record whose one piece has 12,000 one-cluster runs, each real run
// followed by a sparse one: decoded once, read with one platform read per
// real run and none for the sparse ones, as the runs allow.
TEST(RunMap, AManyRunPieceIsReadWithOneReadPerRealRun) {
  constexpr std::uint64_t kPairs = 6000;
  TestVolume v({512, 1, 4, 0xF6}, 64);  // 512-byte clusters
  v.PutCluster(8, Bytes(512, std::byte{0x88}));
  Bytes runs = BytesOf({0x11, 1, 8, 0x01, 1});
  for (std::uint64_t i = 1; i < kPairs; ++i)
    PutBytes(runs, runs.size(), BytesOf({0x11, 1, 0, 0x01, 1}));
  runs.push_back(std::byte{0});
  Bytes r = DataRecord({.runs = runs,
                        .lastVcn = 2 * kPairs - 1,
                        .allocatedSize = 2 * kPairs * 512,
                        .dataSize = 2 * kPairs * 512},
                       64 * 1024);
  const DataStream stream = DataStream::Of(*FindAttribute(r, kDataType));
  EXPECT_EQ(stream.Runs().Extents().size(), 2 * kPairs);
  Bytes dest(2 * kPairs * 512, std::byte{0xAA});
  EXPECT_TRUE(ReadStreamValue(v.volume, stream, dest));
  EXPECT_EQ(v.platform.reads.size(), kPairs);
  EXPECT_EQ(Bytes(dest.begin(), dest.begin() + 512), Bytes(512, std::byte{0x88}));
  EXPECT_EQ(Bytes(dest.end() - 512, dest.end()), Bytes(512));
}

}  // namespace
}  // namespace sondrel

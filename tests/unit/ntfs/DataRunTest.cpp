#include "ntfs/DataRun.h"

#include <gtest/gtest.h>

#include "ntfs/DataStream.h"
#include "support/TestVolume.h"

namespace sondrel {
namespace {

using namespace test;

// 24 clusters at 22068, 48 at 21812, 64 sparse.
const Bytes kExampleRuns =
    BytesOf({0x21, 0x18, 0x34, 0x56, 0x21, 0x30, 0x00, 0xFF, 0x01, 0x40, 0x00});

// A record holding one non-resident $DATA, fix-ups applied.
Bytes DataRecord(const NonResidentLayout& layout) {
  Bytes r = MakeFileRecord({NonResidentAttribute(layout)});
  EXPECT_TRUE(ApplyFixups(r));
  return r;
}

TEST(DecodeDataRun, DecodesEntriesAndRefusesTruncatedOnes) {
  struct Case {
    Bytes bytes;
    std::uint64_t length;
    std::int64_t delta;
    std::uint32_t size;
    bool sparse;
  };
  const Case cases[] = {
      {BytesOf({0x21, 0x18, 0x34, 0x56}), 24, 22068, 4, false},
      {BytesOf({0x21, 0x30, 0x00, 0xFF}), 48, -256, 4, false},
      {BytesOf({0x01, 0x40}), 64, 0, 2, true},
      {BytesOf({0x11, 0x02, 0x00}), 2, 0, 3, false},  // $Boot: a real run at LCN 0
      {BytesOf({0x11, 0x05, 0x80}), 5, -128, 3, false},
      {BytesOf({0x10, 0x05}), 0, 5, 2, false},
      {BytesOf({0x31, 0x01, 0xFF, 0xFF, 0x7F}), 1, 0x7FFFFF, 5, false},
      {BytesOf({0x48, 1, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0xFF}), 0x8000000000000001, -1,
       13, false},
  };
  for (const Case& c : cases) {
    auto run = DecodeDataRun(c.bytes, 0);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->length, c.length);
    EXPECT_EQ(run->lcnDelta, c.delta);
    EXPECT_EQ(run->entrySize, c.size);
    EXPECT_EQ(run->sparse, c.sparse);
    for (std::size_t cut = 0; cut < c.bytes.size(); ++cut) {
      EXPECT_FALSE(DecodeDataRun(std::span(c.bytes).first(cut), 0)) << cut;
    }
  }
  EXPECT_FALSE(DecodeDataRun(BytesOf({0x00, 0x11, 1, 1}), 0));
  EXPECT_FALSE(DecodeDataRun(BytesOf({0x11, 1, 1}), 3));
}

TEST(MapVcn, MapsThroughRunsAndSparseStretches) {
  Bytes r = DataRecord({.runs = kExampleRuns, .lastVcn = 135});
  auto attribute = FindAttribute(r, kDataType);
  ASSERT_TRUE(attribute);
  struct Case {
    std::uint64_t vcn;
    bool found;
    std::uint64_t lcn;
    std::uint64_t left;
  };
  const Case cases[] = {
      {0, true, 22068, 24},  {10, true, 22078, 14}, {23, true, 22091, 1},
      {24, true, 21812, 48}, {71, true, 21859, 1},  {72, true, 0, 64},
      {100, true, 0, 36},    {135, true, 0, 1},     {136, false, 0, 0},
  };
  for (const Case& c : cases) {
    auto m = MapVcn(*attribute, c.vcn);
    ASSERT_EQ(m.has_value(), c.found) << c.vcn;
    if (!c.found) continue;
    EXPECT_EQ(m->lcn, c.lcn) << c.vcn;
    EXPECT_EQ(m->clustersLeft, c.left) << c.vcn;
  }
}

TEST(MapVcn, NeverMapsOutsideWhatTheAttributeHolds) {
  // lastVcn stops short of the runs: clustersLeft stops at lastVcn.
  Bytes shortLast = DataRecord({.runs = kExampleRuns, .lastVcn = 30});
  EXPECT_EQ(MapVcn(*FindAttribute(shortLast, kDataType), 25)->clustersLeft, 6u);
  // lastVcn past the runs: the VCNs behind the list's end are not found.
  Bytes longLast = DataRecord({.runs = kExampleRuns, .lastVcn = 500});
  EXPECT_FALSE(MapVcn(*FindAttribute(longLast, kDataType), 136));
  // Empty list; a list whose entry runs off the attribute's end.
  Bytes empty = DataRecord({.runs = BytesOf({0}), .lastVcn = 5});
  EXPECT_FALSE(MapVcn(*FindAttribute(empty, kDataType), 0));
  Bytes runsOff = DataRecord({.runs = BytesOf({0x11, 4, 9, 0x88, 1, 2, 3, 4}), .lastVcn = 10});
  auto a = FindAttribute(runsOff, kDataType);
  EXPECT_TRUE(MapVcn(*a, 3));
  EXPECT_FALSE(MapVcn(*a, 4));
  // startVcn above 0 (a later piece): VCNs below it are not found.
  Bytes later = DataRecord({.runs = BytesOf({0x11, 4, 9, 0}), .startVcn = 100, .lastVcn = 103});
  auto b = FindAttribute(later, kDataType);
  EXPECT_FALSE(MapVcn(*b, 99));
  EXPECT_EQ(MapVcn(*b, 101)->lcn, 10u);
}

class ReadStreamVcnRangeTest : public testing::Test {
 protected:
  TestVolume v{{512, 8, 4, 0xF6}, 8};
};

TEST_F(ReadStreamVcnRangeTest, MakesOneReadPerRunPieceAndNoneForSparse) {
  Bytes r = DataRecord({.runs = kExampleRuns, .lastVcn = 135});
  auto attribute = FindAttribute(r, kDataType);
  Bytes dest(10 * 4096);
  ReadStreamVcnRange(v.volume, DataStream::Of(*attribute), 20, 10, dest);
  ASSERT_EQ(v.platform.reads.size(), 2u);
  EXPECT_EQ(v.platform.reads[0].offset, 22088ull * 4096);
  EXPECT_EQ(v.platform.reads[0].length, 4u * 4096);
  EXPECT_EQ(v.platform.reads[1].offset, 21812ull * 4096);
  EXPECT_EQ(v.platform.reads[1].length, 6u * 4096);

  v.platform.reads.clear();
  Bytes crossing(4 * 4096, std::byte{0xAA});
  ReadStreamVcnRange(v.volume, DataStream::Of(*attribute), 70, 4, crossing);
  ASSERT_EQ(v.platform.reads.size(), 1u);
  EXPECT_EQ(v.platform.reads[0].offset, 21858ull * 4096);
  EXPECT_EQ(v.platform.reads[0].length, 2u * 4096);
  EXPECT_EQ(crossing, Bytes(4 * 4096));  // unreadable and sparse clusters both zero

  v.platform.reads.clear();
  ReadStreamVcnRange(v.volume, DataStream::Of(*attribute), 30, 0, dest);
  EXPECT_TRUE(v.platform.reads.empty());
}

TEST_F(ReadStreamVcnRangeTest, ReadsTheClustersAndZeroFillsWhatCannotBeMapped) {
  for (std::size_t i = 0; i < 4096; ++i) {
    v.Image()[2 * 4096 + i] = std::byte{0x22};
    v.Image()[5 * 4096 + i] = std::byte{0x55};
  }
  // VCN 0 at LCN 5, VCN 1 sparse, VCN 2 at LCN 2; the list ends though lastVcn is 5.
  Bytes r = DataRecord({.runs = BytesOf({0x11, 1, 5, 0x01, 1, 0x11, 1, 0xFD, 0}), .lastVcn = 5});
  auto attribute = FindAttribute(r, kDataType);
  Bytes dest(8 * 4096, std::byte{0xAA});
  EXPECT_FALSE(ReadStreamVcnRange(v.volume, DataStream::Of(*attribute), 0, 6,
                                  std::span(dest).first(6 * 4096)));
  EXPECT_EQ(dest[0], std::byte{0x55});
  EXPECT_EQ(dest[4096], std::byte{0});
  EXPECT_EQ(dest[2 * 4096], std::byte{0x22});
  EXPECT_EQ(Bytes(dest.begin() + 3 * 4096, dest.begin() + 6 * 4096), Bytes(3 * 4096));
  EXPECT_EQ(dest[6 * 4096], std::byte{0xAA});  // past the range: untouched
  EXPECT_TRUE(ReadStreamVcnRange(v.volume, DataStream::Of(*attribute), 0, 3, dest));

  // A destination shorter than the count, ending inside a cluster.
  Bytes shortDest(4096 + 100, std::byte{0xAA});
  ReadStreamVcnRange(v.volume, DataStream::Of(*attribute), 2, 3, shortDest);
  EXPECT_EQ(shortDest[0], std::byte{0x22});
  EXPECT_EQ(shortDest[4096 + 99], std::byte{0});
}

// The design this replaces zero-filled any piece mapped to LCN 0; $Boot's
// run lies exactly there, and its dump must hold the boot sector.
TEST_F(ReadStreamVcnRangeTest, ReadsARealRunAtClusterZero) {
  Bytes r = DataRecord({.runs = BytesOf({0x11, 0x02, 0x00, 0}), .lastVcn = 1});
  Bytes dest(2 * 4096);
  EXPECT_TRUE(
      ReadStreamVcnRange(v.volume, DataStream::Of(*FindAttribute(r, kDataType)), 0, 2, dest));
  ASSERT_EQ(v.platform.reads.size(), 1u);
  EXPECT_EQ(v.platform.reads[0].offset, 0u);
  EXPECT_EQ(Bytes(dest.begin(), dest.begin() + 512),
            Bytes(v.Image().begin(), v.Image().begin() + 512));
}

TEST_F(ReadStreamVcnRangeTest, SplitsAPieceLargerThanTheReadLimit) {
  const std::uint64_t clusters = kMaxReadBytes / 4096 + 3;
  Bytes runs = BytesOf({0x13, 0, 0, 0, 1, 0});
  Put16(runs, 1, clusters & 0xFFFF);
  runs[3] = static_cast<std::byte>(clusters >> 16);
  Bytes r = DataRecord({.runs = runs, .lastVcn = clusters - 1});
  Bytes dest(clusters * 4096);
  ReadStreamVcnRange(v.volume, DataStream::Of(*FindAttribute(r, kDataType)), 0,
                     static_cast<std::uint32_t>(clusters), dest);
  ASSERT_EQ(v.platform.reads.size(), 2u);
  EXPECT_EQ(v.platform.reads[0].length, kMaxReadBytes);
  EXPECT_EQ(v.platform.reads[1].offset, 4096ull + kMaxReadBytes);
  EXPECT_EQ(v.platform.reads[1].length, 3u * 4096);
}

TEST_F(ReadStreamVcnRangeTest, ReadStreamValueFillsWholeClustersAndNeverOverruns) {
  for (std::size_t i = 0; i < 2 * 4096; ++i) v.Image()[3 * 4096 + i] = std::byte{0x33};
  Bytes r = DataRecord(
      {.runs = BytesOf({0x11, 2, 3, 0}), .lastVcn = 1, .allocatedSize = 8192, .dataSize = 5000});
  auto attribute = FindAttribute(r, kDataType);
  Bytes dest(AttributeAllocatedSize(*attribute));
  EXPECT_TRUE(ReadStreamValue(v.volume, DataStream::Of(*attribute), dest));
  EXPECT_EQ(dest, Bytes(8192, std::byte{0x33}));
  ASSERT_EQ(v.platform.reads.size(), 1u);

  // allocatedSize smaller than the clusters: only what fits is written.
  Bytes small(5000, std::byte{0xAA});
  ReadStreamValue(v.volume, DataStream::Of(*attribute), small);
  EXPECT_EQ(small, Bytes(5000, std::byte{0x33}));

  // An empty non-resident value: lastVcn of all ones reads nothing.
  Bytes empty = DataRecord({.runs = BytesOf({0}), .lastVcn = ~std::uint64_t{0}});
  v.platform.reads.clear();
  Bytes none(16, std::byte{0xAA});
  ReadStreamValue(v.volume, DataStream::Of(*FindAttribute(empty, kDataType)), none);
  EXPECT_TRUE(v.platform.reads.empty());
  EXPECT_EQ(none, Bytes(16));

  Bytes resident = MakeFileRecord({ResidentAttribute(kDataType, {})});
  ASSERT_TRUE(ApplyFixups(resident));
  Bytes unchanged;
  EXPECT_TRUE(
      ReadStreamValue(v.volume, DataStream::Of(*FindAttribute(resident, kDataType)), unchanged));
}

}  // namespace
}  // namespace sondrel

#include "ntfs/MftRecordAccess.h"

#include <gtest/gtest.h>

#include "ntfs/DataRun.h"
#include "ntfs/LittleEndianReader.h"
#include "support/TestVolume.h"

namespace sondrel {
namespace {

using namespace test;

std::uint32_t NumberOf(const Bytes& record) {
  return static_cast<std::uint32_t>(LittleEndianReader(record).U32(0x2C).value_or(0xFFFFFFFF));
}

TEST(ReadMftRecord, FindsEachRecordThroughItsClusterAndSlot) {
  struct Case {
    BootFields boot;
    std::uint32_t record;
    std::uint64_t vcn;       // $MFT cluster read
    std::uint32_t clusters;  // clusters read
  };
  const Case cases[] = {
      {{512, 8, 4, 0xF6}, 10, 2, 1}, {{512, 8, 4, 0xF6}, 8, 2, 1},
      {{512, 8, 4, 0xF6}, 11, 2, 1}, {{512, 1, 40, 0xF6}, 10, 20, 2},
      {{512, 4, 8, 0x02}, 3, 6, 2},  {{4096, 1, 4, 0xF4}, 5, 5, 1},
      {{4096, 1, 4, 0xF6}, 5, 1, 1}, {{512, 8, 4, 0xF6}, 0, 0, 1},
      {{512, 8, 4, 0xF6}, 15, 3, 1},  // the last cluster the $DATA maps
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.boot.bytesPerSector << "x" << int{c.boot.sectorsPerCluster}
                                    << " record " << c.record);
    TestVolume v(c.boot, 128);
    ASSERT_TRUE(LayOutMft(v, 16));
    v.platform.reads.clear();
    Bytes record(v.volume.geometry.recordSize);
    ReadMftRecord(v.volume, c.record, record);
    EXPECT_TRUE(HasFileMagic(record));
    EXPECT_EQ(NumberOf(record), c.record);
    ASSERT_EQ(v.platform.reads.size(), 1u);
    const std::uint32_t cs = v.volume.geometry.clusterSize;
    EXPECT_EQ(v.platform.reads[0].offset, (c.boot.mftStartLcn + c.vcn) * cs);
    EXPECT_EQ(v.platform.reads[0].length, c.clusters * cs);
    if (c.record == 0) {
      EXPECT_EQ(record, v.volume.mftSelfRecord);
    }
  }
}

TEST(ReadMftRecord, ReadsARecordWhoseClustersLieInTwoRuns) {
  TestVolume v({512, 1, 10, 0xF6}, 64);  // 512-byte clusters, 2 per record
  // VCN 0..2 at LCN 10, VCN 3..7 at LCN 30: record 1 spans the gap.
  ASSERT_TRUE(LayOutMft(v, 8, BytesOf({0x11, 3, 10, 0x11, 13, 20, 0})));
  ASSERT_EQ(FindAttribute(v.volume.mftSelfRecord, kDataType)->header.lastVcn, 15u);
  Bytes record(1024);
  v.platform.reads.clear();
  ReadMftRecord(v.volume, 1, record);
  EXPECT_TRUE(HasFileMagic(record));
  EXPECT_EQ(NumberOf(record), 1u);
  EXPECT_EQ(v.platform.reads.size(), 2u);
}

TEST(ReadMftRecord, HandsBackZerosForARecordItCannotRead) {
  TestVolume v({512, 8, 4, 0xF6}, 16);
  ASSERT_TRUE(LayOutMft(v, 16));
  Bytes record(1024);
  ReadMftRecord(v.volume, 3, record);
  ASSERT_TRUE(HasFileMagic(record));
  // Beyond what the $MFT's $DATA maps: not the previous record's bytes.
  for (std::uint32_t n : {16u, 17u, 1000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    ReadMftRecord(v.volume, n, record);
    EXPECT_EQ(record, Bytes(1024)) << n;
  }
  // A failed read: the image ends before the $MFT's clusters.
  ReadMftRecord(v.volume, 3, record);
  v.Image().resize(4 * 4096 + 512);
  ReadMftRecord(v.volume, 3, record);
  EXPECT_EQ(record, Bytes(1024));
  // A dest smaller than a record gets nothing but zeros.
  Bytes small(100, std::byte{0xAA});
  ReadMftRecord(v.volume, 0, small);
  EXPECT_EQ(small, Bytes(100));
}

TEST(ReadMftRecord, ZeroFillsARecordWhoseUpdateSequenceArrayIsDamaged) {
  TestVolume v({512, 8, 4, 0xF6}, 16);
  ASSERT_TRUE(LayOutMft(v, 16));
  v.PutAt(4 * 4096 + 2 * 1024 + 6, BytesOf({0xFF, 0x00}));  // record 2: 255 entries
  Bytes record(1024, std::byte{0xAA});
  ReadMftRecord(v.volume, 2, record);
  EXPECT_EQ(record, Bytes(1024));
}

TEST(LoadMftSelfRecord, ReadsTheWholeSectorWhenARecordIsSmallerThanIt) {
  TestVolume v({4096, 1, 6, 0xF6}, 16);  // 1024-byte records, 4096-byte sectors
  ASSERT_TRUE(LayOutMft(v, 8));
  v.platform.reads.clear();
  ASSERT_TRUE(LoadMftSelfRecord(v.volume));
  ASSERT_EQ(v.platform.reads.size(), 1u);
  EXPECT_EQ(v.platform.reads[0].offset, 6u * 4096);
  EXPECT_EQ(v.platform.reads[0].length, 4096u);
  EXPECT_EQ(v.volume.mftSelfRecord.size(), 1024u);
  EXPECT_EQ(NumberOf(v.volume.mftSelfRecord), 0u);
  Bytes record(1024);
  ReadMftRecord(v.volume, 6, record);
  EXPECT_EQ(NumberOf(record), 6u);
}

TEST(LoadMftSelfRecord, FailsOnAFailedReadOrARecordWithoutFileMagic) {
  TestVolume v({512, 8, 4, 0xF6}, 16);
  ASSERT_TRUE(LayOutMft(v, 4));
  v.PutAt(4 * 4096, BytesOf({'B', 'A', 'A', 'D'}));
  EXPECT_FALSE(LoadMftSelfRecord(v.volume));
  v.Image().resize(4 * 4096);
  EXPECT_FALSE(LoadMftSelfRecord(v.volume));
  EXPECT_EQ(v.volume.mftSelfRecord, Bytes(1024));
}

// Record 0's own $DATA claiming to start at VCN 2 (damaged: the first piece
// of the $MFT always starts at 0). It yields no gathered stream; records are
// then read through that one attribute as it stands: VCNs below its start
// and past its last VCN give zeros without a read, the rest are read through
// its runs.
TEST(LoadMftSelfRecord, ARecordZeroDataStartingPastVcnZeroMapsOnlyFromItsStart) {
  TestVolume v({512, 8, 4, 0xF6}, 16);                      // 4096-byte clusters, 1024-byte records
  NonResidentLayout data{.runs = BytesOf({0x11, 2, 8, 0}),  // VCN 2..3 at LCN 8..9
                         .startVcn = 2,
                         .lastVcn = 3,
                         .allocatedSize = 4 * 4096,
                         .dataSize = 4 * 4096};
  v.PutCluster(4, MakeFileRecord({NonResidentAttribute(data)}));
  v.PutCluster(8, MakeFileRecord({}, {.recordNumber = 8}));
  v.PutCluster(9, MakeFileRecord({}, {.recordNumber = 12}));
  ASSERT_TRUE(LoadMftSelfRecord(v.volume));
  EXPECT_TRUE(v.volume.mftData.pieces.empty());

  struct Case {
    std::uint32_t record;
    bool found;
    std::size_t reads;
  };
  const Case cases[] = {{0, false, 0}, {4, false, 0}, {8, true, 1}, {12, true, 1}, {16, false, 0}};
  for (const Case& c : cases) {
    v.platform.reads.clear();
    Bytes record(1024, std::byte{0xAA});
    ReadMftRecord(v.volume, c.record, record);
    EXPECT_EQ(v.platform.reads.size(), c.reads) << c.record;
    if (c.found) {
      EXPECT_EQ(NumberOf(record), c.record);
      EXPECT_EQ(v.platform.reads[0].offset, (8 + (c.record - 8) / 4) * 4096ull);
    } else {
      EXPECT_EQ(record, Bytes(1024)) << c.record;
    }
  }
}

// An $MFT of 64 KiB records in 20,000 one-cluster runs of 512-byte clusters,
// all named by record 0: each record is read with one read per run it lies
// in, and no record costs a decoding of the whole list.
TEST(ReadMftRecord, AnMftInTwentyThousandOneClusterRunsIsReadWithOneReadPerRun) {
  constexpr std::uint32_t kRuns = 20000;
  constexpr std::uint32_t kRecordSize = 64 * 1024;
  constexpr std::uint32_t kClustersPerRecord = kRecordSize / 512;
  constexpr std::uint32_t kRecords = kRuns / kClustersPerRecord;  // 156
  TestVolume v({512, 1, 16, 0xF0}, 16 + kRuns);
  ASSERT_EQ(v.volume.geometry.recordSize, kRecordSize);
  Bytes runs = BytesOf({0x11, 1, 16});
  for (std::uint32_t i = 1; i < kRuns; ++i) PutBytes(runs, runs.size(), BytesOf({0x11, 1, 1}));
  runs.push_back(std::byte{0});
  NonResidentLayout data{.runs = runs,
                         .lastVcn = kRuns - 1,
                         .allocatedSize = std::uint64_t{kRuns} * 512,
                         .dataSize = std::uint64_t{kRecords} * kRecordSize};
  v.PutCluster(16, MakeFileRecord({NonResidentAttribute(data)}, {.size = kRecordSize}));
  for (std::uint32_t n = 1; n < kRecords; ++n) {
    v.PutCluster(16 + n * kClustersPerRecord,
                 MakeFileRecord({}, {.size = kRecordSize, .recordNumber = n}));
  }
  ASSERT_TRUE(LoadMftSelfRecord(v.volume));
  Bytes record(kRecordSize);
  for (std::uint32_t n = 0; n < kRecords; ++n) {
    v.platform.reads.clear();
    ReadMftRecord(v.volume, n, record);
    ASSERT_EQ(NumberOf(record), n);
    ASSERT_EQ(v.platform.reads.size(), kClustersPerRecord) << n;
  }
}

}  // namespace
}  // namespace sondrel

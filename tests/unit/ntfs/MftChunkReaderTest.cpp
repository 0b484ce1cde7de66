#include "ntfs/MftChunkReader.h"

#include <gtest/gtest.h>

#include "ntfs/MftRecordAccess.h"
#include "support/TestVolume.h"

namespace sondrel {
namespace {

using namespace test;

// Every record of the $MFT, and some past it, as the chunked walk gives them
// and as single reads give them.
void ExpectSameRecordsAsSingleReads(TestVolume& v, std::uint32_t count, std::uint32_t chunkBytes) {
  SCOPED_TRACE(testing::Message() << "chunk " << chunkBytes);
  const std::uint32_t size = v.volume.geometry.recordSize;
  MftChunkReader reader(v.volume, count, chunkBytes);
  Bytes chunked(size);
  Bytes single(size);
  for (std::uint32_t n : {0u, 1u}) {  // also a step back to a record already passed
    reader.Read(n, chunked);
    ReadMftRecord(v.volume, n, single);
    EXPECT_EQ(chunked, single) << n;
  }
  for (std::uint32_t n = 0; n < count + 3; ++n) {
    reader.Read(n, chunked);
    ReadMftRecord(v.volume, n, single);
    EXPECT_EQ(chunked, single) << n;
  }
  reader.Read(1000, chunked);
  EXPECT_EQ(chunked, Bytes(size));
}

TEST(MftChunkReader, GivesEveryRecordAsReadMftRecordDoes) {
  struct Case {
    BootFields boot;
    std::uint32_t records;
    Bytes runs;  // empty: one run at mftStartLcn
  };
  const Case cases[] = {
      {{512, 8, 4, 0xF6}, 16, {}},  // four 1024-byte records per cluster
      // 512-byte clusters: a record spans two, here across the runs' gap.
      {{512, 1, 10, 0xF6}, 8, BytesOf({0x11, 3, 10, 0x11, 13, 20, 0})},
      {{512, 4, 8, 0x02}, 6, {}},  // 4096-byte records in 2048-byte clusters
      // Three runs, the last one back below the others.
      {{512, 8, 4, 0xF6}, 24, BytesOf({0x11, 2, 4, 0x11, 3, 16, 0x11, 1, 0xF6, 0})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.boot.bytesPerSector << "x" << int{c.boot.sectorsPerCluster}
                                    << " records " << c.records);
    TestVolume v(c.boot, 64);
    ASSERT_TRUE(LayOutMft(v, c.records, c.runs));
    const std::uint32_t cs = v.volume.geometry.clusterSize;
    for (std::uint32_t chunkBytes : {0u, cs, 3 * cs, kMftChunkBytes}) {
      ExpectSameRecordsAsSingleReads(v, c.records, chunkBytes);
    }
  }
}

TEST(MftChunkReader, ReadsInChunksAndRecordByRecordWhereAChunkCannotBeRead) {
  TestVolume v({512, 8, 4, 0xF6}, 16);
  ASSERT_TRUE(LayOutMft(v, 16));  // clusters 4..7
  v.platform.reads.clear();
  MftChunkReader reader(v.volume, 16);
  Bytes record(1024);
  for (std::uint32_t n = 0; n < 16; ++n) reader.Read(n, record);
  EXPECT_EQ(v.platform.reads.size(), 1u);  // the whole $MFT at once, not past it
  EXPECT_EQ(v.platform.reads[0].length, 4u * 4096);

  // The image ends inside the last cluster: its records fail alone.
  v.Image().resize(7 * 4096 + 100);
  ExpectSameRecordsAsSingleReads(v, 16, kMftChunkBytes);
  MftChunkReader damaged(v.volume, 16);
  damaged.Read(11, record);
  EXPECT_TRUE(HasFileMagic(record));
  damaged.Read(12, record);
  EXPECT_EQ(record, Bytes(1024));
}

}  // namespace
}  // namespace sondrel

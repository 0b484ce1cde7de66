#include "ntfs/AttributeList.h"

#include <gtest/gtest.h>

#include "dump/DumpRecord.h"
#include "ntfs/LittleEndianReader.h"
#include "support/TestVolume.h"

namespace sondrel {
namespace {

using namespace test;

TEST(DecodeAttributeList, DecodesEntriesAndRefusesEveryTruncation) {
  const std::vector<ListEntryLayout> layouts = {{0x10, 0, FileReference(20)},
                                                {kDataType, 0, FileReference(20, 7), u"ads"},
                                                {kDataType, 900, FileReference(0x1234567890)}};
  const Bytes value = AttributeListValue(layouts);
  AttributeList list = DecodeAttributeList(value);
  EXPECT_FALSE(list.damaged);
  ASSERT_EQ(list.entries.size(), 3u);
  for (std::size_t i = 0; i < layouts.size(); ++i) {
    EXPECT_EQ(list.entries[i].typeCode, layouts[i].type);
    EXPECT_EQ(list.entries[i].startVcn, layouts[i].startVcn);
    EXPECT_EQ(list.entries[i].fileReference, layouts[i].reference);
    EXPECT_EQ(list.entries[i].name, layouts[i].name);
  }
  const std::size_t boundaries[] = {0, 0x20, 0x40, value.size()};
  for (std::size_t cut = 0; cut <= value.size(); ++cut) {
    AttributeList partial = DecodeAttributeList(std::span(value).first(cut));
    std::size_t whole = 0;
    while (whole + 1 < std::size(boundaries) && boundaries[whole + 1] <= cut) ++whole;
    EXPECT_EQ(partial.entries.size(), whole) << cut;
    EXPECT_EQ(partial.damaged, cut != boundaries[whole]) << cut;
  }
}

TEST(DecodeAttributeList, StopsAtADamagedEntry) {
  struct Case {
    const char* what;
    std::size_t field;
    int width;
    std::uint64_t value;
  };
  const Case cases[] = {{"zero length", 0x04, 2, 0},
                        {"length below the header", 0x04, 2, 0x19},
                        {"length past the value", 0x04, 2, 0x100},
                        {"name past the entry", 0x06, 1, 0x10}};
  for (const Case& c : cases) {
    Bytes value = AttributeListValue({{0x10, 0, FileReference(5)},
                                      {kDataType, 0, FileReference(5)},
                                      {kDataType, 4, FileReference(6)}});
    const std::size_t at = 0x20 + c.field;  // damage the second entry
    if (c.width == 1) value[at] = static_cast<std::byte>(c.value);
    if (c.width == 2) Put16(value, at, c.value);
    AttributeList list = DecodeAttributeList(value);
    EXPECT_TRUE(list.damaged) << c.what;
    EXPECT_EQ(list.entries.size(), 1u) << c.what;
  }
}

// Record 0's $DATA maps VCN 0-3 (records 0-15 at LCN 4-7); the rest, VCN 4-7
// (records 16-31 at LCN 20-23), lies in extension record 3, which its list names.
class MftPiecesTest : public testing::Test {
 protected:
  TestVolume v{{512, 8, 4, 0xF6}, 64};

  static Bytes MftPiece(std::uint64_t startVcn, std::uint64_t lastVcn, int lcn) {
    return NonResidentAttribute({.runs = BytesOf({0x11, 4, lcn, 0}),
                                 .startVcn = startVcn,
                                 .lastVcn = lastVcn,
                                 .allocatedSize = 8 * 4096,
                                 .dataSize = 32 * 1024});
  }
  void Build(std::uint64_t secondReference) {
    Bytes first = MftPiece(0, 3, 4);
    Bytes second = MftPiece(4, 7, 20);
    records[0] =
        MakeFileRecord({ResidentAttribute(kAttributeListType,
                                          AttributeListValue({{kDataType, 0, FileReference(0)},
                                                              {kDataType, 4, secondReference}})),
                        first});
    records[3] = MakeFileRecord({second}, {.baseReference = FileReference(0), .recordNumber = 3});
    for (std::uint32_t n = 1; n < 32; ++n) {
      if (n != 3) records[n] = MakeFileRecord({}, {.recordNumber = n});
    }
    for (auto& [piece, from] : {std::pair{first, 0u}, std::pair{second, 16u}}) {
      Bytes holder = MakeFileRecord({piece}, {.protect = false});
      auto attribute = FindAttribute(holder, kDataType);
      ASSERT_TRUE(attribute);
      for (std::uint32_t n = from; n < from + 16; ++n) {
        ASSERT_TRUE(PlaceThrough(v, *attribute, std::uint64_t{n} * 1024, records[n]));
      }
    }
    ASSERT_TRUE(v.Open());
  }
  std::map<std::uint32_t, Bytes> records;
};

TEST_F(MftPiecesTest, RecordsBeyondTheFirstPieceAreReadThroughTheExtensionRecord) {
  Build(FileReference(3));
  EXPECT_EQ(v.volume.mftData.pieces.size(), 2u);
  EXPECT_TRUE(v.volume.mftData.consistent);
  Bytes record(1024);
  for (std::uint32_t n : {15u, 16u, 31u}) {
    ReadMftRecord(v.volume, n, record);
    EXPECT_TRUE(HasFileMagic(record)) << n;
    EXPECT_EQ(LittleEndianReader(record).U32(0x2C), n);
  }
  ReadMftRecord(v.volume, 32, record);
  EXPECT_EQ(record, Bytes(1024));

  DumpResult result = DumpRecordData(v.volume, 0, "mft");
  EXPECT_EQ(result.outcome, DumpOutcome::kWritten);
  Bytes expected(v.Image().begin() + 4 * 4096, v.Image().begin() + 8 * 4096);
  PutBytes(expected, expected.size(),
           Bytes(v.Image().begin() + 20 * 4096, v.Image().begin() + 24 * 4096));
  EXPECT_EQ(v.platform.files["mft"], expected);
}

TEST_F(MftPiecesTest, APieceKeptInARecordThatOnlyItMapsIsLeftOutCleanly) {
  Build(FileReference(20));  // record 20 lies in VCN 5, which only that piece maps
  EXPECT_FALSE(v.volume.mftData.consistent);
  Bytes record(1024, std::byte{0xAA});
  ReadMftRecord(v.volume, 20, record);
  EXPECT_EQ(record, Bytes(1024));
  ReadMftRecord(v.volume, 7, record);
  EXPECT_TRUE(HasFileMagic(record));
}

// One $ATTRIBUTE_LIST of 256 KiB (8,192 $DATA entries, alternating between
// records 21 and 22) kept in clusters that the lists of records 20 and 23 to
// 26 all name; 21 and 22 are extensions of 20, foreign to the others. Each
// look-up reads the list once and each of the two records once, where
// reading a record per entry would cost 8,192 reads.
TEST(ExtensionRecordCache, ReadsEachExtensionRecordOncePerLookUp) {
  constexpr std::uint64_t kEntries = kMaxAttributeListBytes / 0x20;
  TestVolume v({512, 8, 4, 0xF6}, 128);
  std::vector<ListEntryLayout> entries;
  for (std::uint64_t i = 0; i < kEntries; ++i) {
    entries.push_back({kDataType, i, FileReference(i % 2 == 0 ? 21 : 22)});
  }
  const Bytes list = AttributeListValue(entries);
  ASSERT_EQ(list.size(), kMaxAttributeListBytes);
  v.PutCluster(40, list);  // LCN 40..103
  const Bytes listAttribute = NonResidentAttribute({.type = kAttributeListType,
                                                    .runs = BytesOf({0x11, 64, 40, 0}),
                                                    .lastVcn = 63,
                                                    .allocatedSize = kMaxAttributeListBytes,
                                                    .dataSize = kMaxAttributeListBytes});
  std::map<std::uint32_t, Bytes> records;
  for (std::uint32_t n : {20u, 23u, 24u, 25u, 26u}) {
    records[n] = MakeFileRecord({listAttribute}, {.recordNumber = n});
  }
  auto piece = [](std::uint64_t vcn, int lcn) {
    return NonResidentAttribute({.runs = BytesOf({0x11, 1, lcn, 0}),
                                 .startVcn = vcn,
                                 .lastVcn = vcn,
                                 .allocatedSize = 2 * 4096,
                                 .dataSize = 2 * 4096});
  };
  records[21] = MakeFileRecord({piece(0, 30)}, {.baseReference = FileReference(20), .recordNumber = 21});
  records[22] = MakeFileRecord({piece(1, 31)}, {.baseReference = FileReference(20), .recordNumber = 22});
  ASSERT_TRUE(LayOutMft(v, 32, {}, records));

  for (std::uint32_t n : {20u, 23u, 24u, 25u, 26u}) {
    SCOPED_TRACE(n);
    Bytes base(1024);
    ReadMftRecord(v.volume, n, base);
    v.platform.reads.clear();
    auto stream = FindAttributeStream(v.volume, base, n, kDataType);
    EXPECT_EQ(v.platform.reads.size(), 3u);  // the list, record 21, record 22
    if (n == 20) {
      ASSERT_TRUE(stream);
      EXPECT_EQ(stream->pieces.size(), 2u);
      EXPECT_FALSE(stream->consistent);  // most entries name no piece
    } else {
      EXPECT_FALSE(stream);
    }
    // A type the list does not name costs the list alone.
    v.platform.reads.clear();
    EXPECT_FALSE(FindAttributeStream(v.volume, base, n, kFileNameType));
    EXPECT_EQ(v.platform.reads.size(), 1u);
  }
}

// 1,900 pieces of one value, named by a resident list in a 64 KiB base
// record and kept ten to an extension record: gathered with one read per
// extension record, decoded into one map, and read with one read per piece.
TEST(ExtensionRecordCache, GathersAndReadsNineteenHundredPiecesInLinearReads) {
  constexpr std::uint32_t kPieces = 1900;
  constexpr std::uint32_t kRecords = kPieces / 10;  // numbers 1..190
  TestVolume v({512, 8, 4, 0xF6}, 512);             // 4096-byte clusters, 1024-byte records
  std::vector<ListEntryLayout> entries;
  std::map<std::uint32_t, std::vector<Bytes>> held;
  for (std::uint32_t i = 0; i < kPieces; ++i) {
    const std::uint32_t holder = 1 + i % kRecords;  // spread, so consecutive entries differ
    entries.push_back({kDataType, i, FileReference(holder)});
    // Each piece one cluster at LCN 300 + (i % 200); pieces never share a run.
    Bytes runs = BytesOf({0x21, 1, 0, 0, 0});
    Put16(runs, 2, 300 + i % 200);
    held[holder].push_back(NonResidentAttribute({.runs = runs,
                                                 .startVcn = i,
                                                 .lastVcn = i,
                                                 .allocatedSize = kPieces * 4096,
                                                 .dataSize = kPieces * 4096}));
  }
  const Bytes list = AttributeListValue(entries);
  Bytes base = MakeFileRecord({ResidentAttribute(kAttributeListType, list)},
                              {.size = 64 * 1024, .recordNumber = 200});
  ASSERT_TRUE(ApplyFixups(base));
  std::map<std::uint32_t, Bytes> records;
  for (auto& [number, pieces] : held) {
    records[number] = MakeFileRecord(pieces, {.baseReference = FileReference(200), .recordNumber = number});
  }
  ASSERT_TRUE(LayOutMft(v, 256, {}, records));

  v.platform.reads.clear();
  auto stream = FindAttributeStream(v.volume, base, 200, kDataType);
  ASSERT_TRUE(stream);
  EXPECT_TRUE(stream->consistent);
  EXPECT_EQ(stream->pieces.size(), kPieces);
  EXPECT_EQ(v.platform.reads.size(), kRecords);
  EXPECT_EQ(stream->Runs().Extents().size(), kPieces);

  v.platform.reads.clear();
  Bytes value(kPieces * 4096);
  EXPECT_TRUE(ReadStreamValue(v.volume, *stream, value));
  EXPECT_EQ(v.platform.reads.size(), kPieces);
}

}  // namespace
}  // namespace sondrel

#include "ntfs/AttributeList.h"

#include <gtest/gtest.h>

#include "dump/DumpRecord.h"
#include "fixtures/NtfsImage.h"
#include "ntfs/LittleEndianReader.h"

#include <functional>

namespace sondrel {
namespace {

using namespace test;

struct EntryLayout {
  std::uint32_t type;
  std::uint64_t startVcn;
  std::uint64_t reference;
  std::u16string name = u"";
};

Bytes ListEntry(const EntryLayout& e) {
  Bytes b(Align8(0x1A + 2 * e.name.size()));
  Put32(b, 0x00, e.type);
  Put16(b, 0x04, b.size());
  b[0x06] = static_cast<std::byte>(e.name.size());
  b[0x07] = std::byte{0x1A};
  Put64(b, 0x08, e.startVcn);
  Put64(b, 0x10, e.reference);
  PutBytes(b, 0x1A, Utf16Bytes(e.name));
  return b;
}

Bytes ListValue(const std::vector<EntryLayout>& entries) {
  Bytes value;
  for (const EntryLayout& e : entries) PutBytes(value, value.size(), ListEntry(e));
  return value;
}

constexpr std::uint64_t Ref(std::uint64_t record, std::uint64_t sequence = 1) {
  return record | (sequence << 48);
}

TEST(DecodeAttributeList, DecodesEntriesAndRefusesEveryTruncation) {
  const std::vector<EntryLayout> layouts = {
      {0x10, 0, Ref(20)}, {kDataType, 0, Ref(20, 7), u"ads"}, {kDataType, 900, Ref(0x1234567890)}};
  const Bytes value = ListValue(layouts);
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
    Bytes value = ListValue({{0x10, 0, Ref(5)}, {kDataType, 0, Ref(5)}, {kDataType, 4, Ref(6)}});
    const std::size_t at = 0x20 + c.field;  // damage the second entry
    if (c.width == 1) value[at] = static_cast<std::byte>(c.value);
    if (c.width == 2) Put16(value, at, c.value);
    AttributeList list = DecodeAttributeList(value);
    EXPECT_TRUE(list.damaged) << c.what;
    EXPECT_EQ(list.entries.size(), 1u) << c.what;
  }
}

// A file (record 20) whose unnamed $DATA lies in three pieces: VCN 0-1 in
// the base record at LCN 30, VCN 2-3 in record 21 at LCN 40, VCN 4-5 in
// record 22 (sparse then LCN 50). 4096-byte clusters, 1024-byte records.
class PiecesTest : public testing::Test {
 protected:
  TestVolume v{{512, 8, 4, 0xF6}, 64};
  std::map<std::uint32_t, Bytes> records;

  static Bytes Piece(Bytes runs, std::uint64_t startVcn, std::uint64_t lastVcn) {
    return NonResidentAttribute({.runs = std::move(runs),
                                 .startVcn = startVcn,
                                 .lastVcn = lastVcn,
                                 .allocatedSize = 6 * 4096,
                                 .dataSize = 5 * 4096 + 10});
  }
  static Bytes Extension(std::uint32_t number, Bytes attribute, std::uint64_t base = Ref(20)) {
    return MakeFileRecord({std::move(attribute)}, {.baseReference = base, .recordNumber = number});
  }
  void SetUp() override {
    for (int lcn : {30, 31, 40, 41, 50}) v.PutCluster(lcn, Bytes(4096, std::byte(lcn)));
    records[20] =
        MakeFileRecord({ResidentAttribute(kAttributeListType, ListValue({{kDataType, 0, Ref(20)},
                                                                         {kDataType, 2, Ref(21)},
                                                                         {kDataType, 4, Ref(22)}})),
                        Piece(BytesOf({0x11, 2, 30, 0}), 0, 1)},
                       {.recordNumber = 20});
    records[21] = Extension(21, Piece(BytesOf({0x11, 2, 40, 0}), 2, 3));
    records[22] = Extension(22, Piece(BytesOf({0x01, 1, 0x11, 1, 50, 0}), 4, 5));
  }
  Bytes Expected(std::initializer_list<int> clusterFill) {
    Bytes out;
    for (int fill : clusterFill) PutBytes(out, out.size(), Bytes(4096, std::byte(fill)));
    out.resize(5 * 4096 + 10);
    return out;
  }
  DumpResult Dump() {
    EXPECT_TRUE(LayOutMft(v, 32, {}, records));
    return DumpRecordData(v.volume, 20, "out");
  }
};

TEST_F(PiecesTest, DumpWritesEveryPieceInVcnOrder) {
  ASSERT_TRUE(LayOutMft(v, 32, {}, records));
  Bytes base(1024);
  ReadMftRecord(v.volume, 20, base);
  auto stream = FindAttributeStream(v.volume, base, 20, kDataType);
  ASSERT_TRUE(stream);
  EXPECT_TRUE(stream->consistent);
  ASSERT_EQ(stream->pieces.size(), 3u);
  EXPECT_EQ(stream->ValueSize(), 5u * 4096 + 10);

  v.platform.reads.clear();
  Bytes dest(6 * 4096);
  EXPECT_TRUE(ReadStreamVcnRange(v.volume, *stream, 1, 5, dest));
  ASSERT_EQ(v.platform.reads.size(), 3u);  // VCN 1, VCN 2-3, VCN 5; VCN 4 is sparse
  EXPECT_EQ(v.platform.reads[0].offset, 31u * 4096);
  EXPECT_EQ(v.platform.reads[1].offset, 40u * 4096);
  EXPECT_EQ(v.platform.reads[1].length, 2u * 4096);
  EXPECT_EQ(v.platform.reads[2].offset, 50u * 4096);

  DumpResult result = DumpRecordData(v.volume, 20, "out");
  EXPECT_EQ(result.outcome, DumpOutcome::kWritten);
  EXPECT_TRUE(result.complete);
  EXPECT_EQ(v.platform.files["out"], Expected({30, 31, 40, 41, 0, 50}));
}

TEST_F(PiecesTest, InconsistentPiecesEndCleanlyAndReadAsZeros) {
  struct Case {
    const char* what;
    std::function<void(std::map<std::uint32_t, Bytes>&)> damage;
    std::initializer_list<int> expected;
  };
  const Case cases[] = {
      {"extension is no file record",
       [](auto& r) {
         PutBytes(r[21], 0, BytesOf({'B', 'A', 'A', 'D'}));
       },
       {30, 31, 0, 0, 0, 50}},
      {"extension points to another base",
       [](auto& r) {
         r[21] = Extension(21, Piece(BytesOf({0x11, 2, 40, 0}), 2, 3), Ref(7));
       },
       {30, 31, 0, 0, 0, 50}},
      {"extension that is a base record",
       [](auto& r) {
         r[21] = Extension(21, Piece(BytesOf({0x11, 2, 40, 0}), 2, 3), 0);
       },
       {30, 31, 0, 0, 0, 50}},
      {"piece overlapping the first",
       [](auto& r) {
         r[21] = Extension(21, Piece(BytesOf({0x11, 3, 40, 0}), 1, 3));
       },
       {30, 31, 0, 0, 0, 50}},
      {"piece at another VCN than listed",
       [](auto& r) {
         r[22] = Extension(22, Piece(BytesOf({0x11, 2, 50, 0}), 6, 7));
       },
       {30, 31, 40, 41, 0, 0}},
      {"entry naming a record past the $MFT",
       [](auto& r) {
         r[20] = MakeFileRecord(
             {ResidentAttribute(kAttributeListType, ListValue({{kDataType, 0, Ref(20)},
                                                               {kDataType, 2, Ref(5000)},
                                                               {kDataType, 4, Ref(22)}})),
              Piece(BytesOf({0x11, 2, 30, 0}), 0, 1)});
       },
       {30, 31, 0, 0, 0, 50}},
      {"list cut inside its last entry",
       [](auto& r) {
         Bytes list =
             ListValue({{kDataType, 0, Ref(20)}, {kDataType, 2, Ref(21)}, {kDataType, 4, Ref(22)}});
         list.resize(list.size() - 3);
         r[20] = MakeFileRecord(
             {ResidentAttribute(kAttributeListType, list), Piece(BytesOf({0x11, 2, 30, 0}), 0, 1)});
       },
       {30, 31, 40, 41, 0, 0}},
  };
  for (const Case& c : cases) {
    SetUp();
    c.damage(records);
    DumpResult result = Dump();
    EXPECT_EQ(result.outcome, DumpOutcome::kWritten) << c.what;
    EXPECT_FALSE(result.complete) << c.what;
    EXPECT_EQ(v.platform.files["out"], Expected(c.expected)) << c.what;
  }
}

TEST_F(PiecesTest, AMissingPieceIsZeroFilledNoFurtherThanTheVolumeHolds) {
  // The first piece claims 4 GiB and its last piece cannot be found: zeros
  // stand in for it, but only up to the volume's 64 clusters.
  records[20] = MakeFileRecord(
      {ResidentAttribute(kAttributeListType,
                         ListValue({{kDataType, 0, Ref(20)}, {kDataType, 2, Ref(5000)}})),
       NonResidentAttribute({.runs = BytesOf({0x11, 2, 30, 0}),
                             .lastVcn = 1,
                             .allocatedSize = 0x100000000,
                             .dataSize = 0x100000000})},
      {.recordNumber = 20});
  DumpResult result = Dump();
  EXPECT_EQ(result.outcome, DumpOutcome::kWritten);
  EXPECT_FALSE(result.complete);
  Bytes expected(64 * 4096);
  PutBytes(expected, 0, Bytes(4096, std::byte{30}));
  PutBytes(expected, 4096, Bytes(4096, std::byte{31}));
  EXPECT_EQ(v.platform.files["out"], expected);
}

TEST_F(PiecesTest, AListThatNamesNoFirstPieceGivesNoData) {
  records[20] = MakeFileRecord({ResidentAttribute(
      kAttributeListType, ListValue({{kDataType, 2, Ref(21)}, {kDataType, 4, Ref(22)}}))});
  EXPECT_EQ(Dump().outcome, DumpOutcome::kNoData);
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
    records[0] = MakeFileRecord(
        {ResidentAttribute(kAttributeListType,
                           ListValue({{kDataType, 0, Ref(0)}, {kDataType, 4, secondReference}})),
         first});
    records[3] = MakeFileRecord({second}, {.baseReference = Ref(0), .recordNumber = 3});
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
    ASSERT_TRUE(LoadMftSelfRecord(v.volume));
  }
  std::map<std::uint32_t, Bytes> records;
};

TEST_F(MftPiecesTest, RecordsBeyondTheFirstPieceAreReadThroughTheExtensionRecord) {
  Build(Ref(3));
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
  Build(Ref(20));  // record 20 lies in VCN 5, which only that piece maps
  EXPECT_FALSE(v.volume.mftData.consistent);
  Bytes record(1024, std::byte{0xAA});
  ReadMftRecord(v.volume, 20, record);
  EXPECT_EQ(record, Bytes(1024));
  ReadMftRecord(v.volume, 7, record);
  EXPECT_TRUE(HasFileMagic(record));
}

}  // namespace
}  // namespace sondrel

#include "dump/DumpRecord.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "ntfs/AttributeList.h"
#include "support/TestVolume.h"

namespace sondrel {
namespace {

using namespace test;

constexpr const char* kOut = "out.bin";

class DumpRecordTest : public testing::Test {
 protected:
  // 4096-byte clusters, 1024-byte records; $MFT of 16 records at LCN 4..7.
  TestVolume v{{512, 8, 4, 0xF6}, 64};

  void LayOut(const std::map<std::uint32_t, Bytes>& records) {
    ASSERT_TRUE(LayOutMft(v, 16, {}, records));
  }
  void FillCluster(std::uint64_t lcn, int value) {
    v.PutCluster(lcn, Bytes(4096, static_cast<std::byte>(value)));
  }
  DumpResult Dump(std::int32_t index) { return DumpRecordData(v.volume, index, kOut); }
  Bytes& Output() { return v.platform.files[kOut]; }
  std::size_t CreatesOf(const char* path) {
    std::size_t n = 0;
    for (const auto& open : v.platform.opens) n += open.path == path;
    return n;
  }
};

TEST_F(DumpRecordTest, WritesAResidentValueExactlyWithOneCreateAndOneWrite) {
  Bytes value = BytesOf({'h', 'e', 'l', 'l', 'o', 0, 1, 2});
  LayOut({{5, MakeFileRecord({ResidentAttribute(kDataType, BytesOf({'x'}), u"ads"),
                              ResidentAttribute(kDataType, value)})}});
  v.platform.files[kOut] = Bytes(100000, std::byte{0xEE});  // replaced, not appended to
  DumpResult result = Dump(5);
  EXPECT_EQ(result.outcome, DumpOutcome::kWritten);
  EXPECT_TRUE(result.complete);
  EXPECT_EQ(Output(), value);
  ASSERT_EQ(CreatesOf(kOut), 1u);
  const auto& open = v.platform.opens.back();
  EXPECT_EQ(open.desiredAccess, kGenericWrite);
  EXPECT_EQ(open.shareMode, 0u);
  EXPECT_EQ(open.creationDisposition, kCreateAlways);
  EXPECT_EQ(v.platform.writeCalls, 1);
  EXPECT_EQ(v.platform.openHandles, 1);  // only the volume is left open
}

TEST_F(DumpRecordTest, WritesTheDataSizeOfANonResidentValueWithSparseStretchesAsZeros) {
  FillCluster(20, 0x20);
  FillCluster(21, 0x21);
  FillCluster(30, 0x30);
  // VCN 0-1 at LCN 20, VCN 2-3 sparse, VCN 4 at LCN 30; 5 clusters allocated.
  NonResidentLayout data{.runs = BytesOf({0x11, 2, 20, 0x01, 2, 0x11, 1, 10, 0}),
                       .lastVcn = 4,
                       .allocatedSize = 5 * 4096,
                       .dataSize = 4 * 4096 + 100};
  LayOut({{7, MakeFileRecord({NonResidentAttribute(data)})}});
  DumpResult result = Dump(7);
  EXPECT_EQ(result.outcome, DumpOutcome::kWritten);
  Bytes expected = Bytes(4096, std::byte{0x20});
  PutBytes(expected, 4096, Bytes(4096, std::byte{0x21}));
  PutBytes(expected, 8192, Bytes(8192));
  PutBytes(expected, 16384, Bytes(100, std::byte{0x30}));
  EXPECT_EQ(Output(), expected);
  EXPECT_EQ(v.platform.writeCalls, 1);
}

TEST_F(DumpRecordTest, RecordZeroDumpsTheWholeMft) {
  LayOut({});
  EXPECT_EQ(Dump(0).outcome, DumpOutcome::kWritten);
  const Bytes& image = v.Image();
  EXPECT_EQ(Output(), Bytes(image.begin() + 4 * 4096, image.begin() + 8 * 4096));
}

TEST_F(DumpRecordTest, RefusedRecordsCreateNothingAndLeaveAnExistingFileAlone) {
  Bytes directory = MakeFileRecord(
      {ResidentAttribute(kFileNameType, FileNameValueBytes(5, u"dir"))}, {.flags = 3});
  Bytes onlyNamed = MakeFileRecord({ResidentAttribute(kDataType, BytesOf({1}), u"ads")});
  Bytes noMagic = MakeFileRecord({ResidentAttribute(kDataType, BytesOf({1}))});
  PutBytes(noMagic, 0, BytesOf({'B', 'A', 'A', 'D'}));
  NonResidentLayout laterPiece{.runs = BytesOf({0x11, 1, 20, 0}), .startVcn = 3, .lastVcn = 3};
  Bytes noFirstPiece = MakeFileRecord({NonResidentAttribute(laterPiece)});
  LayOut({{6, directory}, {7, onlyNamed}, {8, noMagic}, {9, noFirstPiece}});
  const Bytes existing = BytesOf({'k', 'e', 'e', 'p'});
  v.platform.files[kOut] = existing;
  struct Case {
    std::int32_t index;
    DumpOutcome outcome;
  };
  const Case cases[] = {{6, DumpOutcome::kNoData},
                        {7, DumpOutcome::kNoData},
                        {8, DumpOutcome::kNoRecord},
                        {9, DumpOutcome::kNoData},
                        {16, DumpOutcome::kNoRecord},
                        {-1, DumpOutcome::kNoRecord},
                        {-2147483647 - 1, DumpOutcome::kNoRecord}};
  for (const Case& c : cases) {
    EXPECT_EQ(Dump(c.index).outcome, c.outcome) << c.index;
  }
  EXPECT_EQ(CreatesOf(kOut), 0u);
  EXPECT_EQ(Output(), existing);
}

TEST_F(DumpRecordTest, ReportsAFailedCreateAndAShortWrite) {
  LayOut({{5, MakeFileRecord({ResidentAttribute(kDataType, BytesOf({1, 2, 3}))})}});
  v.platform.lockedPaths.push_back(kOut);
  DumpResult locked = Dump(5);
  EXPECT_EQ(locked.outcome, DumpOutcome::kCreateFailed);
  EXPECT_FALSE(locked.error.empty());

  v.platform.lockedPaths.clear();
  v.platform.shortWriteBytes = 2;
  DumpResult shortWrite = Dump(5);
  EXPECT_EQ(shortWrite.outcome, DumpOutcome::kWriteFailed);
  EXPECT_NE(shortWrite.error.find("2 of 3"), std::string::npos) << shortWrite.error;
  EXPECT_EQ(v.platform.openHandles, 1);  // the output was closed all the same
}

TEST_F(DumpRecordTest, NeverWritesPastTheAllocatedSizeOrTheMappedClusters) {
  FillCluster(20, 0x20);
  // Sizes far beyond the one cluster the run list maps: a data size alone,
  // and data and allocated sizes with a lastVcn to match.
  const NonResidentLayout cases[] = {
      {.runs = BytesOf({0x11, 1, 20, 0}), .lastVcn = 0, .allocatedSize = 4096,
       .dataSize = 0x7FFFFFFFFFFF},
      {.runs = BytesOf({0x11, 1, 20, 0}), .lastVcn = ~std::uint64_t{0},
       .allocatedSize = 0xFFFFF000, .dataSize = 0xFFFFF000},
  };
  for (const NonResidentLayout& data : cases) {
    LayOut({{5, MakeFileRecord({NonResidentAttribute(data)})}});
    DumpResult result = Dump(5);
    EXPECT_EQ(result.outcome, DumpOutcome::kWritten);
    EXPECT_FALSE(result.complete);
    EXPECT_EQ(Output(), Bytes(4096, std::byte{0x20}));
  }
}

TEST_F(DumpRecordTest, WritesAValueLargerThanOneChunkInPieces) {
  const std::uint64_t clusters = kDumpChunkBytes / 4096 + 2;
  Bytes runs = BytesOf({0x02, 0, 0, 0});  // one sparse run
  Put16(runs, 1, clusters);
  NonResidentLayout data{.runs = runs,
                       .lastVcn = clusters - 1,
                       .allocatedSize = clusters * 4096,
                       .dataSize = clusters * 4096 - 10};
  LayOut({{5, MakeFileRecord({NonResidentAttribute(data)})}});
  EXPECT_EQ(Dump(5).outcome, DumpOutcome::kWritten);
  EXPECT_EQ(Output().size(), clusters * 4096 - 10);
  EXPECT_EQ(v.platform.writeCalls, 2);
  EXPECT_EQ(std::count(Output().begin(), Output().end(), std::byte{0}),
            static_cast<std::ptrdiff_t>(Output().size()));
}

TEST_F(DumpRecordTest, AnEmptyValueMakesAnEmptyFile) {
  NonResidentLayout data{.runs = BytesOf({0}), .lastVcn = ~std::uint64_t{0}};
  LayOut({{5, MakeFileRecord({NonResidentAttribute(data)})},
          {6, MakeFileRecord({ResidentAttribute(kDataType, {})})}});
  for (std::int32_t index : {5, 6}) {
    v.platform.files[kOut] = BytesOf({1});
    EXPECT_EQ(Dump(index).outcome, DumpOutcome::kWritten);
    EXPECT_TRUE(Output().empty());
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
  static Bytes Extension(std::uint32_t number, Bytes attribute,
                         std::uint64_t base = FileReference(20)) {
    return MakeFileRecord({std::move(attribute)}, {.baseReference = base, .recordNumber = number});
  }
  void SetUp() override {
    for (int lcn : {30, 31, 40, 41, 50}) v.PutCluster(lcn, Bytes(4096, std::byte(lcn)));
    records[20] =
        MakeFileRecord({ResidentAttribute(kAttributeListType,
                                          AttributeListValue({{kDataType, 0, FileReference(20)},
                                                              {kDataType, 2, FileReference(21)},
                                                              {kDataType, 4, FileReference(22)}})),
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
         r[21] = Extension(21, Piece(BytesOf({0x11, 2, 40, 0}), 2, 3), FileReference(7));
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
             {ResidentAttribute(kAttributeListType,
                                AttributeListValue({{kDataType, 0, FileReference(20)},
                                                    {kDataType, 2, FileReference(5000)},
                                                    {kDataType, 4, FileReference(22)}})),
              Piece(BytesOf({0x11, 2, 30, 0}), 0, 1)});
       },
       {30, 31, 0, 0, 0, 50}},
      {"list cut inside its last entry",
       [](auto& r) {
         Bytes list = AttributeListValue({{kDataType, 0, FileReference(20)},
                                          {kDataType, 2, FileReference(21)},
                                          {kDataType, 4, FileReference(22)}});
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
  records[20] =
      MakeFileRecord({ResidentAttribute(kAttributeListType,
                                        AttributeListValue({{kDataType, 0, FileReference(20)},
                                                            {kDataType, 2, FileReference(5000)}})),
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
      kAttributeListType,
      AttributeListValue({{kDataType, 2, FileReference(21)}, {kDataType, 4, FileReference(22)}}))});
  EXPECT_EQ(Dump().outcome, DumpOutcome::kNoData);
}

// A run of 2^40 clusters from LCN 60 on a volume of 64 clusters: the dump
// stops at the first cluster off the volume, reading and writing nothing
// beyond it, and says it is incomplete.
TEST_F(DumpRecordTest, StopsAtTheFirstClusterPastTheVolume) {
  FillCluster(20, 0x20);
  for (int lcn = 60; lcn < 64; ++lcn) FillCluster(lcn, lcn);
  const std::uint64_t clusters = (std::uint64_t{1} << 40) + 1;
  NonResidentLayout data{.runs = BytesOf({0x11, 1, 20, 0x16, 0, 0, 0, 0, 0, 1, 40, 0}),
                         .lastVcn = clusters - 1,
                         .allocatedSize = clusters * 4096,
                         .dataSize = clusters * 4096};
  LayOut({{5, MakeFileRecord({NonResidentAttribute(data)})}});
  v.platform.reads.clear();
  DumpResult result = Dump(5);
  EXPECT_EQ(result.outcome, DumpOutcome::kWritten);
  EXPECT_FALSE(result.complete);
  Bytes expected(v.Image().begin() + 20 * 4096, v.Image().begin() + 21 * 4096);
  PutBytes(expected, expected.size(), Bytes(v.Image().begin() + 60 * 4096, v.Image().end()));
  EXPECT_EQ(Output(), expected);
  for (const auto& read : v.platform.reads) {
    EXPECT_LE(read.offset + read.length, v.Image().size());
  }
}

// Past the initialized size a value holds zeros, whatever its clusters hold:
// those are written as zeros and their clusters not read.
TEST_F(DumpRecordTest, WritesZerosPastTheInitializedSize) {
  for (int lcn = 20; lcn < 23; ++lcn) FillCluster(lcn, lcn);
  struct Case {
    std::uint64_t initialized;
    std::size_t clustersRead;
  };
  const std::uint64_t size = 3 * 4096 - 100;
  for (const Case c : {Case{5000, 2}, Case{0, 0}, Case{4096, 1}, Case{1u << 30, 3}}) {
    SCOPED_TRACE(c.initialized);
    Bytes attribute = NonResidentAttribute({.runs = BytesOf({0x11, 3, 20, 0}),
                                            .lastVcn = 2,
                                            .allocatedSize = 3 * 4096,
                                            .dataSize = size});
    Put64(attribute, 0x38, c.initialized);
    LayOut({{5, MakeFileRecord({attribute})}});
    v.platform.reads.clear();
    DumpResult result = Dump(5);
    EXPECT_EQ(result.outcome, DumpOutcome::kWritten);
    EXPECT_TRUE(result.complete);
    Bytes expected(v.Image().begin() + 20 * 4096, v.Image().begin() + 20 * 4096 + size);
    const std::size_t kept = static_cast<std::size_t>(std::min(c.initialized, size));
    std::fill(expected.begin() + static_cast<std::ptrdiff_t>(kept), expected.end(), std::byte{0});
    EXPECT_EQ(Output(), expected);
    std::uint64_t bytesRead = 0;
    for (std::size_t i = 1; i < v.platform.reads.size(); ++i) {  // the first is the record
      bytesRead += v.platform.reads[i].length;
    }
    EXPECT_EQ(bytesRead, c.clustersRead * 4096);
  }
}

}  // namespace
}  // namespace sondrel

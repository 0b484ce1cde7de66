#include "dump/DumpRecord.h"

#include <gtest/gtest.h>

#include "fixtures/NtfsImage.h"

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
      {ResidentAttribute(kFileNameType, FileNameValueBytes(5, 0, u"dir"))}, {.flags = 3});
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

}  // namespace
}  // namespace sondrel

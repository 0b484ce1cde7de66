#include "scan/MftScan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/FakePlatform.h"
#include "support/MftImageBuilder.h"
#include "support/TestVolume.h"

namespace sondrel {
namespace {

using test::FileReference;

constexpr std::uint16_t kFile = 0x0001;
constexpr std::uint16_t kDirectory = 0x0003;
constexpr char kHeader[] =
    "   index     size       filename\n"
    "-------------------------------------------------------------------------------\n";
constexpr char kRule[] =
    "-------------------------------------------------------------------------------\n";

// A stream the scan writes to, read back whole.
class CapturedStream {
 public:
  CapturedStream() : file_(std::tmpfile(), &std::fclose) {}
  std::FILE* get() const { return file_.get(); }
  std::string Text() const {
    std::fflush(file_.get());
    std::rewind(file_.get());
    std::string text;
    for (int c = std::fgetc(file_.get()); c != EOF; c = std::fgetc(file_.get())) {
      text.push_back(static_cast<char>(c));
    }
    return text;
  }

 private:
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
};

struct ScanOutput {
  std::optional<std::uint32_t> total;
  std::string out;
  std::string err;
};

ScanOutput Scan(FakePlatform& platform, test::MftImageBuilder& image, ScanMode mode) {
  VolumeContext volume;
  if (!test::OpenTestVolume(platform, image.Build(), volume)) {
    ADD_FAILURE() << "the test image does not open";
    return {};
  }
  CapturedStream out;
  CapturedStream err;
  ScanOutput result;
  result.total = ScanMft(volume, mode, 'X', out.get(), err.get());
  result.out = out.Text();
  result.err = err.Text();
  return result;
}

std::string Progress(std::uint32_t count) {
  std::string text;
  for (std::uint32_t n = 0; n < count; ++n) text += std::to_string(100 * n / count) + "%\r";
  return text;
}

// A small volume: the root, a directory whose first name is its 8.3 form,
// and records that exercise every way a record is passed over.
test::MftImageBuilder MakeVolume() {
  test::MftImageBuilder image;
  image.recordCount = 32;
  image.Record(5).Flags(kDirectory).FileName(FileReference(5, 5), u".");
  image.Record(16).Flags(kDirectory).FileName(FileReference(5), u"PROGRA~1");
  image.Record(17).Flags(kFile).FileName(FileReference(16), u"app.exe", 1234);
  image.Record(18).Flags(kFile).FileName(FileReference(5), u"hidden.sys", 0);
  image.Record(19).Magic(0).FileName(FileReference(5), u"nomagic");
  image.Record(20).Flags(0).FileName(FileReference(5), u"deleted");
  image.Record(21).Flags(0x0002).FileName(FileReference(5), u"dironly", 99);
  image.Record(22).Flags(kFile).Resident(0x80, test::Bytes(8));  // no $FILE_NAME
  image.Record(23).Flags(kFile).FileName(FileReference(5), u"bitclear");
  image.bits[23] = false;
  image.Record(24).Flags(kFile).FileName(FileReference(5), u"big.bin", 0x100000005ull);
  image.Record(25).Flags(kFile).FileName(FileReference(5), u"neg.bin", 0x80000000ull);
  image.Record(26).Flags(kFile).FileName(FileReference(5), u"");
  image.Record(27).Flags(kFile).FileName(FileReference(27), u"loop");
  return image;
}

// What the directory listing shows of that volume.
void AddListing(FakePlatform& platform) {
  platform.directories["X:"] = {{"Program Files", "PROGRA~1"}, {"big.bin", "BIG.BIN"},
                                {"neg.bin", "NEG.BIN"}};
  platform.directories["X:\\PROGRA~1"] = {{".", ""}, {"..", ""}, {"app.exe", "APP.EXE"}};
  platform.directories["X:\\Program Files"] = platform.directories["X:\\PROGRA~1"];
  platform.files["X:\\neg.bin"] = test::Bytes(77);
}

TEST(ScanMft, ListsEveryNamedRecord) {
  FakePlatform platform;
  AddListing(platform);
  test::MftImageBuilder image = MakeVolume();
  ScanOutput result = Scan(platform, image, ScanMode::kList);
  EXPECT_EQ(result.out, std::string(kHeader) +
                            "       0    32768       X:\\$MFT\n"
                            "       5        0 <DIR> X:\\.\n"
                            "      16        0 <DIR> X:\\Program Files\n"
                            "      17     1234       X:\\Program Files\\app.exe\n"
                            "      18        0       X:\\hidden.sys\n"
                            "      21       99 <DIR> X:\\dironly\n"
                            "      24        5       X:\\big.bin\n"
                            "      25       77       X:\\neg.bin\n"
                            "      27        0       \\loop\\loop\n" +
                            kRule);
  EXPECT_EQ(result.err, Progress(32) + "complete. total 9 files.\n");
  EXPECT_EQ(result.total, 9u);
}

TEST(ScanMft, DigsOutWhatTheListingDoesNotShow) {
  FakePlatform platform;
  AddListing(platform);
  test::MftImageBuilder image = MakeVolume();
  ScanOutput result = Scan(platform, image, ScanMode::kDig);
  // $MFT and the root's own record are metadata; the rest is listed.
  EXPECT_EQ(result.out, std::string(kHeader) +
                            "      18        0       X:\\hidden.sys\n"
                            "      21       99 <DIR> X:\\dironly\n"
                            "      27        0       \\loop\\loop\n" +
                            kRule);
  EXPECT_EQ(result.err, Progress(32) + "complete. total 9 files, 3 hidden files.\n");
  // One listing per directory, and one more for its short names when a name
  // is not among the long ones (hidden.sys); the same again for the fresh look
  // at the directory that holds candidates. A visible record is neither sized
  // nor expanded.
  EXPECT_EQ(std::count(platform.searches.begin(), platform.searches.end(), "X:\\*"), 4);
  EXPECT_EQ(std::count(platform.searches.begin(), platform.searches.end(), "X:\\PROGRA~1\\*"), 1);
  EXPECT_EQ(std::count(platform.searches.begin(), platform.searches.end(), "X:\\PROGRA~1"), 0);
  for (const FakePlatform::OpenCall& open : platform.opens) EXPECT_NE(open.path, "X:\\neg.bin");
}

// A live system changes while it is scanned. A file created after its
// directory was first listed, and one deleted after its record was read, are
// not hidden; the look again at the end tells them from a file hidden
// throughout, and what is reported comes out in record order.
TEST(ScanMft, ReportsOnlyWhatAFreshLookStillDoesNotShow) {
  test::MftImageBuilder image;
  image.Record(5).Flags(kDirectory).FileName(FileReference(5, 5), u".");
  image.Record(16).Flags(kDirectory).FileName(FileReference(5), u"dir");
  image.Record(17).Flags(kFile).FileName(FileReference(16), u"hidden.sys", 1);
  image.Record(18).Flags(kFile).FileName(FileReference(16), u"appears.txt", 2);
  image.Record(19).Flags(kFile).FileName(FileReference(16), u"deleted.txt", 3);
  image.Record(21).Flags(kFile).FileName(FileReference(5), u"rootkit.sys", 5);
  FakePlatform platform;
  platform.directories["X:"] = {{"dir", ""}};
  platform.directories["X:\\dir"] = {{"shown.txt", ""}};
  int dirListings = 0;
  platform.beforeListing = [&](const std::string& directory) {
    if (directory != "X:\\dir" || ++dirListings != 3) return;
    // The look again: one file now listed, one record freed.
    platform.directories["X:\\dir"].push_back({"appears.txt", ""});
    std::vector<std::byte>& volume = platform.files["\\\\.\\X:"];
    const std::size_t mft = 4 * 4096;
    volume[mft + 19 * 1024 + 0x16] = std::byte{0};
  };
  ScanOutput result = Scan(platform, image, ScanMode::kDig);
  EXPECT_EQ(result.out, std::string(kHeader) +
                            "      17        1       X:\\dir\\hidden.sys\n"
                            "      21        5       X:\\rootkit.sys\n" +
                            kRule);
  EXPECT_EQ(result.err.substr(result.err.rfind('\r') + 1),
            "complete. total 7 files, 2 hidden files.\n");
  EXPECT_EQ(dirListings, 4);  // long and 8.3 names, first and last
}

// A view that tells each entry's record (ntfs-3g). A record whose first name
// is its 8.3 name is shown by its own entry under the long name the record
// holds beside it: no 8.3 name is fetched. A link hidden beside a visible link
// of the same record in the same directory is still hidden.
TEST(ScanMft, MatchesAnEightDotThreeNameThroughItsRecordsOwnLongName) {
  test::MftImageBuilder image;
  image.Record(5).Flags(kDirectory).FileName(FileReference(5, 5), u".");
  image.Record(16).Flags(kFile)
      .FileName(FileReference(5), u"LONGNA~1.TXT", 1, 2)
      .FileName(FileReference(5), u"Long Name.txt", 1, 1);
  image.Record(17).Flags(kFile)
      .FileName(FileReference(5), u"HIDDEN~1.SYS", 2, 2)
      .FileName(FileReference(5), u"hidden file.sys", 2, 1);
  image.Record(18).Flags(kFile)
      .FileName(FileReference(5), u"a.txt", 3, 0)
      .FileName(FileReference(5), u"b.txt", 3, 0);
  FakePlatform platform;
  platform.directories["X:"] = {{"Long Name.txt", "", 16}, {"b.txt", "", 18}};
  ScanOutput dig = Scan(platform, image, ScanMode::kDig);
  EXPECT_EQ(dig.out, std::string(kHeader) +
                         "      17        2       X:\\HIDDEN~1.SYS\n"
                         "      18        3       X:\\a.txt\n" +
                         kRule);
  // The listings, and one lookup for a.txt's record's entry, b.txt.
  EXPECT_EQ(std::count(platform.searches.begin(), platform.searches.end(), "X:\\b.txt"), 2);
  EXPECT_EQ(std::count(platform.searches.begin(), platform.searches.end(),
                       "X:\\Long Name.txt"), 0);

  FakePlatform list;
  list.directories = platform.directories;
  ScanOutput listed = Scan(list, image, ScanMode::kList);
  EXPECT_NE(listed.out.find("      16        1       X:\\Long Name.txt\n"), std::string::npos);
}

TEST(ScanMft, ACountOfZeroPrintsTheFrameAndTotals) {
  FakePlatform platform;
  test::MftImageBuilder image;
  image.mftDataSize = 1000;  // less than one record
  ScanOutput list = Scan(platform, image, ScanMode::kList);
  EXPECT_EQ(list.out, std::string(kHeader) + kRule);
  EXPECT_EQ(list.err, "complete. total 0 files.\n");
  ScanOutput dig = Scan(platform, image, ScanMode::kDig);
  EXPECT_EQ(dig.out, std::string(kHeader) + kRule);
  EXPECT_EQ(dig.err, "complete. total 0 files, 0 hidden files.\n");
}

TEST(ScanMft, ProgressOfThreeRecordsAndAParentBeyondTheMft) {
  FakePlatform platform;
  test::MftImageBuilder image;
  image.recordCount = 3;  // $MFT's parent, record 5, lies beyond the table
  ScanOutput result = Scan(platform, image, ScanMode::kList);
  // A bare name gains a leading backslash in the expansion.
  EXPECT_EQ(result.out, std::string(kHeader) + "       0     3072       \\$MFT\n" + kRule);
  EXPECT_EQ(result.err, "0%\r33%\r66%\rcomplete. total 1 files.\n");
}

TEST(ScanMft, RefusesAnMftRecordWithoutBitmapOrData) {
  for (bool withBitmap : {false, true}) {
    FakePlatform platform;
    test::MftImageBuilder image;
    image.mftHasBitmap = withBitmap;
    VolumeContext volume;
    ASSERT_TRUE(test::OpenTestVolume(platform, image.Build(), volume));
    // Opening refuses a record 0 without $DATA runs; the scan must refuse a
    // volume without them all the same, so they are taken away after it.
    if (withBitmap) volume.mftData = {};
    CapturedStream out;
    CapturedStream err;
    EXPECT_EQ(ScanMft(volume, ScanMode::kList, 'X', out.get(), err.get()), std::nullopt);
    EXPECT_EQ(out.Text(), "");
    EXPECT_EQ(err.Text(), "");
  }
}

TEST(ScanMft, RecordsBeyondAShortBitmapAreNotInUse) {
  FakePlatform platform;
  test::MftImageBuilder image = MakeVolume();
  image.bitmapOverride = test::Bytes{std::byte{0x21}};  // records 0 and 5 only
  ScanOutput result = Scan(platform, image, ScanMode::kList);
  EXPECT_EQ(result.out, std::string(kHeader) +
                            "       0    32768       X:\\$MFT\n"
                            "       5        0 <DIR> X:\\.\n" +
                            kRule);
  EXPECT_EQ(result.err, Progress(32) + "complete. total 2 files.\n");
}

TEST(ScanMft, APartialRecordAtTheEndIsNotExamined) {
  FakePlatform platform;
  test::MftImageBuilder image = MakeVolume();
  image.Record(31).Flags(kFile).FileName(FileReference(5), u"last");
  image.mftDataSize = 32 * 1024 - 1;
  ScanOutput result = Scan(platform, image, ScanMode::kList);
  EXPECT_EQ(result.out.find("last"), std::string::npos);
  EXPECT_EQ(result.err, Progress(31) + "complete. total 9 files.\n");
}

TEST(ScanMft, ACountBeyondTheVolumeIsCutToWhatItCanHold) {
  FakePlatform platform;
  test::MftImageBuilder image = MakeVolume();
  image.mftDataSize = 0xFFFFFC00;  // four million records claimed
  image.totalSectors = 256;        // a 128 KiB volume holds 128 records of 1 KiB
  platform.deviceLengths["\\\\.\\X:"] = std::nullopt;  // only the boot sector tells the size
  ScanOutput result = Scan(platform, image, ScanMode::kList);
  EXPECT_EQ(result.err, Progress(128) + "complete. total 9 files.\n");
}

// A record's base reference is only a claim: the record is passed over as an
// extension only when its base record's $ATTRIBUTE_LIST names it.
TEST(ScanMft, ListsARecordAsAnExtensionOnlyWhenItsBaseConfirmsIt) {
  FakePlatform platform;
  test::MftImageBuilder image;
  image.recordCount = 64;
  image.Record(5).Flags(kDirectory).FileName(FileReference(5, 5), u".");
  image.Record(20)
      .Flags(kFile)
      .FileName(FileReference(5), u"base.txt", 3)
      .Resident(0x20, test::AttributeListValue({{0x30, 0, FileReference(20)},
                                                {0x80, 0, FileReference(21)}}));
  image.Record(21).Flags(kFile).BaseReference(FileReference(20)).FileName(FileReference(5), u"ext");
  // Claims nothing confirms: a base whose list names others, a base without
  // a list, itself, a base that is not a file record, a base beyond 32 bits.
  image.Record(22).Flags(kFile).BaseReference(FileReference(20)).FileName(FileReference(5), u"a");
  image.Record(23).Flags(kFile).BaseReference(FileReference(5)).FileName(FileReference(5), u"b");
  image.Record(24).Flags(kFile).BaseReference(FileReference(24)).FileName(FileReference(5), u"c");
  image.Record(25).Flags(kFile).BaseReference(FileReference(60)).FileName(FileReference(5), u"d");
  image.Record(26).Flags(kFile).BaseReference(FileReference(0x100000014ull)).FileName(
      FileReference(5), u"e");
  // Many claims on one base cost one read of it.
  for (std::uint32_t n = 30; n < 50; ++n) {
    image.Record(n).Flags(kFile).BaseReference(FileReference(5)).FileName(FileReference(5), u"m");
  }
  ScanOutput result = Scan(platform, image, ScanMode::kList);
  std::string many;
  for (std::uint32_t n = 30; n < 50; ++n) many += "      " + std::to_string(n) + "        0       X:\\m\n";
  EXPECT_EQ(result.out, std::string(kHeader) +
                            "       0    65536       X:\\$MFT\n"
                            "       5        0 <DIR> X:\\.\n"
                            "      20        3       X:\\base.txt\n"
                            "      22        0       X:\\a\n"
                            "      23        0       X:\\b\n"
                            "      24        0       X:\\c\n"
                            "      25        0       X:\\d\n"
                            "      26        0       X:\\e\n" +
                            many + kRule);
  // One chunked read of the $MFT; then root 5 for the paths, and the bases
  // 20 (for 21 and 22), 5, 60 and 5 again after it: the twenty claims on 5
  // in a row cost one read.
  EXPECT_EQ(platform.reads.size(), 1u + 5u);
}

TEST(ScanMft, AnMftOf4GiBOrMoreIsCountedFromItsWholeSize) {
  FakePlatform platform;
  test::MftImageBuilder image;
  image.recordSize = 65536;
  image.recordCount = 8;
  image.Record(5).Flags(kDirectory).FileName(FileReference(5, 5), u".");
  image.mftDataSize = 0x100000000ull + 8 * 65536;  // the low 32 bits alone would say 8 records
  image.totalSectors = 0x1000000;                  // an 8 GiB volume
  platform.deviceLengths["\\\\.\\X:"] = std::nullopt;  // only the boot sector tells the size
  ScanOutput result = Scan(platform, image, ScanMode::kList);
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\r'), 65536 + 8);
  EXPECT_EQ(result.total, 2u);
}

TEST(ScanMft, ListsANameFromAnExtensionRecordUnderTheBaseRecord) {
  FakePlatform platform;
  test::MftImageBuilder image;
  image.recordCount = 48;
  image.Record(5).Flags(kDirectory).FileName(FileReference(5, 5), u".");
  // File 40 and directory 42 keep their $FILE_NAME in extension records 41
  // and 43, as ntfs-3g lays them out; 44 lies in directory 42.
  for (std::uint32_t base : {40u, 42u}) {
    image.Record(base)
        .Flags(base == 40 ? kFile : kDirectory)
        .Resident(0x20, test::AttributeListValue({{0x30, 0, FileReference(base + 1)}}));
    image.Record(base + 1).Flags(kFile).BaseReference(FileReference(base));
  }
  image.Record(41).FileName(FileReference(5), u"moved.txt", 42);
  image.Record(43).FileName(FileReference(5), u"movedDir");
  image.Record(44).Flags(kFile).FileName(FileReference(42), u"child", 7);
  // A claim that 44's list does not confirm: 45 is its own record.
  image.Record(45).Flags(kFile).BaseReference(FileReference(44)).FileName(FileReference(5), u"ext");
  ScanOutput result = Scan(platform, image, ScanMode::kList);
  EXPECT_EQ(result.out, std::string(kHeader) +
                            "       0    49152       X:\\$MFT\n"
                            "       5        0 <DIR> X:\\.\n"
                            "      40       42       X:\\moved.txt\n"
                            "      42        0 <DIR> X:\\movedDir\n"
                            "      44        7       X:\\movedDir\\child\n"
                            "      45        0       X:\\ext\n" +
                            kRule);
  EXPECT_EQ(result.err, Progress(48) + "complete. total 6 files.\n");
}

TEST(ScanMft, ReadsAnMftBitmapKeptInAnExtensionRecord) {
  FakePlatform platform;
  test::MftImageBuilder image;
  const test::Bytes bitmap{std::byte{0x23}, std::byte{0}, std::byte{0x10}, std::byte{0},
                           std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0}};  // 0, 1, 5, 20
  const std::uint64_t clusters = image.MftClusters();
  image.Record(0)
      .FileName(FileReference(5, 5), u"$MFT", 32768)
      .Resident(0x20, test::AttributeListValue({{0x30, 0, FileReference(0)},
                                                {0x80, 0, FileReference(0)},
                                                {0xB0, 0, FileReference(1)}}))
      .NonResident({.runs = test::EncodeRuns(image.MftRuns()),
                    .lastVcn = clusters - 1,
                    .allocatedSize = clusters * image.ClusterSize(),
                    .dataSize = 32768});
  image.Record(1).BaseReference(FileReference(0)).Resident(0xB0, bitmap);
  image.Record(5).Flags(kDirectory).FileName(FileReference(5, 5), u".");
  image.Record(20).Flags(kFile).FileName(FileReference(5), u"a.txt", 1);
  ScanOutput result = Scan(platform, image, ScanMode::kList);
  EXPECT_EQ(result.out, std::string(kHeader) +
                            "       0    32768       X:\\$MFT\n"
                            "       5        0 <DIR> X:\\.\n"
                            "      20        1       X:\\a.txt\n" +
                            kRule);
}

TEST(ScanMft, ADeviceShorterThanItsBootSectorClaimsCutsTheCount) {
  FakePlatform platform;
  test::MftImageBuilder image = MakeVolume();
  image.mftDataSize = 0xFFFFFC00;
  image.totalSectors = 1ull << 40;  // a boot sector that claims half a petabyte
  platform.deviceLengths["\\\\.\\X:"] = 40 * 1024;  // what the device says it holds: 40 records
  VolumeContext volume;
  ASSERT_TRUE(test::OpenTestVolume(platform, image.Build(), volume));
  CapturedStream out;
  CapturedStream err;
  EXPECT_EQ(ScanMft(volume, ScanMode::kList, 'X', out.get(), err.get()), 9u);
  EXPECT_EQ(err.Text(), Progress(40) + "complete. total 9 files.\n");
}

// Names with control characters: each is printed as '^' on one line, while
// the directory view is asked about the name as stored.
TEST(ScanMft, PrintsEachRecordOnOneLineWhateverItsNameHolds) {
  test::MftImageBuilder image;
  image.Record(5).Flags(kDirectory).FileName(FileReference(5, 5), u".");
  image.Record(16).Flags(kDirectory).FileName(FileReference(5), u"d\u009B31m");
  image.Record(17).Flags(kFile).FileName(FileReference(16), u"a\n      70 9 X:\\innocent.txt", 1);
  image.Record(18).Flags(kFile).FileName(FileReference(16), u"b\r\u001B[2K\u007F", 2);
  image.Record(19).Flags(kFile).FileName(FileReference(5), std::u16string(u"cut\0here", 8), 3);
  image.Record(20).Flags(kFile).FileName(FileReference(5), u"tab\there", 4);
  const std::string lines =
      "      17        1       X:\\d^31m\\a^      70 9 X:\\innocent.txt\n"
      "      18        2       X:\\d^31m\\b^^[2K^\n"
      "      19        3       X:\\cut\n";
  FakePlatform platform;
  ScanOutput listed = Scan(platform, image, ScanMode::kList);
  EXPECT_EQ(listed.out, std::string(kHeader) +
                            "       0    32768       X:\\$MFT\n"
                            "       5        0 <DIR> X:\\.\n"
                            "      16        0 <DIR> X:\\d^31m\n" +
                            lines + "      20        4       X:\\tab^here\n" + kRule);

  // The listing shows the directory's and the tab's names as stored: they
  // are not hidden, and the files below the directory are searched in it.
  FakePlatform dig;
  dig.directories["X:"] = {{"d\x9B" "31m", ""}, {"tab\there", ""}};
  dig.directories["X:\\d\x9B" "31m"] = {};
  ScanOutput hidden = Scan(dig, image, ScanMode::kDig);
  EXPECT_EQ(hidden.out, kHeader + lines + kRule);
  EXPECT_EQ(hidden.err.substr(hidden.err.rfind('\r') + 1),
            "complete. total 7 files, 3 hidden files.\n");
  EXPECT_NE(std::find(dig.searches.begin(), dig.searches.end(), "X:\\d\x9B" "31m\\*"),
            dig.searches.end());
}

TEST(TestBit, ReadsLeastSignificantBitFirstAndClearBeyondTheEnd) {
  const std::byte bitmap[] = {std::byte{0x01}, std::byte{0x80}};
  EXPECT_TRUE(TestBit(bitmap, 0));
  EXPECT_FALSE(TestBit(bitmap, 1));
  EXPECT_FALSE(TestBit(bitmap, 8));
  EXPECT_TRUE(TestBit(bitmap, 15));
  EXPECT_FALSE(TestBit(bitmap, 16));
  EXPECT_FALSE(TestBit(bitmap, 0xFFFFFFFF));
}

}  // namespace
}  // namespace sondrel

#include "cli/RunDriver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/FakePlatform.h"
#include "support/MftImageBuilder.h"

namespace sondrel {
namespace {

const char kUsage[] =
    "Sondrel 0.2 - Dig out all files what are hidden by rootkit in NTFS partition\n"
    "\nusage: Sondrel.exe <options>\n"
    "\n<options>:\n"
    "    dig <driver> : dig out all hidden files from <driver>\n"
    "    list <driver> : list all files of <driver>\n"
    "    dump <driver> <index> <filename> : dump the file content to <filename>\n"
    "\nexample:\n"
    "    Sondrel.exe -dig c\n"
    "    Sondrel.exe -list c\n"
    "    Sondrel.exe -dump c 10224 dump.dat\n";

std::string ReadBack(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
  std::fclose(file);
  return text;
}

struct RunOutcome {
  int status;
  std::string out;
  std::string err;
};

RunOutcome RunWith(Platform& platform, std::vector<std::string> args) {
  args.insert(args.begin(), "Sondrel.exe");
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  int status = RunSondrel(platform, args, out, err);
  return {status, ReadBack(out), ReadBack(err)};
}

TEST(RunSondrel, PrintsUsageAndOpensNothingOnBadCommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{}, kUsage},
      {{"-dig"}, kUsage},
      {{"-dump", "c", "5"}, kUsage},
      {{"-dig2", "c"}, std::string("Unknown parameter \"-dig2\"\n\n") + kUsage},
      {{"-dig", "c", "extra"}, std::string("Unknown parameter \"extra\"\n\n") + kUsage},
      {{"-dig", "-list", "c"}, std::string("Unknown parameter \"c\"\n\n") + kUsage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    FakePlatform platform;
    RunOutcome run = RunWith(platform, c.args);
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(platform.opens.empty());
  }
}

TEST(RunSondrel, OpensTheTypedDriveReadOnlyWithSharing) {
  FakePlatform platform;
  RunOutcome run = RunWith(platform, {"-list", "c", "-dig", "x:\\"});
  ASSERT_EQ(platform.opens.size(), 1u);
  EXPECT_EQ(platform.opens[0].path, "\\\\.\\x:");
  EXPECT_EQ(platform.opens[0].desiredAccess, kGenericRead);
  EXPECT_EQ(platform.opens[0].shareMode, kFileShareRead | kFileShareWrite);
  EXPECT_EQ(platform.opens[0].creationDisposition, kOpenExisting);
}

TEST(RunSondrel, ReportsAVolumeThatCannotBeOpened) {
  FakePlatform platform;
  RunOutcome run = RunWith(platform, {"-dig", "q"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "sondrel: cannot open volume \\\\.\\q: (The system cannot find the file specified.)\n");
}

TEST(RunSondrel, AdvisesElevationWhenAccessIsDenied) {
  struct DeniedPlatform : FakePlatform {
    std::uint32_t GetLastError() override { return kErrorAccessDenied; }
  } platform;
  platform.lockedPaths.push_back("\\\\.\\c:");
  RunOutcome run = RunWith(platform, {"-list", "c"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("sondrel: cannot open volume \\\\.\\c: ("), std::string::npos) << run.err;
#ifdef _WIN32
  EXPECT_NE(run.err.find("as administrator"), std::string::npos) << run.err;
#else
  EXPECT_NE(run.err.find("as root"), std::string::npos) << run.err;
#endif
}

TEST(RunSondrel, RefusesAShortBootSectorAndClosesTheVolume) {
  FakePlatform platform;
  platform.files["\\\\.\\e:"] = std::vector<std::byte>(100);
  RunOutcome run = RunWith(platform, {"-dump", "e", "0", "out.bin"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "sondrel: cannot read the boot sector of \\\\.\\e: (only 100 of 512 bytes)\n");
  ASSERT_EQ(platform.reads.size(), 1u);
  EXPECT_FALSE(platform.reads[0].positioned);
  EXPECT_EQ(platform.reads[0].length, 512u);
  EXPECT_EQ(platform.openHandles, 0);
  EXPECT_EQ(platform.files.count("out.bin"), 0u);
}

TEST(RunSondrel, RefusesABootSectorWithoutUsableGeometry) {
  FakePlatform platform;
  platform.files["\\\\.\\E:"] = std::vector<std::byte>(4096);  // all zero: no sector size
  RunOutcome run = RunWith(platform, {"-list", "E"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("sondrel: no usable NTFS geometry on \\\\.\\E: (", 0), 0u) << run.err;
  EXPECT_EQ(run.err.back(), '\n');
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1);
  EXPECT_EQ(platform.openHandles, 0);
}

TEST(RunSondrel, RefusesAnMftWhoseRecordZeroCannotBeUsed) {
  struct Case {
    bool clearSignature;
    bool hasBitmap;
    const char* reason;
  };
  const Case cases[] = {
      {true, true, "it cannot be read or has no FILE signature"},
      {false, false, "it has no unnamed $BITMAP attribute"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    test::MftImageBuilder builder;
    builder.mftHasBitmap = c.hasBitmap;
    test::Bytes image = builder.Build();
    if (c.clearSignature) {
      auto record0 = image.begin() + static_cast<std::ptrdiff_t>(builder.mftStartLcn * builder.ClusterSize());
      std::fill_n(record0, 4, std::byte{0});
    }
    FakePlatform platform;
    platform.files["\\\\.\\x:"] = image;
    RunOutcome run = RunWith(platform, {"-dig", "x"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string("sondrel: cannot use $MFT record 0 of \\\\.\\x: (") +
                           c.reason + ")\n");
    EXPECT_EQ(platform.openHandles, 0);
  }
}

TEST(RunSondrel, ListsAUsableVolumeAndEndsWithZero) {
  test::MftImageBuilder builder;
  FakePlatform platform;
  platform.files["\\\\.\\x:"] = builder.Build();
  RunOutcome run = RunWith(platform, {"-LIST", "x"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("   index     size       filename\n", 0), 0u) << run.out;
  EXPECT_NE(run.err.find("complete. total "), std::string::npos) << run.err;
  EXPECT_EQ(platform.openHandles, 0);
}

// A volume whose record 16 holds "hello" resident, record 17 two clusters
// that lie past the end of the image, record 18 no $DATA.
const test::Bytes kHello = {std::byte{'h'}, std::byte{'e'}, std::byte{'l'}, std::byte{'l'},
                           std::byte{'o'}};

test::Bytes DumpVolume() {
  test::MftImageBuilder builder;
  builder.Record(16).FileName(test::FileReference(5), u"hello.txt", 5).Resident(0x80, kHello);
  builder.Record(17)
      .FileName(test::FileReference(5), u"lost.bin", 8000)
      .NonResident({.runs = test::EncodeRuns({{2, 100000}}),
                    .lastVcn = 1,
                    .allocatedSize = 2 * 4096,
                    .dataSize = 8000});
  builder.Record(18).FileName(test::FileReference(5), u"empty", 0);
  return builder.Build();
}

TEST(RunSondrel, DumpsOrReportsWhyTheDumpFileIsMissingOrIncomplete) {
  struct FailingWrites : FakePlatform {
    bool failWrites = false;
    bool WriteFile(FileHandle handle, std::span<const std::byte> buffer,
                   std::uint32_t* bytesWritten) override {
      if (!failWrites) return FakePlatform::WriteFile(handle, buffer, bytesWritten);
      if (bytesWritten != nullptr) *bytesWritten = 0;
      return false;
    }
    std::string GetLastErrorMessage() override {
      return failWrites ? "There is not enough space on the disk." : FakePlatform::GetLastErrorMessage();
    }
  };
  struct Case {
    const char* index;
    bool locked;
    bool failWrites;
    int status;
    const char* err;
    bool fileMade;
  };
  const Case cases[] = {
      {"16", false, false, 0, "", true},
      {"30", false, false, 0, "", false},  // no "FILE" record: passed over silently
      {"18", false, false, 0, "", false},  // no $DATA: passed over silently
      {"16", true, false, 1,
       "sondrel: cannot create out.bin (The process cannot access the file because it is being "
       "used by another process.)\n",
       false},
      {"16", false, true, 1,
       "sondrel: cannot write out.bin (There is not enough space on the disk.)\n", true},
      {"17", false, false, 1,
       "sondrel: incomplete dump in out.bin (part of the data could not be read and is "
       "zero-filled or missing)\n",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("record ") + c.index);
    FailingWrites platform;
    platform.failWrites = c.failWrites;
    platform.files["\\\\.\\x:"] = DumpVolume();
    if (c.locked) platform.lockedPaths.push_back("out.bin");
    RunOutcome run = RunWith(platform, {"-dump", "x", c.index, "out.bin"});
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(platform.files.count("out.bin"), c.fileMade ? 1u : 0u);
    EXPECT_EQ(platform.openHandles, 0);
  }
  FakePlatform platform;
  platform.files["\\\\.\\x:"] = DumpVolume();
  ASSERT_EQ(RunWith(platform, {"-dump", "x", "16", "out.bin"}).status, 0);
  EXPECT_EQ(platform.files["out.bin"], kHello);
}

// Record 0 loads, but without its unnamed $DATA no record can be found, and
// without its $BITMAP no scan can tell records in use: one line, exit 1,
// never an empty listing that looks like success. A dump needs no $BITMAP.
TEST(RunSondrel, RefusesAnMftRecordWithoutItsDataOrBitmap) {
  struct Case {
    bool hasData;
    bool hasBitmap;
    std::vector<std::string> args;
    int status;
    const char* reason;
  } cases[] = {
      {false, true, {"-list", "X"}, 1, "it has no non-resident unnamed $DATA attribute"},
      {false, true, {"-dig", "X"}, 1, "it has no non-resident unnamed $DATA attribute"},
      {false, true, {"-dump", "X", "5", "out.bin"}, 1,
       "it has no non-resident unnamed $DATA attribute"},
      {true, false, {"-list", "X"}, 1, "it has no unnamed $BITMAP attribute"},
      {true, false, {"-dig", "X"}, 1, "it has no unnamed $BITMAP attribute"},
      {true, false, {"-dump", "X", "5", "out.bin"}, 0, nullptr},
  };
  for (const Case& c : cases) {
    test::MftImageBuilder image;
    image.mftHasData = c.hasData;
    image.mftHasBitmap = c.hasBitmap;
    image.Record(5).Flags(0x0003).FileName(test::FileReference(5, 5), u".");
    image.Record(5).Resident(0x80, test::Bytes(3, std::byte{'x'}));
    FakePlatform platform;
    platform.files["\\\\.\\X:"] = image.Build();
    RunOutcome run = RunWith(platform, c.args);
    EXPECT_EQ(run.status, c.status) << c.args[0] << " " << run.err;
    EXPECT_EQ(run.out, "") << c.args[0];
    EXPECT_EQ(platform.openHandles, 0);
    if (c.reason == nullptr) {
      EXPECT_EQ(run.err, "");
    } else {
      EXPECT_EQ(run.err, std::string("sondrel: cannot use $MFT record 0 of \\\\.\\X: (") +
                             c.reason + ")\n");
      EXPECT_EQ(platform.files.count("out.bin"), 0u);
    }
  }
}

}  // namespace
}  // namespace sondrel

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
      {false, false, "it has no unnamed $DATA or no $BITMAP"},
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

}  // namespace
}  // namespace sondrel

#include "platform/PosixPlatform.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace sondrel {
namespace {

namespace fs = std::filesystem;

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A dosdevices folder with drive x: "x::" an image file, "x:" a directory tree.
class PosixPlatformTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "sondrel-posix-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "dosdevices");
    fs::create_directories(root_ / "tree" / "Sub");
    for (int i = 0; i < 3 * 4096; ++i) image_.push_back(static_cast<char>(i * 7 + i / 4096));
    WriteText(root_ / "volume.img", image_);
    fs::create_symlink(root_ / "volume.img", root_ / "dosdevices" / "x::");
    fs::create_directory_symlink(root_ / "tree", root_ / "dosdevices" / "x:");
    WriteText(root_ / "tree" / "Mixed Case.txt", "m");
    WriteText(root_ / "tree" / "a.txt", "lower");
    WriteText(root_ / "tree" / "A.TXT", "upper");
    WriteText(root_ / "tree" / "Sub" / "b.bin", "12345");
  }
  void TearDown() override { fs::remove_all(root_); }

  std::vector<std::string> List(const std::string& pattern) {
    std::vector<std::string> names;
    FindData data;
    FindHandle h = platform_.FindFirstFileA(pattern, &data);
    if (h == kInvalidHandleValue) return names;
    do names.push_back(data.cFileName); while (platform_.FindNextFileA(h, &data));
    EXPECT_TRUE(platform_.FindClose(h));
    return names;
  }

  std::string Find(const std::string& path) {
    FindData data;
    FindHandle h = platform_.FindFirstFileA(path, &data);
    if (h == kInvalidHandleValue) return "<none>";
    EXPECT_FALSE(platform_.FindNextFileA(h, &data));
    platform_.FindClose(h);
    return data.cFileName;
  }

  fs::path root_;
  std::string image_;
  PosixPlatform platform_{(fs::temp_directory_path() / "unset").string()};
};

TEST_F(PosixPlatformTest, ReadsTheRawVolumeReadOnlyAtAnyOffset) {
  PosixPlatform platform((root_ / "dosdevices").string());
  // The drive may be typed in either case; the entry is lower case.
  FileHandle h = platform.CreateFileA("\\\\.\\X:", kGenericRead | kGenericWrite,
                                      kFileShareRead | kFileShareWrite, kOpenExisting);
  ASSERT_NE(h, kInvalidHandleValue) << platform.GetLastErrorMessage();
  std::vector<std::byte> buffer(512);
  std::uint32_t got = 0;
  ASSERT_TRUE(platform.ReadFile(h, buffer, &got, nullptr));
  EXPECT_EQ(got, 512u);
  EXPECT_EQ(std::memcmp(buffer.data(), image_.data(), 512), 0);

  std::vector<std::byte> large(4096);
  Overlapped at{8192 + 100, 0};
  ASSERT_TRUE(platform.ReadFile(h, large, &got, &at));
  EXPECT_EQ(got, 4096u - 100u);  // short at the end of the image
  EXPECT_EQ(std::memcmp(large.data(), image_.data() + 8192 + 100, got), 0);

  Overlapped past{0, 1};  // 4 GiB: beyond the image
  EXPECT_FALSE(platform.ReadFile(h, large, &got, &past));
  EXPECT_EQ(got, 0u);

  EXPECT_EQ(platform.GetLengthInfo(h), std::optional<std::uint64_t>(image_.size()));

  // Opened read-only whatever was asked: the image cannot be changed.
  std::uint32_t put = 0;
  EXPECT_FALSE(platform.WriteFile(h, buffer, &put));
  EXPECT_TRUE(platform.CloseHandle(h));
  EXPECT_EQ(ReadText(root_ / "volume.img"), image_);
}

TEST_F(PosixPlatformTest, ReportsAnUnknownDriveWithTheSystemsText) {
  PosixPlatform platform((root_ / "dosdevices").string());
  EXPECT_EQ(platform.CreateFileA("\\\\.\\q:", kGenericRead, kFileShareRead, kOpenExisting),
            kInvalidHandleValue);
  EXPECT_EQ(platform.GetLastErrorMessage(), "No such file or directory");
  EXPECT_EQ(platform.GetLastError(), 2u);
  EXPECT_EQ(platform.CreateFileA(std::string("\\\\.\\\0:", 6), kGenericRead, kFileShareRead,
                                 kOpenExisting),
            kInvalidHandleValue);
}

TEST_F(PosixPlatformTest, ListsDirectoriesWithDotEntriesExceptAtADriveRoot) {
  platform_ = PosixPlatform((root_ / "dosdevices").string());
  std::vector<std::string> rootNames = List("X:\\*");
  std::sort(rootNames.begin(), rootNames.end());
  EXPECT_EQ(rootNames, (std::vector<std::string>{"A.TXT", "Mixed Case.txt", "Sub", "a.txt"}));
  EXPECT_EQ(List("x:\\Sub\\*"), (std::vector<std::string>{".", "..", "b.bin"}));
  EXPECT_TRUE(List("X:\\Nowhere\\*").empty());
  EXPECT_TRUE(List("Y:\\*").empty());
}

TEST_F(PosixPlatformTest, FindsOneEntryExactlyFirstThenIgnoringAsciiCase) {
  platform_ = PosixPlatform((root_ / "dosdevices").string());
  EXPECT_EQ(Find("X:\\a.txt"), "a.txt");
  EXPECT_EQ(Find("X:\\A.TXT"), "A.TXT");
  std::string either = Find("X:\\A.txt");
  EXPECT_TRUE(either == "a.txt" || either == "A.TXT") << either;
  EXPECT_EQ(Find("x:\\MIXED CASE.TXT"), "Mixed Case.txt");
  EXPECT_EQ(Find("X:\\Sub\\B.BIN"), "b.bin");
  EXPECT_EQ(Find("X:\\Sub\\c.bin"), "<none>");
  EXPECT_EQ(Find("X:\\Sub\\"), "<none>");
}

TEST_F(PosixPlatformTest, CreatesOrTruncatesOutputFilesAndMeasuresThem) {
  PosixPlatform platform((root_ / "dosdevices").string());
  std::string out = (root_ / "out.bin").string();
  for (const std::string& text : {std::string("hello world"), std::string("hi")}) {
    FileHandle h = platform.CreateFileA(out, kGenericWrite, 0, kCreateAlways);
    ASSERT_NE(h, kInvalidHandleValue) << platform.GetLastErrorMessage();
    std::uint32_t put = 0;
    EXPECT_TRUE(platform.WriteFile(
        h, std::as_bytes(std::span<const char>(text.data(), text.size())), &put));
    EXPECT_EQ(put, text.size());
    EXPECT_TRUE(platform.CloseHandle(h));
    EXPECT_EQ(ReadText(out), text);
  }

  FileHandle h = platform.CreateFileA("X:\\Sub\\b.bin", kGenericRead, kFileShareRead, kOpenExisting);
  ASSERT_NE(h, kInvalidHandleValue) << platform.GetLastErrorMessage();
  EXPECT_EQ(platform.GetFileSize(h), 5u);
  platform.CloseHandle(h);

  // Windows will not open a directory as a file.
  EXPECT_EQ(platform.CreateFileA("X:\\Sub", kGenericRead, kFileShareRead, kOpenExisting),
            kInvalidHandleValue);
  EXPECT_EQ(platform.GetLastErrorMessage(), "Is a directory");
  EXPECT_EQ(platform.CreateFileA((root_ / "no" / "such" / "dir").string(), kGenericWrite, 0,
                                 kCreateAlways),
            kInvalidHandleValue);
  EXPECT_FALSE(platform.GetLastErrorMessage().empty());
}

TEST_F(PosixPlatformTest, ReadsAFileOpenedForReadingOnlyAtItsFirstRead) {
  PosixPlatform platform((root_ / "dosdevices").string());
  FileHandle h =
      platform.CreateFileA("X:\\Sub\\b.bin", kGenericRead, kFileShareRead, kOpenExisting);
  ASSERT_NE(h, kInvalidHandleValue) << platform.GetLastErrorMessage();
  EXPECT_EQ(platform.GetFileSize(h), 5u);
  std::vector<std::byte> buffer(8);
  std::uint32_t got = 0;
  ASSERT_TRUE(platform.ReadFile(h, buffer, &got, nullptr));
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::memcmp(buffer.data(), "12345", 5), 0);
  Overlapped at{2, 0};
  ASSERT_TRUE(platform.ReadFile(h, buffer, &got, &at));
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(platform.GetFileSize(h), 5u);
  std::uint32_t put = 0;
  EXPECT_FALSE(platform.WriteFile(h, buffer, &put));  // opened for reading only
  EXPECT_TRUE(platform.CloseHandle(h));
  EXPECT_FALSE(platform.CloseHandle(h));

  EXPECT_EQ(platform.CreateFileA("X:\\Sub\\none.bin", kGenericRead, kFileShareRead, kOpenExisting),
            kInvalidHandleValue);
  EXPECT_EQ(platform.GetLastError(), 2u);
  EXPECT_EQ(platform.GetLastErrorMessage(), "No such file or directory");
}

TEST_F(PosixPlatformTest, ADriveWithoutAViewFailsLikeAMissingPath) {
  fs::remove(root_ / "dosdevices" / "x:");
  PosixPlatform platform((root_ / "dosdevices").string());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(platform.CreateFileA("X:\\a.txt", kGenericRead, kFileShareRead, kOpenExisting),
              kInvalidHandleValue);
    EXPECT_EQ(platform.GetLastError(), 2u);
    FindData data;
    EXPECT_EQ(platform.FindFirstFileA("X:\\a.txt", &data), kInvalidHandleValue);
    EXPECT_EQ(platform.FindFirstFileA("X:\\*", &data), kInvalidHandleValue);
    EXPECT_EQ(platform.GetLastErrorMessage(), "No such file or directory");
  }
  // The raw volume does not depend on the view.
  FileHandle h = platform.CreateFileA("\\\\.\\X:", kGenericRead, kFileShareRead, kOpenExisting);
  EXPECT_NE(h, kInvalidHandleValue);
  platform.CloseHandle(h);
}

TEST_F(PosixPlatformTest, FindsEntriesAlikeAtBothInfoLevelsAndAfterTheFirstSearch) {
  platform_ = PosixPlatform((root_ / "dosdevices").string());
  for (FindexInfoLevels level : {FindExInfoBasic, FindExInfoStandard, FindExInfoBasic}) {
    for (const char* path : {"X:\\a.txt", "x:\\MIXED CASE.TXT", "X:\\Sub\\B.BIN", "X:\\Sub"}) {
      SCOPED_TRACE(path);
      FindData basic;
      FindHandle h = platform_.FindFirstFileExA(path, level, &basic);
      ASSERT_NE(h, kInvalidHandleValue);
      platform_.FindClose(h);
      EXPECT_EQ(basic.cFileName, Find(path));
      EXPECT_EQ(basic.cAlternateFileName, "");  // no 8.3 names outside NTFS
    }
    FindData data;
    EXPECT_EQ(platform_.FindFirstFileExA("X:\\Sub\\c.bin", level, &data), kInvalidHandleValue);
    EXPECT_EQ(platform_.FindFirstFileExA("X:\\Nowhere\\c.bin", level, &data), kInvalidHandleValue);
    EXPECT_EQ(platform_.GetLastError(), 2u);
  }
  std::vector<std::string> names;
  FindData data;
  FindHandle h = platform_.FindFirstFileExA("X:\\Sub\\*", FindExInfoBasic, &data);
  ASSERT_NE(h, kInvalidHandleValue);
  do names.push_back(data.cFileName); while (platform_.FindNextFileA(h, &data));
  platform_.FindClose(h);
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "b.bin"}));
}

TEST(PosixPlatform, ConvertsUtf16ToUtf8WithNForUnpairedSurrogates) {
  PosixPlatform platform("/nonexistent");
  EXPECT_EQ(platform.WideCharToMultiByte(u"abc"), "abc");
  EXPECT_EQ(platform.WideCharToMultiByte(u"\u00e9\u20ac"), "\xc3\xa9\xe2\x82\xac");
  EXPECT_EQ(platform.WideCharToMultiByte(u"\U0001F600"), "\xf0\x9f\x98\x80");
  const char16_t unpaired[] = {u'a', 0xD800, u'b', 0xDC00, 0xDBFF};
  EXPECT_EQ(platform.WideCharToMultiByte(std::u16string_view(unpaired, 5)), "aNbNN");
}

}  // namespace
}  // namespace sondrel

#include "platform/PosixPlatform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
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

  std::vector<std::u16string> List(const WidePath& directory,
                                   FindexInfoLevels level = FindExInfoBasic) {
    std::vector<std::u16string> names;
    FindDataW data;
    FindHandle h = platform_.FindFirstFileExW(directory, level, &data);
    if (h == kInvalidHandleValue) return names;
    do names.push_back(data.cFileName);
    while (platform_.FindNextFileW(h, &data));
    EXPECT_TRUE(platform_.FindClose(h));
    return names;
  }

  std::u16string Find(const WidePath& path) {
    FindDataW data;
    FindHandle h = platform_.FindFirstFileW(path, &data);
    if (h == kInvalidHandleValue) return u"<none>";
    EXPECT_FALSE(platform_.FindNextFileW(h, &data));
    platform_.FindClose(h);
    return data.cFileName;
  }

  // The size CreateFileW and GetFileSize give, or nullopt when it will not open.
  std::optional<std::uint32_t> SizeOf(const WidePath& path) {
    FileHandle h = platform_.CreateFileW(path, kGenericRead, kFileShareRead, kOpenExisting);
    if (h == kInvalidHandleValue) return std::nullopt;
    std::uint32_t size = platform_.GetFileSize(h);
    EXPECT_TRUE(platform_.CloseHandle(h));
    return size;
  }

  fs::path root_;
  std::string image_;
  PosixPlatform platform_{(fs::temp_directory_path() / "unset").string()};
};

WidePath X(std::vector<std::u16string> components = {}) {
  return WidePath{'X', std::move(components)};
}

std::vector<std::u16string> Sorted(std::vector<std::u16string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

// Removes a nest of folders too deep for a path, bottom up through descriptors.
void RemoveNest(const fs::path& top, const std::vector<std::string>& names, const char* file) {
  std::vector<int> folders{::open(top.c_str(), O_PATH | O_DIRECTORY)};
  for (const std::string& name : names) {
    folders.push_back(::openat(folders.back(), name.c_str(), O_PATH | O_DIRECTORY));
  }
  ::unlinkat(folders.back(), file, 0);
  for (std::size_t i = names.size(); i > 0; --i) {
    ::close(folders[i]);
    ::unlinkat(folders[i - 1], names[i - 1].c_str(), AT_REMOVEDIR);
  }
  ::close(folders[0]);
}

std::size_t OpenDescriptors() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

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
    FindDataW data;
    EXPECT_EQ(platform.FindFirstFileW(X({u"a.txt"}), &data), kInvalidHandleValue);
    EXPECT_EQ(platform.FindFirstFileExW(X(), FindExInfoBasic, &data), kInvalidHandleValue);
    EXPECT_EQ(platform.CreateFileW(X({u"a.txt"}), kGenericRead, kFileShareRead, kOpenExisting),
              kInvalidHandleValue);
    EXPECT_EQ(platform.GetLastErrorMessage(), "No such file or directory");
  }
  // The raw volume does not depend on the view.
  FileHandle h = platform.CreateFileA("\\\\.\\X:", kGenericRead, kFileShareRead, kOpenExisting);
  EXPECT_NE(h, kInvalidHandleValue);
  platform.CloseHandle(h);
}

TEST_F(PosixPlatformTest, ListsFoldersWithDotEntriesExceptAtADriveRoot) {
  platform_ = PosixPlatform((root_ / "dosdevices").string());
  const std::vector<std::u16string> rootNames{u"A.TXT", u"Mixed Case.txt", u"Sub", u"a.txt"};
  EXPECT_EQ(Sorted(List(X())), rootNames);
  EXPECT_EQ(Sorted(List(WidePath{'x', {}}, FindExInfoStandard)), rootNames);
  EXPECT_EQ(List(X({u"Sub"}), FindExInfoStandard),
            (std::vector<std::u16string>{u".", u"..", u"b.bin"}));
  EXPECT_TRUE(List(X({u"Nowhere"})).empty());
  EXPECT_EQ(platform_.GetLastError(), 2u);
  EXPECT_TRUE(List(X({u"Sub", u"b.bin"})).empty());  // a file, not a folder
  EXPECT_EQ(platform_.GetLastError(), 3u);
  EXPECT_TRUE(List(WidePath{'Y', {}}).empty());

  FindDataW data;
  FindHandle h = platform_.FindFirstFileExW(X({u"Sub"}), FindExInfoStandard, &data);
  ASSERT_NE(h, kInvalidHandleValue);
  while (platform_.FindNextFileW(h, &data)) {
  }
  EXPECT_EQ(data.cFileName, u"b.bin");
  EXPECT_EQ(data.cAlternateFileName, u"");  // no 8.3 names outside NTFS
  EXPECT_EQ(data.fileRecord, 0u);           // nor record numbers
  EXPECT_EQ(platform_.GetLastError(), 18u);
  EXPECT_TRUE(platform_.FindClose(h));
  EXPECT_FALSE(platform_.FindNextFileW(h, &data));
}

TEST_F(PosixPlatformTest, FindsOneEntryByItsExactNameOnly) {
  platform_ = PosixPlatform((root_ / "dosdevices").string());
  EXPECT_EQ(Find(X({u"a.txt"})), u"a.txt");
  EXPECT_EQ(Find(X({u"A.TXT"})), u"A.TXT");
  EXPECT_EQ(Find(X({u"Sub"})), u"Sub");
  EXPECT_EQ(Find(X({u"Sub", u"b.bin"})), u"b.bin");
  EXPECT_EQ(Find(X({u"A.txt"})), u"<none>");  // no case folding: the view decides
  EXPECT_EQ(Find(X({u"Sub", u"c.bin"})), u"<none>");
  EXPECT_EQ(platform_.GetLastError(), 2u);
  EXPECT_EQ(Find(X({u"Nowhere", u"c.bin"})), u"<none>");
  EXPECT_EQ(Find(X()), u"<none>");  // a drive's root is no entry
}

TEST_F(PosixPlatformTest, TakesWildcardsAndBackslashesInANameLiterally) {
  platform_ = PosixPlatform((root_ / "dosdevices").string());
  WriteText(root_ / "tree" / "Sub" / "*", "star");
  WriteText(root_ / "tree" / "Sub" / "back\\slash", "back");
  EXPECT_EQ(Sorted(List(X({u"Sub"}))),
            (std::vector<std::u16string>{u"*", u".", u"..", u"b.bin", u"back\\slash"}));
  EXPECT_EQ(Find(X({u"Sub", u"*"})), u"*");
  EXPECT_EQ(Find(X({u"Sub", u"back\\slash"})), u"back\\slash");
  EXPECT_EQ(Find(X({u"Sub", u"?.bin"})), u"<none>");
  EXPECT_EQ(Find(X({u"Sub\\b.bin"})), u"<none>");
  EXPECT_EQ(SizeOf(X({u"Sub", u"*"})), 4u);
  EXPECT_EQ(SizeOf(X({u"Sub", u"back\\slash"})), 4u);
}

TEST_F(PosixPlatformTest, ListsAfreshOnEveryCall) {
  platform_ = PosixPlatform((root_ / "dosdevices").string());
  EXPECT_EQ(List(X({u"Sub"})), (std::vector<std::u16string>{u".", u"..", u"b.bin"}));
  WriteText(root_ / "tree" / "Sub" / "late.bin", "late");
  fs::remove(root_ / "tree" / "Sub" / "b.bin");
  EXPECT_EQ(List(X({u"Sub"})), (std::vector<std::u16string>{u".", u"..", u"late.bin"}));
}

TEST_F(PosixPlatformTest, NamesSurrogatesAsNtfs3gDoesAndSkipsWhatItCannotRead) {
  platform_ = PosixPlatform((root_ / "dosdevices").string());
  const std::string lone = "a\xed\xa0\x80";  // "a" and a lone high surrogate
  WriteText(root_ / "tree" / "Sub" / lone, "lone");
  WriteText(root_ / "tree" / "Sub" / "bad\xff", "no UTF-8");
  const std::u16string wide{u'a', 0xD800};
  EXPECT_EQ(Sorted(List(X({u"Sub"}))), (std::vector<std::u16string>{u".", u"..", wide, u"b.bin"}));
  EXPECT_EQ(Find(X({u"Sub", wide})), wide);
  EXPECT_EQ(SizeOf(X({u"Sub", wide})), 4u);
}

TEST_F(PosixPlatformTest, AComponentTheHostCannotNameNamesNothing) {
  platform_ = PosixPlatform((root_ / "dosdevices").string());
  for (const std::u16string& bad : {std::u16string(), std::u16string(u"."), std::u16string(u".."),
                                    std::u16string(u"Sub/b.bin"), std::u16string(u"Sub\0", 4)}) {
    SCOPED_TRACE(bad.size());
    FindDataW data;
    EXPECT_EQ(platform_.FindFirstFileW(X({bad}), &data), kInvalidHandleValue);
    EXPECT_EQ(platform_.GetLastError(), 2u);
    EXPECT_EQ(platform_.FindFirstFileW(X({u"Sub", bad}), &data), kInvalidHandleValue);
    EXPECT_EQ(platform_.FindFirstFileExW(X({bad}), FindExInfoBasic, &data), kInvalidHandleValue);
    EXPECT_EQ(platform_.GetLastError(), 2u);
    EXPECT_EQ(platform_.FindFirstFileExW(X({u"Sub", bad}), FindExInfoBasic, &data),
              kInvalidHandleValue);
    EXPECT_EQ(platform_.FindFirstFileExW(X({bad, u"Sub"}), FindExInfoBasic, &data),
              kInvalidHandleValue);
    EXPECT_EQ(SizeOf(X({bad, u"b.bin"})), std::nullopt);
    EXPECT_EQ(SizeOf(X({u"Sub", bad})), std::nullopt);
  }
}

TEST_F(PosixPlatformTest, NeverFollowsASymbolicLinkOutOfTheView) {
  platform_ = PosixPlatform((root_ / "dosdevices").string());
  fs::create_directories(root_ / "outside");
  WriteText(root_ / "outside" / "secret.txt", "secret");
  fs::create_directory_symlink(root_ / "outside", root_ / "tree" / "link");
  fs::create_symlink(root_ / "outside" / "secret.txt", root_ / "tree" / "file link");
  FindDataW data;
  EXPECT_EQ(platform_.FindFirstFileExW(X({u"link"}), FindExInfoBasic, &data), kInvalidHandleValue);
  EXPECT_EQ(platform_.GetLastError(), 3u);
  EXPECT_EQ(Find(X({u"link", u"secret.txt"})), u"<none>");
  EXPECT_EQ(SizeOf(X({u"link", u"secret.txt"})), std::nullopt);
  EXPECT_EQ(SizeOf(X({u"file link"})), std::nullopt);
  EXPECT_EQ(
      platform_.CreateFileW(X({u"file link"}), kGenericRead | kGenericWrite, 0, kOpenExisting),
      kInvalidHandleValue);
  EXPECT_EQ(ReadText(root_ / "outside" / "secret.txt"), "secret");
  // The links are entries of the folder all the same.
  EXPECT_EQ(Find(X({u"link"})), u"link");
  EXPECT_EQ(Find(X({u"file link"})), u"file link");
}

// 30 folders of 200-byte names: a path of over 6000 bytes, past PATH_MAX.
TEST_F(PosixPlatformTest, ReachesFoldersPastPathMax) {
  platform_ = PosixPlatform((root_ / "dosdevices").string());
  std::vector<std::u16string> components;
  std::vector<std::string> names;
  int folder = ::open((root_ / "tree").c_str(), O_PATH | O_DIRECTORY);
  ASSERT_GE(folder, 0);
  for (int depth = 0; depth < 30; ++depth) {
    names.push_back(std::string(197, static_cast<char>('a' + depth % 26)) +
                    std::to_string(100 + depth));
    components.emplace_back(names.back().begin(), names.back().end());
    ASSERT_EQ(::mkdirat(folder, names.back().c_str(), 0755), 0);
    int next = ::openat(folder, names.back().c_str(), O_PATH | O_DIRECTORY);
    ::close(folder);
    ASSERT_GE(next, 0);
    folder = next;
  }
  int file = ::openat(folder, "deep.bin", O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(file, 0);
  ASSERT_EQ(::write(file, "123456789", 9), 9);
  ::close(file);
  ::close(folder);

  EXPECT_EQ(List(X(components)), (std::vector<std::u16string>{u".", u"..", u"deep.bin"}));
  std::vector<std::u16string> filePath = components;
  filePath.push_back(u"deep.bin");
  EXPECT_EQ(Find(X(filePath)), u"deep.bin");
  FileHandle h = platform_.CreateFileW(X(filePath), kGenericRead, kFileShareRead, kOpenExisting);
  ASSERT_NE(h, kInvalidHandleValue) << platform_.GetLastErrorMessage();
  EXPECT_EQ(platform_.GetFileSize(h), 9u);
  std::vector<std::byte> buffer(16);
  std::uint32_t got = 0;
  Overlapped at{4, 0};
  ASSERT_TRUE(platform_.ReadFile(h, buffer, &got, &at));
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::memcmp(buffer.data(), "56789", 5), 0);
  EXPECT_TRUE(platform_.CloseHandle(h));
  RemoveNest(root_ / "tree", names, "deep.bin");
}

TEST_F(PosixPlatformTest, OpensForWritingRelativeToTheFolder) {
  platform_ = PosixPlatform((root_ / "dosdevices").string());
  FileHandle h = platform_.CreateFileW(X({u"Sub", u"new.bin"}), kGenericWrite, 0, kCreateAlways);
  ASSERT_NE(h, kInvalidHandleValue) << platform_.GetLastErrorMessage();
  std::uint32_t put = 0;
  EXPECT_TRUE(platform_.WriteFile(h, std::as_bytes(std::span<const char>("abc", 3)), &put));
  EXPECT_TRUE(platform_.CloseHandle(h));
  EXPECT_EQ(ReadText(root_ / "tree" / "Sub" / "new.bin"), "abc");
  EXPECT_EQ(platform_.CreateFileW(X({u"Sub"}), kGenericRead, kFileShareRead, kOpenExisting),
            kInvalidHandleValue);
  EXPECT_EQ(platform_.GetLastErrorMessage(), "Is a directory");
  EXPECT_EQ(SizeOf(X({u"Sub", u"none.bin"})), std::nullopt);
  EXPECT_EQ(platform_.GetLastError(), 2u);
}

TEST_F(PosixPlatformTest, LeavesNoDescriptorOpen) {
  platform_ = PosixPlatform((root_ / "dosdevices").string());
  auto round = [&] {
    List(X({u"Sub"}), FindExInfoStandard);
    List(X());
    List(X({u"Sub", u"Nowhere"}));
    List(X({u"Sub", u"b.bin"}));
    Find(X({u"Sub", u"b.bin"}));
    Find(X({u"Sub", u"c.bin"}));
    Find(X({u"Nowhere", u"c.bin"}));
    FindDataW data;
    FindHandle unclosed = platform_.FindFirstFileExW(X({u"Sub"}), FindExInfoBasic, &data);
    platform_.FindClose(unclosed);
    SizeOf(X({u"Sub", u"b.bin"}));
    SizeOf(X({u"Sub", u"c.bin"}));
    SizeOf(X({u"Sub"}));
    FileHandle h = platform_.CreateFileW(X({u"Sub", u"b.bin"}), kGenericRead, 0, kOpenExisting);
    std::vector<std::byte> buffer(4);
    std::uint32_t got = 0;
    platform_.ReadFile(h, buffer, &got, nullptr);
    platform_.CloseHandle(h);
  };
  // The folders recent lookups reached are kept open for the next ones: a few
  // descriptors, whatever the number of lookups.
  round();
  const std::size_t before = OpenDescriptors();
  for (int i = 0; i < 200; ++i) round();
  EXPECT_EQ(OpenDescriptors(), before);
  {
    // A file left open is closed with the platform.
    PosixPlatform platform((root_ / "dosdevices").string());
    FileHandle h = platform.CreateFileW(X({u"Sub", u"b.bin"}), kGenericRead, 0, kOpenExisting);
    std::vector<std::byte> buffer(4);
    std::uint32_t got = 0;
    EXPECT_TRUE(platform.ReadFile(h, buffer, &got, nullptr));
    EXPECT_GT(OpenDescriptors(), before);
  }
  EXPECT_EQ(OpenDescriptors(), before);
  // However many folders are met, only the latest few stay open, and each
  // still answers for its own entries.
  for (int i = 0; i < 40; ++i) {
    const std::string name = "F" + std::to_string(i);
    fs::create_directories(root_ / "tree" / name);
    WriteText(root_ / "tree" / name / "f.txt", std::string(static_cast<std::size_t>(i), 'x'));
  }
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 40; ++i) {
      const std::string name = "F" + std::to_string(i);
      EXPECT_EQ(SizeOf(X({std::u16string(name.begin(), name.end()), u"f.txt"})),
                static_cast<std::uint32_t>(i));
    }
  }
  EXPECT_LE(OpenDescriptors(), before + 16);
  platform_ = PosixPlatform((root_ / "dosdevices").string());
  EXPECT_LT(OpenDescriptors(), before);  // the kept folders close with their platform
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

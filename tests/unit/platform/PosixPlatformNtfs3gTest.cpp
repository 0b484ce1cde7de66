// The POSIX platform on a real ntfs-3g mount: names the volume holds as
// unpaired surrogates, 8.3 names and record numbers, as the view serves them.
// Needs root, /dev/fuse, mkntfs and ntfs-3g; skipped without them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/PosixPlatform.h"

namespace sondrel {
namespace {

namespace fs = std::filesystem;

bool Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

class PosixPlatformNtfs3gTest : public testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0 ||
        !Shell("command -v mkntfs && command -v ntfs-3g")) {
      GTEST_SKIP() << "needs root, /dev/fuse, mkntfs and ntfs-3g";
    }
    std::string pattern = (fs::temp_directory_path() / "sondrel-ntfs3g-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "mnt");
    fs::create_directories(root_ / "dosdevices");
    const std::string image = (root_ / "volume.img").string();
    { std::ofstream create(image); }
    fs::resize_file(image, 16 << 20);
    ASSERT_TRUE(Shell("mkntfs -F -f -q '" + image + "'"));
    ASSERT_TRUE(Shell("ntfs-3g '" + image + "' '" + (root_ / "mnt").string() + "'"));
    mounted_ = true;
    fs::create_directory_symlink(root_ / "mnt", root_ / "dosdevices" / "x:");
  }
  void TearDown() override {
    if (mounted_)
      Shell("fusermount -u '" + (root_ / "mnt").string() + "' || umount '" +
            (root_ / "mnt").string() + "'");
    if (!root_.empty()) fs::remove_all(root_);
  }

  void Create(const std::string& name) {
    int fd = ::open((root_ / "mnt" / name).c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0) << name;
    ::close(fd);
  }

  fs::path root_;
  bool mounted_ = false;
};

TEST_F(PosixPlatformNtfs3gTest, ServesSurrogatesShortNamesAndRecordsAsTheVolumeHoldsThem) {
  // Through the mount, each host name below is stored as the UTF-16 alongside.
  Create("H\xed\xa0\x80z");             // H, lone D800, z
  Create("L\xed\xb0\x80");              // L, lone DC00
  Create("P\xed\xa0\x80\xed\xb0\x80");  // a pair written separately: U+10000
  Create("\xc3\x89l\xc3\xa9phant long.txt");
  const char shortName[] = "\xc3\x89L\xc3\x89PH~1.TXT";  // ÉLÉPH~1.TXT
  ASSERT_EQ(::setxattr((root_ / "mnt" / "\xc3\x89l\xc3\xa9phant long.txt").c_str(),
                       "system.ntfs_dos_name", shortName, sizeof shortName - 1, 0),
            0);

  PosixPlatform platform((root_ / "dosdevices").string());
  std::vector<FindDataW> entries;
  FindDataW data;
  FindHandle h = platform.FindFirstFileExW(WidePath{'X', {}}, FindExInfoStandard, &data);
  ASSERT_NE(h, kInvalidHandleValue) << platform.GetLastErrorMessage();
  do entries.push_back(data);
  while (platform.FindNextFileW(h, &data));
  platform.FindClose(h);

  const std::u16string elephant = u"\u00c9l\u00e9phant long.txt";
  const std::vector<std::u16string> expected{
      {u'H', 0xD800, u'z'}, {u'L', 0xDC00}, {u'P', 0xD800, 0xDC00}, elephant};
  for (const std::u16string& name : expected) {
    auto entry = std::find_if(entries.begin(), entries.end(),
                              [&](const FindDataW& e) { return e.cFileName == name; });
    ASSERT_NE(entry, entries.end()) << name.size();
    EXPECT_GE(entry->fileRecord, 16u);  // the view numbers entries by MFT record
    EXPECT_EQ(entry->cAlternateFileName, name == elephant ? u"\u00c9L\u00c9PH~1.TXT" : u"");

    FindDataW one;
    FindHandle found = platform.FindFirstFileW(WidePath{'X', {name}}, &one);
    ASSERT_NE(found, kInvalidHandleValue) << platform.GetLastErrorMessage();
    platform.FindClose(found);
    EXPECT_EQ(one.cFileName, name);
    EXPECT_EQ(one.cAlternateFileName, entry->cAlternateFileName);
    EXPECT_EQ(one.fileRecord, entry->fileRecord);
  }
}

}  // namespace
}  // namespace sondrel

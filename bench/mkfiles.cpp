// Fills a mounted NTFS view with empty files as fast as FUSE allows: one mknod per file
// (no open/flush/release round trips), directories created up front, a few threads to keep
// the FUSE queue busy.
//   mkfiles ROOT DIRS FILES_PER_DIR [THREADS] [NAMES]
// ROOT/dNNNNN/fNNNNNNN for DIRS > 0; DIRS = 0 puts every file straight into ROOT.
// NAMES "long" gives every directory and file a long name that is no valid 8.3 name
// ("directory NNNNN", "file NNNNNNN.text"); "short" gives the same long names each an 8.3
// name as well (DNNNNN~1, FNNNNNNN.TXT), set through ntfs-3g's system.ntfs_dos_name, the
// way Windows names most entries.
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

bool MakeFile(const std::string& path) {
  if (mknod(path.c_str(), S_IFREG | 0644, 0) == 0 || errno == EEXIST) return true;
  std::fprintf(stderr, "mknod %s: %s\n", path.c_str(), std::strerror(errno));
  return false;
}

enum class Names { kPlain, kLong, kShort };

bool SetShortName(const std::string& path, const std::string& shortName) {
  if (setxattr(path.c_str(), "system.ntfs_dos_name", shortName.data(), shortName.size(), 0) == 0)
    return true;
  std::fprintf(stderr, "setxattr %s: %s\n", path.c_str(), std::strerror(errno));
  return false;
}

std::string DirName(long d, Names names) {
  char name[32];
  std::snprintf(name, sizeof name, names == Names::kPlain ? "/d%05ld" : "/directory %05ld", d);
  return name;
}

// Unique within a directory, and unlike the long names a valid 8.3 name.
std::string ShortName(long number, bool file) {
  char name[32];
  std::snprintf(name, sizeof name, file ? "F%07ld.TXT" : "D%05ld~1", number);
  return name;
}

std::string FileName(long f, Names names) {
  char name[32];
  std::snprintf(name, sizeof name, names == Names::kPlain ? "/f%07ld" : "/file %07ld.text", f);
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: mkfiles ROOT DIRS FILES_PER_DIR [THREADS] [long|short]\n");
    return 2;
  }
  const std::string root = argv[1];
  const long dirs = std::atol(argv[2]);
  const long perDir = std::atol(argv[3]);
  const int threads = argc > 4 ? std::atoi(argv[4]) : 2;
  const std::string namesArg = argc > 5 ? argv[5] : "";
  const Names names = namesArg == "short" ? Names::kShort
                      : namesArg == "long" ? Names::kLong
                                           : Names::kPlain;
  // Creates the file and, for short names, gives it its 8.3 name.
  auto make = [&](const std::string& path, long number) {
    if (!MakeFile(path)) return false;
    return names != Names::kShort || SetShortName(path, ShortName(number, true));
  };

  const long units = dirs > 0 ? dirs : 1;
  std::vector<std::string> dirPaths;
  for (long d = 0; d < units; ++d) {
    dirPaths.push_back(dirs > 0 ? root + DirName(d, names) : root);
    if (dirs > 0 && mkdir(dirPaths.back().c_str(), 0755) != 0 && errno != EEXIST) {
      std::perror(dirPaths.back().c_str());
      return 1;
    }
    if (dirs > 0 && names == Names::kShort && !SetShortName(dirPaths.back(), ShortName(d, false)))
      return 1;
  }

  std::atomic<long> next{0};
  std::atomic<bool> failed{false};
  std::atomic<long> done{0};
  const long total = units * perDir;
  auto work = [&] {
    std::string path;
    for (;;) {
      const long d = next.fetch_add(1);
      if (d >= units || failed) return;
      for (long f = 0; f < perDir; ++f) {
        const long number = d * perDir + f;
        path = dirPaths[static_cast<size_t>(d)] + FileName(number, names);
        if (!make(path, number)) {
          failed = true;
          return;
        }
      }
      const long now = done.fetch_add(perDir) + perDir;
      if (now % 50000 < perDir) std::fprintf(stderr, "  %ld / %ld files\n", now, total);
    }
  };
  // A flat directory is one unit: split its files between the threads instead.
  if (dirs == 0) {
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
      pool.emplace_back([&, t] {
        std::string path;
        for (long f = t; f < perDir && !failed; f += threads) {
          path = root + FileName(f, names);
          if (!make(path, f)) failed = true;
          if (f % 50000 == 0) std::fprintf(stderr, "  %ld / %ld files\n", f, total);
        }
      });
    for (auto& th : pool) th.join();
  } else {
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back(work);
    for (auto& th : pool) th.join();
  }
  return failed ? 1 : 0;
}

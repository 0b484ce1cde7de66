// Fills a mounted NTFS view with empty files as fast as FUSE allows: one mknod per file
// (no open/flush/release round trips), directories created up front, a few threads to keep
// the FUSE queue busy.
//   mkfiles ROOT DIRS FILES_PER_DIR [THREADS]
// ROOT/dNNNNN/fNNNNNNN for DIRS > 0; DIRS = 0 puts every file straight into ROOT.
#include <sys/stat.h>
#include <sys/types.h>

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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: mkfiles ROOT DIRS FILES_PER_DIR [THREADS]\n");
    return 2;
  }
  const std::string root = argv[1];
  const long dirs = std::atol(argv[2]);
  const long perDir = std::atol(argv[3]);
  const int threads = argc > 4 ? std::atoi(argv[4]) : 2;

  const long units = dirs > 0 ? dirs : 1;
  std::vector<std::string> dirPaths;
  for (long d = 0; d < units; ++d) {
    char name[32];
    std::snprintf(name, sizeof name, "/d%05ld", d);
    dirPaths.push_back(dirs > 0 ? root + name : root);
    if (dirs > 0 && mkdir(dirPaths.back().c_str(), 0755) != 0 && errno != EEXIST) {
      std::perror(dirPaths.back().c_str());
      return 1;
    }
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
        char name[32];
        std::snprintf(name, sizeof name, "/f%07ld", d * perDir + f);
        path = dirPaths[static_cast<size_t>(d)] + name;
        if (!MakeFile(path)) {
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
          char name[32];
          std::snprintf(name, sizeof name, "/f%07ld", f);
          path = root + name;
          if (!MakeFile(path)) failed = true;
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

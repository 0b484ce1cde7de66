// LD_PRELOAD library that hides directory entries the way a user-mode rootkit does: every
// readdir/readdir64 result whose name is listed in SONDREL_HIDE (names separated by ':')
// is skipped. The files stay on the volume; only the ordinary listing loses them.
//
// It also stages races for the tests: SONDREL_RACE holds steps separated by ':', each
// "<dir>/-<name>" (remove <name> from the directory whose last component is <dir> when that
// directory is first opened for listing, before any entry is read) or "<dir>/+<name>"
// (create <name> there once that first listing is closed). Later listings change nothing.
//
// With SONDREL_HIDE_LOOKUPS set, a hidden name cannot be opened either (openat fails with
// ENOENT), as with a rootkit that hides an entry from lookups too: a hidden directory's
// contents then cannot be listed at all.

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

bool IsHidden(const char* name) {
  const char* list = std::getenv("SONDREL_HIDE");
  if (list == nullptr) {
    return false;
  }
  std::string_view rest{list};
  const std::string_view wanted{name};
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    if (rest.substr(0, colon) == wanted) {
      return true;
    }
    if (colon == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(colon + 1);
  }
  return false;
}

// dlsym hands back an object pointer; copying its bits is the portable way to a function
// pointer without a cast.
template <typename Function>
Function NextSymbol(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  Function function = nullptr;
  static_assert(sizeof function == sizeof symbol);
  std::memcpy(&function, &symbol, sizeof function);
  return function;
}

template <typename Entry>
Entry* SkipHidden(Entry* (*next)(DIR*), DIR* dir) {
  if (next == nullptr) {
    return nullptr;
  }
  Entry* entry = next(dir);
  while (entry != nullptr && IsHidden(entry->d_name)) {
    entry = next(dir);
  }
  return entry;
}

// Calls step(dirName, op, name) for each step of SONDREL_RACE.
template <typename Step>
void ForEachRaceStep(Step step) {
  const char* list = std::getenv("SONDREL_RACE");
  std::string_view rest{list == nullptr ? "" : list};
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    const std::string_view item = rest.substr(0, colon);
    const auto slash = item.find('/');
    if (slash != std::string_view::npos && slash + 2 <= item.size()) {
      step(item.substr(0, slash), item[slash + 1], item.substr(slash + 2));
    }
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
}

// The last component of the directory a listing reads, as the kernel names its descriptor.
std::string DirectoryName(DIR* dir) {
  std::array<char, 64> link{};
  std::snprintf(link.data(), link.size(), "/proc/self/fd/%d", ::dirfd(dir));
  std::array<char, 8192> target{};
  const ssize_t length = ::readlink(link.data(), target.data(), target.size() - 1);
  if (length <= 0) return {};
  const std::string_view path{target.data(), static_cast<std::size_t>(length)};
  return std::string(path.substr(path.rfind('/') + 1));
}

// Directories whose first listing has been opened; the one still open waits for its creates.
std::array<std::string, 16> staged;
std::size_t stagedCount = 0;
DIR* awaitingCreates = nullptr;
std::string awaitingName;

void StageBeforeListing(DIR* dir) {
  if (dir == nullptr || std::getenv("SONDREL_RACE") == nullptr) return;
  const std::string name = DirectoryName(dir);
  bool wanted = false;
  ForEachRaceStep([&](std::string_view d, char, std::string_view) { wanted |= d == name; });
  if (!wanted) return;
  for (std::size_t i = 0; i < stagedCount; ++i) {
    if (staged[i] == name) return;
  }
  if (stagedCount < staged.size()) staged[stagedCount++] = name;
  ForEachRaceStep([&](std::string_view d, char op, std::string_view file) {
    if (d == name && op == '-') ::unlinkat(::dirfd(dir), std::string(file).c_str(), 0);
  });
  awaitingCreates = dir;
  awaitingName = name;
}

void StageAfterListing(DIR* dir) {
  if (dir == nullptr || dir != awaitingCreates) return;
  awaitingCreates = nullptr;
  ForEachRaceStep([&](std::string_view d, char op, std::string_view file) {
    if (d != awaitingName || op != '+') return;
    const int fd = ::openat(::dirfd(dir), std::string(file).c_str(),
                            O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd >= 0) {
      static constexpr char kData[] = "created during the scan\n";
      if (::write(fd, kData, sizeof kData - 1) < 0) std::perror("race create");
      ::close(fd);
    }
  });
}

template <typename Open>
int OpenUnlessHidden(Open next, int dirfd, const char* path, int flags, mode_t mode) {
  if (std::getenv("SONDREL_HIDE_LOOKUPS") != nullptr && path != nullptr) {
    const char* slash = std::strrchr(path, '/');
    if (IsHidden(slash == nullptr ? path : slash + 1)) {
      errno = ENOENT;
      return -1;
    }
  }
  return next == nullptr ? -1 : next(dirfd, path, flags, mode);
}

}  // namespace

extern "C" {

DIR* opendir(const char* name) {
  static const auto next = NextSymbol<DIR* (*)(const char*)>("opendir");
  DIR* dir = next == nullptr ? nullptr : next(name);
  StageBeforeListing(dir);
  return dir;
}

DIR* fdopendir(int fd) {
  static const auto next = NextSymbol<DIR* (*)(int)>("fdopendir");
  DIR* dir = next == nullptr ? nullptr : next(fd);
  StageBeforeListing(dir);
  return dir;
}

int closedir(DIR* dir) {
  static const auto next = NextSymbol<int (*)(DIR*)>("closedir");
  StageAfterListing(dir);
  return next == nullptr ? -1 : next(dir);
}

int openat(int dirfd, const char* path, int flags, ...) {
  static const auto next = NextSymbol<int (*)(int, const char*, int, ...)>("openat");
  mode_t mode = 0;
  if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  return OpenUnlessHidden(next, dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  static const auto next = NextSymbol<int (*)(int, const char*, int, ...)>("openat64");
  mode_t mode = 0;
  if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  return OpenUnlessHidden(next, dirfd, path, flags, mode);
}

dirent* readdir(DIR* dir) {
  static const auto next = NextSymbol<dirent* (*)(DIR*)>("readdir");
  return SkipHidden(next, dir);
}

dirent64* readdir64(DIR* dir) {
  static const auto next = NextSymbol<dirent64* (*)(DIR*)>("readdir64");
  return SkipHidden(next, dir);
}

}  // extern "C"

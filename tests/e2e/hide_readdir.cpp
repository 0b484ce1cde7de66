// LD_PRELOAD library that hides directory entries the way a user-mode rootkit does: every
// readdir/readdir64 result whose name is listed in SONDREL_HIDE (names separated by ':')
// is skipped. The files stay on the volume; only the ordinary listing loses them.

#include <dirent.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
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

}  // namespace

extern "C" {

dirent* readdir(DIR* dir) {
  static const auto next = NextSymbol<dirent* (*)(DIR*)>("readdir");
  return SkipHidden(next, dir);
}

dirent64* readdir64(DIR* dir) {
  static const auto next = NextSymbol<dirent64* (*)(DIR*)>("readdir64");
  return SkipHidden(next, dir);
}

}  // extern "C"

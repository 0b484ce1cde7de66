#include "names/LongNameExpansion.h"

#include "names/AsciiCase.h"

namespace sondrel {
namespace {

std::string Join(std::string_view directory, std::string_view name) {
  std::string joined;
  joined.reserve(directory.size() + 1 + name.size());
  joined.append(directory).push_back('\\');
  joined.append(name);
  return joined;
}

bool IsDriveComponent(std::string_view component) {
  return component.size() == 2 && component[1] == ':';
}

}  // namespace

std::string ExpandLongComponent(Platform& platform, std::string_view path) {
  std::size_t slash = path.rfind('\\');
  if (slash == std::string_view::npos || slash + 1 == path.size()) return std::string(path);
  std::string_view directory = path.substr(0, slash);
  std::string search = Join(directory, path.substr(slash + 1));
  FindData found;
  FindHandle handle = platform.FindFirstFileA(search, &found);
  if (handle == kInvalidHandleValue) return std::string(path);
  std::string expanded = EqualsIgnoringAsciiCase(found.cAlternateFileName, found.cFileName)
                             ? std::string(path)
                             : Join(directory, found.cFileName);
  platform.FindClose(handle);
  return expanded;
}

std::string ExpandLongPath(Platform& platform, std::string_view path) {
  if (path.size() <= 3) return std::string(path);
  std::string output;
  std::string_view rest = path;
  for (std::size_t slash = rest.find('\\'); slash != std::string_view::npos;
       slash = rest.find('\\')) {
    std::string_view component = rest.substr(0, slash);
    if (IsDriveComponent(component)) {
      output.assign(component);
    } else {
      output = ExpandLongComponent(platform, Join(output, component));
    }
    rest.remove_prefix(slash + 1);
  }
  if (!rest.empty()) output = ExpandLongComponent(platform, Join(output, rest));
  return output;
}

}  // namespace sondrel

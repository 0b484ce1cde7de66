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
  std::string_view name = path.substr(slash + 1);
  FindData found;
  FindHandle handle = platform.FindFirstFileExA(path, FindExInfoBasic, &found);
  if (handle == kInvalidHandleValue) return std::string(path);
  platform.FindClose(handle);
  // Found under its own long name, the component reads the same whether it is
  // replaced or not, so its 8.3 name need not be fetched.
  if (found.cFileName == name) return std::string(path);
  handle = platform.FindFirstFileA(path, &found);
  if (handle == kInvalidHandleValue) return std::string(path);
  std::string expanded = EqualsIgnoringAsciiCase(found.cAlternateFileName, found.cFileName)
                             ? std::string(path)
                             : Join(directory, found.cFileName);
  platform.FindClose(handle);
  return expanded;
}

std::string ExpandLongPath(Platform& platform, std::string_view path) {
  return ExpandLongPath(platform, path, nullptr);
}

std::string ExpandLongPath(Platform& platform, std::string_view path, PrefixExpansions* known) {
  if (path.size() <= 3) return std::string(path);
  std::string output;
  std::size_t done = 0;  // bytes of path whose components are expanded into output
  if (known != nullptr) {
    std::string prefix;
    for (std::size_t slash = path.rfind('\\'); slash != std::string_view::npos && done == 0;
         slash = slash == 0 ? std::string_view::npos : path.rfind('\\', slash - 1)) {
      prefix.assign(path.substr(0, slash));
      auto found = known->find(prefix);
      if (found != known->end()) {
        output = found->second;
        done = slash + 1;
      }
    }
  }
  std::string_view rest = path.substr(done);
  for (std::size_t slash = rest.find('\\'); slash != std::string_view::npos;
       slash = rest.find('\\')) {
    std::string_view component = rest.substr(0, slash);
    if (IsDriveComponent(component)) {
      output.assign(component);
    } else {
      output = ExpandLongComponent(platform, Join(output, component));
    }
    rest.remove_prefix(slash + 1);
    done += slash + 1;
    if (known != nullptr) known->try_emplace(std::string(path.substr(0, done - 1)), output);
  }
  if (!rest.empty()) output = ExpandLongComponent(platform, Join(output, rest));
  return output;
}

}  // namespace sondrel

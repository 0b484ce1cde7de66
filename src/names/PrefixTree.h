// Directory texts split at their backslashes, one node per distinct prefix:
// "X:\a\b" is the node b under the node a under the node X:. Every path below
// one directory shares that directory's nodes, so what is remembered per
// directory costs its own component, not its whole text again: a chain of
// directories D deep costs D nodes, not D texts of up to D components.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace sondrel {

class PrefixTree {
 public:
  // The parent of a text's first component.
  static constexpr std::uint32_t kTop = 0xFFFFFFFF;

  // The node of component under parent, and whether it was created now.
  // Components are compared byte for byte, with case.
  std::pair<std::uint32_t, bool> Child(std::uint32_t parent, std::string_view component) {
    key_.resize(sizeof parent);
    std::memcpy(key_.data(), &parent, sizeof parent);
    key_.append(component);
    auto [at, created] = nodes_.try_emplace(key_, static_cast<std::uint32_t>(nodes_.size()));
    if (created) bytes_ += key_.size();
    return {at->second, created};
  }

  std::size_t size() const { return nodes_.size(); }
  // The bytes of the keys held: the components and a parent number each.
  std::size_t bytes() const { return bytes_; }

 private:
  std::unordered_map<std::string, std::uint32_t> nodes_;  // parent number + component -> node
  std::string key_;  // reused, so a lookup costs no allocation
  std::size_t bytes_ = 0;
};

}  // namespace sondrel

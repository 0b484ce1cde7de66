// A directory's names, kept back to back in one buffer in the order they
// were added, with a sorted index for lookups. A listing of a million
// entries then costs the names' bytes and a dozen bytes each, not a string
// object and a hash node per name.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sondrel {

template <typename Char>
class BasicNameTable {
 public:
  using View = std::basic_string_view<Char>;

  BasicNameTable() { starts_.push_back(0); }

  void Add(View name) {
    bytes_.append(name);
    starts_.push_back(bytes_.size());
    sorted_.clear();  // rebuilt at the next lookup
  }

  std::size_t size() const { return starts_.size() - 1; }
  bool empty() const { return size() == 0; }

  // The name added index-th (from 0).
  View operator[](std::size_t index) const {
    return View(bytes_).substr(starts_[index], starts_[index + 1] - starts_[index]);
  }

  // The position of the first name added that equals name byte for byte, or
  // nullopt. The first lookup after names were added sorts the index once.
  std::optional<std::size_t> Find(View name) {
    if (sorted_.size() != size()) Sort();
    auto at = std::lower_bound(sorted_.begin(), sorted_.end(), name,
                               [this](std::uint32_t i, View key) {
                                 return (*this)[i] < key;
                               });
    if (at == sorted_.end() || (*this)[*at] != name) return std::nullopt;
    return *at;
  }

 private:
  void Sort() {
    sorted_.resize(size());
    for (std::size_t i = 0; i < sorted_.size(); ++i) sorted_[i] = static_cast<std::uint32_t>(i);
    // Stable, so that among equal names the first added comes first.
    std::stable_sort(sorted_.begin(), sorted_.end(), [this](std::uint32_t a, std::uint32_t b) {
      return (*this)[a] < (*this)[b];
    });
  }

  std::basic_string<Char> bytes_;
  std::vector<std::size_t> starts_;     // name i is bytes_[starts_[i], starts_[i + 1])
  std::vector<std::uint32_t> sorted_;   // positions ordered by name
};

// Narrow names, and names as the volume holds them (UTF-16, compared unit for
// unit).
using NameTable = BasicNameTable<char>;
using WideNameTable = BasicNameTable<char16_t>;

}  // namespace sondrel

// The string-keyed store behind the path and directory caches: entries are
// kept in insertion order, a key inserted twice occupies two entries, and a
// lookup answers with the first. Keys are compared byte for byte, with case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace sondrel {

template <typename Value>
struct CacheEntry {
  std::string key;  // the entry's own copy
  Value value;      // the entry's own copy, whatever the caller does later
};

// Lookup and insertion take constant expected time: beside the chain of
// entries an index maps each key to the first entry holding it, so a scan
// over a hundred thousand directories does not become quadratic.
template <typename Value>
class NameCache {
 public:
  NameCache() = default;
  // The index points into the chain, so a copy would point into the
  // original; a move keeps both (a deque moves its blocks, not its entries).
  NameCache(const NameCache&) = delete;
  NameCache& operator=(const NameCache&) = delete;
  NameCache(NameCache&&) noexcept = default;
  NameCache& operator=(NameCache&&) noexcept = default;

  // Appends an entry with copies of key and value; returns the stored value,
  // which stays at its address for the cache's life.
  Value& Insert(std::string_view key, Value value) {
    CacheEntry<Value>& entry = chain_.emplace_back(CacheEntry<Value>{std::string(key),
                                                                     std::move(value)});
    index_.try_emplace(std::string_view(entry.key), &entry);
    return entry.value;
  }

  // The first entry whose key equals key, or null.
  const CacheEntry<Value>* FindEntry(std::string_view key) const {
    auto found = index_.find(key);
    return found == index_.end() ? nullptr : found->second;
  }

  // The value of that entry, or null when the key is not present.
  const Value* Lookup(std::string_view key) const {
    const CacheEntry<Value>* entry = FindEntry(key);
    return entry == nullptr ? nullptr : &entry->value;
  }
  Value* Lookup(std::string_view key) {
    auto found = index_.find(key);
    return found == index_.end() ? nullptr : &found->second->value;
  }

  std::size_t size() const { return chain_.size(); }
  bool empty() const { return chain_.empty(); }
  // The entries in insertion order.
  const std::deque<CacheEntry<Value>>& entries() const { return chain_; }

 private:
  std::deque<CacheEntry<Value>> chain_;
  std::unordered_map<std::string_view, CacheEntry<Value>*> index_;
};

}  // namespace sondrel

// A process-wide map from a key to an immutable, expensively built value.
// Lookups share the lock; builds run with no lock held; the first insertion
// of a key wins and entries are never replaced or removed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace velmora {

// A cache key of two unsigned integers.
template <class A, class B>
struct PairKey {
  A first;
  B second;
  bool operator==(const PairKey& other) const { return first == other.first && second == other.second; }
};

struct PairKeyHash {
  template <class A, class B>
  std::size_t operator()(const PairKey<A, B>& key) const {
    return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(key.first) * 0x9E3779B97F4A7C15ULL ^
                                      static_cast<std::uint64_t>(key.second));
  }
};

template <class Key, class Value, class Hash = std::hash<Key>>
class BuildOnceCache {
 public:
  std::shared_ptr<const Value> find(const Key& key) const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : it->second;
  }

  // Keeps an existing entry unchanged if another caller got there first.
  void insert(const Key& key, std::shared_ptr<const Value> value) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    map_.emplace(key, std::move(value));
  }

  std::size_t size() const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return map_.size();
  }

 private:
  mutable std::shared_mutex mutex_;
  std::unordered_map<Key, std::shared_ptr<const Value>, Hash> map_;
};

// Caches live until the process ends; they are deliberately never destroyed so
// that no exit-time destructor can race with a thread still using them.
template <class Cache>
Cache& process_wide() {
  static Cache* cache = new Cache();
  return *cache;
}

}  // namespace velmora

// Building the id index of a whole array at once (a loaded file): the home
// slots of ids a little ahead are fetched while the current one is placed,
// so the cache misses of a table larger than the cache overlap.
#include "engine/id_index.h"
#include "engine/invariant.h"

namespace velmora {

std::size_t IdIndex::build(const std::uint64_t* ids, std::size_t n) {
  VELMORA_CHECK(size_ == 0, "id index: build into a non-empty index");
  reserve(n, ids);
  constexpr std::uint32_t kFree = 0;
  constexpr std::size_t kAhead = 16;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) __builtin_prefetch(&slots_[home(ids[i + kAhead])]);
    const std::uint64_t id = ids[i];
    std::size_t s = home(id);
    for (; slots_[s] != kFree; s = next(s)) {
      if (ids[slots_[s] - 1] == id) return i;
    }
    slots_[s] = static_cast<std::uint32_t>(i + 1);
    ++size_;
  }
  return npos;
}

}  // namespace velmora

#include "engine/id_index.h"

#include <algorithm>
#include <new>

#include "engine/invariant.h"

namespace velmora {

namespace {

// Ids are often sequential; a full-avalanche mix spreads them over the table.
std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBULL;
  x ^= x >> 31;
  return x;
}

constexpr std::size_t kMinCapacity = 16;
constexpr std::uint32_t kEmpty = 0;

// At most 3/4 of the slots are used.
std::size_t capacity_for(std::size_t n) {
  const std::size_t capacity = n + (n + 2) / 3;
  return capacity < kMinCapacity ? kMinCapacity : capacity;
}
bool fits(std::size_t n, std::size_t capacity) { return n <= capacity - capacity / 4; }

}  // namespace

std::size_t IdIndex::home(std::uint64_t id) const {
  // The high word of mix(id) * capacity: uniform over the slots.
  __extension__ using Wide = unsigned __int128;
  return static_cast<std::size_t>((static_cast<Wide>(mix(id)) * slots_.size()) >> 64);
}

std::size_t IdIndex::find(std::uint64_t id, const std::uint64_t* ids) const {
  const std::size_t slot = slot_of(id, ids);
  return slot == npos ? npos : slots_[slot] - 1;
}

std::size_t IdIndex::slot_of(std::uint64_t id, const std::uint64_t* ids) const {
  if (size_ == 0) return npos;
  for (std::size_t s = home(id);; s = next(s)) {
    if (slots_[s] == kEmpty) return npos;
    if (ids[slots_[s] - 1] == id) return s;
  }
}

void IdIndex::reserve(std::size_t n, const std::uint64_t* ids) {
  // Positions are stored in 32 bits.
  if (n >= 0xFFFFFFFFu) throw std::bad_alloc();
  // A batch gets what it needs, but at least an eighth more than is stored,
  // so that many small batches still rehash only now and then.
  if (slots_.empty() || !fits(n, slots_.size())) rehash(capacity_for(std::max(n, size_ + size_ / 8)), ids);
}

void IdIndex::reserve_to_append(std::size_t n, const std::uint64_t* ids) {
  if (!slots_.empty() && fits(n, slots_.size())) return;
  reserve(std::max(n, 2 * size_), ids);
}

void IdIndex::rehash(std::size_t capacity, const std::uint64_t* ids) {
  PageArray<std::uint32_t> old;
  old.resize(capacity, kEmpty);
  old.swap(slots_);
  for (std::size_t i = 0; i < old.size(); ++i) {
    const std::uint32_t entry = old[i];
    if (entry == kEmpty) continue;
    std::size_t s = home(ids[entry - 1]);
    while (slots_[s] != kEmpty) s = next(s);
    slots_[s] = entry;
  }
}

void IdIndex::insert(std::uint64_t id, std::size_t position, const std::uint64_t* ids) {
  reserve_to_append(size_ + 1, ids);
  std::size_t s = home(id);
  while (slots_[s] != kEmpty) s = next(s);
  slots_[s] = static_cast<std::uint32_t>(position + 1);
  ++size_;
}

void IdIndex::move(std::uint64_t id, std::size_t position, const std::uint64_t* ids) {
  const std::size_t slot = slot_of(id, ids);
  VELMORA_CHECK(slot != npos, "id index: moved id is not indexed");
  slots_[slot] = static_cast<std::uint32_t>(position + 1);
}

void IdIndex::erase(std::uint64_t id, const std::uint64_t* ids) {
  std::size_t hole = slot_of(id, ids);
  VELMORA_CHECK(hole != npos, "id index: erased id is not indexed");
  const std::size_t capacity = slots_.size();
  // Cyclic distance from a to b.
  const auto ahead = [capacity](std::size_t a, std::size_t b) { return b >= a ? b - a : b + capacity - a; };
  // Shift back every later entry of the probe run that may fill the hole.
  for (std::size_t s = next(hole); slots_[s] != kEmpty; s = next(s)) {
    const std::size_t want = home(ids[slots_[s] - 1]);
    // The entry may move to the hole if its home is not cyclically in (hole, s].
    const bool home_after_hole = ahead(want, s) < ahead(hole, s);
    if (!home_after_hole) {
      slots_[hole] = slots_[s];
      hole = s;
    }
  }
  slots_[hole] = kEmpty;
  --size_;
}

}  // namespace velmora

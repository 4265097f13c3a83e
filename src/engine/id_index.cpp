#include "engine/id_index.h"

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
  std::size_t capacity = kMinCapacity;
  while (capacity - capacity / 4 < n) capacity *= 2;
  return capacity;
}

}  // namespace

std::size_t IdIndex::home(std::uint64_t id) const {
  return static_cast<std::size_t>(mix(id)) & (slots_.size() - 1);
}

std::size_t IdIndex::find(std::uint64_t id, const std::uint64_t* ids) const {
  const std::size_t slot = slot_of(id, ids);
  return slot == npos ? npos : slots_[slot] - 1;
}

std::size_t IdIndex::slot_of(std::uint64_t id, const std::uint64_t* ids) const {
  if (size_ == 0) return npos;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t s = home(id);; s = (s + 1) & mask) {
    if (slots_[s] == kEmpty) return npos;
    if (ids[slots_[s] - 1] == id) return s;
  }
}

void IdIndex::reserve(std::size_t n, const std::uint64_t* ids) {
  // Positions are stored in 32 bits.
  if (n >= 0xFFFFFFFFu) throw std::bad_alloc();
  const std::size_t capacity = capacity_for(n);
  if (capacity > slots_.size()) rehash(capacity, ids);
}

void IdIndex::rehash(std::size_t capacity, const std::uint64_t* ids) {
  PageArray<std::uint32_t> old;
  old.resize(capacity, kEmpty);
  old.swap(slots_);
  const std::size_t mask = capacity - 1;
  for (std::size_t i = 0; i < old.size(); ++i) {
    const std::uint32_t entry = old[i];
    if (entry == kEmpty) continue;
    std::size_t s = home(ids[entry - 1]);
    while (slots_[s] != kEmpty) s = (s + 1) & mask;
    slots_[s] = entry;
  }
}

void IdIndex::insert(std::uint64_t id, std::size_t position, const std::uint64_t* ids) {
  reserve(size_ + 1, ids);
  const std::size_t mask = slots_.size() - 1;
  std::size_t s = home(id);
  while (slots_[s] != kEmpty) s = (s + 1) & mask;
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
  const std::size_t mask = slots_.size() - 1;
  // Shift back every later entry of the probe run that may fill the hole.
  for (std::size_t s = (hole + 1) & mask; slots_[s] != kEmpty; s = (s + 1) & mask) {
    const std::size_t want = home(ids[slots_[s] - 1]);
    // The entry may move to the hole if its home is not cyclically in (hole, s].
    const bool home_after_hole = ((s - want) & mask) < ((s - hole) & mask);
    if (!home_after_hole) {
      slots_[hole] = slots_[s];
      hole = s;
    }
  }
  slots_[hole] = kEmpty;
  --size_;
}

}  // namespace velmora

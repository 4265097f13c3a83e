// The map from a stored id to its position: an open-addressing table with
// linear probing that keeps only positions (4 bytes a slot) and reads the ids
// from the store's own id array. Deletion shifts entries back, so no
// tombstones accumulate. The table may have any number of slots (a hash is
// mapped onto them by a multiply), so that a batch reserves just what its
// ids need: at most 3/4 of the slots are used, about 5.3 bytes per id.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/page_array.h"

namespace velmora {

class IdIndex {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  std::size_t size() const { return size_; }

  // The position of `id`, or npos. `ids` is the store's id array.
  std::size_t find(std::uint64_t id, const std::uint64_t* ids) const;
  // Adds an id that is not present, at `position`.
  void insert(std::uint64_t id, std::size_t position, const std::uint64_t* ids);
  // Points a present id at a new position.
  void move(std::uint64_t id, std::size_t position, const std::uint64_t* ids);
  // Removes a present id.
  void erase(std::uint64_t id, const std::uint64_t* ids);
  // Room for n ids without rehashing (may allocate; never loses entries):
  // what n ids need (for a batch), or room for twice as many ids as are
  // stored (for appends one at a time).
  void reserve(std::size_t n, const std::uint64_t* ids);
  void reserve_to_append(std::size_t n, const std::uint64_t* ids);
  // Fills an empty index with ids[0 .. n) at positions 0 .. n-1, fetching
  // slots ahead of use (id_index_build.cpp). Returns npos, or the position
  // of the first id seen before, after which the index must be discarded.
  std::size_t build(const std::uint64_t* ids, std::size_t n);

 private:
  std::size_t home(std::uint64_t id) const;
  std::size_t slot_of(std::uint64_t id, const std::uint64_t* ids) const;
  std::size_t next(std::size_t slot) const { return slot + 1 == slots_.size() ? 0 : slot + 1; }
  void rehash(std::size_t capacity, const std::uint64_t* ids);

  PageArray<std::uint32_t> slots_;  // position + 1; 0 marks an empty slot
  std::size_t size_ = 0;
};

}  // namespace velmora

// A set of store positions, one bit each, readable a block of 32 at a time:
// the candidates of a filtered search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/code_layout.h"

namespace velmora {

class PositionSet {
 public:
  explicit PositionSet(std::size_t positions) : words_((positions + 63) / 64, 0) {}
  void add(std::size_t position) {
    std::uint64_t& word = words_[position / 64];
    const std::uint64_t bit = std::uint64_t{1} << (position % 64);
    count_ += (word & bit) == 0;
    word |= bit;
  }
  bool contains(std::size_t position) const { return (words_[position / 64] >> (position % 64)) & 1u; }
  // The bits of the positions of one block (kBlockLanes of them).
  std::uint32_t block_mask(std::size_t block) const {
    static_assert(kBlockLanes == 32, "a block's positions are the bits of a u32");
    return static_cast<std::uint32_t>(words_[block / 2] >> (block % 2 * kBlockLanes));
  }
  std::size_t count() const { return count_; }

 private:
  std::vector<std::uint64_t> words_;
  std::size_t count_ = 0;
};

}  // namespace velmora

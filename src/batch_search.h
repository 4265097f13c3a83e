// Searching one store for many queries at once. Queries are scored on the
// pool, and each chunk of code blocks is scored for a group of queries in
// turn while it is in cache, so the codes are read from memory once per group
// instead of once per query. Every query gets exactly the pairs, in exactly
// the order, that CompressedVectorStore::query returns for it (restricted to
// the allowed positions when a filter is given).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "store.h"

namespace velmora {

// A set of store positions, one bit each.
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
  std::uint64_t block_mask(std::size_t block) const {
    static_assert(64 % kBlockLanes == 0, "blocks do not straddle words");
    constexpr std::size_t kPerWord = 64 / kBlockLanes;
    constexpr std::uint64_t kLanes = kBlockLanes == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << kBlockLanes) - 1u;
    return (words_[block / kPerWord] >> (block % kPerWord * kBlockLanes)) & kLanes;
  }
  std::size_t count() const { return count_; }

 private:
  std::vector<std::uint64_t> words_;
  std::size_t count_ = 0;
};

// Searches `m` queries of store.dim() values each (query q at queries + q *
// dim) for their k best, writing them best first to out_ids[q * k ...] and
// out_scores[q * k ...]. k must not exceed the number of candidates: the
// positions in `allowed`, or every position when it is null. Runs on the pool.
void search_batch(const CompressedVectorStore& store, const float* queries, std::size_t m, std::size_t k,
                  const PositionSet* allowed, std::uint64_t* out_ids, float* out_scores);

}  // namespace velmora

// A bound kernel made from a pass over one block for a few queries: the one
// driver of every bound pass, whatever its instruction set. Included by the
// instruction-set files; internal linkage throughout, so that an instance
// compiled for a wide instruction set is never the one another caller gets.
//
// A pass is a type with
//   kQueriesPerPass, 1 to 4: how many queries one call of `sum_block` serves;
//   sum_block<Q>(args, q0, b, block_count, sums, survivors) const, for Q up to
//     kQueriesPerPass: the sums and survivors of block b for queries q0 ..
//     q0 + Q - 1 of the group, at the places BoundGroupFn gives them;
// and is constructed once per call of the kernel (for constants in
// registers).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/kernels.h"

namespace velmora {
namespace kernels {
namespace {

// How many queries a block pass serves, as a type: block(QueryCount<Q>{}, q0, b).
template <int Q>
struct QueryCount {
  static constexpr int value = Q;
};

// Every block for one fixed count of queries: the loop the compiler keeps
// tight (the pass's constants in registers), which a choice of count inside
// it would cost (a third more time for one query, measured).
template <int Q, class BlockPass>
inline void for_each_block(std::size_t block_count, const BlockPass& block) {
  for (std::size_t b = 0; b < block_count; ++b) block(QueryCount<Q>{}, 0, b);
}

// The group pass block by block, so that a block's codes stay in L1 while
// every query of the group reads them, up to MaxQ (1 to 4) queries a pass.
template <int MaxQ, class BlockPass>
inline void for_each_block_and_queries(const BoundGroupArgs& a, std::size_t block_count, const BlockPass& block) {
  static_assert(MaxQ >= 1 && MaxQ <= 4, "one to four queries a pass");
  constexpr std::size_t kMax = MaxQ;
  // A group one pass serves: its count is chosen once.
  switch (a.queries) {
    case 1:
      return for_each_block<1>(block_count, block);
    case 2:
      if constexpr (MaxQ >= 2) return for_each_block<2>(block_count, block);
      break;
    case 3:
      if constexpr (MaxQ >= 3) return for_each_block<3>(block_count, block);
      break;
    case 4:
      if constexpr (MaxQ >= 4) return for_each_block<4>(block_count, block);
      break;
    default:
      break;
  }
  for (std::size_t b = 0; b < block_count; ++b) {
    for (std::size_t q0 = 0; q0 < a.queries; q0 += kMax) {
      switch (a.queries - q0 < kMax ? a.queries - q0 : kMax) {
        case 1:
          block(QueryCount<1>{}, q0, b);
          break;
        case 2:
          if constexpr (MaxQ >= 2) block(QueryCount<2>{}, q0, b);
          break;
        case 3:
          if constexpr (MaxQ >= 3) block(QueryCount<3>{}, q0, b);
          break;
        default:
          if constexpr (MaxQ >= 4) block(QueryCount<4>{}, q0, b);
          break;
      }
    }
  }
}

template <class Pass>
struct BoundPassDriver {
  // One query: the group pass for a group of one.
  static void blocks(const BoundBlocksArgs& a, std::size_t block_count, std::uint32_t* sums, std::uint32_t* survivors) {
    const BoundGroupArgs group = group_of_one(a);
    const Pass pass{};
    for (std::size_t b = 0; b < block_count; ++b) pass.template sum_block<1>(group, 0, b, block_count, sums, survivors);
  }
  static void group(const BoundGroupArgs& a, std::size_t block_count, std::uint32_t* sums, std::uint32_t* survivors) {
    const Pass pass{};
    for_each_block_and_queries<Pass::kQueriesPerPass>(a, block_count, [&](auto count, std::size_t q0, std::size_t b) {
      pass.template sum_block<decltype(count)::value>(a, q0, b, block_count, sums, survivors);
    });
  }
};

template <class Pass>
BoundKernel bound_kernel(const char* name) {
  BoundKernel k;
  k.name = name;
  k.blocks = &BoundPassDriver<Pass>::blocks;
  k.group = &BoundPassDriver<Pass>::group;
  return k;
}

}  // namespace
}  // namespace kernels
}  // namespace velmora

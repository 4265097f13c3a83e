// The portable integer bound pass: the one every other bound pass must match.
#include "kernels/kernels.h"

namespace velmora {
namespace kernels {

namespace {

void bound_blocks_portable(const BoundBlocksArgs& a, std::size_t block_count, std::uint32_t* sums,
                           std::uint32_t* survivors) {
  for (std::size_t b = 0; b < block_count; ++b) {
    const std::uint8_t* block = a.blocks + b * a.block_bytes;
    std::uint32_t* out = sums + b * kBlockLanes;
    for (std::size_t lane = 0; lane < kBlockLanes; ++lane) out[lane] = 0;
    for (std::size_t f = 0; f < a.fields; ++f) {
      const std::uint8_t* field = block + f * kFieldBytes;
      const std::uint8_t* table = a.table + f * kFieldBytes;
      for (std::size_t j = 0; j < 16; ++j) {
        out[j] += table[field[j] & 0x0F];
        out[j + 16] += table[field[j] >> 4];
      }
    }
    std::uint32_t mask = 0;
    for (std::size_t lane = 0; lane < kBlockLanes; ++lane) mask |= std::uint32_t{out[lane] > a.limit} << lane;
    survivors[b] = mask;
  }
}

// A group: each query on its own.
void bound_group_portable(const BoundGroupArgs& a, std::size_t block_count, std::uint32_t* sums,
                          std::uint32_t* survivors) {
  for (std::size_t q = 0; q < a.queries; ++q) {
    const BoundBlocksArgs one{a.tables[q], a.fields, a.blocks, a.block_bytes, a.limits[q]};
    bound_blocks_portable(one, block_count, sums + q * block_count * kBlockLanes, survivors + q * block_count);
  }
}

}  // namespace

BoundKernel bound_kernel_portable() {
  BoundKernel k;
  k.name = "scalar-bound";
  k.blocks = &bound_blocks_portable;
  k.group = &bound_group_portable;
  return k;
}

}  // namespace kernels
}  // namespace velmora

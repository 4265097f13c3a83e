// The block scoring kernel, written once and instantiated per bit width and
// per instruction set (this header is included by one translation unit per
// instruction set, each compiled with its own target flags; everything here
// has internal linkage so no instantiation leaks across them).
//
// Every lane is one stored vector and adds its table entries in coordinate
// order starting from +0.0, then applies the cosine normalisation with the
// same f32 operations as the per-entry reference, so all levels agree bit
// for bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace velmora {
namespace kernels {
namespace {

// Blocks scored together so that their additions overlap in the pipeline.
template <class Isa, int Bits, int Group>
inline void score_block_group(const ScoreBlocksArgs& a, std::size_t first_block, float* out) {
  typename Isa::Acc acc[Group];
  for (int g = 0; g < Group; ++g) acc[g] = Isa::zero();
  const std::size_t field_bytes = 2 * Bits;
  const std::uint8_t* base = a.blocks + first_block * a.block_bytes;
  for (std::size_t i = 0; i < a.dim; ++i) {
    const typename Isa::template Row<Bits> row(a.lut + (i << Bits));
    const std::uint8_t* field = base + i * field_bytes;
    for (int g = 0; g < Group; ++g) {
      acc[g] = Isa::template add_lookup<Bits>(acc[g], row, field + g * a.block_bytes);
    }
  }
  for (int g = 0; g < Group; ++g) {
    const std::size_t lane0 = (first_block + g) * 16;
    Isa::template finish<Bits>(acc[g], a.norms + lane0, a.query_norm, out + lane0);
  }
}

template <class Isa, int Bits>
void score_blocks(const ScoreBlocksArgs& a, std::size_t block_count, float* out) {
  constexpr int kGroup = Isa::kGroup;
  std::size_t b = 0;
  for (; b + kGroup <= block_count; b += kGroup) score_block_group<Isa, Bits, kGroup>(a, b, out);
  for (; b < block_count; ++b) score_block_group<Isa, Bits, 1>(a, b, out);
}

template <class Isa>
ScoreBlocksFn score_blocks_for(int bits) {
  switch (bits) {
    case 2: return &score_blocks<Isa, 2>;
    case 3: return &score_blocks<Isa, 3>;
    case 4: return &score_blocks<Isa, 4>;
  }
  return nullptr;
}

}  // namespace
}  // namespace kernels
}  // namespace velmora

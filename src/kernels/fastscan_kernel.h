// The integer bound pass, written once for the wide instruction sets (this
// header is included by the AVX2 and AVX-512 translation units; internal
// linkage throughout).
//
// A register of code bytes holds consecutive 16-byte fields of one block,
// and a register of table bytes the 16-entry u8 tables of the same fields.
// The low nibbles (vectors 0-15) and the high nibbles (vectors 16-31) each
// index the tables with one byte shuffle. Sums run in 16-bit lanes: adding the
// shuffled bytes as 16-bit words sums the even bytes (with the odd ones
// carried into the high halves, which wrap harmlessly), and a second sum of
// the words shifted right by 8 collects the odd bytes; even = all - odd * 256
// modulo 2^16. At most 256 fields are summed that way (256 * 255 < 2^16),
// then the sums are widened to 32 bits.
//
// No standard-library templates here: an instance compiled for a wide
// instruction set could be the one the linker keeps for every caller.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "block_format.h"
#include "kernels.h"

namespace velmora {
namespace kernels {
namespace {

inline constexpr std::size_t kFieldsPer16BitSum = 256;

// Survivor bits of 16 vectors whose 16-bit sums are in `first` (vectors
// 0-7) and `second` (8-15): set where sum > limit.
inline std::uint32_t above16(__m128i first, __m128i second, __m128i limit) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i pruned = _mm_packs_epi16(_mm_cmpeq_epi16(_mm_subs_epu16(first, limit), zero),
                                         _mm_cmpeq_epi16(_mm_subs_epu16(second, limit), zero));
  return ~static_cast<std::uint32_t>(_mm_movemask_epi8(pruned)) & 0xFFFFu;
}

template <class Isa>
void bound_blocks(const BoundBlocksArgs& a, std::size_t block_count, std::uint32_t* sums, std::uint32_t* survivors) {
  using I = typename Isa::I;
  constexpr std::size_t kFieldsPerLoad = 2 * Isa::kLanePairs;
  const I low_nibbles = Isa::splat8(0x0F);
  const bool widen = a.fields > kFieldsPer16BitSum;
  const __m128i limit16 = _mm_set1_epi16(static_cast<short>(a.limit < 0xFFFFu ? a.limit : 0xFFFFu));
  const __m256i limit32 = _mm256_set1_epi32(static_cast<int>(a.limit < 0x7FFFFFFFu ? a.limit : 0x7FFFFFFFu));
  for (std::size_t b = 0; b < block_count; ++b) {
    const std::uint8_t* block = a.blocks + b * a.block_bytes;
    __m128i quarter[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
    // (16-bit sums of vectors 0-7, 8-15, 16-23 and 24-31)
    __m256i wide[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                       _mm256_setzero_si256()};
    for (std::size_t first = 0; first < a.fields; first += kFieldsPer16BitSum) {
      const std::size_t last = a.fields < first + kFieldsPer16BitSum ? a.fields : first + kFieldsPer16BitSum;
      I all_low = Isa::zero_i(), odd_low = Isa::zero_i(), all_high = Isa::zero_i(), odd_high = Isa::zero_i();
      for (std::size_t f = first; f < last; f += kFieldsPerLoad) {
        const I codes = Isa::load_bytes(block + f * kFieldBytes);
        const I table = Isa::load_bytes(a.table + f * kFieldBytes);
        const I low = Isa::shuffle8(table, Isa::and_(codes, low_nibbles));
        const I high = Isa::shuffle8(table, Isa::and_(Isa::srli16(codes, 4), low_nibbles));
        all_low = Isa::add16(all_low, low);
        odd_low = Isa::add16(odd_low, Isa::srli16(low, 8));
        all_high = Isa::add16(all_high, high);
        odd_high = Isa::add16(odd_high, Isa::srli16(high, 8));
      }
      const __m128i even_l = Isa::sum_lanes16(Isa::sub16(all_low, Isa::slli16(odd_low, 8)));
      const __m128i odd_l = Isa::sum_lanes16(odd_low);
      const __m128i even_h = Isa::sum_lanes16(Isa::sub16(all_high, Isa::slli16(odd_high, 8)));
      const __m128i odd_h = Isa::sum_lanes16(odd_high);
      quarter[0] = _mm_unpacklo_epi16(even_l, odd_l);
      quarter[1] = _mm_unpackhi_epi16(even_l, odd_l);
      quarter[2] = _mm_unpacklo_epi16(even_h, odd_h);
      quarter[3] = _mm_unpackhi_epi16(even_h, odd_h);
      if (widen) {
        for (int q = 0; q < 4; ++q) wide[q] = _mm256_add_epi32(wide[q], _mm256_cvtepu16_epi32(quarter[q]));
      }
    }
    std::uint32_t* out = sums + b * kBlockLanes;
    if (!widen) {
      for (int q = 0; q < 4; ++q) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * q), _mm256_cvtepu16_epi32(quarter[q]));
      }
      survivors[b] = above16(quarter[0], quarter[1], limit16) | (above16(quarter[2], quarter[3], limit16) << 16);
    } else {
      std::uint32_t mask = 0;
      for (int q = 0; q < 4; ++q) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * q), wide[q]);
        const auto bits = static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(wide[q], limit32))));
        mask |= bits << (8 * q);
      }
      survivors[b] = mask;
    }
  }
}

}  // namespace
}  // namespace kernels
}  // namespace velmora

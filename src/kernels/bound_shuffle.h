// The integer bound pass with byte shuffles and 16-bit sums, written once for
// the x86 instruction sets (this header is included by the AVX2 and AVX-512
// translation units; internal linkage throughout).
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
// A group of queries shares each load of codes and its split into nibbles;
// each query adds its own table's shuffles. bound_kernel.h drives the pass.
//
// No standard-library templates here: an instance compiled for a wide
// instruction set could be the one the linker keeps for every caller.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/block_format.h"
#include "kernels/bound_kernel.h"
#include "kernels/kernels.h"

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
struct ShuffleBoundPass {
  // Each query keeps four accumulators, so a pass serves as many queries as
  // the registers allow.
  static constexpr int kQueriesPerPass = static_cast<int>(Isa::kBoundQueries);

  // The sums of one block for Q queries of a group, from query q0 on. The
  // codes of each register are split into nibbles once for all Q.
  template <int Q>
  void sum_block(const BoundGroupArgs& a, std::size_t q0, std::size_t b, std::size_t block_count, std::uint32_t* sums,
                 std::uint32_t* survivors) const {
    using I = typename Isa::I;
    constexpr std::size_t kFieldsPerLoad = 2 * Isa::kLanePairs;
    const I low_nibbles = Isa::splat8(0x0F);
    const bool widen = a.fields > kFieldsPer16BitSum;
    const std::uint8_t* block = a.blocks + b * a.block_bytes;
    // (16-bit sums of vectors 0-7, 8-15, 16-23 and 24-31, per query)
    __m128i quarter[Q][4];
    __m256i wide[Q][4];
    for (int q = 0; q < Q; ++q) {
      for (int j = 0; j < 4; ++j) {
        quarter[q][j] = _mm_setzero_si128();
        wide[q][j] = _mm256_setzero_si256();
      }
    }
    for (std::size_t first = 0; first < a.fields; first += kFieldsPer16BitSum) {
      const std::size_t last = a.fields < first + kFieldsPer16BitSum ? a.fields : first + kFieldsPer16BitSum;
      I all_low[Q], odd_low[Q], all_high[Q], odd_high[Q];
      for (int q = 0; q < Q; ++q) all_low[q] = odd_low[q] = all_high[q] = odd_high[q] = Isa::zero_i();
      for (std::size_t f = first; f < last; f += kFieldsPerLoad) {
        const I codes = Isa::load_bytes(block + f * kFieldBytes);
        const I low_index = Isa::and_(codes, low_nibbles);
        const I high_index = Isa::and_(Isa::srli16(codes, 4), low_nibbles);
        for (int q = 0; q < Q; ++q) {
          const I table = Isa::load_bytes(a.tables[q0 + q] + f * kFieldBytes);
          const I low = Isa::shuffle8(table, low_index);
          const I high = Isa::shuffle8(table, high_index);
          all_low[q] = Isa::add16(all_low[q], low);
          odd_low[q] = Isa::add16(odd_low[q], Q >= 2 ? Isa::odd_bytes16(low) : Isa::srli16(low, 8));
          all_high[q] = Isa::add16(all_high[q], high);
          odd_high[q] = Isa::add16(odd_high[q], Q >= 2 ? Isa::odd_bytes16(high) : Isa::srli16(high, 8));
        }
      }
      for (int q = 0; q < Q; ++q) {
        const __m128i even_l = Isa::sum_lanes16(Isa::sub16(all_low[q], Isa::slli16(odd_low[q], 8)));
        const __m128i odd_l = Isa::sum_lanes16(odd_low[q]);
        const __m128i even_h = Isa::sum_lanes16(Isa::sub16(all_high[q], Isa::slli16(odd_high[q], 8)));
        const __m128i odd_h = Isa::sum_lanes16(odd_high[q]);
        quarter[q][0] = _mm_unpacklo_epi16(even_l, odd_l);
        quarter[q][1] = _mm_unpackhi_epi16(even_l, odd_l);
        quarter[q][2] = _mm_unpacklo_epi16(even_h, odd_h);
        quarter[q][3] = _mm_unpackhi_epi16(even_h, odd_h);
        if (widen) {
          for (int j = 0; j < 4; ++j) wide[q][j] = _mm256_add_epi32(wide[q][j], _mm256_cvtepu16_epi32(quarter[q][j]));
        }
      }
    }
    for (int q = 0; q < Q; ++q) {
      const std::uint32_t limit = a.limits[q0 + q];
      std::uint32_t* out = sums + ((q0 + q) * block_count + b) * kBlockLanes;
      std::uint32_t* survived = survivors + (q0 + q) * block_count + b;
      if (!widen) {
        const __m128i limit16 = _mm_set1_epi16(static_cast<short>(limit < 0xFFFFu ? limit : 0xFFFFu));
        for (int j = 0; j < 4; ++j) {
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * j), _mm256_cvtepu16_epi32(quarter[q][j]));
        }
        *survived =
            above16(quarter[q][0], quarter[q][1], limit16) | (above16(quarter[q][2], quarter[q][3], limit16) << 16);
      } else {
        const __m256i limit32 = _mm256_set1_epi32(static_cast<int>(limit < 0x7FFFFFFFu ? limit : 0x7FFFFFFFu));
        std::uint32_t mask = 0;
        for (int j = 0; j < 4; ++j) {
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * j), wide[q][j]);
          const auto bits = static_cast<std::uint32_t>(
              _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(wide[q][j], limit32))));
          mask |= bits << (8 * j);
        }
        *survived = mask;
      }
    }
  }
};

}  // namespace
}  // namespace kernels
}  // namespace velmora

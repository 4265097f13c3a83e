// The integer bound pass with AVX2, one field of all 32 vectors per register.
//
// A field's 16 code bytes are broadcast to both 128-bit lanes; the low lane
// keeps the low nibbles (vectors 0-15) and the high lane the high nibbles
// (vectors 16-31), so one byte shuffle with the field's table broadcast the
// same way looks up the field for the whole block. Each query keeps two
// 16-bit accumulators for the 32 vectors, against four in the two-field
// formulation (bound_shuffle.h), so four queries share each split of the
// codes, and no lanes are folded at the end. The sums are the same: words
// added as 16-bit lanes sum the even bytes with the odd ones carried into
// the high halves, the odd bytes are summed on their own, and even = all -
// odd * 256 modulo 2^16; at most 256 fields are summed that way before the
// sums are widened to 32 bits. The odd bytes come from a multiply-add of
// byte pairs by (0, 1), which runs beside the shuffles rather than on their
// ports as a shift would.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/bound_kernel.h"
#include "kernels/instruction_sets.h"
#include "kernels/kernels.h"

namespace velmora {
namespace kernels {
namespace {

constexpr std::size_t kFieldsPer16BitSum = 256;

inline __m256i broadcast_field(const std::uint8_t* p) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// 16-bit sums of the even and odd vectors of each lane (vectors 2j and 2j + 1
// of the low lane, 16 + 2j and 17 + 2j of the high lane) as 32-bit sums of
// vectors 0-7, 8-15, 16-23 and 24-31.
inline void widen(__m256i all, __m256i odd, __m256i out[4]) {
  const __m256i even = _mm256_sub_epi16(all, _mm256_slli_epi16(odd, 8));
  const __m256i first = _mm256_unpacklo_epi16(even, odd);   // vectors 0-7 | 16-23
  const __m256i second = _mm256_unpackhi_epi16(even, odd);  // vectors 8-15 | 24-31
  out[0] = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(first));
  out[1] = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(second));
  out[2] = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(first, 1));
  out[3] = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(second, 1));
}

struct FieldBoundPass {
  // Four queries a pass: two accumulators each.
  static constexpr int kQueriesPerPass = 4;

  // The sums of one block for Q queries of a group, from query q0 on.
  template <int Q>
  void sum_block(const BoundGroupArgs& a, std::size_t q0, std::size_t b, std::size_t block_count, std::uint32_t* sums,
                 std::uint32_t* survivors) const {
    const __m256i low_nibbles = _mm256_set1_epi8(0x0F);
    const __m256i lane_shifts = _mm256_setr_epi32(0, 0, 0, 0, 4, 4, 4, 4);
    const __m256i odd_bytes = _mm256_set1_epi16(0x0100);
    const std::uint8_t* block = a.blocks + b * a.block_bytes;
    const std::uint8_t* tables[Q];
    for (int q = 0; q < Q; ++q) tables[q] = a.tables[q0 + q];
    __m256i total[Q][4];
    for (int q = 0; q < Q; ++q) {
      for (int j = 0; j < 4; ++j) total[q][j] = _mm256_setzero_si256();
    }
    for (std::size_t first = 0; first < a.fields; first += kFieldsPer16BitSum) {
      const std::size_t last = a.fields < first + kFieldsPer16BitSum ? a.fields : first + kFieldsPer16BitSum;
      __m256i all[Q], odd[Q];
      for (int q = 0; q < Q; ++q) all[q] = odd[q] = _mm256_setzero_si256();
      for (std::size_t f = first; f < last; ++f) {
        const std::size_t at = f * kFieldBytes;
        const __m256i index =
            _mm256_and_si256(_mm256_srlv_epi32(broadcast_field(block + at), lane_shifts), low_nibbles);
        for (int q = 0; q < Q; ++q) {
          const __m256i looked_up = _mm256_shuffle_epi8(broadcast_field(tables[q] + at), index);
          // (The empty asm statements keep each sum in one register: GCC
          // otherwise adds into a fresh register and copies it back.)
          all[q] = _mm256_add_epi16(all[q], looked_up);
          asm("" : "+x"(all[q]));
          const __m256i high = Q >= 2 ? _mm256_maddubs_epi16(looked_up, odd_bytes) : _mm256_srli_epi16(looked_up, 8);
          asm("" : "+x"(odd[q]));
          odd[q] = _mm256_add_epi16(odd[q], high);
          asm("" : "+x"(odd[q]));
        }
      }
      for (int q = 0; q < Q; ++q) {
        __m256i part[4];
        widen(all[q], odd[q], part);
        for (int j = 0; j < 4; ++j) total[q][j] = _mm256_add_epi32(total[q][j], part[j]);
      }
    }
    for (int q = 0; q < Q; ++q) {
      std::uint32_t* out = sums + ((q0 + q) * block_count + b) * kBlockLanes;
      // Sums stay below 2^31 (ScoreBound), so signed comparison is exact.
      const std::uint32_t limit = a.limits[q0 + q];
      const __m256i limit32 = _mm256_set1_epi32(static_cast<int>(limit < 0x7FFFFFFFu ? limit : 0x7FFFFFFFu));
      std::uint32_t mask = 0;
      for (int j = 0; j < 4; ++j) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * j), total[q][j]);
        const auto above = static_cast<std::uint32_t>(
            _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(total[q][j], limit32))));
        mask |= above << (8 * j);
      }
      survivors[(q0 + q) * block_count + b] = mask;
    }
  }
};

}  // namespace

BoundKernel bound_kernel_avx2_fields() { return bound_kernel<FieldBoundPass>("avx2-field-bound"); }

}  // namespace kernels
}  // namespace velmora

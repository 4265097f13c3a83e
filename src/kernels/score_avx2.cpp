// AVX2 scoring: a block's 16 lanes in two registers. A table row of up to
// eight entries is one register, looked up with vpermps, which reads only the
// low three bits of each index (so no masking is needed); a 16-entry row is
// two registers and a blend on bit 3 of the index.
#include <immintrin.h>

#include <cstring>

#include "score_kernel.h"

namespace velmora {
namespace kernels {
namespace {

std::uint32_t load_u32(const std::uint8_t* p) {
  std::uint32_t word;
  std::memcpy(&word, p, 4);  // may read past a field: the store pads its codes
  return word;
}

struct Avx2Isa {
  static constexpr int kGroup = 4;
  // For 4-bit codes `lo` holds the even lanes and `hi` the odd ones (one byte
  // carries two neighbouring lanes); for 2 and 3 bits lanes 0-7 and 8-15.
  struct Acc {
    __m256 lo, hi;
  };
  static Acc zero() { return {_mm256_setzero_ps(), _mm256_setzero_ps()}; }

  template <int Bits>
  struct Row {
    // A 4-entry row is repeated so that index bit 2 does not matter either.
    explicit Row(const float* p)
        : low(Bits == 2 ? _mm256_broadcast_ps(reinterpret_cast<const __m128*>(p)) : _mm256_loadu_ps(p)),
          high(Bits == 4 ? _mm256_loadu_ps(p + 8) : low) {}
    __m256 low, high;
  };

  // Index bits above 2 are ignored except bit 3, which `select` carries in its
  // sign bit.
  static __m256 lookup16(const Row<4>& row, __m256i index, __m256i select) {
    return _mm256_blendv_ps(_mm256_permutevar8x32_ps(row.low, index),
                            _mm256_permutevar8x32_ps(row.high, index), _mm256_castsi256_ps(select));
  }

  template <int Bits>
  static Acc add_lookup(Acc acc, const Row<Bits>& row, const std::uint8_t* field) {
    if constexpr (Bits == 4) {
      // Byte j holds lane 2j in its low nibble and lane 2j+1 in its high one.
      const __m256i bytes = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(field)));
      const __m256i odd = _mm256_srli_epi32(bytes, 4);
      acc.lo = _mm256_add_ps(acc.lo, lookup16(row, bytes, _mm256_slli_epi32(bytes, 28)));
      acc.hi = _mm256_add_ps(acc.hi, lookup16(row, odd, _mm256_slli_epi32(bytes, 24)));
    } else {
      const __m256i shifts = _mm256_setr_epi32(0, Bits, 2 * Bits, 3 * Bits, 4 * Bits, 5 * Bits,
                                               6 * Bits, 7 * Bits);
      const __m256i low_lanes = _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(load_u32(field))), shifts);
      const __m256i high_lanes =
          _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(load_u32(field + Bits))), shifts);
      acc.lo = _mm256_add_ps(acc.lo, _mm256_permutevar8x32_ps(row.low, low_lanes));
      acc.hi = _mm256_add_ps(acc.hi, _mm256_permutevar8x32_ps(row.low, high_lanes));
    }
    return acc;
  }

  static __m256 cosine(__m256 sum, __m256 norms, __m256 query_norm) {
    const __m256 denominator = _mm256_add_ps(_mm256_mul_ps(query_norm, norms), _mm256_set1_ps(kScoreEpsilon));
    return _mm256_div_ps(_mm256_mul_ps(sum, norms), denominator);
  }

  template <int Bits>
  static void finish(const Acc& acc, const float* norms, float query_norm, float* out) {
    __m256 first = acc.lo, second = acc.hi;
    if constexpr (Bits == 4) {
      // Back to lane order: even/odd halves interleave into lanes 0-7, 8-15.
      const __m256 a = _mm256_unpacklo_ps(acc.lo, acc.hi);  // 0 1 2 3 | 8 9 10 11
      const __m256 b = _mm256_unpackhi_ps(acc.lo, acc.hi);  // 4 5 6 7 | 12 13 14 15
      first = _mm256_permute2f128_ps(a, b, 0x20);
      second = _mm256_permute2f128_ps(a, b, 0x31);
    }
    const __m256 qn = _mm256_set1_ps(query_norm);
    _mm256_storeu_ps(out, cosine(first, _mm256_loadu_ps(norms), qn));
    _mm256_storeu_ps(out + 8, cosine(second, _mm256_loadu_ps(norms + 8), qn));
  }
};

}  // namespace

ScoreBlocksFn score_blocks_avx2(int bits) { return score_blocks_for<Avx2Isa>(bits); }

}  // namespace kernels
}  // namespace velmora

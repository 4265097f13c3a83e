// AVX2 scoring: a block's 16 lanes in two registers; a table row of up to
// eight entries is one register and is looked up with vpermps (a 16-entry row
// is two registers and a blend on bit 3 of the index).
#include <immintrin.h>

#include <cstring>

#include "score_kernel.h"

namespace velmora {
namespace kernels {
namespace {

struct Avx2Isa {
  static constexpr int kGroup = 4;
  struct Acc {
    __m256 lo, hi;
  };
  static Acc zero() { return {_mm256_setzero_ps(), _mm256_setzero_ps()}; }

  template <int Bits>
  struct Row {
    explicit Row(const float* p)
        : low(Bits == 2 ? _mm256_castps128_ps256(_mm_loadu_ps(p)) : _mm256_loadu_ps(p)),
          high(Bits == 4 ? _mm256_loadu_ps(p + 8) : low) {}
    __m256 low, high;
  };

  template <int Bits>
  static __m256 lookup(const Row<Bits>& row, __m256i index) {
    const __m256 low = _mm256_permutevar8x32_ps(row.low, index);
    if (Bits < 4) return low;
    const __m256 high = _mm256_permutevar8x32_ps(row.high, index);
    return _mm256_blendv_ps(low, high, _mm256_castsi256_ps(_mm256_slli_epi32(index, 28)));
  }

  // Eight codes of one half-field, one per 32-bit lane.
  template <int Bits>
  static __m256i expand(const std::uint8_t* half_field) {
    std::uint32_t word;
    std::memcpy(&word, half_field, 4);  // may read past the half: the store pads
    const __m256i shifts = _mm256_setr_epi32(0, Bits, 2 * Bits, 3 * Bits, 4 * Bits, 5 * Bits,
                                             6 * Bits, 7 * Bits);
    const __m256i shifted = _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(word)), shifts);
    return _mm256_and_si256(shifted, _mm256_set1_epi32((1 << Bits) - 1));
  }

  template <int Bits>
  static Acc add_lookup(Acc acc, const Row<Bits>& row, const std::uint8_t* field) {
    acc.lo = _mm256_add_ps(acc.lo, lookup<Bits>(row, expand<Bits>(field)));
    acc.hi = _mm256_add_ps(acc.hi, lookup<Bits>(row, expand<Bits>(field + Bits)));
    return acc;
  }

  static void finish(const Acc& acc, const float* norms, float query_norm, float* out) {
    const __m256 qn = _mm256_set1_ps(query_norm);
    const __m256 eps = _mm256_set1_ps(kScoreEpsilon);
    const __m256 n_lo = _mm256_loadu_ps(norms), n_hi = _mm256_loadu_ps(norms + 8);
    _mm256_storeu_ps(out, _mm256_div_ps(_mm256_mul_ps(acc.lo, n_lo),
                                        _mm256_add_ps(_mm256_mul_ps(qn, n_lo), eps)));
    _mm256_storeu_ps(out + 8, _mm256_div_ps(_mm256_mul_ps(acc.hi, n_hi),
                                            _mm256_add_ps(_mm256_mul_ps(qn, n_hi), eps)));
  }
};

}  // namespace

ScoreBlocksFn score_blocks_avx2(int bits) { return score_blocks_for<Avx2Isa>(bits); }

}  // namespace kernels
}  // namespace velmora

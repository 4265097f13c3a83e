// AVX-512 scoring: a block's 16 lanes in one register; a table row of up to
// 16 entries is one register, looked up with vpermps.
#include <immintrin.h>

#include <cstring>

#include "score_kernel.h"

namespace velmora {
namespace kernels {
namespace {

struct Avx512Isa {
  static constexpr int kGroup = 4;
  struct Acc {
    __m512 v;
  };
  static Acc zero() { return {_mm512_setzero_ps()}; }

  template <int Bits>
  struct Row {
    // Indices stay below 2^Bits, so lanes past the row are never selected.
    explicit Row(const float* p)
        : entries(Bits == 4   ? _mm512_loadu_ps(p)
                  : Bits == 3 ? _mm512_castps256_ps512(_mm256_loadu_ps(p))
                              : _mm512_castps128_ps512(_mm_loadu_ps(p))) {}
    __m512 entries;
  };

  template <int Bits>
  static Acc add_lookup(Acc acc, const Row<Bits>& row, const std::uint8_t* field) {
    std::uint32_t low_word, high_word;
    std::memcpy(&low_word, field, 4);  // may read past the field: the store pads
    std::memcpy(&high_word, field + Bits, 4);
    const __m512i words = _mm512_inserti64x4(
        _mm512_castsi256_si512(_mm256_set1_epi32(static_cast<int>(low_word))),
        _mm256_set1_epi32(static_cast<int>(high_word)), 1);
    const __m512i shifts =
        _mm512_setr_epi32(0, Bits, 2 * Bits, 3 * Bits, 4 * Bits, 5 * Bits, 6 * Bits, 7 * Bits, 0,
                          Bits, 2 * Bits, 3 * Bits, 4 * Bits, 5 * Bits, 6 * Bits, 7 * Bits);
    const __m512i index =
        _mm512_and_si512(_mm512_srlv_epi32(words, shifts), _mm512_set1_epi32((1 << Bits) - 1));
    acc.v = _mm512_add_ps(acc.v, _mm512_permutexvar_ps(index, row.entries));
    return acc;
  }

  template <int Bits>
  static void finish(const Acc& acc, const float* norms, float query_norm, float* out) {
    const __m512 n = _mm512_loadu_ps(norms);
    const __m512 denominator =
        _mm512_add_ps(_mm512_mul_ps(_mm512_set1_ps(query_norm), n), _mm512_set1_ps(kScoreEpsilon));
    _mm512_storeu_ps(out, _mm512_div_ps(_mm512_mul_ps(acc.v, n), denominator));
  }
};

}  // namespace

ScoreBlocksFn score_blocks_avx512(int bits) { return score_blocks_for<Avx512Isa>(bits); }

}  // namespace kernels
}  // namespace velmora

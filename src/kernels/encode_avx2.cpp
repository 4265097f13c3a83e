// AVX2 quantisation: a coordinate's cell is the number of interior
// boundaries at or below it, counted for eight coordinates at once.
#include <immintrin.h>

#include "kernels/instruction_sets.h"

namespace velmora {
namespace kernels {

void quantize_avx2(const float* interior, std::size_t interior_count, const float* x, std::size_t n,
                   std::uint8_t* out) {
  __m256 edges[15];
  for (std::size_t j = 0; j < interior_count; ++j) edges[j] = _mm256_set1_ps(interior[j]);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(x + i);
    __m256i count = _mm256_setzero_si256();
    for (std::size_t j = 0; j < interior_count; ++j) {
      // An ordered compare: false for NaN, so NaN lands in cell 0.
      count = _mm256_sub_epi32(count, _mm256_castps_si256(_mm256_cmp_ps(edges[j], v, _CMP_LE_OQ)));
    }
    alignas(32) int cells[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(cells), count);
    for (int l = 0; l < 8; ++l) out[i + l] = static_cast<std::uint8_t>(cells[l]);
  }
  for (; i < n; ++i) {
    unsigned cell = 0;
    for (std::size_t j = 0; j < interior_count; ++j) cell += interior[j] <= x[i];
    out[i] = static_cast<std::uint8_t>(cell);
  }
}

}  // namespace kernels
}  // namespace velmora

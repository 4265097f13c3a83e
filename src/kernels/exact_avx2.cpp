// The exact kernels for AVX2: vpermps rows and byte planes; scattered lanes
// at 4 bits picked out of their blocks with byte shuffles (shuffled_lanes.h).
#include "kernels/exact_kernel.h"
#include "kernels/instruction_sets.h"
#include "kernels/isa_avx2.h"
#include "kernels/shuffled_lanes.h"

namespace velmora {
namespace kernels {
namespace {

// Scattered lanes at 4 bits (shuffled_lanes.h): eight 32-byte loads of two
// fields each, a byte shuffle per load, and each coordinate's row of 16
// entries as two permutes of eight and a blend on the code's top bit.
struct Avx2Picker {
  struct Picks {
    __m256i at[8];  // the column's byte to byte m of each 16, for loads m = 0..7
  };
  static Picks picks_for(unsigned lane) {
    Picks picks;
    for (int m = 0; m < 8; ++m) picks.at[m] = _mm256_broadcastsi128_si256(column_pick(lane % 16, m));
    return picks;
  }
  static __m128i column_bytes(const std::uint8_t* fields, const Picks& picks) {
    __m256i parts = _mm256_setzero_si256();
    for (int m = 0; m < 8; ++m) {
      const __m256i two = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(fields + 32 * m));
      parts = _mm256_or_si256(parts, _mm256_shuffle_epi8(two, picks.at[m]));
    }
    // The low half holds the even fields in order, the high half the odd.
    return _mm_unpacklo_epi8(_mm256_castsi256_si128(parts), _mm256_extracti128_si256(parts, 1));
  }
  static __m256 entries(const float* row, __m256i code) {
    const __m256 low = _mm256_permutevar8x32_ps(_mm256_loadu_ps(row), code);
    const __m256 high = _mm256_permutevar8x32_ps(_mm256_loadu_ps(row + 8), code);
    return _mm256_blendv_ps(low, high, _mm256_castsi256_ps(_mm256_slli_epi32(code, 28)));
  }
};

}  // namespace

ExactKernel permute_kernel_avx2(int bits) {
  return exact_kernel<PermuteLookup<Avx2Isa>, ShuffledLanes<Avx2Picker>>("avx2-permute", bits);
}
ExactKernel plane_kernel_avx2(int bits) {
  return exact_kernel<PlaneLookup<Avx2Isa, 1>, ShuffledLanes<Avx2Picker>>("avx2-planes", bits);
}

}  // namespace kernels
}  // namespace velmora

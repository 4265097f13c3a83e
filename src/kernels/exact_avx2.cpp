// The exact kernels for AVX2: vpermps rows and byte planes; scattered lanes
// at 4 bits picked out of their blocks with byte shuffles.
#include "kernels/exact_kernel.h"
#include "kernels/instruction_sets.h"
#include "kernels/isa_avx2.h"

namespace velmora {
namespace kernels {
namespace {

// Three to eight scattered lanes at 4 bits in the eight 32-bit lanes of a
// register, as ShuffledLanes4 does them with AVX-512 (exact_avx512.cpp): a
// lane's sixteen coordinates are one byte of each of 256 consecutive bytes,
// picked out by byte shuffles, transposed into eight lanes' bytes per
// coordinate, and looked up in the coordinate's row of 16 entries (two
// eight-entry permutes and a blend on the code's top bit), added in
// coordinate order from +0.0 as PortableLanes adds them. Other widths take
// the plain loop.
struct ShuffledLanes {
  static constexpr std::size_t kFewest = 3;  // below, the plain loop is faster
  static constexpr std::size_t kChunk = 16;  // coordinates picked out at once

  // Lane column `column` (0-15) of the chunk's 16 fields at `fields`, in
  // coordinate order; picks[m] puts the column's byte of each of the two
  // fields of load m at byte m of its half, zeroing the rest.
  static __m128i column_bytes(const std::uint8_t* fields, const __m256i* picks) {
    __m256i parts = _mm256_setzero_si256();
    for (int m = 0; m < 8; ++m) {
      const __m256i two = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(fields + 32 * m));
      parts = _mm256_or_si256(parts, _mm256_shuffle_epi8(two, picks[m]));
    }
    // The low half holds the even fields in order, the high half the odd.
    return _mm_unpacklo_epi8(_mm256_castsi256_si128(parts), _mm256_extracti128_si256(parts, 1));
  }

  template <int Bits>
  static void score(const float* lut, std::size_t dim, const ScatteredLanes& v, float query_norm, float* out) {
    if (Bits != 4 || v.count < kFewest) {
      PortableLanes::score<Bits>(lut, dim, v, query_norm, out);
      return;
    }
    // Lanes past the count repeat lane 0; their scores are dropped.
    const std::uint8_t* blocks[kMaxScatteredLanes];
    __m256i picks[kMaxScatteredLanes][8];
    alignas(32) int shifts[kMaxScatteredLanes];
    alignas(32) float norms[kMaxScatteredLanes];
    for (std::size_t j = 0; j < kMaxScatteredLanes; ++j) {
      const std::size_t from = j < v.count ? j : 0;
      const unsigned lane = v.lanes[from];
      blocks[j] = v.blocks[from];
      shifts[j] = static_cast<int>(nibble_shift(lane));
      norms[j] = v.norms[from];
      for (int m = 0; m < 8; ++m) {
        alignas(16) std::int8_t pick[16];
        for (int byte = 0; byte < 16; ++byte) pick[byte] = byte == m ? static_cast<std::int8_t>(lane % 16) : -1;
        picks[j][m] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(pick)));
      }
    }
    const __m256i shift_vector = _mm256_load_si256(reinterpret_cast<const __m256i*>(shifts));
    const __m256i nibble = _mm256_set1_epi32(15);
    __m256 sums = _mm256_setzero_ps();
    const std::size_t chunks = dim / kChunk;
    for (std::size_t c = 0; c < chunks; ++c) {
      __m128i rows[kMaxScatteredLanes];
      for (std::size_t j = 0; j < kMaxScatteredLanes; ++j) {
        rows[j] = column_bytes(blocks[j] + c * kChunk * kFieldBytes, picks[j]);
      }
      // Eight lanes of 16 bytes into 16 coordinates of eight bytes: pairs of
      // lanes by byte, then by 16 and 32 bits; transposed[h] holds
      // coordinates 2h and 2h + 1.
      __m128i pairs[8], quads[8], transposed[8];
      for (int p = 0; p < 4; ++p) {
        pairs[2 * p] = _mm_unpacklo_epi8(rows[2 * p], rows[2 * p + 1]);
        pairs[2 * p + 1] = _mm_unpackhi_epi8(rows[2 * p], rows[2 * p + 1]);
      }
      for (int h = 0; h < 2; ++h) {
        for (int half = 0; half < 2; ++half) {
          const __m128i low = pairs[4 * h + half], high = pairs[4 * h + 2 + half];
          quads[4 * h + 2 * half] = _mm_unpacklo_epi16(low, high);
          quads[4 * h + 2 * half + 1] = _mm_unpackhi_epi16(low, high);
        }
      }
      for (int q = 0; q < 4; ++q) {
        transposed[2 * q] = _mm_unpacklo_epi32(quads[q], quads[4 + q]);
        transposed[2 * q + 1] = _mm_unpackhi_epi32(quads[q], quads[4 + q]);
      }
      const float* row = lut + ((c * kChunk) << 4);
      for (int h = 0; h < 8; ++h) {
        for (int t = 0; t < 2; ++t) {
          const __m128i bytes = t == 0 ? transposed[h] : _mm_unpackhi_epi64(transposed[h], transposed[h]);
          const __m256i code = _mm256_and_si256(_mm256_srlv_epi32(_mm256_cvtepu8_epi32(bytes), shift_vector), nibble);
          const __m256 low = _mm256_permutevar8x32_ps(_mm256_loadu_ps(row), code);
          const __m256 high = _mm256_permutevar8x32_ps(_mm256_loadu_ps(row + 8), code);
          sums = _mm256_add_ps(sums, _mm256_blendv_ps(low, high, _mm256_castsi256_ps(_mm256_slli_epi32(code, 28))));
          row += 16;
        }
      }
    }
    alignas(32) float lane_sums[kMaxScatteredLanes];
    _mm256_store_ps(lane_sums, sums);
    for (std::size_t i = chunks * kChunk; i < dim; ++i) {
      const float* row = lut + (i << 4);
      for (std::size_t j = 0; j < v.count; ++j) {
        const unsigned code = (blocks[j][i * kFieldBytes + v.lanes[j] % 16] >> shifts[j]) & 15u;
        lane_sums[j] = lane_sums[j] + row[code];
      }
    }
    const __m256 norm_vector = _mm256_load_ps(norms);
    const __m256 denominator =
        _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(query_norm), norm_vector), _mm256_set1_ps(kScoreEpsilon));
    alignas(32) float scores[kMaxScatteredLanes];
    _mm256_store_ps(scores, _mm256_div_ps(_mm256_mul_ps(_mm256_load_ps(lane_sums), norm_vector), denominator));
    for (std::size_t j = 0; j < v.count; ++j) out[j] = scores[j];
  }
};

}  // namespace

ExactKernel permute_kernel_avx2(int bits) {
  return exact_kernel<PermuteLookup<Avx2Isa>, ShuffledLanes>("avx2-permute", bits);
}
ExactKernel plane_kernel_avx2(int bits) {
  return exact_kernel<PlaneLookup<Avx2Isa, 1>, ShuffledLanes>("avx2-planes", bits);
}

}  // namespace kernels
}  // namespace velmora

// Scattered lanes at 4 bits, written once over an instruction set's byte
// shuffles and table look-ups: three to eight lanes of any blocks in the
// eight 32-bit lanes of a register. A field is one coordinate (byte
// lane % 16 holds the lane's code in the nibble nibble_shift(lane)), so
// sixteen coordinates of a lane are one byte of each of 256 consecutive
// bytes: the shuffles pick them out into sixteen bytes per lane, a transpose
// makes them eight lanes' bytes per coordinate, and each coordinate's
// entries come from its row of 16, added in coordinate order from +0.0 as
// PortableLanes adds them. Other widths, and fewer lanes, take the plain
// loop.
//
// A `Picker` provides
//   Picks, picks_for(lane) (the shuffle controls of a lane's column),
//   column_bytes(fields, picks) (the column's 16 bytes of the 16 fields at
//     `fields`, in coordinate order), and
//   entries(row, code) (row[code] for eight codes, a row of 16 floats).
// Included only by the instruction-set files; internal linkage throughout.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/exact_kernel.h"

namespace velmora {
namespace kernels {
namespace {

template <class Picker>
struct ShuffledLanes {
  static constexpr std::size_t kFewest = 3;  // below, the plain loop is faster
  static constexpr std::size_t kChunk = 16;  // coordinates picked out at once

  template <int Bits>
  static void score(const float* lut, std::size_t dim, const ScatteredLanes& v, float query_norm, float* out) {
    if (Bits != 4 || v.count < kFewest) {
      PortableLanes::score<Bits>(lut, dim, v, query_norm, out);
      return;
    }
    // Lanes past the count repeat lane 0; their scores are dropped.
    const std::uint8_t* blocks[kMaxScatteredLanes];
    typename Picker::Picks picks[kMaxScatteredLanes];
    alignas(32) int shifts[kMaxScatteredLanes];
    alignas(32) float norms[kMaxScatteredLanes];
    for (std::size_t j = 0; j < kMaxScatteredLanes; ++j) {
      const std::size_t from = j < v.count ? j : 0;
      const unsigned lane = v.lanes[from];
      blocks[j] = v.blocks[from];
      shifts[j] = static_cast<int>(nibble_shift(lane));
      norms[j] = v.norms[from];
      picks[j] = Picker::picks_for(lane);
    }
    const __m256i shift_vector = _mm256_load_si256(reinterpret_cast<const __m256i*>(shifts));
    const __m256i nibble = _mm256_set1_epi32(15);
    __m256 sums = _mm256_setzero_ps();
    const std::size_t chunks = dim / kChunk;
    for (std::size_t c = 0; c < chunks; ++c) {
      __m128i rows[kMaxScatteredLanes];
      for (std::size_t j = 0; j < kMaxScatteredLanes; ++j) {
        rows[j] = Picker::column_bytes(blocks[j] + c * kChunk * kFieldBytes, picks[j]);
      }
      __m128i transposed[8];
      transpose(rows, transposed);
      const float* row = lut + ((c * kChunk) << 4);
      for (int h = 0; h < 8; ++h) {
        for (int t = 0; t < 2; ++t) {
          const __m128i bytes = t == 0 ? transposed[h] : _mm_unpackhi_epi64(transposed[h], transposed[h]);
          const __m256i code = _mm256_and_si256(_mm256_srlv_epi32(_mm256_cvtepu8_epi32(bytes), shift_vector), nibble);
          sums = _mm256_add_ps(sums, Picker::entries(row, code));
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

  // Eight lanes of 16 bytes into 16 coordinates of eight bytes: pairs of
  // lanes by byte, then by 16 and 32 bits; transposed[h] holds coordinates
  // 2h and 2h + 1.
  static void transpose(const __m128i* rows, __m128i* transposed) {
    __m128i pairs[8], quads[8];
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
  }
};

// The shuffle control that puts byte `column` of each 16 at byte `at`,
// zeroing the rest.
inline __m128i column_pick(unsigned column, int at) {
  alignas(16) std::int8_t pick[16];
  for (int byte = 0; byte < 16; ++byte) pick[byte] = byte == at ? static_cast<std::int8_t>(column) : -1;
  return _mm_load_si128(reinterpret_cast<const __m128i*>(pick));
}

}  // namespace
}  // namespace kernels
}  // namespace velmora

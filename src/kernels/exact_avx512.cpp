// The exact kernels for AVX-512: vpermps rows of 16 entries and byte planes
// two blocks to a register; scattered lanes at 2 and 3 bits gathered up to
// eight at a time, at 4 bits picked out of their blocks with byte shuffles.
#include "kernels/exact_kernel.h"
#include "kernels/instruction_sets.h"
#include "kernels/isa_avx512.h"
#include "kernels/shuffled_lanes.h"

namespace velmora {
namespace kernels {
namespace {

// Scattered lanes at 4 bits (shuffled_lanes.h): four 64-byte loads of four
// fields each, a byte shuffle per load, and each coordinate's row of 16
// entries in two registers of one permute.
struct Avx512Picker {
  struct Picks {
    __m512i at[4];  // the column's byte to byte a of each 16, for loads a = 0..3
  };
  static Picks picks_for(unsigned lane) {
    Picks picks;
    for (int a = 0; a < 4; ++a) picks.at[a] = _mm512_broadcast_i32x4(column_pick(lane % 16, a));
    return picks;
  }
  static __m128i column_bytes(const std::uint8_t* fields, const Picks& picks) {
    // 16-byte part k of the shuffled loads' union holds fields k, 4 + k,
    // 8 + k and 12 + k.
    const __m512i a = _mm512_shuffle_epi8(_mm512_loadu_si512(fields), picks.at[0]);
    const __m512i b = _mm512_shuffle_epi8(_mm512_loadu_si512(fields + 64), picks.at[1]);
    const __m512i c = _mm512_shuffle_epi8(_mm512_loadu_si512(fields + 128), picks.at[2]);
    const __m512i d = _mm512_shuffle_epi8(_mm512_loadu_si512(fields + 192), picks.at[3]);
    const __m512i parts = _mm512_or_si512(_mm512_or_si512(a, b), _mm512_or_si512(c, d));
    // The first dword of each part side by side (byte 4k + a is field 4a + k),
    // then the 4 x 4 transpose into field order.
    const __m128i gathered = _mm512_castsi512_si128(
        _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 4, 8, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), parts));
    return _mm_shuffle_epi8(gathered, _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15));
  }
  static __m256 entries(const float* row, __m256i code) {
    return _mm256_permutex2var_ps(_mm256_loadu_ps(row), code, _mm256_loadu_ps(row + 8));
  }
};

// Five to eight scattered lanes in the eight 32-bit lanes of a register. Each
// lane's field bytes are gathered as the aligned dword of its field that
// holds them (never past the field), shifted by the lane's place in that
// dword, and its entries looked up in the row with a permute: the same
// entries added in the same order as PortableLanes.
struct GatherLanes {
  static constexpr std::size_t kFewestGathered = 5;

  template <int Bits>
  static __m256 entries(const float* row, __m256i code) {
    if constexpr (Bits == 4) {
      return _mm256_permutex2var_ps(_mm256_loadu_ps(row), code, _mm256_loadu_ps(row + 8));
    } else {
      // Masked: the last row may end the table.
      return _mm256_permutexvar_ps(code, _mm256_maskz_loadu_ps(static_cast<__mmask8>((1u << (1 << Bits)) - 1u), row));
    }
  }

  template <int Bits, int Count>
  static void add_step(__m256& sums, const float* lut, std::size_t step, const std::uint8_t* base, __m512i offsets,
                       __m256i shifts) {
    using Code = StepCode<Bits>;
    __m256i raw[Code::kFields];
    for (int f = 0; f < Code::kFields; ++f) {
      const __m512i at = _mm512_add_epi64(
          offsets, _mm512_set1_epi64(static_cast<long long>((step * Code::kFields + f) * kFieldBytes)));
      raw[f] = _mm256_srlv_epi32(_mm512_i64gather_epi32(at, base, 1), shifts);
    }
    for (int r = 0; r < Count; ++r) {
      __m256i code;
      if (Code::split(r)) {
        // Bit 3 of field q becomes bit q of the code.
        code = _mm256_and_si256(_mm256_srli_epi32(raw[0], 3), _mm256_set1_epi32(1));
        code =
            _mm256_or_si256(code, _mm256_and_si256(_mm256_srli_epi32(raw[1 % Code::kFields], 2), _mm256_set1_epi32(2)));
        code =
            _mm256_or_si256(code, _mm256_and_si256(_mm256_srli_epi32(raw[2 % Code::kFields], 1), _mm256_set1_epi32(4)));
      } else {
        code = _mm256_and_si256(_mm256_srli_epi32(raw[Code::field(r)], Code::shift(r)),
                                _mm256_set1_epi32((1 << Bits) - 1));
      }
      const float* row = lut + ((step * Code::kCoordinates + static_cast<std::size_t>(r)) << Bits);
      sums = _mm256_add_ps(sums, entries<Bits>(row, code));
    }
  }

  template <int Bits>
  static void score(const float* lut, std::size_t dim, const ScatteredLanes& v, float query_norm, float* out) {
    // A gather costs about as much for one lane as for eight, and at 4 bits
    // it would bring one code per lane (a field holds one coordinate).
    if constexpr (Bits == 4) {
      ShuffledLanes<Avx512Picker>::score<4>(lut, dim, v, query_norm, out);
      return;
    } else if (v.count < kFewestGathered) {
      PortableLanes::score<Bits>(lut, dim, v, query_norm, out);
      return;
    }
    using Code = StepCode<Bits>;
    // Lanes past the count repeat lane 0; their scores are dropped.
    const std::uint8_t* base = v.blocks[0];
    alignas(64) long long offsets[kMaxScatteredLanes];
    alignas(32) int shifts[kMaxScatteredLanes];
    alignas(32) float norms[kMaxScatteredLanes];
    for (std::size_t j = 0; j < kMaxScatteredLanes; ++j) {
      const std::size_t from = j < v.count ? j : 0;
      const unsigned lane = v.lanes[from];
      offsets[j] = static_cast<long long>(v.blocks[from] - base) + static_cast<long long>(lane % 16 / 4 * 4);
      shifts[j] = static_cast<int>(8 * (lane % 4) + nibble_shift(lane));
      norms[j] = v.norms[from];
    }
    const __m512i offset_vector = _mm512_load_si512(offsets);
    const __m256i shift_vector = _mm256_load_si256(reinterpret_cast<const __m256i*>(shifts));
    __m256 sums = _mm256_setzero_ps();
    const std::size_t steps = dim / Code::kCoordinates, rest = dim % Code::kCoordinates;
    for (std::size_t s = 0; s < steps; ++s) {
      add_step<Bits, Code::kCoordinates>(sums, lut, s, base, offset_vector, shift_vector);
    }
    if constexpr (Code::kCoordinates > 1) {
      if (rest == 1) add_step<Bits, 1>(sums, lut, steps, base, offset_vector, shift_vector);
    }
    if constexpr (Code::kCoordinates > 2) {
      if (rest == 2) add_step<Bits, 2>(sums, lut, steps, base, offset_vector, shift_vector);
      if (rest == 3) add_step<Bits, 3>(sums, lut, steps, base, offset_vector, shift_vector);
    }
    const __m256 norm_vector = _mm256_load_ps(norms);
    const __m256 denominator =
        _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(query_norm), norm_vector), _mm256_set1_ps(kScoreEpsilon));
    alignas(32) float scores[kMaxScatteredLanes];
    _mm256_store_ps(scores, _mm256_div_ps(_mm256_mul_ps(sums, norm_vector), denominator));
    for (std::size_t j = 0; j < v.count; ++j) out[j] = scores[j];
  }
};

}  // namespace

ExactKernel permute_kernel_avx512(int bits) {
  return exact_kernel<PermuteLookup<Avx512Isa>, GatherLanes>("avx512-permute", bits);
}
ExactKernel plane_kernel_avx512(int bits) {
  return exact_kernel<PlaneLookup<Avx512Isa, 1>, GatherLanes>("avx512-planes", bits);
}

}  // namespace kernels
}  // namespace velmora

// AVX-512 (F, BW, VL, DQ) register operations for the kernel templates.
// Included only by translation units compiled for AVX-512; internal linkage
// throughout.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace velmora {
namespace kernels {
namespace {

struct Avx512Isa {
  using I = __m512i;
  using F = __m512;
  static constexpr int kFloatLanes = 16;
  static constexpr int kBlocksPerReg = 2;  // two blocks' 32 byte lanes each
  static constexpr int kPermuteBlocks = 2;
  static constexpr int kLanePairs = 2;
  static constexpr std::size_t kBoundQueries = 4;  // queries per bound pass over a block: 4 registers each

  static F zero() { return _mm512_setzero_ps(); }
  static F splat(float x) { return _mm512_set1_ps(x); }
  static F add(F a, F b) { return _mm512_add_ps(a, b); }
  static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
  static F div(F a, F b) { return _mm512_div_ps(a, b); }
  static F load(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, F x) { _mm512_storeu_ps(p, x); }
  static F as_float(I x) { return _mm512_castsi512_ps(x); }

  static I splat8(int x) { return _mm512_set1_epi8(static_cast<char>(x)); }
  static I splat32(int x) { return _mm512_set1_epi32(x); }
  static I and_(I a, I b) { return _mm512_and_si512(a, b); }
  static I or_(I a, I b) { return _mm512_or_si512(a, b); }
  static I srli32(I x, int n) { return _mm512_srli_epi32(x, static_cast<unsigned>(n)); }
  static I slli32(I x, int n) { return _mm512_slli_epi32(x, static_cast<unsigned>(n)); }
  static I slli16(I x, int n) { return _mm512_slli_epi16(x, static_cast<unsigned>(n)); }
  static I srli16(I x, int n) { return _mm512_srli_epi16(x, static_cast<unsigned>(n)); }
  static I add16(I a, I b) { return _mm512_add_epi16(a, b); }
  static I sub16(I a, I b) { return _mm512_sub_epi16(a, b); }

  // --- vpermps rows: 16 entries, index bits 0-3
  template <int Bits>
  static constexpr int permute_entries() {
    return 16;
  }
  template <int Bits>
  struct Row {
    explicit Row(const float* p) : entries(_mm512_loadu_ps(p)) {}
    F entries;
  };
  template <int Bits>
  static F lookup(const Row<Bits>& row, I index) {
    return _mm512_permutexvar_ps(index, row.entries);
  }
  // Sixteen bytes, zero-extended to 32-bit lanes.
  static I widen_bytes(const std::uint8_t* p) {
    return _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }

  // --- byte planes
  static I broadcast16(const std::uint8_t* p) {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  // Lanes 0-1 hold the first block's field, lanes 2-3 the second's.
  static I load_fields(const std::uint8_t* const* blocks, std::size_t offset) {
    return _mm512_mask_broadcast_i32x4(broadcast16(blocks[0] + offset), 0xFF00,
                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks[1] + offset)));
  }
  static I srl_nibbles(I x, int extra) {
    const int e = extra, o = extra + 4;
    return _mm512_srlv_epi32(x, _mm512_setr_epi32(e, e, e, e, o, o, o, o, e, e, e, e, o, o, o, o));
  }
  static I shuffle8(I table, I index) { return _mm512_shuffle_epi8(table, index); }
  static I unpacklo8(I a, I b) { return _mm512_unpacklo_epi8(a, b); }
  static I unpackhi8(I a, I b) { return _mm512_unpackhi_epi8(a, b); }
  static I unpacklo16(I a, I b) { return _mm512_unpacklo_epi16(a, b); }
  static I unpackhi16(I a, I b) { return _mm512_unpackhi_epi16(a, b); }
  static F load_quads(const float* const* blocks, std::size_t at) {
    const __m256 first = _mm256_set_m128(_mm_loadu_ps(blocks[0] + 16 + at), _mm_loadu_ps(blocks[0] + at));
    const __m256 second = _mm256_set_m128(_mm_loadu_ps(blocks[1] + 16 + at), _mm_loadu_ps(blocks[1] + at));
    return _mm512_insertf32x8(_mm512_castps256_ps512(first), second, 1);
  }
  static void store_quads(float* const* blocks, std::size_t at, F x) {
    _mm_storeu_ps(blocks[0] + at, _mm512_extractf32x4_ps(x, 0));
    _mm_storeu_ps(blocks[0] + 16 + at, _mm512_extractf32x4_ps(x, 1));
    _mm_storeu_ps(blocks[1] + at, _mm512_extractf32x4_ps(x, 2));
    _mm_storeu_ps(blocks[1] + 16 + at, _mm512_extractf32x4_ps(x, 3));
  }

  // --- integer bounds
  static I load_bytes(const std::uint8_t* p) { return _mm512_loadu_si512(p); }
  static I zero_i() { return _mm512_setzero_si512(); }
  static I odd_bytes16(I x) { return _mm512_srli_epi16(x, 8); }  // the high byte of each 16-bit lane
  static __m128i sum_lanes16(I x) {
    const __m256i half = _mm256_add_epi16(_mm512_castsi512_si256(x), _mm512_extracti64x4_epi64(x, 1));
    return _mm_add_epi16(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
  }
};

}  // namespace
}  // namespace kernels
}  // namespace velmora

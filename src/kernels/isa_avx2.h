// AVX2 register operations for the kernel templates. Included only by
// translation units compiled with -mavx2 (those of AVX-512 among them);
// internal linkage throughout.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace velmora {
namespace kernels {
namespace {

struct Avx2Isa {
  using I = __m256i;
  using F = __m256;
  static constexpr int kFloatLanes = 8;
  static constexpr int kBlocksPerReg = 1;  // a register is one block's 32 byte lanes
  static constexpr int kPermuteBlocks = 2;
  static constexpr int kLanePairs = 1;             // pairs of 128-bit lanes
  static constexpr std::size_t kBoundQueries = 2;  // queries per bound pass over a block: 4 registers each

  static F zero() { return _mm256_setzero_ps(); }
  static F splat(float x) { return _mm256_set1_ps(x); }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F div(F a, F b) { return _mm256_div_ps(a, b); }
  static F load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, F x) { _mm256_storeu_ps(p, x); }
  static F as_float(I x) { return _mm256_castsi256_ps(x); }

  static I splat8(int x) { return _mm256_set1_epi8(static_cast<char>(x)); }
  static I splat32(int x) { return _mm256_set1_epi32(x); }
  static I and_(I a, I b) { return _mm256_and_si256(a, b); }
  static I or_(I a, I b) { return _mm256_or_si256(a, b); }
  static I srli32(I x, int n) { return _mm256_srli_epi32(x, n); }
  static I slli32(I x, int n) { return _mm256_slli_epi32(x, n); }
  static I slli16(I x, int n) { return _mm256_slli_epi16(x, n); }
  static I srli16(I x, int n) { return _mm256_srli_epi16(x, n); }
  static I add16(I a, I b) { return _mm256_add_epi16(a, b); }
  static I sub16(I a, I b) { return _mm256_sub_epi16(a, b); }

  // --- vpermps rows
  template <int Bits>
  static constexpr int permute_entries() {
    return Bits == 4 ? 16 : 8;
  }
  template <int Bits>
  struct Row {
    explicit Row(const float* p) : low(_mm256_loadu_ps(p)), high(Bits == 4 ? _mm256_loadu_ps(p + 8) : low) {}
    F low, high;
  };
  // vpermps reads index bits 0-2; a 16-entry row blends its halves on bit 3.
  template <int Bits>
  static F lookup(const Row<Bits>& row, I index) {
    if constexpr (Bits == 4) {
      return _mm256_blendv_ps(_mm256_permutevar8x32_ps(row.low, index), _mm256_permutevar8x32_ps(row.high, index),
                              _mm256_castsi256_ps(_mm256_slli_epi32(index, 28)));
    } else {
      return _mm256_permutevar8x32_ps(row.low, index);
    }
  }
  // Eight bytes, zero-extended to 32-bit lanes.
  static I widen_bytes(const std::uint8_t* p) {
    return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
  }

  // --- byte planes
  static I broadcast16(const std::uint8_t* p) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  // The field at `offset` of each block of the register, in both of its lanes.
  static I load_fields(const std::uint8_t* const* blocks, std::size_t offset) {
    return broadcast16(blocks[0] + offset);
  }
  // Even 128-bit lanes (vectors 0-15) shifted right by `extra`, odd lanes
  // (vectors 16-31, the high nibbles) by extra + 4, in 32-bit lanes.
  static I srl_nibbles(I x, int extra) {
    return _mm256_srlv_epi32(x,
                             _mm256_setr_epi32(extra, extra, extra, extra, extra + 4, extra + 4, extra + 4, extra + 4));
  }
  static I shuffle8(I table, I index) { return _mm256_shuffle_epi8(table, index); }
  static I unpacklo8(I a, I b) { return _mm256_unpacklo_epi8(a, b); }
  static I unpackhi8(I a, I b) { return _mm256_unpackhi_epi8(a, b); }
  static I unpacklo16(I a, I b) { return _mm256_unpacklo_epi16(a, b); }
  static I unpackhi16(I a, I b) { return _mm256_unpackhi_epi16(a, b); }
  // Lanes 4 * q .. + 3 and 16 + 4 * q .. + 3 of the register's block.
  static F load_quads(const float* const* blocks, std::size_t at) {
    return _mm256_set_m128(_mm_loadu_ps(blocks[0] + 16 + at), _mm_loadu_ps(blocks[0] + at));
  }
  static void store_quads(float* const* blocks, std::size_t at, F x) {
    _mm_storeu_ps(blocks[0] + at, _mm256_castps256_ps128(x));
    _mm_storeu_ps(blocks[0] + 16 + at, _mm256_extractf128_ps(x, 1));
  }

  // --- integer bounds
  static I load_bytes(const std::uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static I zero_i() { return _mm256_setzero_si256(); }
  // The high byte of each 16-bit lane: a multiply-add of byte pairs by
  // (0, 1), which on some CPUs runs beside the shuffles rather than on their
  // ports as a shift does.
  static I odd_bytes16(I x) { return _mm256_maddubs_epi16(x, _mm256_set1_epi16(0x0100)); }
  // The sum of the 128-bit lanes, as 16-bit lanes.
  static __m128i sum_lanes16(I x) { return _mm_add_epi16(_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1)); }
};

// The rotation's eight lanes (rotate_kernel.h): one register of eight f32,
// two of four f64. The AVX-512 batch rotation folds its lanes with these.
struct Avx2RotationLanes {
  using F8 = __m256;
  struct D8 {
    __m256d low, high;
  };
  static constexpr int kRowsForOneVector = 8;
  static constexpr int kRowsForFourVectors = 3;  // 12 sums, four vectors and a row in 16 registers
  static constexpr int kDotsTogether = 4;        // their sums in 8 of the 16 registers

  static F8 zero_f8() { return _mm256_setzero_ps(); }
  static F8 load_f8(const float* p) { return _mm256_loadu_ps(p); }
  static F8 add_product(F8 acc, F8 a, F8 b) { return _mm256_add_ps(acc, _mm256_mul_ps(a, b)); }
  // s = 0 + (p0 + p4); s += (p1 + p5); s += (p2 + p6); s += (p3 + p7).
  static float fold(F8 p) {
    const __m128 pairs = _mm_add_ps(_mm256_castps256_ps128(p), _mm256_extractf128_ps(p, 1));
    alignas(16) float lane[4];
    _mm_store_ps(lane, pairs);
    float s = 0.0f + lane[0];
    s = s + lane[1];
    s = s + lane[2];
    return s + lane[3];
  }

  static D8 zero_d8() { return {_mm256_setzero_pd(), _mm256_setzero_pd()}; }
  static D8 splat_d8(double x) { return {_mm256_set1_pd(x), _mm256_set1_pd(x)}; }
  static D8 load_d8(const double* p) { return {_mm256_loadu_pd(p), _mm256_loadu_pd(p + 4)}; }
  static D8 load_d8(const float* p) { return {_mm256_cvtps_pd(_mm_loadu_ps(p)), _mm256_cvtps_pd(_mm_loadu_ps(p + 4))}; }
  static void store_d8(double* p, D8 v) {
    _mm256_storeu_pd(p, v.low);
    _mm256_storeu_pd(p + 4, v.high);
  }
  static D8 add_product(D8 acc, D8 a, D8 b) {
    return {_mm256_add_pd(acc.low, _mm256_mul_pd(a.low, b.low)),
            _mm256_add_pd(acc.high, _mm256_mul_pd(a.high, b.high))};
  }
  static D8 minus_product(D8 v, D8 a, D8 b) {
    return {_mm256_sub_pd(v.low, _mm256_mul_pd(a.low, b.low)), _mm256_sub_pd(v.high, _mm256_mul_pd(a.high, b.high))};
  }
  static double fold(D8 p) {
    alignas(32) double lane[4];
    _mm256_store_pd(lane, _mm256_add_pd(p.low, p.high));
    double s = 0.0 + lane[0];
    s = s + lane[1];
    s = s + lane[2];
    return s + lane[3];
  }
};

}  // namespace
}  // namespace kernels
}  // namespace velmora

// The rotation's eight lanes in AVX2 registers: one register of eight f32, two
// of four f64. Included by the AVX2 and AVX-512 rotation files (both compiled
// with AVX2); internal linkage.
#pragma once

#include <immintrin.h>

#include <cstddef>

namespace velmora {
namespace kernels {
namespace {

struct Avx2RotationLanes {
  using F8 = __m256;
  struct D8 {
    __m256d low, high;
  };
  static constexpr int kRowsForOneVector = 8;
  static constexpr int kRowsForFourVectors = 3;  // 12 sums, four vectors and a row in 16 registers

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

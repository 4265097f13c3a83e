// AVX2 kernels of the rotation: the eight lanes of the fixed dot-product order
// are the eight f32 lanes of one register (two registers of f64), so many dot
// products can run side by side, each keeping its own summation order.
#include <immintrin.h>

#include "kernels/kernels.h"

namespace velmora {
namespace kernels {
namespace {

// s = 0 + (p0 + p4); s += (p1 + p5); s += (p2 + p6); s += (p3 + p7).
inline float fold8(__m256 p) {
  const __m128 pairs = _mm_add_ps(_mm256_castps256_ps128(p), _mm256_extractf128_ps(p, 1));
  alignas(16) float lane[4];
  _mm_store_ps(lane, pairs);
  float s = 0.0f + lane[0];
  s = s + lane[1];
  s = s + lane[2];
  return s + lane[3];
}

inline double fold8(__m256d low, __m256d high) {
  alignas(32) double lane[4];
  _mm256_store_pd(lane, _mm256_add_pd(low, high));
  double s = 0.0 + lane[0];
  s = s + lane[1];
  s = s + lane[2];
  return s + lane[3];
}

// A V x J tile of outputs: vectors v (stride x_stride) against rows j of R.
template <int V, int J>
inline void rotate_tile(const float* xs, std::size_t x_stride, const float* rows, std::size_t d, float* ys,
                        std::size_t y_stride) {
  __m256 acc[V][J];
  for (int v = 0; v < V; ++v)
    for (int j = 0; j < J; ++j) acc[v][j] = _mm256_setzero_ps();
  const std::size_t full = d / 8 * 8;
  for (std::size_t k = 0; k < full; k += 8) {
    __m256 x[V];
    for (int v = 0; v < V; ++v) x[v] = _mm256_loadu_ps(xs + v * x_stride + k);
    for (int j = 0; j < J; ++j) {
      const __m256 r = _mm256_loadu_ps(rows + j * d + k);
      for (int v = 0; v < V; ++v) acc[v][j] = _mm256_add_ps(acc[v][j], _mm256_mul_ps(r, x[v]));
    }
  }
  for (int v = 0; v < V; ++v) {
    for (int j = 0; j < J; ++j) {
      float s = fold8(acc[v][j]);
      for (std::size_t i = full; i < d; ++i) s = s + rows[j * d + i] * xs[v * x_stride + i];
      ys[v * y_stride + j] = s;
    }
  }
}

template <int V>
inline void rotate_tile_rows(const float* xs, std::size_t x_stride, const float* rows, std::size_t d,
                             std::size_t row_count, float* ys, std::size_t y_stride) {
  constexpr std::size_t kRows = V == 1 ? 8 : 3;
  std::size_t j = 0;
  for (; j + kRows <= row_count; j += kRows) {
    rotate_tile<V, kRows>(xs, x_stride, rows + j * d, d, ys + j, y_stride);
  }
  for (; j < row_count; ++j) rotate_tile<V, 1>(xs, x_stride, rows + j * d, d, ys + j, y_stride);
}

}  // namespace

void rotate_avx2(const float* matrix, std::size_t d, const float* x, float* y) {
  rotate_tile_rows<1>(x, d, matrix, d, d, y, d);
}

void rotate_batch_avx2(const float* matrix, std::size_t d, const float* xs, std::size_t count, float* ys) {
  // A panel of rows stays in cache while every 4-vector tile passes over it.
  constexpr std::size_t kPanelRows = 48;
  for (std::size_t j0 = 0; j0 < d; j0 += kPanelRows) {
    const std::size_t rows = d - j0 < kPanelRows ? d - j0 : kPanelRows;
    const float* panel = matrix + j0 * d;
    std::size_t v = 0;
    for (; v + 4 <= count; v += 4) rotate_tile_rows<4>(xs + v * d, d, panel, d, rows, ys + v * d + j0, d);
    for (; v < count; ++v) rotate_tile_rows<1>(xs + v * d, d, panel, d, rows, ys + v * d + j0, d);
  }
}

namespace {

// Applies q_k for k in [k_begin, k_end) to C columns. Each pass subtracts
// q_k * p_k and, in the same sweep over the column, accumulates the lanes of
// dot8(q_{k+1}, v) for the next pass, so a column is read once per k.
template <int C>
void gram_schmidt_columns(double* const* columns, const double* q, std::size_t d, std::size_t k_begin,
                          std::size_t k_end) {
  if (k_begin >= k_end) return;
  const std::size_t full = d / 8 * 8;
  auto tail_dot = [&](const double* qk, const double* v, double s) {
    for (std::size_t i = full; i < d; ++i) s = s + qk[i] * v[i];
    return s;
  };
  double p[C];
  {
    const double* q0 = q + k_begin * d;
    __m256d lo[C], hi[C];
    for (int c = 0; c < C; ++c) lo[c] = hi[c] = _mm256_setzero_pd();
    for (std::size_t i = 0; i < full; i += 8) {
      const __m256d qa = _mm256_loadu_pd(q0 + i), qb = _mm256_loadu_pd(q0 + i + 4);
      for (int c = 0; c < C; ++c) {
        lo[c] = _mm256_add_pd(lo[c], _mm256_mul_pd(qa, _mm256_loadu_pd(columns[c] + i)));
        hi[c] = _mm256_add_pd(hi[c], _mm256_mul_pd(qb, _mm256_loadu_pd(columns[c] + i + 4)));
      }
    }
    for (int c = 0; c < C; ++c) p[c] = tail_dot(q0, columns[c], fold8(lo[c], hi[c]));
  }
  for (std::size_t k = k_begin; k < k_end; ++k) {
    const double* qk = q + k * d;
    const bool more = k + 1 < k_end;
    const double* qn = more ? qk + d : qk;
    __m256d lo[C], hi[C], pk[C];
    for (int c = 0; c < C; ++c) {
      lo[c] = hi[c] = _mm256_setzero_pd();
      pk[c] = _mm256_set1_pd(p[c]);
    }
    for (std::size_t i = 0; i < full; i += 8) {
      const __m256d qa = _mm256_loadu_pd(qk + i), qb = _mm256_loadu_pd(qk + i + 4);
      const __m256d na = _mm256_loadu_pd(qn + i), nb = _mm256_loadu_pd(qn + i + 4);
      for (int c = 0; c < C; ++c) {
        double* v = columns[c] + i;
        const __m256d va = _mm256_sub_pd(_mm256_loadu_pd(v), _mm256_mul_pd(qa, pk[c]));
        const __m256d vb = _mm256_sub_pd(_mm256_loadu_pd(v + 4), _mm256_mul_pd(qb, pk[c]));
        _mm256_storeu_pd(v, va);
        _mm256_storeu_pd(v + 4, vb);
        lo[c] = _mm256_add_pd(lo[c], _mm256_mul_pd(na, va));
        hi[c] = _mm256_add_pd(hi[c], _mm256_mul_pd(nb, vb));
      }
    }
    for (int c = 0; c < C; ++c) {
      double* v = columns[c];
      for (std::size_t i = full; i < d; ++i) v[i] = v[i] - qk[i] * p[c];
      if (more) p[c] = tail_dot(qn, v, fold8(lo[c], hi[c]));
    }
  }
}

}  // namespace

void gram_schmidt_avx2(double* const* columns, std::size_t count, const double* q, std::size_t d,
                       std::size_t k_begin, std::size_t k_end) {
  switch (count) {
    case 1: return gram_schmidt_columns<1>(columns, q, d, k_begin, k_end);
    case 2: return gram_schmidt_columns<2>(columns, q, d, k_begin, k_end);
    case 3: return gram_schmidt_columns<3>(columns, q, d, k_begin, k_end);
    case 4: return gram_schmidt_columns<4>(columns, q, d, k_begin, k_end);
  }
}

RotationKernels rotation_kernels_avx2() {
  return RotationKernels{"avx2", rotate_avx2, rotate_batch_avx2, gram_schmidt_avx2};
}

}  // namespace kernels
}  // namespace velmora

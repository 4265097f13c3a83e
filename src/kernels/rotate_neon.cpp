// NEON kernels of the rotation: the eight lanes of the fixed dot-product order
// are two registers of four f32 (four registers of two f64), so many dot
// products can run side by side, each keeping its own summation order. Every
// product and sum is its own rounded instruction: never a fused multiply-add.
#include <arm_neon.h>

#include "kernels/kernels.h"

namespace velmora {
namespace kernels {
namespace {

// Lanes 0-3 and 4-7 of an eight-lane f32 sum.
struct Lanes8 {
  float32x4_t low, high;
};

// s = 0 + (p0 + p4); s += (p1 + p5); s += (p2 + p6); s += (p3 + p7).
inline float fold8(Lanes8 p) {
  const float32x4_t pairs = vaddq_f32(p.low, p.high);
  float s = 0.0f + vgetq_lane_f32(pairs, 0);
  s = s + vgetq_lane_f32(pairs, 1);
  s = s + vgetq_lane_f32(pairs, 2);
  return s + vgetq_lane_f32(pairs, 3);
}

// Lanes (0, 1), (2, 3), (4, 5) and (6, 7) of an eight-lane f64 sum.
struct Lanes8d {
  float64x2_t v[4];
};

inline double fold8(const Lanes8d& p) {
  const float64x2_t pairs01 = vaddq_f64(p.v[0], p.v[2]);
  const float64x2_t pairs23 = vaddq_f64(p.v[1], p.v[3]);
  double s = 0.0 + vgetq_lane_f64(pairs01, 0);
  s = s + vgetq_lane_f64(pairs01, 1);
  s = s + vgetq_lane_f64(pairs23, 0);
  return s + vgetq_lane_f64(pairs23, 1);
}

inline float32x4_t add_product(float32x4_t acc, float32x4_t a, float32x4_t b) {
  return vaddq_f32(acc, vmulq_f32(a, b));
}

// A V x J tile of outputs: vectors v (stride x_stride) against rows j of R.
template <int V, int J>
inline void rotate_tile(const float* xs, std::size_t x_stride, const float* rows, std::size_t d, float* ys,
                        std::size_t y_stride) {
  Lanes8 acc[V][J];
  for (int v = 0; v < V; ++v)
    for (int j = 0; j < J; ++j) acc[v][j] = {vdupq_n_f32(0.0f), vdupq_n_f32(0.0f)};
  const std::size_t full = d / 8 * 8;
  for (std::size_t k = 0; k < full; k += 8) {
    Lanes8 x[V];
    for (int v = 0; v < V; ++v) x[v] = {vld1q_f32(xs + v * x_stride + k), vld1q_f32(xs + v * x_stride + k + 4)};
    for (int j = 0; j < J; ++j) {
      const float32x4_t low = vld1q_f32(rows + j * d + k), high = vld1q_f32(rows + j * d + k + 4);
      for (int v = 0; v < V; ++v) {
        acc[v][j].low = add_product(acc[v][j].low, low, x[v].low);
        acc[v][j].high = add_product(acc[v][j].high, high, x[v].high);
      }
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

// Eight rows against one vector, or two rows against four vectors: as many
// accumulators as the 32 registers hold beside the operands.
template <int V>
inline void rotate_tile_rows(const float* xs, std::size_t x_stride, const float* rows, std::size_t d,
                             std::size_t row_count, float* ys, std::size_t y_stride) {
  constexpr std::size_t kRows = V == 1 ? 8 : 2;
  std::size_t j = 0;
  for (; j + kRows <= row_count; j += kRows) {
    rotate_tile<V, kRows>(xs, x_stride, rows + j * d, d, ys + j, y_stride);
  }
  for (; j < row_count; ++j) rotate_tile<V, 1>(xs, x_stride, rows + j * d, d, ys + j, y_stride);
}

}  // namespace

void rotate_neon(const float* matrix, std::size_t d, const float* x, float* y) {
  rotate_tile_rows<1>(x, d, matrix, d, d, y, d);
}

void rotate_batch_neon(const float* matrix, std::size_t d, const float* xs, std::size_t count, float* ys) {
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
  auto zero = [] {
    Lanes8d z;
    for (float64x2_t& x : z.v) x = vdupq_n_f64(0.0);
    return z;
  };
  double p[C];
  {
    const double* q0 = q + k_begin * d;
    Lanes8d acc[C];
    for (int c = 0; c < C; ++c) acc[c] = zero();
    for (std::size_t i = 0; i < full; i += 8) {
      for (int l = 0; l < 4; ++l) {
        const float64x2_t qa = vld1q_f64(q0 + i + 2 * l);
        for (int c = 0; c < C; ++c) {
          acc[c].v[l] = vaddq_f64(acc[c].v[l], vmulq_f64(qa, vld1q_f64(columns[c] + i + 2 * l)));
        }
      }
    }
    for (int c = 0; c < C; ++c) p[c] = tail_dot(q0, columns[c], fold8(acc[c]));
  }
  for (std::size_t k = k_begin; k < k_end; ++k) {
    const double* qk = q + k * d;
    const bool more = k + 1 < k_end;
    const double* qn = more ? qk + d : qk;
    Lanes8d acc[C];
    float64x2_t pk[C];
    for (int c = 0; c < C; ++c) {
      acc[c] = zero();
      pk[c] = vdupq_n_f64(p[c]);
    }
    for (std::size_t i = 0; i < full; i += 8) {
      for (int l = 0; l < 4; ++l) {
        const float64x2_t qa = vld1q_f64(qk + i + 2 * l);
        const float64x2_t na = vld1q_f64(qn + i + 2 * l);
        for (int c = 0; c < C; ++c) {
          double* v = columns[c] + i + 2 * l;
          const float64x2_t va = vsubq_f64(vld1q_f64(v), vmulq_f64(qa, pk[c]));
          vst1q_f64(v, va);
          acc[c].v[l] = vaddq_f64(acc[c].v[l], vmulq_f64(na, va));
        }
      }
    }
    for (int c = 0; c < C; ++c) {
      double* v = columns[c];
      for (std::size_t i = full; i < d; ++i) v[i] = v[i] - qk[i] * p[c];
      if (more) p[c] = tail_dot(qn, v, fold8(acc[c]));
    }
  }
}

}  // namespace

void gram_schmidt_neon(double* const* columns, std::size_t count, const double* q, std::size_t d,
                       std::size_t k_begin, std::size_t k_end) {
  switch (count) {
    case 1: return gram_schmidt_columns<1>(columns, q, d, k_begin, k_end);
    case 2: return gram_schmidt_columns<2>(columns, q, d, k_begin, k_end);
    case 3: return gram_schmidt_columns<3>(columns, q, d, k_begin, k_end);
    case 4: return gram_schmidt_columns<4>(columns, q, d, k_begin, k_end);
  }
}

RotationKernels rotation_kernels_neon() {
  return RotationKernels{"neon", rotate_neon, rotate_batch_neon, gram_schmidt_neon};
}

}  // namespace kernels
}  // namespace velmora

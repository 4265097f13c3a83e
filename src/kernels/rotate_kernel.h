// The rotation's kernels written once over a set of eight-lane registers: the
// eight lanes of the fixed dot-product order (dot8.h) are the lanes of one
// F8 (f32) or D8 (f64) value, so many dot products run side by side, each
// keeping its own summation order. Every product and sum is its own rounded
// operation (never a fused multiply-add), so each instantiation gives the
// portable kernels' bits.
//
// An instruction set provides a `Lanes` type with
//   F8, zero_f8(), load_f8(p), add_product(acc, a, b) = acc + a * b, fold(F8);
//   D8, zero_d8(), splat_d8(x), load_d8(p) (of doubles, or of floats
//       widened exactly), store_d8(p, v),
//       add_product(acc, a, b), minus_product(v, a, b) = v - a * b, fold(D8);
//   kRowsForOneVector and kRowsForFourVectors, the tile heights that fill its
//   registers, and kDotsTogether, the f64 sums that do;
// where fold sums the lanes as dot8 does: 0 + (p0 + p4), then (p1 + p5),
// (p2 + p6) and (p3 + p7); the instruction set's isa_<set>.h holds it.
// Included only by the instruction-set files; internal linkage throughout,
// so that an instance compiled for a wider instruction set is never the one
// another caller gets.
#pragma once

#include <cstddef>

#include "kernels/kernels.h"

namespace velmora {
namespace kernels {
namespace {

// A V x J tile of outputs: vectors v (stride x_stride) against rows j of R.
template <class L, int V, int J>
inline void rotate_tile(const float* xs, std::size_t x_stride, const float* rows, std::size_t d, float* ys,
                        std::size_t y_stride) {
  using F8 = typename L::F8;
  F8 acc[V][J];
  for (int v = 0; v < V; ++v)
    for (int j = 0; j < J; ++j) acc[v][j] = L::zero_f8();
  const std::size_t full = d / 8 * 8;
  for (std::size_t k = 0; k < full; k += 8) {
    F8 x[V];
    for (int v = 0; v < V; ++v) x[v] = L::load_f8(xs + v * x_stride + k);
    for (int j = 0; j < J; ++j) {
      const F8 r = L::load_f8(rows + j * d + k);
      for (int v = 0; v < V; ++v) acc[v][j] = L::add_product(acc[v][j], r, x[v]);
    }
  }
  for (int v = 0; v < V; ++v) {
    for (int j = 0; j < J; ++j) {
      float s = L::fold(acc[v][j]);
      for (std::size_t i = full; i < d; ++i) s = s + rows[j * d + i] * xs[v * x_stride + i];
      ys[v * y_stride + j] = s;
    }
  }
}

template <class L, int V>
inline void rotate_tile_rows(const float* xs, std::size_t x_stride, const float* rows, std::size_t d,
                             std::size_t row_count, float* ys, std::size_t y_stride) {
  constexpr int kRows = V == 1 ? L::kRowsForOneVector : L::kRowsForFourVectors;
  std::size_t j = 0;
  for (; j + kRows <= row_count; j += kRows) {
    rotate_tile<L, V, kRows>(xs, x_stride, rows + j * d, d, ys + j, y_stride);
  }
  for (; j < row_count; ++j) rotate_tile<L, V, 1>(xs, x_stride, rows + j * d, d, ys + j, y_stride);
}

template <class L>
void rotate_lanes(const float* matrix, std::size_t d, const float* x, float* y) {
  rotate_tile_rows<L, 1>(x, d, matrix, d, d, y, d);
}

template <class L>
void rotate_batch_lanes(const float* matrix, std::size_t row_count, std::size_t d, const float* xs, std::size_t count,
                        float* ys) {
  // A panel of rows stays in cache while every 4-vector tile passes over it.
  constexpr std::size_t kPanelRows = 48;
  for (std::size_t j0 = 0; j0 < row_count; j0 += kPanelRows) {
    const std::size_t rows = row_count - j0 < kPanelRows ? row_count - j0 : kPanelRows;
    const float* panel = matrix + j0 * d;
    std::size_t v = 0;
    for (; v + 4 <= count; v += 4) {
      rotate_tile_rows<L, 4>(xs + v * d, d, panel, d, rows, ys + v * row_count + j0, row_count);
    }
    for (; v < count; ++v) rotate_tile_rows<L, 1>(xs + v * d, d, panel, d, rows, ys + v * row_count + j0, row_count);
  }
}

// Applies q_k for k in [k_begin, k_end) to C columns. Each pass subtracts
// q_k * p_k and, in the same sweep over the column, accumulates the lanes of
// dot8(q_{k+1}, v) for the next pass, so a column is read once per k.
template <class L, int C>
void gram_schmidt_columns(double* const* columns, const double* q, std::size_t d, std::size_t k_begin,
                          std::size_t k_end) {
  using D8 = typename L::D8;
  if (k_begin >= k_end) return;
  const std::size_t full = d / 8 * 8;
  auto tail_dot = [&](const double* qk, const double* v, double s) {
    for (std::size_t i = full; i < d; ++i) s = s + qk[i] * v[i];
    return s;
  };
  double p[C];
  {
    const double* q0 = q + k_begin * d;
    D8 acc[C];
    for (int c = 0; c < C; ++c) acc[c] = L::zero_d8();
    for (std::size_t i = 0; i < full; i += 8) {
      const D8 qi = L::load_d8(q0 + i);
      for (int c = 0; c < C; ++c) acc[c] = L::add_product(acc[c], qi, L::load_d8(columns[c] + i));
    }
    for (int c = 0; c < C; ++c) p[c] = tail_dot(q0, columns[c], L::fold(acc[c]));
  }
  for (std::size_t k = k_begin; k < k_end; ++k) {
    const double* qk = q + k * d;
    const bool more = k + 1 < k_end;
    const double* qn = more ? qk + d : qk;
    D8 acc[C], pk[C];
    for (int c = 0; c < C; ++c) {
      acc[c] = L::zero_d8();
      pk[c] = L::splat_d8(p[c]);
    }
    for (std::size_t i = 0; i < full; i += 8) {
      const D8 qi = L::load_d8(qk + i), ni = L::load_d8(qn + i);
      for (int c = 0; c < C; ++c) {
        double* v = columns[c] + i;
        const D8 updated = L::minus_product(L::load_d8(v), qi, pk[c]);
        L::store_d8(v, updated);
        acc[c] = L::add_product(acc[c], ni, updated);
      }
    }
    for (int c = 0; c < C; ++c) {
      double* v = columns[c];
      for (std::size_t i = full; i < d; ++i) v[i] = v[i] - qk[i] * p[c];
      if (more) p[c] = tail_dot(qn, v, L::fold(acc[c]));
    }
  }
}

template <class L>
void gram_schmidt_lanes(double* const* columns, std::size_t count, const double* q, std::size_t d, std::size_t k_begin,
                        std::size_t k_end) {
  switch (count) {
    case 1:
      return gram_schmidt_columns<L, 1>(columns, q, d, k_begin, k_end);
    case 2:
      return gram_schmidt_columns<L, 2>(columns, q, d, k_begin, k_end);
    case 3:
      return gram_schmidt_columns<L, 3>(columns, q, d, k_begin, k_end);
    case 4:
      return gram_schmidt_columns<L, 4>(columns, q, d, k_begin, k_end);
  }
}

// A row's dot product with itself (when Self) and with Q queries, each in
// the fixed order: the row is loaded (and widened) once for all of them.
template <class L, class T, bool Self, int Q>
inline void row_dots_group(const T* x, std::size_t n, const double* const* queries, double* out) {
  using D8 = typename L::D8;
  D8 self = L::zero_d8();
  D8 acc[Q + 1];
  for (int q = 0; q < Q; ++q) acc[q] = L::zero_d8();
  const std::size_t full = n / 8 * 8;
  for (std::size_t k = 0; k < full; k += 8) {
    const D8 row = L::load_d8(x + k);
    if constexpr (Self) self = L::add_product(self, row, row);
    for (int q = 0; q < Q; ++q) acc[q] = L::add_product(acc[q], L::load_d8(queries[q] + k), row);
  }
  if constexpr (Self) {
    double s = L::fold(self);
    for (std::size_t i = full; i < n; ++i) s = s + static_cast<double>(x[i]) * static_cast<double>(x[i]);
    *out++ = s;
  }
  for (int q = 0; q < Q; ++q) {
    double s = L::fold(acc[q]);
    for (std::size_t i = full; i < n; ++i) s = s + queries[q][i] * static_cast<double>(x[i]);
    out[q] = s;
  }
}

// row_dots_group for `count` (at most Q) queries.
template <class L, class T, bool Self, int Q>
inline void row_dots_upto(const T* x, std::size_t n, const double* const* queries, std::size_t count, double* out) {
  if constexpr (Q == 0) {
    row_dots_group<L, T, Self, 0>(x, n, queries, out);
  } else {
    if (count == static_cast<std::size_t>(Q)) return row_dots_group<L, T, Self, Q>(x, n, queries, out);
    row_dots_upto<L, T, Self, Q - 1>(x, n, queries, count, out);
  }
}

template <class L, class T>
void row_dots_lanes(const T* x, std::size_t n, const double* const* queries, std::size_t count, double* out) {
  constexpr int kTogether = L::kDotsTogether;
  constexpr std::size_t kGroup = kTogether;
  const std::size_t first = count < kGroup - 1 ? count : kGroup - 1;
  row_dots_upto<L, T, true, kTogether - 1>(x, n, queries, first, out);
  for (std::size_t q = first; q < count; q += kGroup) {
    const std::size_t some = count - q < kGroup ? count - q : kGroup;
    row_dots_upto<L, T, false, kTogether>(x, n, queries + q, some, out + 1 + q);
  }
}

// The rotation's kernels from one set of lanes.
template <class L>
RotationKernels rotation_kernels(const char* name) {
  return RotationKernels{name,
                         &rotate_lanes<L>,
                         &rotate_batch_lanes<L>,
                         &gram_schmidt_lanes<L>,
                         &row_dots_lanes<L, float>,
                         &row_dots_lanes<L, double>};
}

}  // namespace
}  // namespace kernels
}  // namespace velmora

// The batch rotation with AVX-512: a 16-lane register holds the eight lanes
// of the fixed dot-product order (dot8.h) for two vectors at once, so that
// each multiply and add does the work of two AVX2 ones, each lane keeping its
// own order; the eight lanes of each vector are folded exactly as dot8 folds
// them. The f64 dot products hold dot8's eight lanes in one register. One
// vector and the Gram-Schmidt sweep use the AVX2 kernels (rotate_avx2.cpp).
//
// No standard-library templates here: an instance compiled for AVX-512 could
// be the one the linker keeps for every caller.
#include <immintrin.h>

#include <cstddef>

#include "kernels/instruction_sets.h"
#include "kernels/isa_avx2.h"
#include "kernels/kernels.h"
#include "kernels/rotate_kernel.h"

namespace velmora {
namespace kernels {
namespace {

constexpr std::size_t kPairsPerTile = 4;  // eight vectors
constexpr std::size_t kRowsPerTile = 4;
constexpr std::size_t kPanelRows = 48;  // rows of R that stay in cache across tiles

inline std::size_t smaller(std::size_t a, std::size_t b) { return a < b ? a : b; }

// The full blocks of eight of two vectors side by side: block b of the pair
// is 16 floats, vector 2p's eight then vector 2p + 1's.
void interleave_pair(const float* first, const float* second, std::size_t full, float* out) {
  for (std::size_t k = 0; k < full; k += 8) {
    _mm256_storeu_ps(out + 2 * k, _mm256_loadu_ps(first + k));
    _mm256_storeu_ps(out + 2 * k + 8, _mm256_loadu_ps(second + k));
  }
}

// Rows [j, j + J) of R against the P pairs of a tile: y[v][j] for the tile's
// vectors (xs[v], row-major, for the tails), from the interleaved pairs.
template <int P, int J>
void rotate_tile(const float* pairs, const float* const* xs, const float* rows, std::size_t d, float* const* ys,
                 std::size_t out_count, std::size_t j) {
  const std::size_t full = d / 8 * 8;
  __m512 acc[P][J];
  for (int p = 0; p < P; ++p)
    for (int r = 0; r < J; ++r) acc[p][r] = _mm512_setzero_ps();
  for (std::size_t k = 0; k < full; k += 8) {
    __m512 x[P];
    for (int p = 0; p < P; ++p) x[p] = _mm512_loadu_ps(pairs + static_cast<std::size_t>(p) * 2 * full + 2 * k);
    for (int r = 0; r < J; ++r) {
      const __m512 row = _mm512_broadcast_f32x8(_mm256_loadu_ps(rows + static_cast<std::size_t>(r) * d + k));
      for (int p = 0; p < P; ++p) acc[p][r] = _mm512_add_ps(acc[p][r], _mm512_mul_ps(row, x[p]));
    }
  }
  for (int p = 0; p < P; ++p) {
    for (int half = 0; half < 2; ++half) {
      const std::size_t v = 2 * static_cast<std::size_t>(p) + static_cast<std::size_t>(half);
      if (v >= out_count) continue;
      for (int r = 0; r < J; ++r) {
        const __m256 lanes = half == 0 ? _mm512_castps512_ps256(acc[p][r]) : _mm512_extractf32x8_ps(acc[p][r], 1);
        float s = Avx2RotationLanes::fold(lanes);
        const float* row = rows + static_cast<std::size_t>(r) * d;
        for (std::size_t i = full; i < d; ++i) s = s + row[i] * xs[v][i];
        ys[v][j + static_cast<std::size_t>(r)] = s;
      }
    }
  }
}

void rotate_batch_avx512(const float* matrix, std::size_t row_count, std::size_t d, const float* xs, std::size_t count,
                         float* ys) {
  const std::size_t full = d / 8 * 8;
  constexpr std::size_t kTile = 2 * kPairsPerTile;
  // Fewer vectors than a tile (one query against centroids, say) would
  // compute a whole tile: the eight-lane kernels take them one by one.
  if (count < kTile) return rotate_batch_lanes<Avx2RotationLanes>(matrix, row_count, d, xs, count, ys);
  // Every tile's pairs interleaved once; a last partial tile repeats its
  // last vector, whose extra results are not stored.
  const std::size_t tiles = (count + kTile - 1) / kTile;
  float* const pairs = new float[tiles * kTile * full + 1];
  for (std::size_t t = 0; t < tiles; ++t) {
    for (std::size_t p = 0; p < kPairsPerTile; ++p) {
      const std::size_t first = smaller(count - 1, t * kTile + 2 * p), second = smaller(count - 1, first + 1);
      interleave_pair(xs + first * d, xs + second * d, full, pairs + (t * kTile + 2 * p) * full);
    }
  }
  for (std::size_t j0 = 0; j0 < row_count; j0 += kPanelRows) {
    const std::size_t panel_rows = row_count - j0 < kPanelRows ? row_count - j0 : kPanelRows;
    for (std::size_t t = 0; t < tiles; ++t) {
      const std::size_t first = t * kTile;
      const std::size_t out_count = smaller(kTile, count - first);
      const float* tile_xs[kTile];
      float* tile_ys[kTile];
      for (std::size_t v = 0; v < kTile; ++v) {
        const std::size_t at = smaller(count - 1, first + v);
        tile_xs[v] = xs + at * d;
        tile_ys[v] = ys + at * row_count;
      }
      const float* tile_pairs = pairs + first * full;
      std::size_t j = j0;
      for (; j + kRowsPerTile <= j0 + panel_rows; j += kRowsPerTile) {
        rotate_tile<kPairsPerTile, kRowsPerTile>(tile_pairs, tile_xs, matrix + j * d, d, tile_ys, out_count, j);
      }
      for (; j < j0 + panel_rows; ++j) {
        rotate_tile<kPairsPerTile, 1>(tile_pairs, tile_xs, matrix + j * d, d, tile_ys, out_count, j);
      }
    }
  }
  delete[] pairs;
}

// The f64 dot products' lanes: dot8's eight in one register.
struct Avx512DotLanes {
  using D8 = __m512d;
  static constexpr int kDotsTogether = 8;  // their sums in 8 of the 32 registers

  static D8 zero_d8() { return _mm512_setzero_pd(); }
  static D8 load_d8(const double* p) { return _mm512_loadu_pd(p); }
  static D8 load_d8(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
  static D8 add_product(D8 acc, D8 a, D8 b) { return _mm512_add_pd(acc, _mm512_mul_pd(a, b)); }
  static double fold(D8 p) {
    alignas(64) double lane[8];
    _mm512_store_pd(lane, p);
    double s = 0.0 + (lane[0] + lane[4]);
    s = s + (lane[1] + lane[5]);
    s = s + (lane[2] + lane[6]);
    return s + (lane[3] + lane[7]);
  }
};

}  // namespace

RotationKernels rotation_kernels_avx512() {
  RotationKernels kernels = rotation_kernels_avx2();
  kernels.name = "avx512";
  kernels.rotate_batch = &rotate_batch_avx512;
  kernels.row_dots_f32 = &row_dots_lanes<Avx512DotLanes, float>;
  kernels.row_dots_f64 = &row_dots_lanes<Avx512DotLanes, double>;
  return kernels;
}

}  // namespace kernels
}  // namespace velmora

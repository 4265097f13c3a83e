// What every kernel family computes, and its portable kernel, which every CPU
// runs and every other kernel of the family must match bit for bit. Only
// plain types cross this boundary. The instruction-set kernels are listed in
// instruction_sets.h, each in translation units of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/block_format.h"

namespace velmora {
namespace kernels {

// The epsilon added to the norm product of a cosine score: 1e-12 as an f32.
inline constexpr float kScoreEpsilon = 1e-12f;

// --- Exact scores -----------------------------------------------------------
// Every lane adds one f32 table entry per coordinate in ascending coordinate
// order from +0.0, then divides (sum * norm) by (query_norm * norm + 1e-12),
// each step a separately rounded f32 operation: every kernel below gives the
// same bits.

struct ScoreBlocksArgs {
  const std::uint8_t* table;  // the query's table as the kernel's `prepare` laid it out
  std::size_t dim;
  const std::uint8_t* blocks;  // the first block to score (block_format.h)
  std::size_t block_bytes;
  const float* norms;  // 32 per block, from the first block's lane 0
  float query_norm;
};

// Scores block_count consecutive blocks: out[32 * b + lane].
using ScoreBlocksFn = void (*)(const ScoreBlocksArgs& args, std::size_t block_count, float* out);

// The exact scores of a few stored vectors anywhere in the store (each a
// block and a lane), from the plain table of dim rows of 2^bits entries: the
// same bits as every block kernel. Their sums run side by side, so the
// additions of one vector overlap those of the others.
inline constexpr std::size_t kMaxScatteredLanes = 8;
struct ScatteredLanes {
  const std::uint8_t* blocks[kMaxScatteredLanes];
  std::uint8_t lanes[kMaxScatteredLanes];
  float norms[kMaxScatteredLanes];
  std::size_t count = 0;
};
// out[j] = the score of lane j, j < lanes.count.
using ScoreLanesFn = void (*)(const float* lut, std::size_t dim, const ScatteredLanes& lanes, float query_norm,
                              float* out);

// One way of computing the exact scores, for one bit width: whole blocks,
// and scattered lanes with the same instruction set.
struct ExactKernel {
  const char* name = nullptr;
  // Bytes of the kernel's form of a table of dim rows of 2^bits entries.
  std::size_t (*table_bytes)(std::size_t dim) = nullptr;
  void (*prepare)(const float* lut, std::size_t dim, std::uint8_t* table) = nullptr;
  ScoreBlocksFn score = nullptr;
  ScoreLanesFn score_lanes = nullptr;
  explicit operator bool() const { return score != nullptr; }
};

// Portable: one plain loop per lane.
ExactKernel exact_kernel_portable(int bits);

// --- Integer bounds ---------------------------------------------------------
// Each field of a block has a table of 16 u8 values, one per nibble; a
// vector's bound sum is the sum over the fields of the entry its nibble picks.

struct BoundBlocksArgs {
  const std::uint8_t* table;  // 16 bytes per field; zero rows pad it to a multiple of 4 fields
  std::size_t fields;
  const std::uint8_t* blocks;
  std::size_t block_bytes;
  std::uint32_t limit;  // a vector survives when its sum exceeds this
};

// sums[32 * b + lane] = the lane's sum; survivors[b] has bit `lane` set when
// that sum exceeds the limit. Lanes of a partial block sum their zero codes.
using BoundBlocksFn = void (*)(const BoundBlocksArgs& args, std::size_t block_count, std::uint32_t* sums,
                               std::uint32_t* survivors);

// The same pass for several queries over the same blocks: each field of
// codes is loaded and split into nibbles once, then looked up in every
// query's table. Query q's results are exactly those of a one-query pass
// with tables[q] and limits[q], at sums + q * 32 * block_count and
// survivors + q * block_count.
inline constexpr std::size_t kMaxBoundQueries = 8;
struct BoundGroupArgs {
  const std::uint8_t* tables[kMaxBoundQueries];
  std::uint32_t limits[kMaxBoundQueries];
  std::size_t queries;  // 1 .. kMaxBoundQueries
  std::size_t fields;
  const std::uint8_t* blocks;
  std::size_t block_bytes;
};
// One query's pass as a group of one.
inline BoundGroupArgs group_of_one(const BoundBlocksArgs& a) {
  BoundGroupArgs group{};
  group.tables[0] = a.table;
  group.limits[0] = a.limit;
  group.queries = 1;
  group.fields = a.fields;
  group.blocks = a.blocks;
  group.block_bytes = a.block_bytes;
  return group;
}
using BoundGroupFn = void (*)(const BoundGroupArgs& args, std::size_t block_count, std::uint32_t* sums,
                              std::uint32_t* survivors);

// One implementation of the bound pass, for one query or a group.
struct BoundKernel {
  const char* name = nullptr;
  BoundBlocksFn blocks = nullptr;
  BoundGroupFn group = nullptr;
  explicit operator bool() const { return blocks != nullptr; }
};

// Portable: one plain loop per lane and query.
BoundKernel bound_kernel_portable();

// --- Rotation ---------------------------------------------------------------
// Every dot product is dot8 (dot8.h): fast kernels run many side by side, each
// in that order, so they give the plain loops' bits.

// y = R x for the d x d row-major f32 matrix R.
using RotateFn = void (*)(const float* matrix, std::size_t d, const float* x, float* y);
// ys[v * d + j] for `count` vectors stored one after another.
using RotateBatchFn = void (*)(const float* matrix, std::size_t rows, std::size_t d, const float* xs, std::size_t count,
                               float* ys);
// For k = k_begin .. k_end - 1 in order, each of the `count` (at most 4)
// columns v becomes v - q_k * dot8(q_k, v); columns and the q_k are rows of
// length d.
using GramSchmidtFn = void (*)(double* const* columns, std::size_t count, const double* q, std::size_t d,
                               std::size_t k_begin, std::size_t k_end);
// out[0] = dot8(x, x) and out[1 + j] = dot8(queries[j], x) for j < count,
// in double, x a row of n f32 values (each widened exactly) or f64 values:
// the exact cosines' dot products, a row read once for all of them.
using RowDotsF32Fn = void (*)(const float* x, std::size_t n, const double* const* queries, std::size_t count,
                              double* out);
using RowDotsF64Fn = void (*)(const double* x, std::size_t n, const double* const* queries, std::size_t count,
                              double* out);

// They are chosen together: one instruction set for every dot8.
struct RotationKernels {
  const char* name = nullptr;
  RotateFn rotate = nullptr;
  RotateBatchFn rotate_batch = nullptr;
  GramSchmidtFn gram_schmidt = nullptr;
  RowDotsF32Fn row_dots_f32 = nullptr;
  RowDotsF64Fn row_dots_f64 = nullptr;
  explicit operator bool() const { return rotate != nullptr; }
};

// Portable: the plain loops.
void rotate_portable(const float* matrix, std::size_t d, const float* x, float* y);
void rotate_batch_portable(const float* matrix, std::size_t rows, std::size_t d, const float* xs, std::size_t count,
                           float* ys);
void gram_schmidt_portable(double* const* columns, std::size_t count, const double* q, std::size_t d,
                           std::size_t k_begin, std::size_t k_end);
void row_dots_f32_portable(const float* x, std::size_t n, const double* const* queries, std::size_t count, double* out);
void row_dots_f64_portable(const double* x, std::size_t n, const double* const* queries, std::size_t count,
                           double* out);
RotationKernels rotation_kernels_portable();

// --- Quantiser --------------------------------------------------------------

// out[i] = the number of the `interior_count` (at most 15) ascending
// boundaries that are <= x[i] (NaN counts none).
using QuantizeFn = void (*)(const float* interior, std::size_t interior_count, const float* x, std::size_t n,
                            std::uint8_t* out);

// Portable: a binary search per coordinate.
void quantize_portable(const float* interior, std::size_t interior_count, const float* x, std::size_t n,
                       std::uint8_t* out);

// --- CRC-32C ----------------------------------------------------------------
// Every kernel continues from the raw (not inverted) state.

// CRC-32C of p[0 .. len) continuing from `state`.
using Crc32cFn = std::uint32_t (*)(std::uint32_t state, const unsigned char* p, std::size_t len);

// Portable: slicing by eight.
std::uint32_t crc32c_update_portable(std::uint32_t state, const unsigned char* p, std::size_t len);

}  // namespace kernels
}  // namespace velmora

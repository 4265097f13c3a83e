// Entry points of the instruction-set specific kernels. Only plain types cross
// this boundary; the implementations live in one translation unit per level.
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

// One way of computing the exact scores, for one bit width.
struct ExactKernel {
  const char* name = nullptr;
  // Bytes of the kernel's form of a table of dim rows of 2^bits entries.
  std::size_t (*table_bytes)(std::size_t dim) = nullptr;
  void (*prepare)(const float* lut, std::size_t dim, std::uint8_t* table) = nullptr;
  ScoreBlocksFn score = nullptr;
  explicit operator bool() const { return score != nullptr; }
};

// Portable: one plain loop per lane.
ExactKernel exact_kernel_portable(int bits);
#if defined(__x86_64__)
// Table rows in registers, looked up with vpermps.
ExactKernel permute_kernel_avx2(int bits);
ExactKernel permute_kernel_avx512(int bits);
// The table's four byte planes looked up with byte shuffles (pshufb) and
// reassembled into f32 with unpacks: no cross-lane permutes.
ExactKernel plane_kernel_avx2(int bits);
ExactKernel plane_kernel_avx512(int bits);
#elif defined(__aarch64__)
// The same two formulations with NEON (isa_neon.h): byte planes looked up
// with TBL, and rows looked up as 32-bit entries with TBL over two or four
// registers.
ExactKernel plane_kernel_neon(int bits);
ExactKernel permute_kernel_neon(int bits);
#endif

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
void score_lanes(const float* lut, std::size_t dim, int bits, const ScatteredLanes& lanes, float query_norm,
                 float* out);

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

// How many queries a block pass serves, as a type: block(QueryCount<Q>{}, q0, b).
template <int Q>
struct QueryCount {
  static constexpr int value = Q;
};
// The group pass block by block, so that a block's codes stay in L1 while
// every query of the group reads them, up to MaxQ (1 to 4) queries a pass.
template <int MaxQ, class BlockPass>
inline void for_each_block_and_queries(const BoundGroupArgs& a, std::size_t block_count, const BlockPass& block) {
  static_assert(MaxQ >= 1 && MaxQ <= 4, "one to four queries a pass");
  constexpr std::size_t kMax = MaxQ;
  for (std::size_t b = 0; b < block_count; ++b) {
    for (std::size_t q0 = 0; q0 < a.queries; q0 += kMax) {
      switch (a.queries - q0 < kMax ? a.queries - q0 : kMax) {
        case 1:
          block(QueryCount<1>{}, q0, b);
          break;
        case 2:
          if constexpr (MaxQ >= 2) block(QueryCount<2>{}, q0, b);
          break;
        case 3:
          if constexpr (MaxQ >= 3) block(QueryCount<3>{}, q0, b);
          break;
        default:
          if constexpr (MaxQ >= 4) block(QueryCount<4>{}, q0, b);
          break;
      }
    }
  }
}

// One implementation of the bound pass, for one query or a group.
struct BoundKernel {
  const char* name = nullptr;
  BoundBlocksFn blocks = nullptr;
  BoundGroupFn group = nullptr;
  explicit operator bool() const { return blocks != nullptr; }
};

// Portable: one plain loop per lane and query.
BoundKernel bound_kernel_portable();
#if defined(__x86_64__)
// Byte shuffles within 128-bit lanes, sums in 16-bit lanes.
BoundKernel bound_kernel_avx2();
// One field of a whole block per register (bound_avx2_fields.cpp): two
// accumulators per query, four queries per split of the codes.
BoundKernel bound_kernel_avx2_fields();
BoundKernel bound_kernel_avx512();
// Byte permutes and 4-byte dot products (bound_avx512_vnni.cpp); only where the
// CPU also has AVX-512 VBMI and VNNI (cpu_has_avx512_vbmi_vnni).
BoundKernel bound_kernel_avx512_vnni();
#elif defined(__aarch64__)
// TBL lookups, sums widened from 8 to 16 bits at every field and to 32 bits
// every 256 fields.
BoundKernel bound_kernel_neon();
#endif

}  // namespace kernels
}  // namespace velmora

namespace velmora {
namespace kernels {

// --- Rotation ---------------------------------------------------------------
// Every dot product is dot8 (dot8.h): fast kernels run many side by side, each
// in that order, so they give the plain loops' bits.

// y = R x for the d x d row-major f32 matrix R.
using RotateFn = void (*)(const float* matrix, std::size_t d, const float* x, float* y);
// ys[v * d + j] for `count` vectors stored one after another.
using RotateBatchFn = void (*)(const float* matrix, std::size_t d, const float* xs, std::size_t count, float* ys);
// For k = k_begin .. k_end - 1 in order, each of the `count` (at most 4)
// columns v becomes v - q_k * dot8(q_k, v); columns and the q_k are rows of
// length d.
using GramSchmidtFn = void (*)(double* const* columns, std::size_t count, const double* q, std::size_t d,
                               std::size_t k_begin, std::size_t k_end);

// The three are chosen together: one instruction set for the whole rotation.
struct RotationKernels {
  const char* name = nullptr;
  RotateFn rotate = nullptr;
  RotateBatchFn rotate_batch = nullptr;
  GramSchmidtFn gram_schmidt = nullptr;
  explicit operator bool() const { return rotate != nullptr; }
};

// Portable: the plain loops.
void rotate_portable(const float* matrix, std::size_t d, const float* x, float* y);
void rotate_batch_portable(const float* matrix, std::size_t d, const float* xs, std::size_t count, float* ys);
void gram_schmidt_portable(double* const* columns, std::size_t count, const double* q, std::size_t d,
                           std::size_t k_begin, std::size_t k_end);
RotationKernels rotation_kernels_portable();
#if defined(__x86_64__)
void rotate_avx2(const float* matrix, std::size_t d, const float* x, float* y);
void rotate_batch_avx2(const float* matrix, std::size_t d, const float* xs, std::size_t count, float* ys);
void gram_schmidt_avx2(double* const* columns, std::size_t count, const double* q, std::size_t d, std::size_t k_begin,
                       std::size_t k_end);
RotationKernels rotation_kernels_avx2();
// Two vectors per 16-lane register for batches (rotate_avx512.cpp); one
// vector and the Gram-Schmidt sweep as with AVX2.
void rotate_batch_avx512(const float* matrix, std::size_t d, const float* xs, std::size_t count, float* ys);
RotationKernels rotation_kernels_avx512();
#elif defined(__aarch64__)
// The eight lanes in two registers of four f32 (four of two f64).
void rotate_neon(const float* matrix, std::size_t d, const float* x, float* y);
void rotate_batch_neon(const float* matrix, std::size_t d, const float* xs, std::size_t count, float* ys);
void gram_schmidt_neon(double* const* columns, std::size_t count, const double* q, std::size_t d, std::size_t k_begin,
                       std::size_t k_end);
RotationKernels rotation_kernels_neon();
#endif

// --- Quantiser --------------------------------------------------------------

// out[i] = the number of the `interior_count` (at most 15) ascending
// boundaries that are <= x[i] (NaN counts none).
using QuantizeFn = void (*)(const float* interior, std::size_t interior_count, const float* x, std::size_t n,
                            std::uint8_t* out);

// Portable: a binary search per coordinate.
void quantize_portable(const float* interior, std::size_t interior_count, const float* x, std::size_t n,
                       std::uint8_t* out);
#if defined(__x86_64__)
// Eight coordinates compared with every boundary at once.
void quantize_avx2(const float* interior, std::size_t interior_count, const float* x, std::size_t n, std::uint8_t* out);
#endif

}  // namespace kernels
}  // namespace velmora

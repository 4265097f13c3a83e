// Entry points of the instruction-set specific kernels. Only plain types cross
// this boundary; the implementations live in one translation unit per level.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {
namespace kernels {

// The epsilon added to the norm product of a cosine score: 1e-12 as an f32.
inline constexpr float kScoreEpsilon = 1e-12f;

struct ScoreBlocksArgs {
  const float* lut;             // dim << bits table entries
  std::size_t dim;
  const std::uint8_t* blocks;   // the first block to score (see code_layout.h)
  std::size_t block_bytes;
  const float* norms;           // 16 per block, from the first block's lane 0
  float query_norm;
};

// Scores block_count consecutive blocks: out[16 * b + lane].
using ScoreBlocksFn = void (*)(const ScoreBlocksArgs& args, std::size_t block_count, float* out);

ScoreBlocksFn score_blocks_scalar(int bits);
ScoreBlocksFn score_blocks_avx2(int bits);
ScoreBlocksFn score_blocks_avx512(int bits);

}  // namespace kernels
}  // namespace velmora

namespace velmora {
namespace kernels {

// Rotation kernels; see RotationKernels in rotation.h for their contracts.
void rotate_avx2(const float* matrix, std::size_t d, const float* x, float* y);
void rotate_batch_avx2(const float* matrix, std::size_t d, const float* xs, std::size_t count, float* ys);
void gram_schmidt_avx2(double* const* columns, std::size_t count, const double* q, std::size_t d,
                       std::size_t k_begin, std::size_t k_end);

}  // namespace kernels
}  // namespace velmora

namespace velmora {
namespace kernels {

// out[i] = the number of the `interior_count` ascending boundaries that are
// <= x[i] (NaN counts none).
void quantize_avx2(const float* interior, std::size_t interior_count, const float* x, std::size_t n,
                   std::uint8_t* out);

}  // namespace kernels
}  // namespace velmora

// Portable exact scoring: the block kernel with one plain loop per lane, and
// the score of a single stored vector.
#include "score_kernel.h"

namespace velmora {
namespace kernels {

ExactKernel scalar_kernel(int bits) { return exact_kernel<ScalarLookup>("scalar", bits); }

float score_one(const float* lut, std::size_t dim, int bits, const std::uint8_t* block, std::size_t lane,
                float norm, float query_norm) {
  float sum = 0.0f;
  for (std::size_t i = 0; i < dim; ++i) sum = sum + lut[(i << bits) + read_code(block, bits, i, lane)];
  const float raw = sum * norm;
  const float denominator = (query_norm * norm) + kScoreEpsilon;
  return raw / denominator;
}

}  // namespace kernels
}  // namespace velmora

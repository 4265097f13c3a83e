// Portable scoring: the block kernel with one plain loop per lane.
#include <cstring>

#include "score_kernel.h"

namespace velmora {
namespace kernels {
namespace {

struct ScalarIsa {
  static constexpr int kGroup = 2;
  struct Acc {
    float lane[16];
  };
  static Acc zero() {
    Acc acc;
    for (float& x : acc.lane) x = 0.0f;
    return acc;
  }
  template <int Bits>
  struct Row {
    explicit Row(const float* p) : entries(p) {}
    const float* entries;
  };
  template <int Bits>
  static Acc add_lookup(Acc acc, const Row<Bits>& row, const std::uint8_t* field) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, field, 2 * Bits);  // little-endian field of 16 codes
    for (int l = 0; l < 16; ++l) {
      acc.lane[l] = acc.lane[l] + row.entries[(bits >> (l * Bits)) & ((1u << Bits) - 1u)];
    }
    return acc;
  }
  template <int Bits>
  static void finish(const Acc& acc, const float* norms, float query_norm, float* out) {
    for (int l = 0; l < 16; ++l) {
      const float raw = acc.lane[l] * norms[l];
      const float denominator = (query_norm * norms[l]) + kScoreEpsilon;
      out[l] = raw / denominator;
    }
  }
};

}  // namespace

ScoreBlocksFn score_blocks_scalar(int bits) { return score_blocks_for<ScalarIsa>(bits); }

}  // namespace kernels
}  // namespace velmora

// The portable quantiser: a binary search per coordinate, which the AVX2 one
// must match.
#include "kernels/kernels.h"

namespace velmora {
namespace kernels {

void quantize_portable(const float* interior, std::size_t interior_count, const float* x, std::size_t n,
                       std::uint8_t* out) {
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t lo = 0, hi = interior_count;  // the count lies in [lo, hi]
    while (lo < hi) {
      const std::size_t mid = (lo + hi) / 2;
      if (interior[mid] <= x[i])
        lo = mid + 1;
      else
        hi = mid;
    }
    out[i] = static_cast<std::uint8_t>(lo);
  }
}

}  // namespace kernels
}  // namespace velmora

// The fixed eight-lane dot product every rotation kernel sums in.
#pragma once

#include <cstddef>

namespace velmora {
namespace kernels {

// Dot product in the fixed eight-lane order: lane sums over full blocks of
// eight, lanes folded as (0+4), (1+5), (2+6), (3+7) onto a zero, then the tail
// in index order. Every product and sum is rounded to T.
template <class T>
T dot8(const T* a, const T* b, std::size_t n) {
  T p[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const std::size_t full = n / 8 * 8;
  for (std::size_t k = 0; k < full; k += 8) {
    for (int l = 0; l < 8; ++l) p[l] = p[l] + a[k + l] * b[k + l];
  }
  T s = T(0) + (p[0] + p[4]);
  s = s + (p[1] + p[5]);
  s = s + (p[2] + p[6]);
  s = s + (p[3] + p[7]);
  for (std::size_t i = full; i < n; ++i) s = s + a[i] * b[i];
  return s;
}

}  // namespace kernels
}  // namespace velmora

// AVX2 kernels of the rotation: the eight lanes of the fixed dot-product order
// are the eight f32 lanes of one register (two registers of f64).
#include "kernels/kernels.h"
#include "kernels/rotate_kernel.h"
#include "kernels/rotate_lanes_avx2.h"

namespace velmora {
namespace kernels {

void rotate_avx2(const float* matrix, std::size_t d, const float* x, float* y) {
  rotate_lanes<Avx2RotationLanes>(matrix, d, x, y);
}

void rotate_batch_avx2(const float* matrix, std::size_t d, const float* xs, std::size_t count, float* ys) {
  rotate_batch_lanes<Avx2RotationLanes>(matrix, d, xs, count, ys);
}

void gram_schmidt_avx2(double* const* columns, std::size_t count, const double* q, std::size_t d, std::size_t k_begin,
                       std::size_t k_end) {
  gram_schmidt_lanes<Avx2RotationLanes>(columns, count, q, d, k_begin, k_end);
}

RotationKernels rotation_kernels_avx2() {
  return RotationKernels{"avx2", rotate_avx2, rotate_batch_avx2, gram_schmidt_avx2};
}

}  // namespace kernels
}  // namespace velmora

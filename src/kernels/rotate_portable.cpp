// The rotation's portable kernels: the plain loops every other rotation kernel
// must match bit for bit.
#include "kernels/dot8.h"
#include "kernels/kernels.h"

#include <vector>

namespace velmora {
namespace kernels {

void rotate_portable(const float* matrix, std::size_t d, const float* x, float* y) {
  for (std::size_t j = 0; j < d; ++j) y[j] = dot8(matrix + j * d, x, d);
}

void rotate_batch_portable(const float* matrix, std::size_t rows, std::size_t d, const float* xs, std::size_t count,
                           float* ys) {
  for (std::size_t v = 0; v < count; ++v) {
    for (std::size_t j = 0; j < rows; ++j) ys[v * rows + j] = dot8(matrix + j * d, xs + v * d, d);
  }
}

void gram_schmidt_portable(double* const* columns, std::size_t count, const double* q, std::size_t d,
                           std::size_t k_begin, std::size_t k_end) {
  for (std::size_t c = 0; c < count; ++c) {
    double* v = columns[c];
    for (std::size_t k = k_begin; k < k_end; ++k) {
      const double* qk = q + k * d;
      const double p = dot8(qk, v, d);
      for (std::size_t i = 0; i < d; ++i) v[i] = v[i] - qk[i] * p;
    }
  }
}

void row_dots_f64_portable(const double* x, std::size_t n, const double* const* queries, std::size_t count,
                           double* out) {
  out[0] = dot8(x, x, n);
  for (std::size_t j = 0; j < count; ++j) out[1 + j] = dot8(queries[j], x, n);
}

void row_dots_f32_portable(const float* x, std::size_t n, const double* const* queries, std::size_t count,
                           double* out) {
  thread_local std::vector<double> wide;  // each row of a search: no allocation per row
  wide.assign(x, x + n);
  row_dots_f64_portable(wide.data(), n, queries, count, out);
}

RotationKernels rotation_kernels_portable() {
  return RotationKernels{"scalar",
                         rotate_portable,
                         rotate_batch_portable,
                         gram_schmidt_portable,
                         row_dots_f32_portable,
                         row_dots_f64_portable};
}

}  // namespace kernels
}  // namespace velmora

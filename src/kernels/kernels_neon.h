// Entry points of the NEON kernels (AArch64 Advanced SIMD, which every
// aarch64 CPU has), compiled only when the build targets aarch64.
#pragma once

#include <cstddef>

#include "kernels/kernels.h"

namespace velmora {
namespace kernels {

// The byte planes of the table looked up with TBL (score_kernel.h's
// PlaneLookup), and the table's rows looked up as 32-bit entries with TBL
// over two or four registers (PermuteLookup).
ExactKernel plane_kernel_neon(int bits);
ExactKernel permute_kernel_neon(int bits);

// TBL lookups of each field's 16-entry table, sums widened from 8 to 16 bits
// at every field and to 32 bits every 256 fields.
BoundKernel bound_kernel_neon();

// The rotation's kernels (RotationKernels in engine/rotation.h): the eight
// lanes of the fixed dot-product order in two registers of four f32 (four of
// two f64).
void rotate_neon(const float* matrix, std::size_t d, const float* x, float* y);
void rotate_batch_neon(const float* matrix, std::size_t d, const float* xs, std::size_t count, float* ys);
void gram_schmidt_neon(double* const* columns, std::size_t count, const double* q, std::size_t d,
                       std::size_t k_begin, std::size_t k_end);

}  // namespace kernels
}  // namespace velmora

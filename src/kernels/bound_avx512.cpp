// The integer bound pass with AVX-512 (BW): four fields per register.
#include "kernels/bound_shuffle.h"
#include "kernels/instruction_sets.h"
#include "kernels/isa_avx512.h"

namespace velmora {
namespace kernels {

BoundKernel bound_kernel_avx512() { return bound_kernel<ShuffleBoundPass<Avx512Isa>>("avx512-bound"); }

}  // namespace kernels
}  // namespace velmora

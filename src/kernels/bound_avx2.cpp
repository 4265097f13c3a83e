// The integer bound pass with AVX2: two fields per register.
#include "kernels/bound_shuffle.h"
#include "kernels/instruction_sets.h"
#include "kernels/isa_avx2.h"

namespace velmora {
namespace kernels {

BoundKernel bound_kernel_avx2() { return bound_kernel<ShuffleBoundPass<Avx2Isa>>("avx2-bound"); }

}  // namespace kernels
}  // namespace velmora

// The exact kernels for AVX2: vpermps rows and byte planes.
#include "kernels/exact_kernel.h"
#include "kernels/instruction_sets.h"
#include "kernels/isa_avx2.h"

namespace velmora {
namespace kernels {

ExactKernel permute_kernel_avx2(int bits) { return exact_kernel<PermuteLookup<Avx2Isa>>("avx2-permute", bits); }
ExactKernel plane_kernel_avx2(int bits) { return exact_kernel<PlaneLookup<Avx2Isa, 1>>("avx2-planes", bits); }

}  // namespace kernels
}  // namespace velmora

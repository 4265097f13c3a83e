// The exact kernels for AVX-512: vpermps rows of 16 entries and byte planes
// two blocks to a register.
#include "kernels/exact_kernel.h"
#include "kernels/instruction_sets.h"
#include "kernels/isa_avx512.h"

namespace velmora {
namespace kernels {

ExactKernel permute_kernel_avx512(int bits) { return exact_kernel<PermuteLookup<Avx512Isa>>("avx512-permute", bits); }
ExactKernel plane_kernel_avx512(int bits) { return exact_kernel<PlaneLookup<Avx512Isa, 1>>("avx512-planes", bits); }

}  // namespace kernels
}  // namespace velmora

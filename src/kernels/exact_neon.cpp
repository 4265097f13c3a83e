// The exact kernels for NEON: byte planes looked up with TBL, and table rows
// looked up as 32-bit entries with TBL over two or four registers.
#include "kernels/exact_kernel.h"
#include "kernels/instruction_sets.h"
#include "kernels/isa_neon.h"

namespace velmora {
namespace kernels {

ExactKernel permute_kernel_neon(int bits) { return exact_kernel<PermuteLookup<NeonIsa>>("neon-permute", bits); }
ExactKernel plane_kernel_neon(int bits) { return exact_kernel<PlaneLookup<NeonIsa, 1>>("neon-planes", bits); }

}  // namespace kernels
}  // namespace velmora

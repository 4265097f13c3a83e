// The rotation with AVX2: the eight lanes of the fixed dot-product order are
// the eight f32 lanes of one register (two registers of f64).
#include "kernels/instruction_sets.h"
#include "kernels/isa_avx2.h"
#include "kernels/rotate_kernel.h"

namespace velmora {
namespace kernels {

RotationKernels rotation_kernels_avx2() { return rotation_kernels<Avx2RotationLanes>("avx2"); }

}  // namespace kernels
}  // namespace velmora

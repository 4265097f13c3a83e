// The rotation with NEON: the eight lanes of the fixed dot-product order are
// two registers of four f32 (four registers of two f64).
#include "kernels/instruction_sets.h"
#include "kernels/isa_neon.h"
#include "kernels/rotate_kernel.h"

namespace velmora {
namespace kernels {

RotationKernels rotation_kernels_neon() { return rotation_kernels<NeonRotationLanes>("neon"); }

}  // namespace kernels
}  // namespace velmora

// The integer bound pass with AVX2: two fields per register.
#include "fastscan_kernel.h"
#include "isa_avx2.h"

namespace velmora {
namespace kernels {

BoundBlocksFn bound_blocks_avx2() { return &bound_blocks<Avx2Isa>; }

}  // namespace kernels
}  // namespace velmora

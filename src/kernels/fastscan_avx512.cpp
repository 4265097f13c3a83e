// The integer bound pass with AVX-512 (BW): four fields per register.
#include "fastscan_kernel.h"
#include "isa_avx512.h"

namespace velmora {
namespace kernels {

BoundBlocksFn bound_blocks_avx512() { return &bound_blocks<Avx512Isa>; }

}  // namespace kernels
}  // namespace velmora

// Portable exact scoring: the block kernel with one plain loop per lane, and
// scattered lanes one at a time.
#include "kernels/exact_kernel.h"

namespace velmora {
namespace kernels {

ExactKernel exact_kernel_portable(int bits) { return exact_kernel<PortableLookup>("scalar", bits); }

}  // namespace kernels
}  // namespace velmora

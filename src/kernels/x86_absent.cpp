// Elsewhere than on x86-64 the x86 kernels are not compiled, but the engine
// still names them among its candidates: these stand-ins are empty kernels
// (never chosen, since no x86 level is ever detected) and fail loudly if a
// rotation or quantiser entry point is reached anyway.
#include <cstdlib>

#include "kernels/crc32c_kernel.h"
#include "kernels/kernels.h"

namespace velmora {
namespace kernels {

ExactKernel permute_kernel_avx2(int) { return {}; }
ExactKernel permute_kernel_avx512(int) { return {}; }
ExactKernel plane_kernel_avx2(int) { return {}; }
ExactKernel plane_kernel_avx512(int) { return {}; }
BoundKernel bound_kernel_avx2() { return {}; }
BoundKernel bound_kernel_avx512() { return {}; }
BoundKernel bound_kernel_avx512_vnni() { return {}; }

void rotate_avx2(const float*, std::size_t, const float*, float*) { std::abort(); }
void rotate_batch_avx2(const float*, std::size_t, const float*, std::size_t, float*) { std::abort(); }
void gram_schmidt_avx2(double* const*, std::size_t, const double*, std::size_t, std::size_t, std::size_t) {
  std::abort();
}
void quantize_avx2(const float*, std::size_t, const float*, std::size_t, std::uint8_t*) { std::abort(); }
std::uint32_t crc32c_update_sse42(std::uint32_t, const unsigned char*, std::size_t) { std::abort(); }

}  // namespace kernels
}  // namespace velmora

// The CRC-32C instruction kernel, compiled for SSE4.2 alone and used only
// after a CPU check.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {
namespace kernels {

// CRC-32C of p[0 .. len) continuing from the raw (not inverted) state.
std::uint32_t crc32c_update_sse42(std::uint32_t state, const unsigned char* p, std::size_t len);

}  // namespace kernels
}  // namespace velmora

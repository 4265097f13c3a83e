// The CRC-32C kernels. Both continue from the raw (not inverted) state; the
// instruction kernel is compiled for SSE4.2 alone and used only after a CPU
// check (the registry's).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {
namespace kernels {

// CRC-32C of p[0 .. len) continuing from `state`.
using Crc32cFn = std::uint32_t (*)(std::uint32_t state, const unsigned char* p, std::size_t len);

// Portable: slicing by eight.
std::uint32_t crc32c_update_portable(std::uint32_t state, const unsigned char* p, std::size_t len);
#if defined(__x86_64__)
// The crc32 instruction, eight bytes at a time.
std::uint32_t crc32c_update_sse42(std::uint32_t state, const unsigned char* p, std::size_t len);
#endif

}  // namespace kernels
}  // namespace velmora

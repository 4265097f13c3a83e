// CRC-32C with the SSE4.2 crc32 instruction, eight bytes at a time.
#include <nmmintrin.h>

#include <cstring>

#include "kernels/instruction_sets.h"

namespace velmora {
namespace kernels {

std::uint32_t crc32c_update_sse42(std::uint32_t state, const unsigned char* p, std::size_t len) {
  std::uint64_t s = state;
  while (len >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    s = _mm_crc32_u64(s, word);
    p += 8;
    len -= 8;
  }
  std::uint32_t s32 = static_cast<std::uint32_t>(s);
  while (len-- > 0) s32 = _mm_crc32_u8(s32, *p++);
  return s32;
}

}  // namespace kernels
}  // namespace velmora

// The portable CRC-32C, slicing by eight: the one the SSE4.2 kernel must match.
#include <cstring>

#include "kernels/kernels.h"

namespace velmora {
namespace kernels {

namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78u;

// table[t][b] is the remainder of byte b followed by t zero bytes.
struct Tables {
  std::uint32_t t[8][256];
};

Tables make_tables() {
  Tables tables{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t r = b;
    for (int i = 0; i < 8; ++i) r = (r >> 1) ^ ((r & 1u) ? kPolynomial : 0u);
    tables.t[0][b] = r;
  }
  for (int t = 1; t < 8; ++t) {
    for (std::uint32_t b = 0; b < 256; ++b) {
      const std::uint32_t prev = tables.t[t - 1][b];
      tables.t[t][b] = (prev >> 8) ^ tables.t[0][prev & 0xFFu];
    }
  }
  return tables;
}

const Tables& tables() {
  static const Tables instance = make_tables();
  return instance;
}

}  // namespace

std::uint32_t crc32c_update_portable(std::uint32_t state, const unsigned char* p, std::size_t len) {
  const Tables& tab = tables();
  while (len >= 8) {
    std::uint32_t low;
    std::uint32_t high;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + 4, 4);
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "words are read little-endian");
    low ^= state;
    state = tab.t[7][low & 0xFFu] ^ tab.t[6][(low >> 8) & 0xFFu] ^ tab.t[5][(low >> 16) & 0xFFu] ^ tab.t[4][low >> 24] ^
            tab.t[3][high & 0xFFu] ^ tab.t[2][(high >> 8) & 0xFFu] ^ tab.t[1][(high >> 16) & 0xFFu] ^
            tab.t[0][high >> 24];
    p += 8;
    len -= 8;
  }
  while (len-- > 0) state = (state >> 8) ^ tab.t[0][(state ^ *p++) & 0xFFu];
  return state;
}

}  // namespace kernels
}  // namespace velmora

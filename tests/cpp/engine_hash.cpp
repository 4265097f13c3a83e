// Prints a digest of the rotation and codebook tables of a few dimensions.
// Two runs must print the same line.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/codebook.h"
#include "engine/rotation.h"

namespace {
std::uint64_t fnv1a(std::uint64_t h, const void* data, std::size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < len; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
  return h;
}
}  // namespace

int main() {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (std::uint64_t dim : {32u, 33u, 100u}) {
    auto r = velmora::get_rotation(dim);
    if (!r) return 1;
    h = fnv1a(h, r.value()->matrix.data(), r.value()->matrix.size() * sizeof(float));
    for (std::uint8_t bits = 2; bits <= 4; ++bits) {
      auto c = velmora::get_codebook(dim, bits);
      if (!c) return 1;
      h = fnv1a(h, c.value()->centroids.data(), c.value()->centroids.size() * sizeof(float));
      h = fnv1a(h, c.value()->boundaries.data(), c.value()->boundaries.size() * sizeof(float));
    }
  }
  std::printf("%016llx\n", static_cast<unsigned long long>(h));
  return 0;
}

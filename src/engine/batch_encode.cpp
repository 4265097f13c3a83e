#include "engine/batch_encode.h"

#include <algorithm>
#include <atomic>

#include "engine/encode.h"
#include "engine/pool.h"

namespace velmora {

std::size_t encode_rows(const float* rows, std::size_t count, const Rotation& rotation,
                        const Codebook& codebook, std::uint8_t* indices, float* norms) {
  const std::size_t dim = static_cast<std::size_t>(rotation.dim);
  // The lowest failing row found so far: pieces past it stop early, pieces
  // before it always finish, so the final value is the lowest failing row.
  std::atomic<std::size_t> first_bad{count};
  parallel_for(count, [&](std::size_t begin, std::size_t end) {
    constexpr std::size_t kChunk = 32;  // rotated rows stay in cache
    const float* vectors[kChunk];
    for (std::size_t first = begin; first < end; first += kChunk) {
      if (first > first_bad.load(std::memory_order_relaxed)) return;
      const std::size_t n = std::min(kChunk, end - first);
      for (std::size_t c = 0; c < n; ++c) vectors[c] = rows + (first + c) * dim;
      const std::size_t bad = encode_batch(vectors, n, rotation, codebook, indices + first * dim, norms + first);
      if (bad < n) {
        std::size_t seen = first_bad.load(std::memory_order_relaxed);
        while (first + bad < seen && !first_bad.compare_exchange_weak(seen, first + bad)) {
        }
        return;
      }
    }
  });
  return first_bad.load();
}

}  // namespace velmora

// Time of the first rotation and codebook of a dimension in a fresh process
// (they are cached afterwards), and of the timed choice of the exact kernel
// and bound passes (one query, groups) for the bit width at the active level,
// with their names.
// Prints one Markdown row:
//
//   bench_first_use <dim> [bits]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "engine/codebook.h"
#include "engine/rotation.h"
#include "engine/similarity.h"
#include "kernels/simd.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <dim> [bits]\n", argv[0]);
    return 2;
  }
  const std::uint64_t dim = std::strtoull(argv[1], nullptr, 10);
  const auto bits = static_cast<std::uint8_t>(argc > 2 ? std::atoi(argv[2]) : 4);
  using Clock = std::chrono::steady_clock;
  const auto t0 = Clock::now();
  const auto rotation = velmora::get_rotation(dim);
  const auto t1 = Clock::now();
  const auto codebook = velmora::get_codebook(dim, bits);
  const auto t2 = Clock::now();
  if (!rotation.ok() || !codebook.ok()) {
    std::fprintf(stderr, "invalid dimension or bit width\n");
    return 1;
  }
  const velmora::ScoringKernels& kernels = velmora::active_kernels(bits);
  const auto t3 = Clock::now();
  std::printf("| %llu | %d | %.3f | %.3f | %.4f (%s: %s, %s, groups %s) |\n", static_cast<unsigned long long>(dim),
              bits, std::chrono::duration<double>(t1 - t0).count(), std::chrono::duration<double>(t2 - t1).count(),
              std::chrono::duration<double>(t3 - t2).count(), velmora::simd_level_name(velmora::active_simd_level()),
              kernels.exact.name, kernels.bound.name, kernels.group_bound.name);
  return 0;
}

// Single-thread scoring throughput of every kernel level against the
// per-entry reference, on the same random codes. Prints a Markdown table.
//
//   bench_kernels [n] [dim]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "code_layout.h"
#include "encode.h"
#include "kernels/kernels.h"
#include "similarity.h"
#include "simd.h"

using namespace velmora;
using Clock = std::chrono::steady_clock;

template <class F>
double best_seconds(int repeats, F&& run) {
  double best = 1e30;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::size_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  std::printf("| bits | level | ms per query (n=%zu, dim=%zu, 1 thread) | speed-up vs reference |\n", n, dim);
  std::printf("|---|---|---|---|\n");
  for (std::uint8_t bits : {2, 3, 4}) {
    std::mt19937 gen(bits);
    BlockedCodes codes(dim, bits);
    std::vector<std::uint8_t> packed(n * packed_len(dim, bits));
    std::vector<std::uint8_t> indices(dim);
    codes.reserve(n);
    for (std::size_t p = 0; p < n; ++p) {
      for (auto& c : indices) c = static_cast<std::uint8_t>(gen() % (1u << bits));
      codes.push_back(indices.data());
      pack_indices_into(indices.data(), dim, bits, packed.data() + p * packed_len(dim, bits),
                        packed_len(dim, bits));
    }
    std::vector<float> norms(codes.block_count() * kBlockLanes, 1.5f);
    QueryLut lut;
    lut.dim = dim;
    lut.bits = bits;
    lut.query_norm = 2.0f;
    lut.lut.resize(dim << bits);
    for (float& x : lut.lut) x = static_cast<float>(gen() % 1000) / 1000.0f;
    std::vector<float> out(norms.size());

    const double reference = best_seconds(2, [&] {
      const std::size_t len = packed_len(dim, bits);
      for (std::size_t p = 0; p < n; ++p) out[p] = cosine_score(lut, packed.data() + p * len, len, norms[p]);
    });
    std::printf("| %d | reference | %.2f | 1.0 |\n", bits, reference * 1e3);
    const struct {
      const char* name;
      SimdLevel level;
      kernels::ScoreBlocksFn (*kernel)(int);
    } levels[] = {{"scalar", SimdLevel::Scalar, kernels::score_blocks_scalar},
                  {"avx2", SimdLevel::Avx2, kernels::score_blocks_avx2},
                  {"avx512", SimdLevel::Avx512, kernels::score_blocks_avx512}};
    for (const auto& level : levels) {
      if (static_cast<int>(detected_simd_level()) < static_cast<int>(level.level)) continue;
      const kernels::ScoreBlocksArgs args{lut.lut.data(), dim, codes.blocks(), codes.block_bytes(),
                                          norms.data(), lut.query_norm};
      const double t = best_seconds(5, [&] { level.kernel(bits)(args, codes.block_count(), out.data()); });
      std::printf("| %d | %s | %.2f | %.1f |\n", bits, level.name, t * 1e3, reference / t);
    }
  }
  return 0;
}

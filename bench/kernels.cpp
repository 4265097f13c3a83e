// Single-thread speed of every exact scoring kernel and of the integer bound
// pass (for one query, and per query for groups sharing each pass as
// Index.search runs them), against the per-entry reference, on the same
// random codes; scattered lanes of each exact kernel against the scalar
// one's; the kernels chosen at each level; and the row dot products
// of the exact cosines (a float32 row with itself and its queries) against
// the portable loop. Prints Markdown tables and the CPU model.
//
//   bench_kernels [n] [dim]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/code_layout.h"
#include "engine/encode.h"
#include "engine/similarity.h"
#include "kernels/families.h"
#include "kernels/kernels.h"
#include "kernels/simd.h"

using namespace velmora;
using Clock = std::chrono::steady_clock;

namespace {

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

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::size_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  std::printf("CPU: %s; detected level: %s\n\n", cpu_model().c_str(), simd_level_name(detected_simd_level()));
  std::printf("| bits | kernel | ms per scan (n=%zu, dim=%zu, 1 thread) | speed-up vs reference |\n", n, dim);
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
      pack_indices_into(indices.data(), dim, bits, packed.data() + p * packed_len(dim, bits), packed_len(dim, bits));
    }
    std::vector<float> norms(codes.block_count() * kBlockLanes, 1.5f);
    QueryLut lut;
    lut.dim = dim;
    lut.bits = bits;
    lut.query_norm = 2.0f;
    lut.lut.resize(dim << bits);
    for (float& x : lut.lut) x = static_cast<float>(gen() % 1000) / 1000.0f;
    std::vector<float> out(norms.size());

    const double reference = best_seconds(1, [&] {
      const std::size_t len = packed_len(dim, bits);
      for (std::size_t p = 0; p < n; ++p) out[p] = cosine_score(lut, packed.data() + p * len, len, norms[p]);
    });
    std::printf("| %d | reference | %.2f | 1.0 |\n", bits, reference * 1e3);
    for (const auto& c : kernels::entries_this_cpu_runs(kernels::exact_family(bits))) {
      std::vector<std::uint8_t> table(c.kernel.table_bytes(dim));
      c.kernel.prepare(lut.lut.data(), dim, table.data());
      const kernels::ScoreBlocksArgs args{table.data(),        dim,          codes.blocks(),
                                          codes.block_bytes(), norms.data(), lut.query_norm};
      const double t = best_seconds(5, [&] { c.kernel.score(args, codes.block_count(), out.data()); });
      std::printf("| %d | %s | %.2f | %.1f |\n", bits, c.kernel.name, t * 1e3, reference / t);
    }
    // Scattered lanes, eight a call as a search's survivors come, spread
    // over the whole store: ns per lane (the reference column is the scalar
    // kernel's lanes).
    double scalar_lanes = 0.0;
    for (const auto& c : kernels::entries_this_cpu_runs(kernels::exact_family(bits))) {
      constexpr std::size_t kLanesTimed = 1u << 16;
      float scores[kernels::kMaxScatteredLanes];
      float sink = 0.0f;
      const double t = best_seconds(3, [&] {
        std::uint64_t state = 0x9E3779B97F4A7C15ULL;
        for (std::size_t first = 0; first < kLanesTimed; first += kernels::kMaxScatteredLanes) {
          kernels::ScatteredLanes lanes;
          for (std::size_t j = 0; j < kernels::kMaxScatteredLanes; ++j) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            const std::size_t p = static_cast<std::size_t>(state >> 33) % n;
            lanes.blocks[j] = codes.block(p / kBlockLanes);
            lanes.lanes[j] = static_cast<std::uint8_t>(p % kBlockLanes);
            lanes.norms[j] = norms[p];
          }
          lanes.count = kernels::kMaxScatteredLanes;
          c.kernel.score_lanes(lut.lut.data(), dim, lanes, lut.query_norm, scores);
          sink += scores[0];
        }
      });
      if (sink == 12345.0f) std::printf("(sink)\n");  // keeps the loop
      const double ns = t * 1e9 / static_cast<double>(kLanesTimed);
      if (scalar_lanes == 0.0) scalar_lanes = ns;
      std::printf("| %d | %s, scattered lanes, ns per lane | %.1f | %.1f vs scalar |\n", bits, c.kernel.name, ns,
                  scalar_lanes / ns);
    }
    for (SimdLevel level : supported_simd_levels()) {
      if (level == SimdLevel::Reference) continue;
      const ScoringKernels& chosen = kernels_for(level, bits);
      std::printf("| %d | chosen at %s: %s, %s, groups %s | | |\n", bits, simd_level_name(level), chosen.exact.name,
                  chosen.bound.name, chosen.group_bound.name);
    }
    // The integer bound pass over the same blocks, nothing surviving.
    const std::size_t fields = codes.field_count();
    std::vector<std::uint8_t> bound_table((fields + 3) / 4 * 4 * kernels::kFieldBytes, 0);
    for (std::size_t i = 0; i < fields * kernels::kFieldBytes; ++i) bound_table[i] = static_cast<std::uint8_t>(gen());
    std::vector<std::uint32_t> sums(codes.block_count() * kBlockLanes), survivors(codes.block_count());
    const kernels::BoundBlocksArgs bargs{bound_table.data(), fields, codes.blocks(), codes.block_bytes(), 0xFFFFFFFFu};
    const auto bounds = kernels::entries_this_cpu_runs(kernels::bound_family(kernels::BoundUse::OneQuery));
    for (const auto& b : bounds) {
      const double t =
          best_seconds(5, [&] { b.kernel.blocks(bargs, codes.block_count(), sums.data(), survivors.data()); });
      std::printf("| %d | %s | %.2f | %.1f |\n", bits, b.kernel.name, t * 1e3, reference / t);
    }
    // A group of queries sharing each pass (per query), in passes of 32
    // blocks as the batch search makes them; not the portable pass (the
    // first), which takes a group's queries one by one.
    for (std::size_t i = 1; i < bounds.size(); ++i) {
      const auto& b = bounds[i];
      for (std::size_t group : {2u, 4u, 8u}) {
        kernels::BoundGroupArgs gargs{};
        for (std::size_t q = 0; q < group; ++q) {
          gargs.tables[q] = bound_table.data();
          gargs.limits[q] = 0xFFFFFFFFu;
        }
        gargs.queries = group;
        gargs.fields = fields;
        gargs.block_bytes = codes.block_bytes();
        std::vector<std::uint32_t> group_sums(group * 32 * kBlockLanes), group_survivors(group * 32);
        const double t = best_seconds(5,
                                      [&] {
                                        for (std::size_t first = 0; first < codes.block_count(); first += 32) {
                                          gargs.blocks = codes.block(first);
                                          b.kernel.group(gargs, std::min<std::size_t>(32, codes.block_count() - first),
                                                         group_sums.data(), group_survivors.data());
                                        }
                                      }) /
                         static_cast<double>(group);
        std::printf("| %d | %s, %zu queries a pass, per query | %.2f | %.1f |\n", bits, b.kernel.name, group, t * 1e3,
                    reference / t);
      }
    }
  }

  // The exact cosines' dot products: rows read once each, in order (the
  // first cache levels hold the queries), a row with itself and 1 or 4 queries.
  const std::size_t rows = std::max<std::size_t>(1, std::min<std::size_t>(n, (std::size_t{64} << 20) / (dim * 4)));
  std::mt19937 gen(7);
  std::normal_distribution<float> normal;
  std::vector<float> matrix(rows * dim);
  for (float& x : matrix) x = normal(gen);
  std::vector<double> query_values(4 * dim);
  for (double& x : query_values) x = normal(gen);
  const double* queries[4] = {&query_values[0], &query_values[dim], &query_values[2 * dim], &query_values[3 * dim]};
  std::printf("\n| row dot products | ns per row (%zu float32 rows, dim=%zu, 1 thread) | speed-up vs scalar |\n", rows,
              dim);
  std::printf("|---|---|---|\n");
  const auto rotations = kernels::entries_this_cpu_runs(kernels::rotation_family());
  for (std::size_t count : {1u, 4u}) {
    double scalar = 0.0;
    for (const auto& r : rotations) {
      double sums[5];
      double sink = 0.0;
      const double t = best_seconds(5, [&] {
        for (std::size_t row = 0; row < rows; ++row) {
          r.kernel.row_dots_f32(matrix.data() + row * dim, dim, queries, count, sums);
          sink += sums[0];
        }
      });
      if (sink == 0.0) std::printf("(no sums)\n");  // keeps the loop
      if (scalar == 0.0) scalar = t;
      std::printf("| %s, %zu %s | %.1f | %.1f |\n", r.kernel.name, count, count == 1 ? "query" : "queries",
                  t * 1e9 / static_cast<double>(rows), scalar / t);
    }
  }
  return 0;
}

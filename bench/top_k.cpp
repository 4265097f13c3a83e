// query(q, k) through the store: milliseconds per query, the share of stored
// vectors whose exact score was computed, and, as a baseline of the machine
// at the same moment, the time the pool takes to read as many bytes as the
// codes hold. The pool's size comes from RAYON_NUM_THREADS as usual.
// Vectors are Gaussian, or read from raw float32 files (row-major, `dim`
// floats per row) so that other benchmarks can pass their own data. With
// --batch, the queries are searched together as Index.search runs them
// (search_batch), and "ms" is the batch's time per query.
//
//   bench_top_k [--batch] <n> <dim> <bits> <k> [vectors.f32 queries.f32]
//
// Prints one line of JSON.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/batch_search.h"
#include "engine/encode.h"
#include "engine/pool.h"
#include "engine/similarity.h"
#include "engine/store.h"
#include "engine/top_k.h"
#include "kernels/simd.h"

using namespace velmora;

namespace {

std::vector<float> read_floats(const char* path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const auto bytes = static_cast<std::size_t>(in.tellg());
  std::vector<float> out(bytes / sizeof(float));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size() * sizeof(float)));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const bool batch = argc > 1 && std::string(argv[1]) == "--batch";
  if (batch) {
    --argc;
    ++argv;
  }
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s [--batch] <n> <dim> <bits> <k> [vectors.f32 queries.f32]\n", argv[0]);
    return 2;
  }
  const std::size_t n = std::strtoull(argv[1], nullptr, 10), dim = std::strtoull(argv[2], nullptr, 10);
  const auto bits = static_cast<std::uint8_t>(std::atoi(argv[3]));
  const std::size_t k = std::strtoull(argv[4], nullptr, 10);
  std::vector<float> vectors, queries;
  if (argc > 6) {
    vectors = read_floats(argv[5]);
    queries = read_floats(argv[6]);
    if (vectors.size() < n * dim || queries.size() < dim) {
      std::fprintf(stderr, "not enough data\n");
      return 1;
    }
  } else {
    std::mt19937 gen(0);
    std::normal_distribution<float> normal;
    vectors.resize(n * dim);
    queries.resize((batch ? 64 : 20) * dim);
    for (float& x : vectors) x = normal(gen);
    for (float& x : queries) x = normal(gen);
  }
  auto created = CompressedVectorStore::create(dim, bits);
  if (!created.ok()) return 1;
  CompressedVectorStore store = std::move(created).value();
  for (std::size_t first = 0; first < n; first += 100000) {
    PreparedPairs pairs;
    for (std::size_t p = first; p < std::min(n, first + 100000); ++p) pairs.add(p, FloatView(&vectors[p * dim], dim));
    if (!store.insert_batch(pairs).ok()) return 1;
  }
  const std::size_t query_count = queries.size() / dim;
  std::vector<double> ms;
  double exact_share = 0.0;
  if (batch) {
    std::vector<std::uint64_t> ids(query_count * k);
    std::vector<float> scores(query_count * k);
    for (int r = 0; r < 3; ++r) {
      const auto t0 = std::chrono::steady_clock::now();
      search_batch(store.record_view(), queries.data(), query_count, k, nullptr, ids.data(), scores.data());
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() /
                   static_cast<double>(query_count));
    }
  }
  for (std::size_t q = 0; q < query_count && !batch; ++q) {
    const FloatView query(&queries[q * dim], dim);
    const auto t0 = std::chrono::steady_clock::now();
    const auto result = store.query(query, k);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    TopKStats stats;
    if (!result.ok() || !store.query(query, k, &stats).ok()) return 1;
    exact_share += static_cast<double>(stats.exact_scores) / static_cast<double>(n) / static_cast<double>(query_count);
  }
  std::sort(ms.begin(), ms.end());
  // A baseline of the machine at this moment and this thread count: reading
  // as many bytes as the codes hold, on the same pool.
  std::vector<std::uint64_t> bytes(n * packed_len(dim, bits) / 8 + 1);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = i * 0x9E3779B97F4A7C15ULL;
  std::vector<double> read_ms;
  std::atomic<std::uint64_t> sink{0};
  for (int r = 0; r < 20; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    parallel_for(bytes.size() / 4096, [&](std::size_t first, std::size_t last) {
      std::uint64_t x = 0;
      for (std::size_t i = first * 4096; i < last * 4096; ++i) x ^= bytes[i];
      sink ^= x;
    });
    read_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(read_ms.begin(), read_ms.end());
  std::printf(
      "{\"n\": %zu, \"dim\": %zu, \"bits\": %d, \"k\": %zu, \"level\": \"%s\", \"ms\": %.4f, "
      "\"exact_share\": %.6f, \"threads\": %zu, \"read_ms\": %.4f}\n",
      n, dim, bits, k, simd_level_name(active_simd_level()), ms[ms.size() / 2], exact_share, configured_thread_count(),
      read_ms[read_ms.size() / 2]);
  return 0;
}

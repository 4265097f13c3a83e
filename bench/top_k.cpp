// query(q, k) through the store's top-k search, single thread: milliseconds
// per query and the share of stored vectors whose exact score was computed.
// Vectors are Gaussian, or read from raw float32 files (row-major, `dim`
// floats per row) so that other benchmarks can pass their own data.
//
//   bench_top_k <n> <dim> <bits> <k> [vectors.f32 queries.f32]
//
// Prints one line of JSON.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <vector>

#include "similarity.h"
#include "simd.h"
#include "store.h"
#include "top_k.h"

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
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s <n> <dim> <bits> <k> [vectors.f32 queries.f32]\n", argv[0]);
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
    queries.resize(20 * dim);
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
  for (std::size_t q = 0; q < query_count; ++q) {
    const FloatView query(&queries[q * dim], dim);
    const auto t0 = std::chrono::steady_clock::now();
    const auto result = store.query(query, k);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    TopKStats stats;
    if (!result.ok() || !store.query(query, k, &stats).ok()) return 1;
    exact_share += static_cast<double>(stats.exact_scores) / static_cast<double>(n) / static_cast<double>(query_count);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("{\"n\": %zu, \"dim\": %zu, \"bits\": %d, \"k\": %zu, \"level\": \"%s\", \"ms\": %.4f, "
              "\"exact_share\": %.6f}\n",
              n, dim, bits, k, simd_level_name(active_simd_level()), ms[ms.size() / 2], exact_share);
  return 0;
}

// The tables, codes and scores of fixed inputs, against digests recorded on
// x86-64: every CPU architecture, build and kernel level must reproduce them
// bit for bit. scripts/test-aarch64.sh runs this for 64-bit ARM under
// emulation. A change that alters any stored code or score on purpose
// updates the digests here, and says so.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "engine/code_layout.h"
#include "engine/encode.h"
#include "engine/quantizer.h"
#include "engine/rotation.h"
#include "engine/similarity.h"
#include "engine/top_k.h"
#include "kernels/simd.h"

using namespace velmora;

namespace {

struct Digest {
  std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
  template <class T>
  void add(const T* data, std::size_t count) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < count * sizeof(T); ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
  }
  template <class T>
  void add(const std::vector<T>& v) {
    add(v.data(), v.size());
  }
  std::string hex() const {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
  }
};

// Inputs from integer arithmetic alone (no library random distributions,
// whose results may differ between standard libraries): multiples of 2^-20
// in [-8, 8), each converted to f32 exactly.
std::vector<float> fixed_vectors(std::size_t count, std::size_t dim, std::uint64_t seed) {
  SeededRng rng = SeededRng::from_seed_u64(seed);
  std::vector<float> out(count * dim);
  for (float& x : out) {
    const auto steps = static_cast<std::int64_t>(rng.next_u64() >> 40) - (std::int64_t{1} << 23);
    x = static_cast<float>(steps) / static_cast<float>(1 << 20);
  }
  return out;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

struct Case {
  std::size_t dim;
  std::uint8_t bits;
  const char* expected;  // the digest recorded on x86-64
};

void PrintTo(const Case& c, std::ostream* out) { *out << "dim " << c.dim << ", " << int{c.bits} << " bits"; }

class PlatformDigest : public ::testing::TestWithParam<Case> {};

// One digest over the rotation, the codebook, the codes and norms of a batch
// (encoded together, and a few one at a time, which must agree), the query
// tables, every vector's score and the top ten. The scores and the top ten
// are those of every kernel level this CPU has, which must agree before they
// enter the digest once.
TEST_P(PlatformDigest, TablesCodesAndScoresMatchTheRecordedDigest) {
  const Case c = GetParam();
  constexpr std::size_t kVectors = 333, kSingles = 17, kQueries = 3, kTop = 10;
  const Result<Quantizer> quantizer = get_quantizer(c.dim, c.bits);
  ASSERT_TRUE(quantizer.ok());
  const Rotation& rotation = *quantizer.value().rotation;
  const Codebook& codebook = *quantizer.value().codebook;
  Digest digest;
  digest.add(rotation.matrix);
  digest.add(codebook.centroids);
  digest.add(codebook.boundaries);

  const std::vector<float> vectors = fixed_vectors(kVectors, c.dim, 1000 + c.dim);
  std::vector<const float*> rows(kVectors);
  for (std::size_t v = 0; v < kVectors; ++v) rows[v] = vectors.data() + v * c.dim;
  std::vector<std::uint8_t> indices(kVectors * c.dim);
  std::vector<float> norms(kVectors);
  ASSERT_EQ(encode_batch(rows.data(), kVectors, rotation, codebook, indices.data(), norms.data()), kVectors);
  std::vector<std::uint8_t> single(c.dim);
  std::vector<float> scratch(2 * c.dim);
  for (std::size_t v = 0; v < kSingles; ++v) {
    float norm = 0.0f;
    ASSERT_TRUE(encode_indices(rows[v], rotation, codebook, single.data(), &norm, scratch.data()));
    ASSERT_EQ(std::vector<std::uint8_t>(indices.begin() + static_cast<std::ptrdiff_t>(v * c.dim),
                                        indices.begin() + static_cast<std::ptrdiff_t>((v + 1) * c.dim)),
              single)
        << "vector " << v;
    ASSERT_TRUE(std::memcmp(&norm, &norms[v], sizeof norm) == 0) << "vector " << v;
  }
  digest.add(indices);
  digest.add(norms);

  BlockedCodes codes(c.dim, c.bits);
  for (std::size_t v = 0; v < kVectors; ++v) codes.push_back(indices.data() + v * c.dim);
  std::vector<std::uint64_t> ids(kVectors);
  for (std::size_t v = 0; v < kVectors; ++v) ids[v] = v;
  const StoredEntries entries{ids.data(), norms.data(), &codes, kVectors};
  float max_norm = 0.0f;
  for (float n : norms) max_norm = n > max_norm ? n : max_norm;

  const std::vector<float> queries = fixed_vectors(kQueries, c.dim, 2000 + c.dim);
  for (std::size_t q = 0; q < kQueries; ++q) {
    const Result<QueryLut> lut = prepare_query(FloatView(queries.data() + q * c.dim, c.dim), c.dim, c.bits);
    ASSERT_TRUE(lut.ok());
    digest.add(lut.value().lut);
    digest.add(&lut.value().query_norm, 1);
    std::vector<float> first_scores;
    std::vector<Candidate> first_top;
    for (SimdLevel level : supported_simd_levels()) {
      const ScoringKernels& kernels = kernels_for(level, c.bits);
      std::vector<float> scores(kVectors);
      ExactScorer(lut.value(), kernels).score_range(entries, 0, kVectors, scores.data());
      const std::vector<Candidate> top = search_top_k(lut.value(), entries, kTop, max_norm, kernels, 1);
      if (level == SimdLevel::Reference) {
        first_scores = scores;
        first_top = top;
        continue;
      }
      ASSERT_TRUE(same_bits(scores, first_scores)) << simd_level_name(level) << ", query " << q;
      ASSERT_EQ(top.size(), first_top.size());
      for (std::size_t i = 0; i < top.size(); ++i) {
        ASSERT_EQ(top[i].position, first_top[i].position) << simd_level_name(level) << ", query " << q;
        ASSERT_TRUE(std::memcmp(&top[i].score, &first_top[i].score, sizeof(float)) == 0)
            << simd_level_name(level) << ", query " << q;
      }
    }
    digest.add(first_scores);
    for (const Candidate& candidate : first_top) {
      const std::uint64_t position = candidate.position;
      digest.add(&position, 1);
      digest.add(&candidate.score, 1);
    }
  }
  EXPECT_EQ(digest.hex(), c.expected) << "dim " << c.dim << ", " << int{c.bits} << " bits";
}

INSTANTIATE_TEST_SUITE_P(Pairs, PlatformDigest,
                         ::testing::Values(Case{33, 2, "e07307b85d1e228d"}, Case{64, 3, "874a81b80da556c7"},
                                           Case{130, 4, "f5b5f6b8a6378e07"}),
                         [](const ::testing::TestParamInfo<Case>& param_info) {
                           return "dim" + std::to_string(param_info.param.dim) + "_bits" +
                                  std::to_string(int{param_info.param.bits});
                         });

}  // namespace

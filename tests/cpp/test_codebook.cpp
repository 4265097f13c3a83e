// The Lloyd-fitted codebooks, their quantiser and their cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "engine/codebook.h"
#include "engine/rotation.h"

namespace {

using velmora::Codebook;

velmora::CodebookHandle codebook_for(std::uint64_t dim, std::uint8_t bits) {
  auto c = velmora::get_codebook(dim, bits);
  if (!c.ok()) throw std::runtime_error(c.error().message());
  return c.value();
}

bool same_bits(float x, float y) { return std::memcmp(&x, &y, sizeof x) == 0; }

void expect_identical(const Codebook& a, const Codebook& b, const std::string& what) {
  EXPECT_EQ(a.dim, b.dim) << what;
  EXPECT_EQ(a.bits, b.bits) << what;
  ASSERT_EQ(a.centroids.size(), b.centroids.size()) << what;
  ASSERT_EQ(a.boundaries.size(), b.boundaries.size()) << what;
  for (std::size_t j = 0; j < a.centroids.size(); ++j) {
    EXPECT_TRUE(same_bits(a.centroids[j], b.centroids[j]))
        << what << ": centroid " << j << " " << a.centroids[j] << " vs " << b.centroids[j];
  }
  for (std::size_t j = 0; j < a.boundaries.size(); ++j) {
    EXPECT_TRUE(same_bits(a.boundaries[j], b.boundaries[j]))
        << what << ": boundary " << j << " " << a.boundaries[j] << " vs " << b.boundaries[j];
  }
}

using Pair = std::tuple<std::uint64_t, int>;
class CodebookOfPair : public ::testing::TestWithParam<Pair> {};
INSTANTIATE_TEST_SUITE_P(Pairs, CodebookOfPair,
                         ::testing::Values(Pair{32, 2}, Pair{32, 3}, Pair{32, 4}, Pair{128, 4}, Pair{768, 3}),
                         [](const auto& param_info) {
                           return "dim" + std::to_string(std::get<0>(param_info.param)) + "_bits" +
                                  std::to_string(std::get<1>(param_info.param));
                         });

TEST_P(CodebookOfPair, ShapeOrderMidpointsAndRange) {
  const auto [dim, bits] = GetParam();
  const auto cb = codebook_for(dim, static_cast<std::uint8_t>(bits));
  const std::size_t levels = std::size_t{1} << bits;
  EXPECT_EQ(cb->dim, dim);
  EXPECT_EQ(cb->bits, bits);
  ASSERT_EQ(cb->centroids.size(), levels);
  ASSERT_EQ(cb->boundaries.size(), levels + 1);
  const auto& c = cb->centroids;
  const auto& b = cb->boundaries;
  EXPECT_LE(b[0], c[0]);
  EXPECT_LE(c[levels - 1], b[levels]);
  for (std::size_t j = 1; j < levels; ++j) {
    EXPECT_LT(c[j - 1], c[j]) << "centroid " << j;
    EXPECT_TRUE(same_bits(b[j], (c[j - 1] + c[j]) * 0.5f)) << "boundary " << j;
  }
  for (std::size_t j = 1; j <= levels; ++j) EXPECT_LE(b[j - 1], b[j]) << "boundary " << j;
  for (float v : b) {
    EXPECT_GE(v, -1.0f);
    EXPECT_LE(v, 1.0f);
  }
  // The coordinate distribution is symmetric, so the fitted levels mirror
  // each other. A finite sample and Lloyd's local optimum leave up to about a
  // tenth of the spread (about 1/sqrt(dim)) of asymmetry.
  const float spread = 1.0f / std::sqrt(static_cast<float>(dim));
  float centroid_sum = 0;
  for (std::size_t j = 0; j < levels; ++j) centroid_sum += c[j];
  EXPECT_LT(std::fabs(centroid_sum / static_cast<float>(levels)), 0.05f * spread);
  for (std::size_t j = 0; j < levels / 2; ++j) {
    EXPECT_LT(c[j], 0.0f);
    EXPECT_NEAR(c[j], -c[levels - 1 - j], 0.15f * spread) << "centroid pair " << j;
  }
}

// A fitted codebook is (nearly) a fixed point of Lloyd's algorithm on its
// samples: each level is the mean of the samples in its cell, and the outer
// edges are the smallest and largest sample. Samples that sit on a boundary
// may still flip between two cells, each moving a mean by about 5e-5 of the
// spread.
TEST_P(CodebookOfPair, LevelsAreCellMeansOfTheSamples) {
  const auto [dim, bits] = GetParam();
  const auto cb = codebook_for(dim, static_cast<std::uint8_t>(bits));
  const std::vector<float> samples = velmora::codebook_samples(dim);
  ASSERT_EQ(samples.size(), velmora::CODEBOOK_SAMPLE_DRAWS);
  ASSERT_TRUE(std::is_sorted(samples.begin(), samples.end()));
  EXPECT_EQ(cb->boundaries.front(), samples.front());
  EXPECT_EQ(cb->boundaries.back(), samples.back());
  const std::size_t levels = cb->centroids.size();
  std::vector<double> sums(levels);
  std::vector<std::size_t> counts(levels);
  for (float s : samples) {
    const auto j = cb->quantize(s);
    sums[j] += s;
    counts[j] += 1;
  }
  const double spread = 1.0 / std::sqrt(static_cast<double>(dim));
  for (std::size_t j = 0; j < levels; ++j) {
    ASSERT_GT(counts[j], 0u) << "cell " << j;
    EXPECT_NEAR(cb->centroids[j], sums[j] / static_cast<double>(counts[j]), 5e-4 * spread) << "cell " << j;
  }
}

TEST(Codebook, QuantizeCountsInteriorBoundariesAtOrBelow) {
  for (std::uint8_t bits = 2; bits <= 4; ++bits) {
    SCOPED_TRACE("bits " + std::to_string(bits));
    const auto cb = codebook_for(32, bits);
    const std::size_t levels = cb->centroids.size();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(cb->quantize(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(cb->quantize(-inf), 0);
    EXPECT_EQ(cb->quantize(inf), levels - 1);
    EXPECT_EQ(cb->quantize(-1e30f), 0);
    EXPECT_EQ(cb->quantize(1e30f), levels - 1);
    for (std::size_t j = 1; j < levels; ++j) {
      const float edge = cb->boundaries[j];
      EXPECT_EQ(cb->quantize(edge), j) << "at boundary " << j;
      EXPECT_EQ(cb->quantize(std::nextafter(edge, -inf)), j - 1) << "just below boundary " << j;
    }
    // The outer boundaries do not limit the end cells.
    EXPECT_EQ(cb->quantize(std::nextafter(cb->boundaries[0], -inf)), 0);
    EXPECT_EQ(cb->quantize(std::nextafter(cb->boundaries[levels], inf)), levels - 1);
    for (int k = -2000; k <= 2000; ++k) {
      const float x = static_cast<float>(k) * 0.0005f;
      std::size_t count = 0;
      for (std::size_t j = 1; j < levels; ++j) count += cb->boundaries[j] <= x;
      ASSERT_EQ(cb->quantize(x), count) << "x = " << x;
    }
  }
}

// The fitting sample: from one seed-0 generator, draw after draw of `dim`
// normals rounded to f32, keep the first coordinate divided by the f32 norm.
TEST(Codebook, SamplesAreFirstCoordinatesOfNormalisedDraws) {
  for (std::uint64_t dim : {32u, 33u}) {
    velmora::SeededRng rng = velmora::SeededRng::from_seed_u64(0);
    std::vector<float> expected;
    std::vector<float> draw(dim);
    for (std::size_t n = 0; n < velmora::CODEBOOK_SAMPLE_DRAWS; ++n) {
      float sum_sq = -0.0f;
      for (float& x : draw) {
        x = static_cast<float>(velmora::sample_standard_normal(rng));
        sum_sq += x * x;
      }
      expected.push_back(draw[0] / std::sqrt(sum_sq));
    }
    std::sort(expected.begin(), expected.end());
    const std::vector<float> samples = velmora::codebook_samples(dim);
    ASSERT_EQ(samples.size(), expected.size());
    std::size_t differing = 0;
    for (std::size_t k = 0; k < samples.size(); ++k) differing += !same_bits(samples[k], expected[k]);
    EXPECT_EQ(differing, 0u) << "dim " << dim;
  }
}

// Crafted sample sets can fit repeated boundaries; the search must still
// count every one that is <= x, and -0.0 counts as equal to 0.0.
TEST(Codebook, QuantizeCountsRepeatedBoundaries) {
  Codebook cb;
  cb.bits = 3;
  cb.boundaries = {-1.0f, -0.5f, 0.0f, 0.0f, 0.0f, 0.25f, 0.25f, 0.5f, 1.0f};
  cb.centroids.assign(8, 0.0f);
  EXPECT_EQ(cb.quantize(-0.5f), 1);
  EXPECT_EQ(cb.quantize(std::nextafter(0.0f, -1.0f)), 1);
  EXPECT_EQ(cb.quantize(0.0f), 4);
  EXPECT_EQ(cb.quantize(-0.0f), 4);
  EXPECT_EQ(cb.quantize(0.25f), 6);
  EXPECT_EQ(cb.quantize(0.5f), 7);
}

TEST(Codebook, LargerDimensionGivesNarrowerCodebook) {
  const float top32 = codebook_for(32, 3)->centroids.back();
  const float top128 = codebook_for(128, 3)->centroids.back();
  const float top512 = codebook_for(512, 3)->centroids.back();
  EXPECT_GT(top32, top128);
  EXPECT_GT(top128, top512);
  // The spread shrinks like 1/sqrt(dim): a factor of 2 per fourfold dimension.
  EXPECT_NEAR(top32 / top128, 2.0f, 0.15f);
  EXPECT_NEAR(top128 / top512, 2.0f, 0.15f);
}

TEST(Codebook, FastFitMatchesReferenceOnRealSamplesForEveryBitWidth) {
  const std::vector<float> samples = velmora::codebook_samples(48);
  for (std::uint8_t bits = 2; bits <= 4; ++bits) {
    const Codebook fast = velmora::fit_codebook(samples, 48, bits);
    expect_identical(fast, velmora::fit_codebook_reference(samples, 48, bits), "bits " + std::to_string(bits));
    // The cached codebook of every bit width is fitted to these same samples.
    expect_identical(*codebook_for(48, bits), fast, "cached, bits " + std::to_string(bits));
  }
}

// Sample sets on which cells empty out, values repeat or sit exactly on
// boundaries, where a shortcut in cell assignment would show.
TEST(Codebook, FastFitMatchesReferenceOnCraftedSamples) {
  std::vector<std::vector<float>> sets;
  sets.push_back({});
  sets.push_back({0.25f});
  sets.push_back(std::vector<float>(50, -0.125f));
  {
    std::vector<float> two_clusters(40, -0.5f);
    two_clusters.insert(two_clusters.end(), 60, 0.75f);
    sets.push_back(two_clusters);
  }
  // Evenly spaced: several samples land exactly on the initial edges.
  {
    std::vector<float> grid;
    for (int k = 0; k <= 64; ++k) grid.push_back(-1.0f + static_cast<float>(k) / 32.0f);
    sets.push_back(grid);
  }
  // Heavy duplicates with a far outlier, so most cells start empty.
  {
    std::vector<float> lumpy;
    for (int k = 0; k < 30; ++k) lumpy.push_back(k % 3 == 0 ? 0.0f : (k % 3 == 1 ? 0.01f : -0.01f));
    lumpy.push_back(0.9f);
    lumpy.push_back(-0.0f);
    std::sort(lumpy.begin(), lumpy.end());
    sets.push_back(lumpy);
  }
  for (std::size_t s = 0; s < sets.size(); ++s) {
    for (std::uint8_t bits = 2; bits <= 4; ++bits) {
      expect_identical(velmora::fit_codebook(sets[s], 32, bits), velmora::fit_codebook_reference(sets[s], 32, bits),
                       "set " + std::to_string(s) + ", bits " + std::to_string(bits));
    }
  }
}

TEST(Codebook, EmptySampleSetSpansMinusOneToOne) {
  const Codebook cb = velmora::fit_codebook({}, 32, 2);
  EXPECT_EQ(cb.boundaries, (std::vector<float>{-1.0f, -0.5f, 0.0f, 0.5f, 1.0f}));
  EXPECT_EQ(cb.centroids, (std::vector<float>{-0.75f, -0.25f, 0.25f, 0.75f}));
}

TEST(CodebookCache, InvalidPairsFailBitWidthFirstAndAreNotCached) {
  const std::size_t cached = velmora::cached_codebook_count();
  struct Case {
    std::uint64_t dim;
    std::uint8_t bits;
    velmora::StoreError error;
  };
  const Case cases[] = {
      {64, 5, velmora::StoreError::unsupported_bit_width(5)},
      {16, 1, velmora::StoreError::unsupported_bit_width(1)},
      {64, 0, velmora::StoreError::unsupported_bit_width(0)},
      {32, 255, velmora::StoreError::unsupported_bit_width(255)},
      {31, 2, velmora::StoreError::unsupported_dimension(31)},
      {0, 4, velmora::StoreError::unsupported_dimension(0)},
  };
  for (int attempt = 0; attempt < 2; ++attempt) {
    for (const Case& c : cases) {
      const auto r = velmora::get_codebook(c.dim, c.bits);
      ASSERT_FALSE(r.ok()) << c.dim << ", " << int(c.bits);
      EXPECT_EQ(r.error(), c.error) << r.error().message();
    }
  }
  EXPECT_EQ(velmora::cached_codebook_count(), cached);
}

TEST(CodebookCache, SecondRequestReturnsSameObject) {
  const std::size_t cached = velmora::cached_codebook_count();
  const auto first = codebook_for(36, 2);
  const auto second = codebook_for(36, 2);
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(velmora::cached_codebook_count(), cached + 1);
}

}  // namespace

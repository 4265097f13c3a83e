// The seeded generator, the three double forms, the ziggurat tables and the
// normal sampler.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "engine/rotation.h"

namespace {

using velmora::SeededRng;
using State = std::array<std::uint64_t, 4>;

// xoshiro256++ as Blackman and Vigna publish it, on a bare state array.
std::uint64_t rotl64(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
std::uint64_t xoshiro256pp_next(State& s) {
  const std::uint64_t result = rotl64(s[0] + s[3], 23) + s[0];
  const std::uint64_t t = s[1] << 17;
  s[2] ^= s[0];
  s[3] ^= s[1];
  s[1] ^= s[2];
  s[0] ^= s[3];
  s[2] ^= t;
  s[3] = rotl64(s[3], 45);
  return result;
}

// The seeding stream: a PCG32 (XSH-RR) step that advances the state first and
// then permutes the new state; eight outputs fill the four words, low half first.
State pcg32_seeded_state(std::uint64_t seed) {
  std::uint64_t lcg = seed;
  std::uint32_t words[8];
  for (std::uint32_t& w : words) {
    lcg = lcg * 6364136223846793005ULL + 11634580027462260723ULL;
    const std::uint32_t xorshifted = static_cast<std::uint32_t>(((lcg >> 18) ^ lcg) >> 27);
    const unsigned rotation = static_cast<unsigned>(lcg >> 59);
    std::uint32_t rotated = xorshifted;
    for (unsigned r = 0; r < rotation; ++r) rotated = (rotated >> 1) | (rotated << 31);
    w = rotated;
  }
  State s{};
  for (int k = 0; k < 4; ++k) s[k] = (std::uint64_t{words[2 * k + 1]} << 32) + words[2 * k];
  return s;
}

double from_bits(std::uint64_t b) {
  double d;
  std::memcpy(&d, &b, sizeof d);
  return d;
}

TEST(SeededRng, NextMatchesPublishedXoshiro256PlusPlus) {
  for (const State& start :
       {State{0x0123456789abcdefULL, 0xfedcba9876543210ULL, 0x0f1e2d3c4b5a6978ULL, 0x8796a5b4c3d2e1f0ULL},
        State{1, 0, 0, 0}, State{~0ULL, ~0ULL, ~0ULL, ~0ULL}}) {
    State expected = start;
    SeededRng rng = SeededRng::from_state(start);
    for (int n = 0; n < 10000; ++n) {
      ASSERT_EQ(rng.next_u64(), xoshiro256pp_next(expected)) << "output " << n;
    }
    EXPECT_EQ(rng.state(), expected);
  }
}

TEST(SeededRng, SeedingFillsStateFromPcg32Stream) {
  for (std::uint64_t seed : {0ULL, 1ULL, 42ULL, 0xdeadbeefcafef00dULL, ~0ULL}) {
    EXPECT_EQ(SeededRng::from_seed_u64(seed).state(), pcg32_seeded_state(seed)) << "seed " << seed;
  }
}

TEST(SeededRng, SameSeedGivesSameStreamsDifferentSeedsDiffer) {
  SeededRng a = SeededRng::from_seed_u64(42);
  SeededRng b = SeededRng::from_seed_u64(42);
  SeededRng other = SeededRng::from_seed_u64(43);
  int equal_to_other = 0;
  for (int n = 0; n < 1000; ++n) {
    const std::uint64_t x = a.next_u64();
    ASSERT_EQ(x, b.next_u64());
    equal_to_other += x == other.next_u64();
  }
  EXPECT_EQ(equal_to_other, 0);
  for (int n = 0; n < 100000; ++n) {
    const double x = velmora::sample_standard_normal(a);
    const double y = velmora::sample_standard_normal(b);
    ASSERT_EQ(std::memcmp(&x, &y, sizeof x), 0) << "normal draw " << n;
  }
}

TEST(DoubleForms, EdgeBitPatternsGiveStatedRanges) {
  const double two_pow_53 = 9007199254740992.0;
  EXPECT_EQ(velmora::symmetric_double(0), -1.0);
  // [2, 4) has steps of 2^-51, so the symmetric form stops one such step below 1.
  EXPECT_EQ(velmora::symmetric_double(~0ULL), 1.0 - 4.0 / two_pow_53);
  EXPECT_EQ(velmora::open_double(0), 1.0 / two_pow_53);
  EXPECT_EQ(velmora::open_double(~0ULL), from_bits(0x3FEFFFFFFFFFFFFFULL));
  EXPECT_EQ(velmora::unit_double(0), 0.0);
  EXPECT_EQ(velmora::unit_double(~0ULL), 1.0 - 1.0 / two_pow_53);
  // The low bits are dropped: 12 for the symmetric and open forms, 11 for unit.
  EXPECT_EQ(velmora::symmetric_double(0xFFF), -1.0);
  EXPECT_EQ(velmora::open_double(0xFFF), 1.0 / two_pow_53);
  EXPECT_EQ(velmora::unit_double(0x7FF), 0.0);
  EXPECT_EQ(velmora::unit_double(0x800), 1.0 / two_pow_53);
  EXPECT_EQ(velmora::symmetric_double(1ULL << 63), 0.0);
}

// `printed` rounded to its own number of significant digits must equal `value`
// rounded the same way: the reference rows are printed rounded.
void expect_matches_printed(double value, const char* printed, const std::string& what) {
  int significant = 0;
  bool leading = true;
  for (const char* p = printed; *p; ++p) {
    if (*p < '0' || *p > '9') continue;
    if (leading && *p == '0') continue;
    leading = false;
    ++significant;
  }
  char got[64], want[64];
  std::snprintf(got, sizeof got, "%.*e", significant - 1, value);
  std::snprintf(want, sizeof want, "%.*e", significant - 1, std::strtod(printed, nullptr));
  EXPECT_STREQ(got, want) << what << " = " << printed << " (value " << value << ")";
}

TEST(Ziggurat, TablesReproduceReferenceRows) {
  const auto& t = velmora::ziggurat_tables();
  expect_matches_printed(t.x[0], "3.91075795953709", "X[0]");
  expect_matches_printed(t.x[2], "3.4492782985609645", "X[2]");
  expect_matches_printed(t.x[128], "1.5353425714388431", "X[128]");
  expect_matches_printed(t.x[255], "0.2152418959132738", "X[255]");
  expect_matches_printed(t.f[0], "0.000477467764586655", "F[0]");
  expect_matches_printed(t.f[1], "0.001260285930498598", "F[1]");
  expect_matches_printed(t.f[255], "0.9771017012827313", "F[255]");
}

TEST(Ziggurat, TableEndsAndOrder) {
  const auto& t = velmora::ziggurat_tables();
  EXPECT_EQ(t.x[1], velmora::ZIGGURAT_R);
  EXPECT_EQ(t.x[256], 0.0);
  EXPECT_EQ(t.f[256], 1.0);
  for (int i = 0; i < 256; ++i) {
    EXPECT_GT(t.x[i], t.x[i + 1]) << "at " << i;
    EXPECT_LT(t.f[i], t.f[i + 1]) << "at " << i;
    EXPECT_EQ(t.f[i], std::exp(-t.x[i] * t.x[i] / 2)) << "at " << i;
  }
}

// Standard normal CDF.
double phi(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// One ziggurat draw written out step by step from the method's description,
// using the engine's tables (checked above) and the generator.
double ziggurat_draw(SeededRng& rng) {
  const auto& t = velmora::ziggurat_tables();
  const double r = velmora::ZIGGURAT_R;
  while (true) {
    const std::uint64_t b = rng.next_u64();
    const int layer = static_cast<int>(b % 256);
    const double u = from_bits((b >> 12) | 0x4000000000000000ULL) - 3.0;
    const double x = t.x[layer] * u;
    if (std::fabs(x) < t.x[layer + 1]) return x;
    if (layer == 0) {
      while (true) {
        const double a = from_bits((rng.next_u64() >> 12) | 0x3FF0000000000000ULL) - from_bits(0x3FEFFFFFFFFFFFFFULL);
        const double c = from_bits((rng.next_u64() >> 12) | 0x3FF0000000000000ULL) - from_bits(0x3FEFFFFFFFFFFFFFULL);
        const double xt = std::log(a) / r;
        if (-2 * std::log(c) >= xt * xt) return u < 0 ? xt - r : r - xt;
      }
    }
    const double w = static_cast<double>(rng.next_u64() >> 11) / 9007199254740992.0;
    if (t.f[layer + 1] + w * (t.f[layer] - t.f[layer + 1]) < std::exp((x * x) * -0.5)) return x;
  }
}

TEST(StandardNormal, DrawsFollowZigguratStepsBitForBit) {
  SeededRng engine_rng = SeededRng::from_seed_u64(0);
  SeededRng test_rng = SeededRng::from_seed_u64(0);
  for (int n = 0; n < 2000000; ++n) {
    const double got = velmora::sample_standard_normal(engine_rng);
    const double want = ziggurat_draw(test_rng);
    ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << "draw " << n << ": " << got << " vs " << want;
  }
  // Equal generator states show that each draw consumed the same outputs.
  EXPECT_EQ(engine_rng.state(), test_rng.state());
}

TEST(StandardNormal, MomentsAndDistributionArePlausible) {
  SeededRng rng = SeededRng::from_seed_u64(7);
  const int n = 1000000;
  const double cut[] = {-2.5, -1.5, -1.0, -0.5, 0.0, 0.3, 1.0, 2.0, 3.0};
  int below[std::size(cut)] = {};
  double sum = 0, sum_sq = 0;
  for (int k = 0; k < n; ++k) {
    const double x = velmora::sample_standard_normal(rng);
    sum += x;
    sum_sq += x * x;
    for (std::size_t c = 0; c < std::size(cut); ++c) below[c] += x < cut[c];
  }
  const double mean = sum / n;
  EXPECT_LT(std::fabs(mean), 0.01);
  EXPECT_LT(std::fabs(sum_sq / n - mean * mean - 1.0), 0.01);
  // The standard error of each fraction is at most 0.0005 here.
  for (std::size_t c = 0; c < std::size(cut); ++c) {
    EXPECT_NEAR(static_cast<double>(below[c]) / n, phi(cut[c]), 0.0025) << "P(x < " << cut[c] << ")";
  }
}

TEST(StandardNormal, TailBeyondRIsDrawnOnBothSidesAtTheRightRate) {
  SeededRng rng = SeededRng::from_seed_u64(11);
  const int n = 4000000;
  const double r = velmora::ZIGGURAT_R;
  int above = 0, below = 0, far = 0;
  for (int k = 0; k < n; ++k) {
    const double x = velmora::sample_standard_normal(rng);
    ASSERT_TRUE(std::isfinite(x));
    above += x > r;
    below += x < -r;
    far += std::fabs(x) > 4.5;
  }
  // About 516 of each are expected; the bounds sit beyond five standard deviations.
  const double expected = n * (1.0 - phi(r));
  EXPECT_NEAR(above, expected, 5 * std::sqrt(expected));
  EXPECT_NEAR(below, expected, 5 * std::sqrt(expected));
  // P(|x| > 4.5) = 6.8e-6: about 27 draws, none of which a sampler without
  // the tail path could produce.
  EXPECT_GT(far, 5);
  EXPECT_LT(far, 60);
}

}  // namespace

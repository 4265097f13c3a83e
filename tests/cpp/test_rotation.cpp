// The eight-lane dot product and the per-dimension rotation with its cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "engine/invariant.h"
#include "engine/rotation.h"

namespace {

using velmora::SeededRng;

// The summation order the engine promises, written out independently:
// eight running lane sums, folded pairwise onto zero, then the tail.
template <class T>
T eight_lane_dot(const std::vector<T>& a, const std::vector<T>& b) {
  const std::size_t n = a.size();
  T lane[8] = {};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (std::size_t l = 0; l < 8; ++l) lane[l] = lane[l] + a[i + l] * b[i + l];
  }
  T s = 0;
  for (std::size_t l = 0; l < 4; ++l) s = s + (lane[l] + lane[l + 4]);
  for (; i < n; ++i) s = s + a[i] * b[i];
  return s;
}

template <class T>
bool same_bits(T x, T y) {
  return std::memcmp(&x, &y, sizeof x) == 0;
}

template <class T>
class Dot8 : public ::testing::Test {};
using FloatTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(Dot8, FloatTypes);

TYPED_TEST(Dot8, FollowsEightLaneOrderForEveryLength) {
  using T = TypeParam;
  SeededRng rng = SeededRng::from_seed_u64(3);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 40; ++n) lengths.push_back(n);
  for (std::size_t n = 41; n < 300; n += 18) lengths.push_back(n);  // odd lengths
  for (std::size_t n : lengths) {
    std::vector<T> a(n), b(n);
    for (std::size_t i = 0; i < n; ++i) {
      // Magnitudes spread over several decades so that every reordering
      // changes the rounding somewhere.
      const double scale = std::pow(10.0, static_cast<double>(i % 7) - 3.0);
      a[i] = static_cast<T>(velmora::sample_standard_normal(rng) * scale);
      b[i] = static_cast<T>(velmora::sample_standard_normal(rng));
    }
    const T got = velmora::dot8(a.data(), b.data(), n);
    const T want = eight_lane_dot(a, b);
    EXPECT_TRUE(same_bits(got, want)) << "n = " << n << ": " << got << " vs " << want;
  }
}

TYPED_TEST(Dot8, DiffersFromSequentialSum) {
  using T = TypeParam;
  // Lanes 0 and 4 cancel before lane 1 is added; a left-to-right sum loses
  // the 1 against the big value first.
  const T big = std::is_same<T, float>::value ? T(1e8) : T(1e17);
  const std::vector<T> a = {big, 1, 0, 0, -big, 0, 0, 0};
  const std::vector<T> ones(a.size(), 1);
  T sequential = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sequential = sequential + a[i] * ones[i];
  EXPECT_EQ(sequential, 0);
  EXPECT_EQ(velmora::dot8(a.data(), ones.data(), a.size()), 1);
}

velmora::RotationHandle rotation_for(std::uint64_t dim) {
  auto r = velmora::get_rotation(dim);
  if (!r.ok()) throw std::runtime_error(r.error().message());
  return r.value();
}

class RotationOfDim : public ::testing::TestWithParam<std::uint64_t> {};
INSTANTIATE_TEST_SUITE_P(Dims, RotationOfDim, ::testing::Values(32, 33, 100),
                         [](const auto& param_info) { return "dim" + std::to_string(param_info.param); });

TEST_P(RotationOfDim, RowsAreOrthonormal) {
  const auto rot = rotation_for(GetParam());
  const std::size_t d = GetParam();
  ASSERT_EQ(rot->dim, d);
  ASSERT_EQ(rot->seed, velmora::ROTATION_SEED);
  ASSERT_EQ(rot->matrix.size(), d * d);
  double worst = 0;
  for (std::size_t j = 0; j < d; ++j) {
    for (std::size_t k = j; k < d; ++k) {
      double dot = 0;
      for (std::size_t i = 0; i < d; ++i) {
        dot += static_cast<double>(rot->matrix[j * d + i]) * rot->matrix[k * d + i];
      }
      worst = std::max(worst, std::fabs(dot - (j == k ? 1.0 : 0.0)));
    }
  }
  // Rounding each entry to f32 perturbs a dot product by about sqrt(d) * 2^-24.
  EXPECT_LT(worst, 1e-6);
}

// The rotation is bit-for-bit reproducible: modified Gram-Schmidt in f64 over
// the columns of the seed-42 Gaussian matrix, every dot product in eight-lane
// order, each column divided by its norm, rows rounded to f32.
TEST_P(RotationOfDim, MatchesModifiedGramSchmidtBitForBit) {
  const std::size_t d = GetParam();
  SeededRng rng = SeededRng::from_seed_u64(42);
  std::vector<double> g(d * d);
  for (double& x : g) x = velmora::sample_standard_normal(rng);
  std::vector<std::vector<double>> q;
  for (std::size_t j = 0; j < d; ++j) {
    std::vector<double> v(d);
    for (std::size_t i = 0; i < d; ++i) v[i] = g[i * d + j];
    for (const auto& qk : q) {
      const double p = eight_lane_dot(qk, v);
      for (std::size_t i = 0; i < d; ++i) v[i] -= qk[i] * p;
    }
    const double n = std::sqrt(eight_lane_dot(v, v));
    for (double& x : v) x /= n;
    q.push_back(v);
  }
  const auto rot = rotation_for(d);
  std::size_t differing = 0;
  for (std::size_t j = 0; j < d; ++j) {
    for (std::size_t i = 0; i < d; ++i) differing += !same_bits(rot->matrix[j * d + i], static_cast<float>(q[j][i]));
  }
  EXPECT_EQ(differing, 0u);
}

TEST_P(RotationOfDim, RotateMultipliesRowsInEightLaneOrder) {
  const std::size_t d = GetParam();
  const auto rot = rotation_for(d);
  SeededRng rng = SeededRng::from_seed_u64(5);
  std::vector<float> x(d);
  for (float& v : x) v = static_cast<float>(velmora::sample_standard_normal(rng));
  const std::vector<float> y = rot->rotate(x.data(), d);
  ASSERT_EQ(y.size(), d);
  double norm_x = 0, norm_y = 0;
  for (std::size_t j = 0; j < d; ++j) {
    const std::vector<float> row(rot->matrix.begin() + j * d, rot->matrix.begin() + (j + 1) * d);
    EXPECT_TRUE(same_bits(y[j], eight_lane_dot(row, x))) << "coordinate " << j;
    norm_x += static_cast<double>(x[j]) * x[j];
    norm_y += static_cast<double>(y[j]) * y[j];
  }
  EXPECT_NEAR(std::sqrt(norm_y), std::sqrt(norm_x), 1e-5 * std::sqrt(norm_x));
}

TEST(Rotation, UnitVectorRotatesToFirstColumn) {
  const auto rot = rotation_for(32);
  std::vector<float> e0(32, 0.0f);
  e0[0] = 1.0f;
  const std::vector<float> y = rot->rotate(e0.data(), e0.size());
  for (std::size_t j = 0; j < 32; ++j) EXPECT_EQ(y[j], rot->matrix[j * 32]) << "row " << j;
}

TEST(Rotation, NanSpreadsToEveryCoordinateAndZeroStaysZero) {
  const auto rot = rotation_for(33);
  std::vector<float> x(33, 0.0f);
  for (float v : rot->rotate(x.data(), x.size())) EXPECT_EQ(v, 0.0f);
  x[0] = 0.5f;
  x[20] = std::numeric_limits<float>::quiet_NaN();
  for (float v : rot->rotate(x.data(), x.size())) EXPECT_TRUE(std::isnan(v));
}

TEST(Rotation, LengthMismatchIsBrokenInvariant) {
  const auto rot = rotation_for(32);
  std::vector<float> x(33, 1.0f);
  EXPECT_THROW(rot->rotate(x.data(), 33), velmora::InvariantError);
  EXPECT_THROW(rot->rotate(x.data(), 31), velmora::InvariantError);
}

TEST(RotationCache, SecondRequestReturnsSameObject) {
  const auto first = rotation_for(34);
  const auto second = rotation_for(34);
  EXPECT_EQ(first.get(), second.get());
}

TEST(RotationCache, DimensionBelow32FailsEveryTimeAndIsNeverCached) {
  const std::size_t cached = velmora::cached_rotation_count();
  for (int attempt = 0; attempt < 3; ++attempt) {
    for (std::uint64_t dim : {31ULL, 0ULL, 1ULL}) {
      const auto r = velmora::get_rotation(dim);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error(), velmora::StoreError::unsupported_dimension(dim));
    }
  }
  EXPECT_EQ(velmora::cached_rotation_count(), cached);
  EXPECT_TRUE(velmora::get_rotation(32).ok());
}

TEST(RotationCache, SquareOverflowIsInternalError) {
  const std::size_t cached = velmora::cached_rotation_count();
  for (std::uint64_t dim : {1ULL << 32, (1ULL << 32) + 1, ~0ULL}) {
    const auto r = velmora::get_rotation(dim);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), velmora::StoreErrorKind::InternalError);
    EXPECT_EQ(r.error().message(), "Internal error: ShapeError/Overflow: arithmetic overflow");
  }
  EXPECT_EQ(velmora::cached_rotation_count(), cached);
}

// d * d fits in 64 bits but no such array can exist: the size check must
// throw before anything is allocated or touched.
TEST(RotationCache, UnallocatableDimensionThrowsBadAlloc) {
  const std::size_t cached = velmora::cached_rotation_count();
  for (std::uint64_t dim : {(1ULL << 32) - 1, 1ULL << 31, 3037000499ULL}) {
    EXPECT_THROW((void)velmora::get_rotation(dim), std::bad_alloc) << "dim " << dim;
  }
  EXPECT_EQ(velmora::cached_rotation_count(), cached);
}

}  // namespace

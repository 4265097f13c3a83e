// Encoding one vector into its stored record: norm plus packed cell indices
// of the rotated unit vector.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/encode.h"
#include "engine/invariant.h"

namespace {

using velmora::EncodedVector;

struct Engine {
  velmora::RotationHandle rotation;
  velmora::CodebookHandle codebook;
  std::uint8_t bits;

  Engine(std::uint64_t dim, std::uint8_t bits_) : bits(bits_) {
    auto r = velmora::get_rotation(dim);
    auto c = velmora::get_codebook(dim, bits);
    if (!r.ok() || !c.ok()) throw std::runtime_error("engine setup failed");
    rotation = r.value();
    codebook = c.value();
  }

  velmora::Result<EncodedVector> encode(const std::vector<float>& v) const {
    return velmora::encode_vector(v.data(), v.size(), *rotation, *codebook, bits);
  }
  EncodedVector encode_ok(const std::vector<float>& v) const {
    auto r = encode(v);
    if (!r.ok()) throw std::runtime_error(r.error().message());
    return std::move(r).value();
  }
};

std::vector<float> gaussian_vector(std::size_t dim, std::uint64_t seed) {
  velmora::SeededRng rng = velmora::SeededRng::from_seed_u64(seed);
  std::vector<float> v(dim);
  for (float& x : v) x = static_cast<float>(velmora::sample_standard_normal(rng));
  return v;
}

struct DegenerateCase {
  const char* name;
  std::vector<float> vector;
};

class DegenerateNorm : public ::testing::TestWithParam<DegenerateCase> {};

std::vector<float> with_one(std::size_t pos, float value) {
  std::vector<float> v(32, 1.0f);
  v[pos] = value;
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, DegenerateNorm,
    ::testing::Values(DegenerateCase{"AllZero", std::vector<float>(32, 0.0f)},
                      DegenerateCase{"AllNegativeZero", std::vector<float>(32, -0.0f)},
                      DegenerateCase{"OneNaN", with_one(17, std::numeric_limits<float>::quiet_NaN())},
                      DegenerateCase{"OnePlusInf", with_one(0, std::numeric_limits<float>::infinity())},
                      DegenerateCase{"OneMinusInf", with_one(31, -std::numeric_limits<float>::infinity())},
                      DegenerateCase{"SquaresOverflow", std::vector<float>(32, 1e20f)},
                      DegenerateCase{"SquaresUnderflow", std::vector<float>(32, 1e-30f)}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_P(DegenerateNorm, IsRefusedWithInternalError) {
  const Engine engine(32, 3);
  const auto r = engine.encode(GetParam().vector);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), velmora::StoreErrorKind::InternalError);
  EXPECT_EQ(r.error().message(), "Internal error: Vector has zero or NaN norm");
}

TEST(EncodeVector, TinyButNonDegenerateVectorIsAccepted) {
  const Engine engine(32, 3);
  const auto r = engine.encode(std::vector<float>(32, 1e-18f));
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_NEAR(r.value().norm, std::sqrt(32.0) * 1e-18, 1e-23);
  EXPECT_EQ(r.value().codes.size(), velmora::packed_len(32, 3));
}

TEST(EncodeVector, StoresNormOfInput) {
  const Engine engine(32, 2);
  std::vector<float> v(32, 0.0f);
  v[0] = 3.0f;
  v[1] = 4.0f;
  EXPECT_EQ(engine.encode_ok(v).norm, 5.0f);
}

// Scaling by a power of two changes neither the unit vector nor the codes,
// only the stored norm, exactly.
TEST(EncodeVector, ScalingChangesOnlyTheNorm) {
  const Engine engine(64, 3);
  std::vector<float> v = gaussian_vector(64, 21);
  const EncodedVector base = engine.encode_ok(v);
  for (float& x : v) x *= 4.0f;
  const EncodedVector scaled = engine.encode_ok(v);
  EXPECT_EQ(scaled.codes, base.codes);
  EXPECT_EQ(scaled.norm, base.norm * 4.0f);
}

TEST(EncodeVector, SameVectorTwiceGivesIdenticalRecords) {
  const Engine engine(56, 4);
  const std::vector<float> v = gaussian_vector(56, 22);
  const EncodedVector a = engine.encode_ok(v);
  const EncodedVector b = engine.encode_ok(v);
  EXPECT_EQ(a.codes, b.codes);
  EXPECT_EQ(a.norm, b.norm);
}

TEST(EncodeVector, LengthMismatchIsBrokenInvariant) {
  const Engine engine(32, 2);
  const std::vector<float> short_vector(31, 1.0f), long_vector(33, 1.0f);
  EXPECT_THROW((void)engine.encode(short_vector), velmora::InvariantError);
  EXPECT_THROW((void)engine.encode(long_vector), velmora::InvariantError);
  // A rotation and a codebook of different dimensions are just as broken.
  const Engine other(33, 2);
  EXPECT_THROW((void)velmora::encode_vector(long_vector.data(), 33, *other.rotation, *engine.codebook, 2),
               velmora::InvariantError);
}

using DimBits = std::tuple<std::uint64_t, int>;
class EncodeOfPair : public ::testing::TestWithParam<DimBits> {};
INSTANTIATE_TEST_SUITE_P(Pairs, EncodeOfPair,
                         ::testing::Combine(::testing::Values(32, 33, 100), ::testing::Values(2, 3, 4)),
                         [](const auto& param_info) {
                           return "dim" + std::to_string(std::get<0>(param_info.param)) + "_bits" +
                                  std::to_string(std::get<1>(param_info.param));
                         });

// The codes name, per rotated coordinate, the codebook level nearest in
// cell terms; mapping the levels back through the transposed rotation must
// point close to the input's direction, closer with more bits.
TEST_P(EncodeOfPair, CodesReconstructTheDirection) {
  const auto [dim, bits] = GetParam();
  const Engine engine(dim, static_cast<std::uint8_t>(bits));
  // Typical cosines are 0.94, 0.985 and 0.996 for 2, 3 and 4 bits.
  const double min_mean_cosine[] = {0, 0, 0.92, 0.975, 0.99};
  const double min_cosine[] = {0, 0, 0.8, 0.93, 0.97};
  const int vectors = 20;
  double mean_cosine = 0;
  for (std::uint64_t seed = 100; seed < 100 + vectors; ++seed) {
    const std::vector<float> v = gaussian_vector(dim, seed);
    const EncodedVector e = engine.encode_ok(v);
    ASSERT_EQ(e.codes.size(), velmora::packed_len(dim, static_cast<std::uint8_t>(bits)));
    const std::size_t used = dim * bits % 8;
    if (used != 0) {
      EXPECT_EQ(e.codes.back() >> used, 0) << "spare bits must be zero";
    }
    const auto idx = velmora::unpack_indices(e.codes.data(), e.codes.size(), dim, static_cast<std::uint8_t>(bits));
    double dot = 0, norm_v = 0, norm_r = 0;
    for (std::size_t i = 0; i < dim; ++i) {
      double r = 0;  // i-th entry of R^T applied to the levels
      for (std::size_t j = 0; j < dim; ++j) {
        r += static_cast<double>(engine.rotation->matrix[j * dim + i]) * engine.codebook->centroids[idx[j]];
      }
      dot += r * v[i];
      norm_v += static_cast<double>(v[i]) * v[i];
      norm_r += r * r;
    }
    EXPECT_NEAR(e.norm, std::sqrt(norm_v), 1e-5 * std::sqrt(norm_v));
    const double cosine = dot / std::sqrt(norm_v * norm_r);
    EXPECT_GT(cosine, min_cosine[bits]) << "seed " << seed;
    mean_cosine += cosine / vectors;
  }
  EXPECT_GT(mean_cosine, min_mean_cosine[bits]);
}

}  // namespace

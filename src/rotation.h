// The seeded random source, the normal sampler, the eight-lane dot product
// and the per-dimension random orthogonal rotation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "store_error.h"

namespace velmora {

// xoshiro256++ seeded through a PCG32 stream. A plain value, owned by the
// routine that draws from it.
class SeededRng {
 public:
  static SeededRng from_seed_u64(std::uint64_t seed);
  static SeededRng from_state(const std::array<std::uint64_t, 4>& state) { return SeededRng(state); }

  std::uint64_t next_u64() {
    const std::uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  const std::array<std::uint64_t, 4>& state() const { return s_; }

 private:
  explicit SeededRng(const std::array<std::uint64_t, 4>& state) : s_(state) {}
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::array<std::uint64_t, 4> s_;
};

// The three ways 64 random bits become a double.
double symmetric_double(std::uint64_t bits);  // [-1, 1)
double open_double(std::uint64_t bits);       // [2^-53, 1 - 2^-53]
double unit_double(std::uint64_t bits);       // [0, 1)

inline constexpr double ZIGGURAT_R = 3.654152885361009;
inline constexpr double ZIGGURAT_V = 0.00492867323399;

struct ZigguratTables {
  double x[257];  // layer abscissae, x[256] = 0
  double f[257];  // exp(-x^2/2) at x[i], f[256] = 1
};
const ZigguratTables& ziggurat_tables();

// One draw from N(0, 1) by the 256-layer ziggurat method.
double sample_standard_normal(SeededRng& rng);

// Dot product in the fixed eight-lane order: lane sums over full blocks of
// eight, lanes folded as (0+4), (1+5), (2+6), (3+7) onto a zero, then the tail
// in index order. Every product and sum is rounded to T.
template <class T>
T dot8(const T* a, const T* b, std::size_t n) {
  T p[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const std::size_t full = n / 8 * 8;
  for (std::size_t k = 0; k < full; k += 8) {
    for (int l = 0; l < 8; ++l) p[l] = p[l] + a[k + l] * b[k + l];
  }
  T s = T(0) + (p[0] + p[4]);
  s = s + (p[1] + p[5]);
  s = s + (p[2] + p[6]);
  s = s + (p[3] + p[7]);
  for (std::size_t i = full; i < n; ++i) s = s + a[i] * b[i];
  return s;
}

inline constexpr std::uint64_t ROTATION_SEED = 42;

// The d x d orthogonal matrix of one dimension, f32, row-major.
struct Rotation {
  std::vector<float> matrix;
  std::uint64_t dim = 0;
  std::uint64_t seed = ROTATION_SEED;

  // y = R x; x must hold exactly dim values.
  std::vector<float> rotate(const float* x, std::size_t len) const;
  void rotate_into(const float* x, float* y) const;
};

using RotationHandle = std::shared_ptr<const Rotation>;

// Builds the rotation for `dim` without consulting the cache. Throws
// std::bad_alloc when the working arrays cannot be allocated.
Result<RotationHandle> build_rotation(std::uint64_t dim);

// The cached rotation for `dim`, built on first request.
Result<RotationHandle> get_rotation(std::uint64_t dim);

// Number of dimensions currently cached (for tests).
std::size_t cached_rotation_count();

}  // namespace velmora

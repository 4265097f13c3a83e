// The seeded random source, the normal sampler and the per-dimension random
// orthogonal rotation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "engine/store_error.h"
#include "kernels/dot8.h"
#include "kernels/kernels.h"

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
inline double double_from_bits(std::uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}
// [-1, 1)
inline double symmetric_double(std::uint64_t bits) {
  return double_from_bits(0x4000000000000000ULL | (bits >> 12)) - 3.0;
}
// [2^-53, 1 - 2^-53], never 0 or 1
inline double open_double(std::uint64_t bits) {
  return double_from_bits(0x3FF0000000000000ULL | (bits >> 12)) - double_from_bits(0x3FEFFFFFFFFFFFFFULL);
}
// [0, 1)
inline double unit_double(std::uint64_t bits) { return static_cast<double>(bits >> 11) * (1.0 / 9007199254740992.0); }

inline constexpr double ZIGGURAT_R = 3.654152885361009;
inline constexpr double ZIGGURAT_V = 0.00492867323399;

struct ZigguratTables {
  double x[257];  // layer abscissae, x[256] = 0
  double f[257];  // exp(-x^2/2) at x[i], f[256] = 1
};
const ZigguratTables& ziggurat_tables();

namespace detail {
extern const ZigguratTables kZigguratTables;
// The draw of `bits` fell outside its layer's rectangle: the tail or wedge
// test, then fresh draws until one is accepted.
double sample_standard_normal_slow(SeededRng& rng, std::uint64_t bits);
}  // namespace detail

// One draw from N(0, 1) by the 256-layer ziggurat method. The common case is
// inline so that the generator state stays in registers in drawing loops.
inline double sample_standard_normal(SeededRng& rng) {
  const std::uint64_t b = rng.next_u64();
  const std::size_t i = static_cast<std::size_t>(b & 0xFF);
  const double x = symmetric_double(b) * detail::kZigguratTables.x[i];
  if (x < detail::kZigguratTables.x[i + 1] && -x < detail::kZigguratTables.x[i + 1]) return x;
  // The slow path works on a copy, so that the caller's generator never has
  // its address taken and can stay in registers.
  SeededRng state = rng;
  const double slow = detail::sample_standard_normal_slow(state, b);
  rng = state;
  return slow;
}

// The fixed eight-lane dot product of every rotation kernel.
using kernels::dot8;

inline constexpr std::uint64_t ROTATION_SEED = 42;

// The d x d orthogonal matrix of one dimension, f32, row-major.
struct Rotation {
  std::vector<float> matrix;
  std::uint64_t dim = 0;
  std::uint64_t seed = ROTATION_SEED;

  // y = R x; x must hold exactly dim values.
  std::vector<float> rotate(const float* x, std::size_t len) const;
  void rotate_into(const float* x, float* y) const;
  // ys[v * dim + j] for `count` vectors stored one after another.
  void rotate_batch(const float* xs, std::size_t count, float* ys) const;
};

// The rotation's kernels, as the kernel registry chose them for the active
// level (on first use); the portable ones are the plain loops
// rotate_portable, rotate_batch_portable, gram_schmidt_portable and the
// row_dots_*_portable pair.
using kernels::GramSchmidtFn;
using kernels::RotateBatchFn;
using kernels::RotateFn;
using kernels::RotationKernels;
const RotationKernels& rotation_kernels();

using kernels::gram_schmidt_portable;
using kernels::rotate_batch_portable;
using kernels::rotate_portable;

using RotationHandle = std::shared_ptr<const Rotation>;

// Builds the rotation for `dim` without consulting the cache. Throws
// std::bad_alloc when the working arrays cannot be allocated; once they are,
// `on_allocated` (if given) is called before the long work starts.
Result<RotationHandle> build_rotation(std::uint64_t dim, const std::function<void()>& on_allocated = {});

// The cached rotation for `dim`, built on first request.
Result<RotationHandle> get_rotation(std::uint64_t dim, const std::function<void()>& on_build_started = {});

// Number of dimensions currently cached (for tests).
std::size_t cached_rotation_count();

}  // namespace velmora

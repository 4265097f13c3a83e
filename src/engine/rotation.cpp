#include "engine/rotation.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <new>

#include "engine/cache.h"
#include "engine/invariant.h"
#include "engine/pool.h"
#include "kernels/families.h"
#include "kernels/simd.h"

namespace velmora {

namespace {

std::uint32_t pcg32_next(std::uint64_t& state) {
  state = state * 6364136223846793005ULL + 11634580027462260723ULL;
  const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
  const auto rot = static_cast<unsigned>(state >> 59);
  return (xorshifted >> rot) | (xorshifted << ((32u - rot) & 31u));
}

double density(double x) { return std::exp(-x * x / 2.0); }

ZigguratTables make_ziggurat_tables() {
  ZigguratTables t{};
  t.x[0] = ZIGGURAT_V / density(ZIGGURAT_R);
  t.x[1] = ZIGGURAT_R;
  for (int i = 1; i <= 254; ++i) {
    t.x[i + 1] = std::sqrt(-2.0 * std::log(ZIGGURAT_V / t.x[i] + density(t.x[i])));
  }
  t.x[256] = 0.0;
  for (int i = 0; i <= 255; ++i) t.f[i] = density(t.x[i]);
  t.f[256] = 1.0;
  return t;
}

using RotationKey = PairKey<std::uint64_t, std::uint64_t>;  // (dim, seed)
using RotationCache = BuildOnceCache<RotationKey, Rotation, PairKeyHash>;

// d*d elements of T, or std::bad_alloc when that many cannot exist.
template <class T>
std::vector<T> square_buffer(std::uint64_t d) {
  const std::uint64_t elements = d * d;  // d < 2^32, so no wrap-around
  if (elements > std::numeric_limits<std::size_t>::max() / sizeof(T) || elements > std::vector<T>().max_size()) {
    throw std::bad_alloc();
  }
  return std::vector<T>(static_cast<std::size_t>(elements));
}

}  // namespace

SeededRng SeededRng::from_seed_u64(std::uint64_t seed) {
  std::uint64_t st = seed;
  std::uint32_t out[8];
  bool all_zero = true;
  for (auto& o : out) {
    o = pcg32_next(st);
    all_zero = all_zero && o == 0;
  }
  if (all_zero) {
    return SeededRng({0xe220a8397b1dcdafULL, 0x6e789e6aa1b965f4ULL, 0x06c45d188009454fULL, 0xf88bb8a8724c81ecULL});
  }
  std::array<std::uint64_t, 4> s{};
  for (int k = 0; k < 4; ++k) {
    s[k] = static_cast<std::uint64_t>(out[2 * k]) | (static_cast<std::uint64_t>(out[2 * k + 1]) << 32);
  }
  return SeededRng(s);
}

namespace detail {

const ZigguratTables kZigguratTables = make_ziggurat_tables();

double sample_standard_normal_slow(SeededRng& rng, std::uint64_t b) {
  const ZigguratTables& t = kZigguratTables;
  for (;;) {
    const std::size_t i = static_cast<std::size_t>(b & 0xFF);
    const double u = symmetric_double(b);
    const double x = u * t.x[i];
    if (std::fabs(x) < t.x[i + 1]) return x;
    if (i == 0) {
      double xt, y;
      do {
        const double a = open_double(rng.next_u64());
        const double c = open_double(rng.next_u64());
        xt = std::log(a) / ZIGGURAT_R;
        y = std::log(c);
      } while (-2.0 * y < xt * xt);
      return u < 0.0 ? xt - ZIGGURAT_R : ZIGGURAT_R - xt;
    }
    const double w = unit_double(rng.next_u64());
    if (t.f[i + 1] + w * (t.f[i] - t.f[i + 1]) < std::exp((x * x) * -0.5)) return x;
    b = rng.next_u64();
  }
}

}  // namespace detail

const ZigguratTables& ziggurat_tables() { return detail::kZigguratTables; }

const RotationKernels& rotation_kernels() {
  static const RotationKernels& chosen = kernels::rotation_choice(active_simd_level()).kernel;
  return chosen;
}

std::vector<float> Rotation::rotate(const float* x, std::size_t len) const {
  VELMORA_CHECK(len == dim, "rotate: vector length " + std::to_string(len) + " differs from the rotation's dimension " +
                                std::to_string(dim));
  std::vector<float> y(dim);
  rotate_into(x, y.data());
  return y;
}

void Rotation::rotate_into(const float* x, float* y) const {
  rotation_kernels().rotate(matrix.data(), static_cast<std::size_t>(dim), x, y);
}

void Rotation::rotate_batch(const float* xs, std::size_t count, float* ys) const {
  const std::size_t d = static_cast<std::size_t>(dim);
  rotation_kernels().rotate_batch(matrix.data(), d, d, xs, count, ys);
}

Result<RotationHandle> build_rotation(std::uint64_t dim, const std::function<void()>& on_allocated) {
  if (dim < 32) return StoreError::unsupported_dimension(dim);
  if (dim >= (std::uint64_t{1} << 32)) return StoreError::internal(kShapeOverflowText);
  const std::size_t d = static_cast<std::size_t>(dim);

  // q[j*d + i] holds column j of the Gaussian matrix (drawn row-major), and is
  // orthonormalised in place by one pass of modified Gram-Schmidt.
  std::vector<double> q = square_buffer<double>(dim);
  auto rotation = std::make_shared<Rotation>();
  rotation->matrix = square_buffer<float>(dim);
  rotation->dim = dim;
  rotation->seed = ROTATION_SEED;
  std::vector<double> rows(8 * d);
  if (on_allocated) on_allocated();

  // Rows are drawn eight at a time and written out column by column, so each
  // column receives one cache line per batch of rows.
  SeededRng rng = SeededRng::from_seed_u64(ROTATION_SEED);
  for (std::size_t i0 = 0; i0 < d; i0 += 8) {
    const std::size_t count = std::min<std::size_t>(8, d - i0);
    for (std::size_t e = 0; e < count * d; ++e) rows[e] = sample_standard_normal(rng);
    for (std::size_t j = 0; j < d; ++j) {
      for (std::size_t r = 0; r < count; ++r) q[j * d + i0 + r] = rows[r * d + j];
    }
  }

  // Blocked modified Gram-Schmidt: the columns of a block are first swept by
  // every finished column, four at a time and spread over the pool, then
  // finished one by one. Each column still meets q_0, q_1, ... in ascending
  // order, so the result is that of the plain column-by-column pass.
  const GramSchmidtFn sweep = rotation_kernels().gram_schmidt;
  constexpr std::size_t kBlock = 32, kGroup = 4;
  for (std::size_t j0 = 0; j0 < d; j0 += kBlock) {
    const std::size_t j1 = std::min(d, j0 + kBlock);
    if (j0 > 0) {
      const std::size_t groups = (j1 - j0 + kGroup - 1) / kGroup;
      parallel_for(groups, [&](std::size_t first, std::size_t last) {
        for (std::size_t g = first; g < last; ++g) {
          double* columns[kGroup];
          const std::size_t begin = j0 + g * kGroup, count = std::min(kGroup, j1 - begin);
          for (std::size_t c = 0; c < count; ++c) columns[c] = q.data() + (begin + c) * d;
          sweep(columns, count, q.data(), d, 0, j0);
        }
      });
    }
    for (std::size_t j = j0; j < j1; ++j) {
      double* v = q.data() + j * d;
      sweep(&v, 1, q.data(), d, j0, j);
      const double norm = std::sqrt(dot8(v, v, d));
      if (norm < 1e-10) return StoreError::internal(kGramSchmidtDegenerateText);
      for (std::size_t i = 0; i < d; ++i) v[i] = v[i] / norm;
    }
  }

  for (std::size_t e = 0; e < d * d; ++e) rotation->matrix[e] = static_cast<float>(q[e]);
  return RotationHandle(std::move(rotation));
}

Result<RotationHandle> get_rotation(std::uint64_t dim, const std::function<void()>& on_build_started) {
  auto& cache = process_wide<RotationCache>();
  const RotationKey key{dim, ROTATION_SEED};
  if (auto hit = cache.find(key)) return hit;
  Result<RotationHandle> built = build_rotation(dim, on_build_started);
  if (built.ok()) cache.insert(key, built.value());
  return built;
}

std::size_t cached_rotation_count() { return process_wide<RotationCache>().size(); }

}  // namespace velmora

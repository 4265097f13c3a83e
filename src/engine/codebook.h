// The scalar quantiser of one (dimension, bit width) pair, fitted by Lloyd's
// algorithm to the distribution of one coordinate of a random unit vector.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/store_error.h"

namespace velmora {

inline constexpr std::uint64_t CODEBOOK_SEED = 0;
inline constexpr std::size_t CODEBOOK_SAMPLE_DRAWS = 100000;
inline constexpr int LLOYD_ITERATIONS = 300;

struct Codebook {
  std::vector<float> boundaries;  // 2^bits + 1 edges, non-decreasing
  std::vector<float> centroids;   // 2^bits levels, non-decreasing
  std::uint64_t dim = 0;
  std::uint8_t bits = 0;

  // The number of interior boundaries that are <= x: ties go to the upper
  // cell, NaN gives 0.
  std::uint8_t quantize(float x) const {
    const float* first = boundaries.data() + 1;
    std::size_t lo = 0, hi = boundaries.size() - 2;  // count lies in [lo, hi]
    while (lo < hi) {
      const std::size_t mid = (lo + hi) / 2;
      if (first[mid] <= x)
        lo = mid + 1;
      else
        hi = mid;
    }
    return static_cast<std::uint8_t>(lo);
  }

  // quantize() of n coordinates, by the kernel the registry chose (on first
  // use) for the active level.
  void quantize_many(const float* x, std::size_t n, std::uint8_t* out) const;
};

using CodebookHandle = std::shared_ptr<const Codebook>;

// The sorted first coordinates of 100,000 normalised Gaussian draws of length
// `dim` from seed 0 (draws whose norm is not above 1e-10 contribute nothing).
std::vector<float> codebook_samples(std::uint64_t dim);

// Computes the samples of `dim` on a thread of its own while the caller does
// other work (store construction builds the rotation meanwhile), so that the
// next build of a codebook of `dim` finds them ready. Destroying the object
// before it is done cancels it; wait() lets it finish.
class SamplePrefetch {
 public:
  explicit SamplePrefetch(std::uint64_t dim);
  ~SamplePrefetch();
  SamplePrefetch(const SamplePrefetch&) = delete;
  SamplePrefetch& operator=(const SamplePrefetch&) = delete;
  void wait();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

bool codebook_cached(std::uint64_t dim, std::uint8_t bits);

// Lloyd's algorithm on sorted samples; the result does not depend on how the
// cells are found, so the fast and the reference fit must agree bit for bit.
Codebook fit_codebook(const std::vector<float>& sorted_samples, std::uint64_t dim, std::uint8_t bits);
Codebook fit_codebook_reference(const std::vector<float>& sorted_samples, std::uint64_t dim, std::uint8_t bits);

// Builds without consulting the cache; the pair must be valid.
Codebook build_codebook(std::uint64_t dim, std::uint8_t bits);

// The cached codebook of (dim, bits), validating bits first, then dim.
Result<CodebookHandle> get_codebook(std::uint64_t dim, std::uint8_t bits);

std::size_t cached_codebook_count();

}  // namespace velmora

#include "codebook.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <mutex>

#include "cache.h"
#include "kernels/kernels.h"
#include "rotation.h"
#include "simd.h"

namespace velmora {

namespace {

struct CodebookKey {
  std::uint64_t dim;
  std::uint8_t bits;
  bool operator==(const CodebookKey& o) const { return dim == o.dim && bits == o.bits; }
};
struct CodebookKeyHash {
  std::size_t operator()(const CodebookKey& k) const {
    return std::hash<std::uint64_t>()(k.dim * 0x9E3779B97F4A7C15ULL ^ k.bits);
  }
};
using CodebookCache = BuildOnceCache<CodebookKey, Codebook, CodebookKeyHash>;

// The three bit widths of one dimension are fitted to the same samples, so the
// samples of the most recent dimension are kept for the next build.
struct RecentSamples {
  std::mutex mutex;
  std::uint64_t dim = 0;
  std::shared_ptr<const std::vector<float>> samples;
};

std::shared_ptr<const std::vector<float>> samples_for(std::uint64_t dim) {
  static RecentSamples* recent = new RecentSamples();
  {
    std::lock_guard<std::mutex> lock(recent->mutex);
    if (recent->samples && recent->dim == dim) return recent->samples;
  }
  auto samples = std::make_shared<const std::vector<float>>(codebook_samples(dim));
  std::lock_guard<std::mutex> lock(recent->mutex);
  recent->dim = dim;
  recent->samples = samples;
  return samples;
}

Codebook initial_codebook(const std::vector<float>& sorted, std::uint64_t dim, std::uint8_t bits,
                          float& min, float& max) {
  const std::size_t levels = std::size_t{1} << bits;
  min = sorted.empty() ? -1.0f : sorted.front();
  max = sorted.empty() ? 1.0f : sorted.back();
  Codebook cb;
  cb.dim = dim;
  cb.bits = bits;
  cb.centroids.assign(levels, 0.0f);
  cb.boundaries.resize(levels + 1);
  const float span = max - min;
  for (std::size_t i = 0; i <= levels; ++i) {
    cb.boundaries[i] = min + ((span * static_cast<float>(i)) / static_cast<float>(levels));
  }
  return cb;
}

// Steps 3 to 5 of one Lloyd iteration, given the per-cell sums and counts.
void update_codebook(Codebook& cb, const double* sums, const std::uint64_t* counts, float min,
                     float max) {
  const std::size_t levels = cb.centroids.size();
  for (std::size_t j = 0; j < levels; ++j) {
    cb.centroids[j] = counts[j] > 0
                          ? static_cast<float>(sums[j] / static_cast<double>(counts[j]))
                          : (cb.boundaries[j] + cb.boundaries[j + 1]) * 0.5f;
  }
  for (std::size_t j = 1; j < levels; ++j) {
    cb.boundaries[j] = (cb.centroids[j - 1] + cb.centroids[j]) * 0.5f;
  }
  cb.boundaries[0] = min;
  cb.boundaries[levels] = max;
}

}  // namespace

std::vector<float> codebook_samples(std::uint64_t dim) {
  const std::size_t d = static_cast<std::size_t>(dim);
  std::vector<float> samples;
  samples.reserve(CODEBOOK_SAMPLE_DRAWS);
  std::vector<float> scratch(d);
  SeededRng rng = SeededRng::from_seed_u64(CODEBOOK_SEED);
  for (std::size_t draw = 0; draw < CODEBOOK_SAMPLE_DRAWS; ++draw) {
    float sum = -0.0f;
    for (std::size_t i = 0; i < d; ++i) {
      const float g = static_cast<float>(sample_standard_normal(rng));
      scratch[i] = g;
      sum = sum + g * g;
    }
    const float norm = std::sqrt(sum);
    if (norm > 1e-10f) samples.push_back(scratch[0] / norm);
  }
  std::sort(samples.begin(), samples.end());
  return samples;
}

Codebook fit_codebook_reference(const std::vector<float>& sorted, std::uint64_t dim,
                                std::uint8_t bits) {
  float min, max;
  Codebook cb = initial_codebook(sorted, dim, bits, min, max);
  const std::size_t levels = cb.centroids.size();
  std::vector<double> sums(levels);
  std::vector<std::uint64_t> counts(levels);
  for (int iter = 0; iter < LLOYD_ITERATIONS; ++iter) {
    std::fill(sums.begin(), sums.end(), 0.0);
    std::fill(counts.begin(), counts.end(), 0);
    for (float s : sorted) {
      const std::uint8_t j = cb.quantize(s);
      sums[j] = sums[j] + static_cast<double>(s);
      counts[j] += 1;
    }
    update_codebook(cb, sums.data(), counts.data(), min, max);
  }
  return cb;
}

Codebook fit_codebook(const std::vector<float>& sorted, std::uint64_t dim, std::uint8_t bits) {
  float min, max;
  Codebook cb = initial_codebook(sorted, dim, bits, min, max);
  const std::size_t levels = cb.centroids.size();
  std::vector<double> sums(levels);
  std::vector<std::uint64_t> counts(levels);
  for (int iter = 0; iter < LLOYD_ITERATIONS; ++iter) {
    // The samples are sorted and the interior boundaries non-decreasing, so
    // cell j is the run of samples in [boundaries[j], boundaries[j+1]); each
    // run is summed in ascending order, exactly as a sample-by-sample pass.
    std::size_t begin = 0;
    for (std::size_t j = 0; j < levels; ++j) {
      std::size_t end = sorted.size();
      if (j + 1 < levels) {
        const float edge = cb.boundaries[j + 1];
        end = static_cast<std::size_t>(
            std::lower_bound(sorted.begin() + static_cast<std::ptrdiff_t>(begin), sorted.end(), edge) -
            sorted.begin());
      }
      double sum = 0.0;
      for (std::size_t s = begin; s < end; ++s) sum = sum + static_cast<double>(sorted[s]);
      sums[j] = sum;
      counts[j] = end - begin;
      begin = end;
    }
    update_codebook(cb, sums.data(), counts.data(), min, max);
  }
  return cb;
}

void Codebook::quantize_many(const float* x, std::size_t n, std::uint8_t* out) const {
  static const bool wide = static_cast<int>(active_simd_level()) >= static_cast<int>(SimdLevel::Avx2);
  if (wide) {
    kernels::quantize_avx2(boundaries.data() + 1, boundaries.size() - 2, x, n, out);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = quantize(x[i]);
  }
}

Codebook build_codebook(std::uint64_t dim, std::uint8_t bits) {
  return fit_codebook(*samples_for(dim), dim, bits);
}

Result<CodebookHandle> get_codebook(std::uint64_t dim, std::uint8_t bits) {
  auto& cache = process_wide<CodebookCache>();
  const CodebookKey key{dim, bits};
  if (auto hit = cache.find(key)) return hit;
  if (bits < 2 || bits > 4) return StoreError::unsupported_bit_width(bits);
  if (dim < 32) return StoreError::unsupported_dimension(dim);
  auto built = std::make_shared<const Codebook>(build_codebook(dim, bits));
  cache.insert(key, built);
  return CodebookHandle(built);
}

std::size_t cached_codebook_count() { return process_wide<CodebookCache>().size(); }

}  // namespace velmora

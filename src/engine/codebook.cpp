#include "engine/codebook.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "engine/cache.h"
#include "engine/rotation.h"
#include "kernels/families.h"
#include "kernels/simd.h"

namespace velmora {

namespace {

using CodebookKey = PairKey<std::uint64_t, std::uint8_t>;  // (dim, bits)
using CodebookCache = BuildOnceCache<CodebookKey, Codebook, PairKeyHash>;

// The three bit widths of one dimension are fitted to the same samples, so the
// samples of the most recent dimension are kept for the next build.
struct RecentSamples {
  std::mutex mutex;
  std::uint64_t dim = 0;
  std::shared_ptr<const std::vector<float>> samples;
};

RecentSamples& recent_samples() {
  static RecentSamples* recent = new RecentSamples();
  return *recent;
}

void remember_samples(std::uint64_t dim, std::shared_ptr<const std::vector<float>> samples) {
  RecentSamples& recent = recent_samples();
  std::lock_guard<std::mutex> lock(recent.mutex);
  recent.dim = dim;
  recent.samples = std::move(samples);
}

std::shared_ptr<const std::vector<float>> samples_for(std::uint64_t dim) {
  {
    RecentSamples& recent = recent_samples();
    std::lock_guard<std::mutex> lock(recent.mutex);
    if (recent.samples && recent.dim == dim) return recent.samples;
  }
  auto samples = std::make_shared<const std::vector<float>>(codebook_samples(dim));
  remember_samples(dim, samples);
  return samples;
}

// The draws of codebook_samples(); false if cancelled part-way.
bool draw_samples(std::uint64_t dim, std::vector<float>& samples, const std::atomic<bool>* cancel) {
  const std::size_t d = static_cast<std::size_t>(dim);
  samples.clear();
  samples.reserve(CODEBOOK_SAMPLE_DRAWS);
  std::vector<float> drawing(d), summing(d);
  auto keep = [&](float sum, const std::vector<float>& draw) {
    const float norm = std::sqrt(sum);
    if (norm > 1e-10f) samples.push_back(draw[0] / norm);
  };
  SeededRng rng = SeededRng::from_seed_u64(CODEBOOK_SEED);
  // Software-pipelined: while draw t is generated, the squares of draw t - 1
  // are summed, so the generator's and the sum's dependency chains overlap.
  for (std::size_t i = 0; i < d; ++i) drawing[i] = static_cast<float>(sample_standard_normal(rng));
  for (std::size_t draw = 1; draw < CODEBOOK_SAMPLE_DRAWS; ++draw) {
    if (cancel != nullptr && draw % 256 == 0 && cancel->load(std::memory_order_relaxed)) return false;
    drawing.swap(summing);
    float sum = -0.0f;
    for (std::size_t i = 0; i < d; ++i) {
      drawing[i] = static_cast<float>(sample_standard_normal(rng));
      sum = sum + summing[i] * summing[i];
    }
    keep(sum, summing);
  }
  float sum = -0.0f;
  for (std::size_t i = 0; i < d; ++i) sum = sum + drawing[i] * drawing[i];
  keep(sum, drawing);
  std::sort(samples.begin(), samples.end());
  return true;
}

Codebook initial_codebook(const std::vector<float>& sorted, std::uint64_t dim, std::uint8_t bits, float& min,
                          float& max) {
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
void update_codebook(Codebook& cb, const double* sums, const std::uint64_t* counts, float min, float max) {
  const std::size_t levels = cb.centroids.size();
  for (std::size_t j = 0; j < levels; ++j) {
    cb.centroids[j] = counts[j] > 0 ? static_cast<float>(sums[j] / static_cast<double>(counts[j]))
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
  std::vector<float> samples;
  draw_samples(dim, samples, nullptr);
  return samples;
}

struct SamplePrefetch::State {
  std::atomic<bool> cancel{false};
  std::thread worker;
};

SamplePrefetch::SamplePrefetch(std::uint64_t dim) : state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  try {
    state_->worker = std::thread([state, dim] {
      try {
        auto samples = std::make_shared<std::vector<float>>();
        if (draw_samples(dim, *samples, &state->cancel)) remember_samples(dim, std::move(samples));
      } catch (const std::bad_alloc&) {
        // The codebook build will allocate again and report the failure.
      }
    });
  } catch (const std::system_error&) {
    // No thread to spare: the codebook build draws the samples itself.
  }
}

void SamplePrefetch::wait() {
  if (state_->worker.joinable()) state_->worker.join();
}

SamplePrefetch::~SamplePrefetch() {
  state_->cancel.store(true);
  wait();
}

namespace {

// Lloyd's algorithm: `cell_sums` fills each cell's sum and count for the
// boundaries as they stand; the update rule is shared by both fits.
template <class CellSums>
Codebook lloyd(const std::vector<float>& sorted, std::uint64_t dim, std::uint8_t bits, CellSums cell_sums) {
  float min, max;
  Codebook cb = initial_codebook(sorted, dim, bits, min, max);
  const std::size_t levels = cb.centroids.size();
  std::vector<double> sums(levels);
  std::vector<std::uint64_t> counts(levels);
  for (int iter = 0; iter < LLOYD_ITERATIONS; ++iter) {
    cell_sums(cb, sums.data(), counts.data());
    update_codebook(cb, sums.data(), counts.data(), min, max);
  }
  return cb;
}

}  // namespace

Codebook fit_codebook_reference(const std::vector<float>& sorted, std::uint64_t dim, std::uint8_t bits) {
  return lloyd(sorted, dim, bits, [&](const Codebook& cb, double* sums, std::uint64_t* counts) {
    std::fill(sums, sums + cb.centroids.size(), 0.0);
    std::fill(counts, counts + cb.centroids.size(), 0);
    for (float s : sorted) {
      const std::uint8_t j = cb.quantize(s);
      sums[j] = sums[j] + static_cast<double>(s);
      counts[j] += 1;
    }
  });
}

Codebook fit_codebook(const std::vector<float>& sorted, std::uint64_t dim, std::uint8_t bits) {
  return lloyd(sorted, dim, bits, [&](const Codebook& cb, double* sums, std::uint64_t* counts) {
    // The samples are sorted and the interior boundaries non-decreasing, so
    // cell j is the run of samples in [boundaries[j], boundaries[j+1]); each
    // run is summed in ascending order, exactly as a sample-by-sample pass.
    const std::size_t levels = cb.centroids.size();
    std::size_t begin = 0;
    for (std::size_t j = 0; j < levels; ++j) {
      std::size_t end = sorted.size();
      if (j + 1 < levels) {
        const float edge = cb.boundaries[j + 1];
        end = static_cast<std::size_t>(
            std::lower_bound(sorted.begin() + static_cast<std::ptrdiff_t>(begin), sorted.end(), edge) - sorted.begin());
      }
      double sum = 0.0;
      for (std::size_t i = begin; i < end; ++i) sum = sum + static_cast<double>(sorted[i]);
      sums[j] = sum;
      counts[j] = end - begin;
      begin = end;
    }
  });
}

void Codebook::quantize_many(const float* x, std::size_t n, std::uint8_t* out) const {
  static const kernels::QuantizeFn quantize_kernel = kernels::quantizer_choice(active_simd_level()).kernel;
  quantize_kernel(boundaries.data() + 1, boundaries.size() - 2, x, n, out);
}

Codebook build_codebook(std::uint64_t dim, std::uint8_t bits) { return fit_codebook(*samples_for(dim), dim, bits); }

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

bool codebook_cached(std::uint64_t dim, std::uint8_t bits) {
  return process_wide<CodebookCache>().find(CodebookKey{dim, bits}) != nullptr;
}

std::size_t cached_codebook_count() { return process_wide<CodebookCache>().size(); }

}  // namespace velmora

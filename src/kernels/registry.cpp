#include "kernels/registry.h"

#include <algorithm>

namespace velmora {
namespace kernels {

bool cpu_supports(const Requirement& needs) {
  return simd_level_supported(needs.level) && (needs.cpu_has_extra == nullptr || needs.cpu_has_extra());
}

bool allowed_at(const Requirement& needs, SimdLevel level) { return level >= needs.level && cpu_supports(needs); }

std::string describe(const Requirement& needs) {
  std::string text = needs.level > SimdLevel::Scalar ? simd_level_name(needs.level) : "";
  if (needs.extra != nullptr) text += (text.empty() ? "" : "+") + std::string(needs.extra);
  return text;
}

std::vector<double> median_times(std::size_t candidates, const std::function<double(std::size_t)>& run) {
  std::vector<std::vector<double>> times(candidates);
  for (int round = 0; round < kTimingRounds; ++round) {
    for (std::size_t i = 0; i < candidates; ++i) {
      const std::size_t c = (i + static_cast<std::size_t>(round)) % candidates;
      times[c].push_back(run(c));
    }
  }
  std::vector<double> medians(candidates);
  for (std::size_t c = 0; c < candidates; ++c) {
    std::vector<double>& t = times[c];
    std::nth_element(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(t.size() / 2), t.end());
    medians[c] = t[t.size() / 2];
  }
  return medians;
}

std::size_t preferred_among_fastest(const std::vector<double>& medians) {
  const double least = *std::min_element(medians.begin(), medians.end());
  std::size_t chosen = 0;
  while (medians[chosen] > least * kTimingTolerance) ++chosen;
  return chosen;
}

}  // namespace kernels
}  // namespace velmora

// The ranking order of scored positions and the running top-k selection that
// every search shares, so that every way of searching returns the same pairs
// in the same order.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace velmora {

struct Candidate {
  float score;
  std::size_t position;
};

// Best first: greater scores, NaN after every number, ties by position. A
// total order, so the selected set and its order never depend on how the
// scoring was split among threads.
inline bool ranks_before(const Candidate& a, const Candidate& b) {
  const bool a_nan = std::isnan(a.score), b_nan = std::isnan(b.score);
  if (a_nan || b_nan) return a_nan == b_nan ? a.position < b.position : b_nan;
  if (a.score != b.score) return a.score > b.score;
  return a.position < b.position;
}

// The k best of a stream of candidates in ascending position order, kept in a
// heap whose front is the worst kept.
class TopK {
 public:
  explicit TopK(std::size_t k) : k_(k) { heap_.reserve(k); }

  void offer(float score, std::size_t position) {
    if (heap_.size() < k_) {
      heap_.push_back({score, position});
      std::push_heap(heap_.begin(), heap_.end(), ranks_before);
      if (heap_.size() == k_) update_threshold();
      return;
    }
    // A later position never wins a tie, so only a strictly greater score, or
    // any number against a NaN, displaces the worst.
    if (score > threshold_ || (threshold_is_nan_ && !std::isnan(score))) {
      std::pop_heap(heap_.begin(), heap_.end(), ranks_before);
      heap_.back() = {score, position};
      std::push_heap(heap_.begin(), heap_.end(), ranks_before);
      update_threshold();
    }
  }

  // Offers a run of consecutive positions; runs with nothing better than the
  // worst kept are dismissed by one branch-free pass.
  void offer_run(const float* scores, std::size_t count, std::size_t first_position) {
    if (heap_.size() == k_ && !threshold_is_nan_) {
      bool any_better = false;
      for (std::size_t i = 0; i < count; ++i) any_better |= scores[i] > threshold_;
      if (!any_better) return;
    }
    for (std::size_t i = 0; i < count; ++i) offer(scores[i], first_position + i);
  }

  const std::vector<Candidate>& kept() const { return heap_; }

 private:
  void update_threshold() {
    threshold_ = heap_.front().score;
    threshold_is_nan_ = std::isnan(threshold_);
  }

  std::size_t k_;
  std::vector<Candidate> heap_;
  float threshold_ = 0.0f;
  bool threshold_is_nan_ = false;
};

// Keeps the k best of `candidates` (each position at most once), best first.
inline void keep_best(std::vector<Candidate>& candidates, std::size_t k) {
  if (k < candidates.size()) {
    std::nth_element(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(k - 1),
                     candidates.end(), ranks_before);
    candidates.resize(k);
  }
  std::sort(candidates.begin(), candidates.end(), ranks_before);
}

}  // namespace velmora

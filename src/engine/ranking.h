// The ranking order of scored positions and the structures that select by
// it, shared by every way of searching so that all return the same pairs in
// the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

struct Candidate {
  float score;
  std::size_t position;
};

// Best first: greater scores, NaN after every number, ties by position. A
// total order, so the selected set and its order never depend on how the
// scoring was split among threads or in which order candidates were offered.
bool ranks_before(const Candidate& a, const Candidate& b);

// The k best of the candidates offered (in any order), kept in a heap whose
// front is the worst kept.
class TopK {
 public:
  explicit TopK(std::size_t k) : k_(k) { heap_.reserve(k); }

  std::size_t k() const { return k_; }
  bool full() const { return heap_.size() == k_; }
  // The score of the worst kept; meaningful once full().
  float threshold() const { return threshold_; }

  // True when the candidate was kept.
  bool offer(float score, std::size_t position);
  // Offers a run of consecutive positions; runs with nothing better than the
  // worst kept are dismissed by one branch-free pass.
  void offer_run(const float* scores, std::size_t count, std::size_t first_position);

  const std::vector<Candidate>& kept() const { return heap_; }

 private:
  void update_threshold();

  std::size_t k_;
  std::vector<Candidate> heap_;
  float threshold_ = 0.0f;
  bool threshold_is_nan_ = false;
};

// Positions ordered best first: greater scores first, NaN after every
// number, equal scores by position.
std::vector<std::size_t> rank_by_score(const float* scores, std::size_t n);

// Keeps the k best of `candidates` (each position at most once), best first.
void keep_best(std::vector<Candidate>& candidates, std::size_t k);

}  // namespace velmora

// Top-k selection over a store's entries: exact scores for every entry, or,
// when the query allows it, an integer bound pass first that leaves out the
// entries that provably cannot reach the k-th best exact score. A group of
// queries can share each pass over the codes, and a filter can restrict the
// candidates.
#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "engine/error_bound.h"
#include "engine/position_set.h"
#include "engine/ranking.h"
#include "engine/record_view.h"
#include "engine/score_bound.h"
#include "engine/similarity.h"

namespace velmora {

struct TopKStats {
  bool bounded = false;          // the bound pass ran
  std::size_t exact_scores = 0;  // entries whose exact score was computed
};

// The best k-th best score any piece of one query's search has reached. A
// piece may prune against it: a vector strictly below another piece's k-th
// best ranks after that piece's k kept vectors. Only positive finite scores
// are published, whose bit patterns order like their values.
class SharedThreshold {
 public:
  float load() const;
  void raise(float value);

 private:
  std::atomic<std::uint32_t> bits_{0};  // +0.0: none yet
};

// One query of one search: its table in the exact kernel's form, its bound
// when it may prune (the kernels have a bound pass and the table allows one;
// `max_norm` bounds every stored norm), and the threshold the pieces of the
// search share, which is why it serves a single search (for one k and one
// filter). Refers to `lut`, which must outlive it.
class QuerySearch {
 public:
  QuerySearch(const QueryLut& lut, float max_norm, const ScoringKernels& kernels);
  QuerySearch(const QuerySearch&) = delete;
  QuerySearch& operator=(const QuerySearch&) = delete;

  const QueryLut& lut() const { return lut_; }
  const ExactScorer& scorer() const { return scorer_; }
  const ScoreBound* bound() const { return bound_ ? &*bound_ : nullptr; }
  // The bound pass for this query alone, and for a group it shares passes with.
  const kernels::BoundKernel& bound_kernel() const { return bound_kernel_; }
  const kernels::BoundKernel& group_kernel() const { return group_kernel_; }
  SharedThreshold& shared() { return shared_; }

 private:
  const QueryLut& lut_;
  ExactScorer scorer_;
  std::optional<ScoreBound> bound_;
  kernels::BoundKernel bound_kernel_;
  kernels::BoundKernel group_kernel_;
  SharedThreshold shared_;
};

// Searches the blocks of `range` (a run of consecutive blocks, or a piece of
// one) for `count` queries (1 to kernels::kMaxBoundQueries, all with the
// same kernels), which share each pass of the bound over the codes: best[q]
// is offered query q's candidates among the range's records in `allowed`
// (every one when null) and ends up with their k best, exactly. Blocks
// without an allowed position are never read. Returns the number of exact
// scores computed.
std::size_t search_blocks(QuerySearch* const* queries, std::size_t count, const StoredEntries& entries,
                          const PositionSet* allowed, const BlockRun& range, TopK* best);
// The same over blocks [first_block, last_block) of the entries.
std::size_t search_blocks(QuerySearch* const* queries, std::size_t count, const StoredEntries& entries,
                          const PositionSet* allowed, std::size_t first_block, std::size_t last_block, TopK* best);

// Every candidate offered whose score is not below a fixed floor, in the
// order offered: a NaN score is kept, since it proves nothing about the
// vector. The same interface as TopK for a search, which prunes with the
// floor.
class AtLeast {
 public:
  explicit AtLeast(float floor) : floor_(floor) {}
  std::size_t k() const { return kept_.size(); }
  bool full() const { return true; }
  float threshold() const { return floor_; }
  bool offer(float score, std::size_t position) {
    if (!(score < floor_)) kept_.push_back({score, position});
    return false;
  }
  void offer_run(const float* scores, std::size_t count, std::size_t first_position) {
    for (std::size_t i = 0; i < count; ++i) offer(scores[i], first_position + i);
  }
  const std::vector<Candidate>& kept() const { return kept_; }

 private:
  float floor_;
  std::vector<Candidate> kept_;
};

// For a search that must end with the true top k: the k best table sums
// (scores are table sums, error_bound.h), and every candidate whose sum is at
// least a floor that rises with them. The floor assumes that the k-th best
// exact cosine will be at least `assumed()`, the k-th best sum's estimate
// less a slack: every vector below the floor has an upper bound below that
// (a NaN sum is never below it).
// Whoever reads the full vectors checks the assumption.
class TopAndAbove {
 public:
  TopAndAbove(std::size_t k, const CosineUpperBound& bound, double largest_residual, double slack)
      : best_(k), bound_(bound), largest_residual_(largest_residual), slack_(slack) {}
  std::size_t k() const { return best_.k(); }
  bool full() const { return best_.full(); }
  float threshold() const { return floor_; }
  bool offer(float sum, std::size_t position);
  void offer_run(const float* sums, std::size_t count, std::size_t first_position) {
    for (std::size_t i = 0; i < count; ++i) offer(sums[i], first_position + i);
  }
  const std::vector<Candidate>& kept() const { return kept_; }
  // -inf until k sums were offered.
  double assumed() const { return assumed_; }

 private:
  TopK best_;
  const CosineUpperBound& bound_;
  double largest_residual_, slack_;
  double assumed_ = -std::numeric_limits<double>::infinity();
  float floor_ = -std::numeric_limits<float>::infinity();
  std::vector<Candidate> kept_;
};

// The k candidates of largest keys, equal keys by smaller id, NaN keys
// last: the candidates a re-ranking reads, chosen by their integer bound sums
// alone (the keys; every sum is exact in a float), or by their compressed
// scores for a query without a bound. The order is total, so that any split of the
// records, and any store holding them, keeps the same k.
class TopSums {
 public:
  TopSums(std::size_t k, const std::uint64_t* ids) : k_(k), ids_(ids) {}
  std::size_t k() const { return k_; }
  bool full() const { return kept_.size() >= k_; }
  // The key the worst kept candidate has: a candidate below it cannot enter.
  float least() const { return kept_.front().score; }
  void offer(float key, std::size_t position);
  const std::vector<Candidate>& kept() const { return kept_; }
  // Whether a ranks before b.
  bool before(const Candidate& a, const Candidate& b) const {
    const bool a_nan = std::isnan(a.score), b_nan = std::isnan(b.score);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.score != b.score) return a.score > b.score;
    return ids_[a.position] < ids_[b.position];
  }
  // False when the key cannot enter: below the worst kept one.
  bool may_enter(float key) const { return !full() || !(key < least()); }
  // The k best of candidates offered to sinks like this one, best first.
  void keep_best(std::vector<Candidate>& candidates) const;

 private:
  std::size_t k_;
  const std::uint64_t* ids_;
  std::vector<Candidate> kept_;  // a heap whose front is the worst kept
};

// search_blocks for every candidate at or above each query's floor instead
// of the k best, fixed (AtLeast) or rising (TopAndAbove).
std::size_t search_blocks(QuerySearch* const* queries, std::size_t count, const StoredEntries& entries,
                          const PositionSet* allowed, const BlockRun& range, AtLeast* kept);
std::size_t search_blocks(QuerySearch* const* queries, std::size_t count, const StoredEntries& entries,
                          const PositionSet* allowed, const BlockRun& range, TopAndAbove* kept);
// search_blocks for the largest keys: the bound pass's sums where the
// query's table allows a bound (no exact score is computed; at a level
// without a bound pass, the portable one's), its compressed scores
// otherwise. The queries' searches must be made with max_norm 1, so that
// the bound is the table's own whatever the store holds.
std::size_t search_blocks(QuerySearch* const* queries, std::size_t count, const StoredEntries& entries,
                          const PositionSet* allowed, const BlockRun& range, TopSums* best);

// The k best positions (1 <= k <= entries.count) with their exact scores,
// best first: the same answer, bit for bit, whatever the kernels, the bound
// or the split. `pieces` > 0 splits the blocks into that many contiguous
// pieces (each with its own k best); 0 splits them as the batch search does. `max_norm`
// bounds every stored norm.
std::vector<Candidate> search_top_k(const QueryLut& lut, const StoredEntries& entries, std::size_t k, float max_norm,
                                    const ScoringKernels& kernels, std::size_t pieces = 0, TopKStats* stats = nullptr);

}  // namespace velmora

// What a search that returns the true nearest neighbours needs from the
// engine: the stored vectors whose true cosine similarity with a query may
// still reach a score already achieved (their full vectors must be read; all
// others provably rank below), and the cosine similarity of full vectors,
// computed in double in one fixed order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/position_set.h"
#include "engine/record_view.h"

namespace velmora {

// Slack of the exact pass's assumption: compressed scores run low
// (quantisation shortens the decoded vector), so the k-th best exact cosine
// is nearly always above the k-th best estimate; a query for which it is not
// takes a second pass (positions_to_read).
inline constexpr double kExactPassSlack = 0.02;

// One pass of an exact search for one query: the `first` candidates to read
// (the best table sums, best first), and the others whose upper bound on the
// true cosine reaches `assumed`, with those bounds. Once the first are read:
// if the k-th best exact cosine among them is at least `assumed`, every
// candidate that can beat it is among the others whose bound reaches it;
// otherwise positions_to_read must list them (a second pass).
struct ExactPass {
  std::vector<std::size_t> first;
  std::vector<float> first_sums;
  std::vector<double> first_upper;
  std::vector<std::size_t> others;
  std::vector<double> others_upper;
  double assumed = 0.0;
};

// For each of m queries, among the candidates (the view's records in
// `allowed`, or every one): up to `first_count` first candidates and the
// others, assuming the k-th best exact cosine (1 <= k <= first_count) at
// least the k-th best table sum's estimate less `slack`. Every record must
// have a known error bound.
std::vector<ExactPass> exact_pass(const RecordView& view, const float* queries, std::size_t m, std::size_t first_count,
                                  std::size_t k, const PositionSet* allowed, double slack = kExactPassSlack);

// For each of m queries (view.dim f32 values each), the positions among the
// candidates whose upper bound on the true cosine (error_bound.h) reaches
// taus[q], in ascending order: a vector not listed has a true cosine
// strictly below taus[q]. Every record must have a known error bound. Runs
// on the pool.
std::vector<std::vector<std::size_t>> positions_to_read(const RecordView& view, const float* queries, std::size_t m,
                                                        const double* taus, const PositionSet* allowed);

// The cosine similarity of two vectors of doubles as the exact search
// computes it: dot8(q, x) / (sqrt(dot8(x, x)) * sqrt(dot8(q, q))), dot8 being
// the engine's eight-lane summation order, every step in double.
double exact_norm(const double* v, std::size_t dim);
double exact_cosine(const double* q, double q_norm, const double* x, double x_norm, std::size_t dim);

// The exact cosines of many (query, row) pairs, computed a bounded chunk of
// rows at a time: the pairs are taken by row, so that each row is fetched
// and converted once. The caller fills chunk_values() with the values of
// chunk_rows() (in that order) and then calls score_chunk(), until
// next_chunk() is false:
//   PairCosines pairs(...);
//   while (pairs.next_chunk()) { fetch rows; pairs.score_chunk(out); }
class PairCosines {
 public:
  // `queries`: m rows of dim doubles; pair i is (pair_query[i], pair_row[i]),
  // every pair_query below m.
  PairCosines(std::vector<double> queries, std::size_t dim, std::vector<std::uint64_t> pair_query,
              std::vector<std::uint64_t> pair_row);

  // Moves to the next chunk; false when every pair is scored.
  bool next_chunk();
  // The rows of the chunk, each once, and the buffer for their values (dim
  // doubles each, in the order of chunk_rows()).
  const std::vector<std::uint64_t>& chunk_rows() const { return chunk_rows_; }
  double* chunk_values() { return values_.data(); }
  // The cosines of the chunk's pairs into out[i] (one per pair, as numbered
  // by the constructor's arrays), on the pool.
  void score_chunk(double* out) const;

 private:
  std::size_t dim_;
  std::vector<double> queries_, query_norms_;
  std::vector<std::uint64_t> pair_query_, pair_row_;
  std::vector<std::size_t> by_row_;  // pair numbers, ascending by row
  std::size_t chunk_capacity_;       // rows per chunk
  std::size_t next_ = 0;             // the first pair (in by_row_) of the next chunk
  std::vector<std::uint64_t> chunk_rows_;
  std::vector<std::size_t> run_start_;  // per chunk row: its first pair in by_row_, then the end
  std::vector<double> values_;
};

}  // namespace velmora

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

// A matrix of float32 or float64 values read where they lie (the caller
// keeps them valid and unchanged for the call): the value of row r, column j
// starts at data + r * row_stride + j * column_stride bytes.
struct FloatMatrixRef {
  const unsigned char* data = nullptr;
  std::size_t rows = 0;
  std::size_t columns = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t column_stride = 0;
  bool is_f64 = false;
};

// out[i] = the cosine similarity of query q = pair_query[i] (m rows of
// rows.columns doubles) and row x = pair_row[i] of `rows` as the exact search
// computes it: dot8(q, x) / (sqrt(dot8(x, x)) * sqrt(dot8(q, q))), dot8 being
// the engine's eight-lane summation order, every step in double; x's values
// are widened to double
// (exactly, so a float32 row gives its double copy's cosine); every index in
// range. Each row is read once, in place, rows in ascending order so that
// the next ones can be fetched ahead. Runs on the pool.
void pair_cosines(const double* queries, std::size_t m, const FloatMatrixRef& rows, const std::uint64_t* pair_query,
                  const std::uint64_t* pair_row, std::size_t pairs, double* out);

}  // namespace velmora

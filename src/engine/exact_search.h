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
#include "engine/store.h"

namespace velmora {

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

// For each of m queries, among the candidates (`allowed`, or every
// position): up to `first_count` first candidates and the others, assuming
// the k-th best exact cosine (k <= first_count) at least the k-th best table
// sum's estimate less `slack`. The store must keep error bounds, all known.
std::vector<ExactPass> exact_pass(const CompressedVectorStore& store, const float* queries, std::size_t m,
                                  std::size_t first_count, std::size_t k, double slack, const PositionSet* allowed);

// For each of m queries (store.dim() f32 values each), the positions among
// the candidates (`allowed`, or every position) whose upper bound on the
// true cosine (error_bound.h) reaches taus[q], in ascending order: a vector
// not listed has a true cosine strictly below taus[q]. The store must keep
// error bounds, all of them known. Runs on the pool.
std::vector<std::vector<std::size_t>> positions_to_read(const CompressedVectorStore& store, const float* queries,
                                                        std::size_t m, const double* taus, const PositionSet* allowed);

// The cosine similarity of two vectors of doubles as the exact search
// computes it: dot8(q, x) / (sqrt(dot8(x, x)) * sqrt(dot8(q, q))), dot8 being
// the engine's eight-lane summation order, every step in double.
double exact_norm(const double* v, std::size_t dim);
double exact_cosine(const double* q, double q_norm, const double* x, double x_norm, std::size_t dim);

}  // namespace velmora

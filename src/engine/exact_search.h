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

// What an exact search of one query must read, from one pass over the codes.
struct ExactCandidatesOf {
  // Up to k positions with the best lower bounds of their true cosines (best
  // first, equal bounds by position), with those bounds and their upper
  // bounds; k of them whenever there are k candidates.
  std::vector<std::size_t> first;
  std::vector<double> first_lower, first_upper;
  // Every other candidate whose upper bound reaches the k-th best lower
  // bound, with that upper bound. Once the first k are read and their exact
  // cosines known, only those of these whose upper bound reaches the k-th
  // best of them can rank among the k best; no other candidate can.
  std::vector<std::size_t> others;
  std::vector<double> others_upper;
};

// For each of m queries (store.dim() values each), among the candidates
// (`allowed`, or every position). The store must keep error bounds, all of
// them known. Runs on the pool.
std::vector<ExactCandidatesOf> exact_candidates(const CompressedVectorStore& store, const float* queries,
                                                std::size_t m, std::size_t k, const PositionSet* allowed);

// The cosine similarity of two vectors of doubles as the exact search
// computes it: dot8(q, x) / (sqrt(dot8(x, x)) * sqrt(dot8(q, q))), dot8 being
// the engine's eight-lane summation order, every step in double.
double exact_norm(const double* v, std::size_t dim);
double exact_cosine(const double* q, double q_norm, const double* x, double x_norm, std::size_t dim);

}  // namespace velmora

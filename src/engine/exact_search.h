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

// For each of m queries (store.dim() f32 values each), the positions among
// the candidates (`allowed`, or every position) whose upper bound on the
// true cosine (error_bound.h) reaches taus[q], in ascending order: a vector
// not listed has a true cosine strictly below taus[q]. The store must keep
// error bounds, all of them known. Runs on the pool.
std::vector<std::vector<std::size_t>> positions_to_read(const CompressedVectorStore& store, const float* queries,
                                                        std::size_t m, const double* taus,
                                                        const PositionSet* allowed);

// The cosine similarity of two vectors of doubles as the exact search
// computes it: dot8(q, x) / (sqrt(dot8(x, x)) * sqrt(dot8(q, q))), dot8 being
// the engine's eight-lane summation order, every step in double.
double exact_norm(const double* v, std::size_t dim);
double exact_cosine(const double* q, double q_norm, const double* x, double x_norm, std::size_t dim);

}  // namespace velmora

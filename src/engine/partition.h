// Partitions of a store's records into lists around centroids, and the
// searches that read only some lists. The centroids are found by spherical
// k-means on the records' decoded codes (their rotated unit vectors as the
// codebook levels give them: the store keeps no full vectors), with fixed
// seeds and summation orders, so the same records give the same centroids,
// lists and answers in every process, with any number of threads and at
// every SIMD level. A query reads the lists whose centroids are nearest its
// rotated form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/exact_search.h"
#include "engine/list_layout.h"
#include "engine/position_set.h"
#include "engine/store.h"

namespace velmora {

// The number of lists partition() makes for n records by default: about
// sqrt(n), so that a list holds about as many records as there are lists.
std::size_t default_list_count(std::size_t n);

// Groups the store's records into `list_count` lists (1 to size()) and lays
// them out in lists (the store's arrange_in_lists), with a default number of
// lists to probe measured on the store's own records (partition.cpp). The
// store must not be empty. Runs on the pool.
void partition_store(CompressedVectorStore& store, std::size_t list_count);

// The list of each of n records given as dim cell indices each: the
// centroid with the greatest dot product with its decoded levels (`levels`
// the codebook's), the smaller list of equal ones. Runs on the pool.
std::vector<std::uint32_t> nearest_lists(const ListLayout& layout, const std::vector<float>& levels,
                                         const std::uint8_t* indices, std::size_t n);

// How far along a list's centroid direction a record reaches at least: its
// decoded levels' dot product with the direction (in double, less a margin
// for that sum's rounding) less its residual bound (error_bound.h); -inf
// for a record without a bound.
double record_reach(const float* centroid, const std::vector<float>& levels, const std::uint8_t* indices,
                    std::size_t dim, std::uint16_t error_bound);

// The lists of a store in lists ordered for a query by their centroids' dot
// product with its rotated form, greatest first (the smaller list of equal
// ones); with `leading` below their number, only the first `leading` are in
// order.
std::vector<std::uint32_t> lists_by_nearness(const ListLayout& layout, const float* rotated,
                                             std::size_t leading = static_cast<std::size_t>(-1));

// For each of m queries, their k best among the candidates (the records in
// `allowed`, or all) of the `probes` lists nearest to it, and of the lists
// after them in that order while fewer than min(k, candidates) are found;
// written best first to out_ids[q * k ...] and out_scores[q * k ...] with k
// at most the number of candidates. The scores are the flat search's,
// bit for bit. Runs on the pool.
void search_probed(const CompressedVectorStore& store, const float* queries, std::size_t m, std::size_t k,
                   std::size_t probes, const PositionSet* allowed, std::uint64_t* out_ids, float* out_scores);

// For each of m queries, the c candidates (c at most their number) that a
// re-ranking reads, best first to out_ids[q * c ...] with their keys in
// out_keys: those of largest bound sums (bound_sum_candidates) among every
// record, or, with 0 < probes < the number of lists, among the lists
// search_probed reads. Runs on the pool.
void rerank_candidates(const CompressedVectorStore& store, const float* queries, std::size_t m, std::size_t c,
                       std::size_t probes, const PositionSet* allowed, std::uint64_t* out_ids, float* out_keys);

// The exact search's passes (exact_search.h) on a store in lists. The
// first reads, for each query, the lists a default search probes (and the
// next ones while they hold fewer than first_count candidates) and assumes
// nothing (assumed is
// +inf, so that its caller always takes the second pass). The second lists
// the positions to read in every list whose list bound (CosineUpperBound::
// beyond) reaches taus[q], with the per-vector bounds within them: a vector
// in no other list can reach it.
std::vector<ExactPass> exact_pass_lists(const CompressedVectorStore& store, const float* queries, std::size_t m,
                                        std::size_t first_count, std::size_t k, const PositionSet* allowed);
std::vector<std::vector<std::size_t>> positions_to_read_lists(const CompressedVectorStore& store, const float* queries,
                                                              std::size_t m, const double* taus,
                                                              const PositionSet* allowed);

}  // namespace velmora

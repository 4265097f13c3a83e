// Searching the records of a view (record_view.h) for many queries at once,
// on the pool. When k is well below the number of candidates, this is the
// pruned search of CompressedVectorStore::query (top_k.h) with groups of
// queries sharing each pass of the integer bound over a range of blocks
// while it is in cache (pruned_pass.h); otherwise every candidate is scored,
// each chunk of blocks for a group of queries in turn, and ranked. Every
// query gets exactly the pairs, in exactly the order, that
// CompressedVectorStore::query returns for it on a flat store (restricted to
// the allowed positions when a filter is given).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/error_bound.h"
#include "engine/position_set.h"
#include "engine/ranking.h"
#include "engine/record_view.h"

namespace velmora {

// Searches `m` queries of view.dim values each (query q at queries + q *
// dim) for their k best among the view's records, writing them best first
// to out_ids[q * k ...] and out_scores[q * k ...]. k must not exceed the
// number of candidates: the records in `allowed`, or every record of the
// view when it is null. Runs on the pool.
void search_batch(const RecordView& view, const float* queries, std::size_t m, std::size_t k,
                  const PositionSet* allowed, std::uint64_t* out_ids, float* out_scores);

// search_batch for queries whose tables are prepared (all at once: the
// caller keeps their number modest).
void search_tables(const RecordView& view, const std::vector<QueryLut>& luts, std::size_t k, const PositionSet* allowed,
                   std::uint64_t* out_ids, float* out_scores);

// The number of the view's records in `allowed` (every one when null).
std::size_t candidate_count(const RecordView& view, const PositionSet* allowed);

// The tables of m queries of view.dim values each, prepared on the pool.
std::vector<QueryLut> prepare_all(const RecordView& view, const float* queries, std::size_t m);

// For each query, every candidate position (a record of the view in
// `allowed`, or every one) whose table sum S, the f32 sum of the query's
// table entries over the position's codes, is at least floors[q] (or NaN),
// with S as its score, in no particular order, found by the same pruned
// passes as search_batch with the floor in place of a k-th best; then the
// table sums of the `always` positions (a few candidates that every query
// must consider), whatever their sums, appended in their order.
std::vector<std::vector<Candidate>> table_sums_at_least(const RecordView& view, const std::vector<QueryLut>& luts,
                                                        const float* floors, const PositionSet* allowed,
                                                        const std::vector<std::size_t>& always);

// For each query, the table sums of a pass that keeps the k best sums and
// every candidate at or above the rising floor of a TopAndAbove (top_k.h)
// for the query's bound (one per query, parallel to luts), the largest
// residual the floor allows for and the slack; assumed[q] is the largest
// assumption any part of the pass pruned with (-inf while fewer than k sums
// were seen). The table sums of the `always` positions follow, as with
// table_sums_at_least.
std::vector<std::vector<Candidate>> table_sums_with_top(const RecordView& view, const std::vector<QueryLut>& luts,
                                                        const std::vector<CosineUpperBound>& bounds, std::size_t k,
                                                        double largest_residual, double slack,
                                                        const PositionSet* allowed, std::vector<double>* assumed,
                                                        const std::vector<std::size_t>& always);

// For each query, the c candidates (or all, when fewer) of largest integer
// bound sums (top_k.h's TopSums: equal sums by smaller id), best first, with
// their sums as scores: what a re-ranking reads, found by the bound passes
// alone, no exact score computed. A query without a bound (a zero query, or
// a table that is not finite) is ranked by its compressed scores instead.
std::vector<std::vector<Candidate>> bound_sum_candidates(const RecordView& view, const std::vector<QueryLut>& luts,
                                                         std::size_t c, const PositionSet* allowed);

}  // namespace velmora

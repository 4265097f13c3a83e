// Searching one store for many queries at once, on the pool. When k is well
// below the number of candidates, this is the pruned search of
// CompressedVectorStore::query (top_k.h) with groups of queries sharing each
// pass of the integer bound over a run of blocks while it is in cache;
// otherwise every candidate is scored, each chunk of blocks for a group of
// queries in turn, and ranked. Every query gets exactly the pairs, in exactly
// the order, that CompressedVectorStore::query returns for it (restricted to
// the allowed positions when a filter is given).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/position_set.h"
#include "engine/store.h"

namespace velmora {

// Searches `m` queries of store.dim() values each (query q at queries + q *
// dim) for their k best, writing them best first to out_ids[q * k ...] and
// out_scores[q * k ...]. k must not exceed the number of candidates: the
// positions in `allowed`, or every position when it is null. Runs on the pool.
void search_batch(const CompressedVectorStore& store, const float* queries, std::size_t m, std::size_t k,
                  const PositionSet* allowed, std::uint64_t* out_ids, float* out_scores);

// The tables of m queries of store.dim() values each, prepared on the pool.
std::vector<QueryLut> prepare_all(const CompressedVectorStore& store, const float* queries, std::size_t m);

// For each query, the candidates (in `allowed`, or every position) that a
// search for the true k best must consider (ExactCandidates, top_k.h), each
// with its table sum S (the f32 sum of the query's table entries over the
// position's codes) as its score, in no particular order. The same pruned
// passes as search_batch. The store must keep error bounds.
std::vector<std::vector<Candidate>> exact_candidate_sums(const CompressedVectorStore& store,
                                                         const std::vector<QueryLut>& luts, std::size_t k,
                                                         const PositionSet* allowed);

}  // namespace velmora

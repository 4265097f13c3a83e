// Top-k selection over a store's entries: exact scores for every entry, or,
// when the query allows it, an integer bound pass first that leaves out the
// entries that provably cannot reach the k-th best exact score.
#pragma once

#include <cstddef>
#include <vector>

#include "ranking.h"
#include "similarity.h"

namespace velmora {

struct TopKStats {
  bool bounded = false;          // the bound pass ran
  std::size_t exact_scores = 0;  // entries whose exact score was computed
};

// The k best positions (1 <= k <= entries.count) with their exact scores,
// best first: the same answer, bit for bit, whatever the kernels, the bound
// or the split. `pieces` > 0 splits the blocks into that many contiguous
// pieces (each with its own k best); 0 lets the pool split them. `max_norm`
// bounds every stored norm.
std::vector<Candidate> search_top_k(const QueryLut& lut, const StoredEntries& entries, std::size_t k,
                                    float max_norm, const ScoringKernels& kernels, std::size_t pieces = 0,
                                    TopKStats* stats = nullptr);

}  // namespace velmora

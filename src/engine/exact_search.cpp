#include "engine/exact_search.h"

#include <algorithm>
#include <cmath>

#include "engine/batch_search.h"
#include "engine/error_bound.h"
#include "engine/invariant.h"
#include "engine/pool.h"
#include "engine/rotation.h"

namespace velmora {

namespace {

// Queries whose tables are prepared at once, as in search_batch.
constexpr std::size_t kBatchQueries = 64;

}  // namespace

std::vector<std::vector<std::size_t>> positions_to_read(const CompressedVectorStore& store, const float* queries,
                                                        std::size_t m, const double* taus,
                                                        const PositionSet* allowed) {
  VELMORA_CHECK(store.keeps_error_bounds(), "positions_to_read: the store keeps no error bounds");
  const StoredEntries entries = store.stored_entries();
  const double largest_residual = error_bound_value(store.largest_error_bound());
  const bool any_unknown = store.unknown_error_bounds() > 0;
  std::vector<std::vector<std::size_t>> out(m);
  const std::size_t dim = store.dim();
  for (std::size_t q0 = 0; q0 < m; q0 += kBatchQueries) {
    const std::size_t count = std::min(kBatchQueries, m - q0);
    const std::vector<QueryLut> luts = prepare_all(store, queries + q0 * dim, count);
    std::vector<CosineUpperBound> bounds;
    std::vector<float> floors(count);
    for (std::size_t q = 0; q < count; ++q) {
      bounds.emplace_back(luts[q]);
      // A vector with an unknown bound must be read whatever its sum.
      floors[q] = any_unknown ? -std::numeric_limits<float>::infinity()
                              : bounds[q].lowest_sum(taus[q0 + q], largest_residual);
    }
    const std::vector<std::vector<Candidate>> sums = table_sums_at_least(store, luts, floors.data(), allowed);
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t q = begin; q < end; ++q) {
        std::vector<std::size_t>& read = out[q0 + q];
        for (const Candidate& c : sums[q]) {
          if (bounds[q].at(c.score, entries.error_bounds[c.position]) >= taus[q0 + q]) read.push_back(c.position);
        }
        std::sort(read.begin(), read.end());
      }
    });
  }
  return out;
}

double exact_norm(const double* v, std::size_t dim) { return std::sqrt(dot8(v, v, dim)); }

double exact_cosine(const double* q, double q_norm, const double* x, double x_norm, std::size_t dim) {
  return dot8(q, x, dim) / (x_norm * q_norm);
}

}  // namespace velmora

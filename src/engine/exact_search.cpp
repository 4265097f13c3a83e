#include "engine/exact_search.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/batch_search.h"
#include "engine/error_bound.h"
#include "engine/invariant.h"
#include "engine/pool.h"
#include "engine/rotation.h"

namespace velmora {

namespace {

// Queries whose tables are prepared at once, as in search_batch.
constexpr std::size_t kBatchQueries = 64;
// The share of stored vectors whose residual the pass's floor allows for;
// the rest (those with the largest residuals) are scored one by one.
constexpr double kResidualCutShare = 0.99;

}  // namespace

std::vector<std::vector<std::size_t>> positions_to_read(const CompressedVectorStore& store, const float* queries,
                                                        std::size_t m, const double* taus,
                                                        const PositionSet* allowed) {
  VELMORA_CHECK(store.keeps_error_bounds() && store.unknown_error_bounds() == 0,
                "positions_to_read: the store lacks error bounds");
  const StoredEntries entries = store.stored_entries();
  std::vector<std::vector<std::size_t>> out(m);
  if (entries.count == 0) return out;
  // The pass prunes with one floor for every vector, set by the largest
  // residual it must allow for; the few vectors above the cut are looked at
  // one by one instead, so that they do not lower every query's floor.
  std::vector<std::uint16_t> codes(entries.error_bounds, entries.error_bounds + entries.count);
  const std::size_t at = static_cast<std::size_t>(static_cast<double>(codes.size() - 1) * kResidualCutShare);
  std::nth_element(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(at), codes.end());
  const std::uint16_t cut = codes[at];
  std::vector<std::size_t> above_cut;
  for (std::size_t p = 0; p < entries.count; ++p) {
    if (entries.error_bounds[p] > cut && (allowed == nullptr || allowed->contains(p))) above_cut.push_back(p);
  }
  const std::size_t dim = store.dim();
  for (std::size_t q0 = 0; q0 < m; q0 += kBatchQueries) {
    const std::size_t count = std::min(kBatchQueries, m - q0);
    const std::vector<QueryLut> luts = prepare_all(store, queries + q0 * dim, count);
    std::vector<CosineUpperBound> bounds;
    std::vector<float> floors(count);
    for (std::size_t q = 0; q < count; ++q) {
      bounds.emplace_back(luts[q]);
      floors[q] = bounds[q].lowest_sum(taus[q0 + q], error_bound_value(cut));
    }
    const std::vector<std::vector<Candidate>> sums =
        table_sums_at_least(store, luts, floors.data(), allowed, above_cut);
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t q = begin; q < end; ++q) {
        std::vector<std::size_t>& read = out[q0 + q];
        const std::vector<Candidate>& found = sums[q];
        const std::size_t from_pass = found.size() - above_cut.size();
        for (std::size_t i = 0; i < found.size(); ++i) {
          const std::uint16_t code = entries.error_bounds[found[i].position];
          if (i < from_pass && code > cut) continue;  // looked at below, with the others above the cut
          if (bounds[q].at(found[i].score, code) >= taus[q0 + q]) read.push_back(found[i].position);
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

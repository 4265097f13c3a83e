#include "engine/exact_search.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/batch_search.h"
#include "engine/error_bound.h"
#include "engine/invariant.h"
#include "engine/pool.h"
#include "engine/ranking.h"
#include "engine/rotation.h"

namespace velmora {

namespace {

// Queries whose tables are prepared at once, as in search_batch.
constexpr std::size_t kBatchQueries = 64;
// The share of stored vectors whose residual the pass's floor allows for;
// the rest (those with the largest residuals) are scored one by one.
constexpr double kResidualCutShare = 0.999;

}  // namespace

namespace {

// The passes prune with one floor for every vector, set by the largest
// residual they must allow for. That residual is the one at the cut (the
// kResidualCutShare quantile of the stored error bounds); the few vectors
// above the cut are scored one by one instead, so that they do not lower
// every query's floor.
struct ResidualCut {
  std::uint16_t cut = 0;
  std::vector<std::size_t> above;  // candidate positions whose bound exceeds the cut, ascending
};

ResidualCut residual_cut(const StoredEntries& entries, const PositionSet* allowed) {
  ResidualCut out;
  std::vector<std::uint16_t> codes(entries.error_bounds, entries.error_bounds + entries.count);
  const std::size_t at = static_cast<std::size_t>(static_cast<double>(codes.size() - 1) * kResidualCutShare);
  std::nth_element(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(at), codes.end());
  out.cut = codes[at];
  for (std::size_t p = 0; p < entries.count; ++p) {
    if (entries.error_bounds[p] > out.cut && (allowed == nullptr || allowed->contains(p))) out.above.push_back(p);
  }
  return out;
}

// Drops the pass's own copies of the positions above the cut: they come
// once more, at the end, from the list scored one by one.
void drop_pass_copies(std::vector<Candidate>& found, const ResidualCut& cut, const std::uint16_t* error_bounds) {
  const std::size_t from_pass = found.size() - cut.above.size();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (i < from_pass && error_bounds[found[i].position] > cut.cut) continue;
    found[kept++] = found[i];
  }
  found.resize(kept);
}

}  // namespace

std::vector<std::vector<std::size_t>> positions_to_read(const CompressedVectorStore& store, const float* queries,
                                                        std::size_t m, const double* taus, const PositionSet* allowed) {
  VELMORA_CHECK(store.keeps_error_bounds() && store.unknown_error_bounds() == 0,
                "positions_to_read: the store lacks error bounds");
  const StoredEntries entries = store.stored_entries();
  std::vector<std::vector<std::size_t>> out(m);
  if (entries.count == 0) return out;
  const ResidualCut cut = residual_cut(entries, allowed);
  const std::size_t dim = store.dim();
  for (std::size_t q0 = 0; q0 < m; q0 += kBatchQueries) {
    const std::size_t count = std::min(kBatchQueries, m - q0);
    const std::vector<QueryLut> luts = prepare_all(store, queries + q0 * dim, count);
    std::vector<CosineUpperBound> bounds;
    std::vector<float> floors(count);
    for (std::size_t q = 0; q < count; ++q) {
      bounds.emplace_back(luts[q]);
      floors[q] = bounds[q].lowest_sum(taus[q0 + q], error_bound_value(cut.cut));
    }
    std::vector<std::vector<Candidate>> sums = table_sums_at_least(store, luts, floors.data(), allowed, cut.above);
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t q = begin; q < end; ++q) {
        std::vector<std::size_t>& read = out[q0 + q];
        std::vector<Candidate>& found = sums[q];
        drop_pass_copies(found, cut, entries.error_bounds);
        for (const Candidate& c : found) {
          if (bounds[q].at(c.score, entries.error_bounds[c.position]) >= taus[q0 + q]) read.push_back(c.position);
        }
        std::sort(read.begin(), read.end());
      }
    });
  }
  return out;
}

std::vector<ExactPass> exact_pass(const CompressedVectorStore& store, const float* queries, std::size_t m,
                                  std::size_t first_count, std::size_t k, double slack, const PositionSet* allowed) {
  VELMORA_CHECK(store.keeps_error_bounds() && store.unknown_error_bounds() == 0,
                "exact_pass: the store lacks error bounds");
  VELMORA_CHECK(k >= 1 && k <= first_count, "exact_pass: k out of range");
  const StoredEntries entries = store.stored_entries();
  std::vector<ExactPass> out(m);
  if (entries.count == 0) return out;
  const ResidualCut cut = residual_cut(entries, allowed);
  const double floor_residual = error_bound_value(cut.cut);
  const std::size_t dim = store.dim();
  for (std::size_t q0 = 0; q0 < m; q0 += kBatchQueries) {
    const std::size_t count = std::min(kBatchQueries, m - q0);
    const std::vector<QueryLut> luts = prepare_all(store, queries + q0 * dim, count);
    std::vector<CosineUpperBound> bounds;
    bounds.reserve(count);
    for (const QueryLut& lut : luts) bounds.emplace_back(lut);
    std::vector<double> assumed;
    std::vector<std::vector<Candidate>> sums =
        table_sums_with_top(store, luts, bounds, k, floor_residual, slack, allowed, &assumed, cut.above);
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t q = begin; q < end; ++q) {
        std::vector<Candidate>& found = sums[q];
        drop_pass_copies(found, cut, entries.error_bounds);
        const std::size_t first = std::min(first_count, found.size());
        std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(first), found.end(), ranks_before);
        ExactPass& result = out[q0 + q];
        result.assumed = assumed[q];
        for (std::size_t i = 0; i < found.size(); ++i) {
          const double upper = bounds[q].at(found[i].score, entries.error_bounds[found[i].position]);
          if (i < first) {
            result.first.push_back(found[i].position);
            result.first_sums.push_back(found[i].score);
            result.first_upper.push_back(upper);
          } else if (upper >= assumed[q]) {
            result.others.push_back(found[i].position);
            result.others_upper.push_back(upper);
          }
        }
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

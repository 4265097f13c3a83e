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
#include "engine/search_constants.h"

namespace velmora {

namespace {

// The share of stored vectors whose residual the pass's floor allows for;
// the rest (those with the largest residuals) are scored one by one.
constexpr double kResidualCutShare = 0.999;
// Rows of full vectors converted to double at once by PairCosines.
constexpr std::size_t kPairChunkBytes = std::size_t{8} << 20;

// The passes prune with one floor for every vector, set by the largest
// residual they must allow for. That residual is the one at the cut (the
// kResidualCutShare quantile of the stored error bounds); the few vectors
// above the cut are scored one by one instead, so that they do not lower
// every query's floor.
struct ResidualCut {
  std::uint16_t cut = 0;
  std::vector<std::size_t> above;  // candidate positions whose bound exceeds the cut, ascending
};

// The cut of the view's records, from a count of each bound value (bounds
// are 16 bits): one pass over the records per search, no copy and no
// selection; the value of rank `at` is the smallest one whose cumulative
// count exceeds `at`, which is what selecting it would give. The same pass
// checks that every record has a known bound.
ResidualCut residual_cut(const RecordView& view, const PositionSet* allowed) {
  ResidualCut out;
  const std::uint16_t* bounds = view.entries.error_bounds;
  const std::size_t count = view.record_count();
  if (count == 0) return out;
  VELMORA_CHECK(bounds != nullptr, "exact search: the store keeps no error bounds");
  VELMORA_CHECK(count <= std::numeric_limits<std::uint32_t>::max(), "exact search: too many records to count");
  thread_local std::vector<std::uint32_t> histogram;
  histogram.assign(std::size_t{1} << 16, 0);
  for (const BlockRun& run : view.runs) {
    for (std::size_t p = run.first_position(); p < run.end; ++p) ++histogram[bounds[p]];
  }
  VELMORA_CHECK(histogram[kUnknownErrorBound] == 0, "exact search: a record has no error bound");
  const std::size_t at = static_cast<std::size_t>(static_cast<double>(count - 1) * kResidualCutShare);
  std::size_t seen = 0;
  for (std::size_t value = 0; value < histogram.size(); ++value) {
    seen += histogram[value];
    if (seen > at) {
      out.cut = static_cast<std::uint16_t>(value);
      break;
    }
  }
  for (const BlockRun& run : view.runs) {
    for (std::size_t p = run.first_position(); p < run.end; ++p) {
      if (bounds[p] > out.cut && (allowed == nullptr || allowed->contains(p))) out.above.push_back(p);
    }
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

std::vector<std::vector<std::size_t>> positions_to_read(const RecordView& view, const float* queries, std::size_t m,
                                                        const double* taus, const PositionSet* allowed) {
  const StoredEntries& entries = view.entries;
  std::vector<std::vector<std::size_t>> out(m);
  if (view.runs.empty()) return out;
  const ResidualCut cut = residual_cut(view, allowed);
  const std::size_t dim = view.dim;
  for (std::size_t q0 = 0; q0 < m; q0 += kPreparedQueries) {
    const std::size_t count = std::min(kPreparedQueries, m - q0);
    const std::vector<QueryLut> luts = prepare_all(view, queries + q0 * dim, count);
    std::vector<CosineUpperBound> bounds;
    std::vector<float> floors(count);
    for (std::size_t q = 0; q < count; ++q) {
      bounds.emplace_back(luts[q]);
      floors[q] = bounds[q].lowest_sum(taus[q0 + q], error_bound_value(cut.cut));
    }
    std::vector<std::vector<Candidate>> sums = table_sums_at_least(view, luts, floors.data(), allowed, cut.above);
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

std::vector<ExactPass> exact_pass(const RecordView& view, const float* queries, std::size_t m, std::size_t first_count,
                                  std::size_t k, const PositionSet* allowed, double slack) {
  VELMORA_CHECK(k >= 1 && k <= first_count, "exact_pass: k out of range");
  const StoredEntries& entries = view.entries;
  std::vector<ExactPass> out(m);
  if (view.runs.empty()) return out;
  const ResidualCut cut = residual_cut(view, allowed);
  const double floor_residual = error_bound_value(cut.cut);
  const std::size_t dim = view.dim;
  for (std::size_t q0 = 0; q0 < m; q0 += kPreparedQueries) {
    const std::size_t count = std::min(kPreparedQueries, m - q0);
    const std::vector<QueryLut> luts = prepare_all(view, queries + q0 * dim, count);
    std::vector<CosineUpperBound> bounds;
    bounds.reserve(count);
    for (const QueryLut& lut : luts) bounds.emplace_back(lut);
    std::vector<double> assumed;
    std::vector<std::vector<Candidate>> sums =
        table_sums_with_top(view, luts, bounds, k, floor_residual, slack, allowed, &assumed, cut.above);
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

PairCosines::PairCosines(std::vector<double> queries, std::size_t dim, std::vector<std::uint64_t> pair_query,
                         std::vector<std::uint64_t> pair_row)
    : dim_(dim),
      queries_(std::move(queries)),
      pair_query_(std::move(pair_query)),
      pair_row_(std::move(pair_row)),
      chunk_capacity_(std::max<std::size_t>(1, kPairChunkBytes / (dim * sizeof(double)))) {
  VELMORA_CHECK(dim > 0 && queries_.size() % dim == 0 && pair_query_.size() == pair_row_.size(),
                "PairCosines: inconsistent arguments");
  const std::size_t m = queries_.size() / dim;
  query_norms_.resize(m);
  parallel_for(m, [&](std::size_t begin, std::size_t end) {
    for (std::size_t q = begin; q < end; ++q) query_norms_[q] = exact_norm(queries_.data() + q * dim, dim);
  });
  by_row_.resize(pair_row_.size());
  for (std::size_t i = 0; i < by_row_.size(); ++i) by_row_[i] = i;
  std::sort(by_row_.begin(), by_row_.end(), [&](std::size_t a, std::size_t b) { return pair_row_[a] < pair_row_[b]; });
}

bool PairCosines::next_chunk() {
  chunk_rows_.clear();
  run_start_.clear();
  std::size_t j = next_;
  const std::size_t pairs = by_row_.size();
  while (j < pairs && chunk_rows_.size() < chunk_capacity_) {
    const std::uint64_t row = pair_row_[by_row_[j]];
    chunk_rows_.push_back(row);
    run_start_.push_back(j);
    while (j < pairs && pair_row_[by_row_[j]] == row) ++j;
  }
  run_start_.push_back(j);
  next_ = j;
  values_.resize(chunk_rows_.size() * dim_);
  return !chunk_rows_.empty();
}

void PairCosines::score_chunk(double* out) const {
  parallel_for(chunk_rows_.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r) {
      const double* row = values_.data() + r * dim_;
      const double row_norm = exact_norm(row, dim_);
      for (std::size_t p = run_start_[r]; p < run_start_[r + 1]; ++p) {
        const std::size_t i = by_row_[p];
        const std::size_t q = pair_query_[i];
        out[i] = exact_cosine(queries_.data() + q * dim_, query_norms_[q], row, row_norm, dim_);
      }
    }
  });
}

}  // namespace velmora

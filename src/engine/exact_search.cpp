#include "engine/exact_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <queue>

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
// Bounds the cut is chosen from, at most: enough that the share above it
// stays near 0.1% (about 1 in 1,000 of the sample's values lies above).
constexpr std::size_t kResidualSample = std::size_t{1} << 14;

// The passes prune with one floor for every vector, set by the largest
// residual they must allow for. That residual is the one at the cut (the
// kResidualCutShare quantile of the stored error bounds); the few vectors
// above the cut are scored one by one instead, so that they do not lower
// every query's floor.
struct ResidualCut {
  std::uint16_t cut = 0;
  std::vector<std::size_t> above;  // candidate positions whose bound exceeds the cut, ascending
};

// The cut of the view's records: the kResidualCutShare quantile of an even
// sample of their bounds (every record's, up to kResidualSample), then one
// pass over every record for the positions above it, which also checks that
// every record has a known bound. Any cut gives the same answer (the
// vectors above it are scored one by one); the sample spares each search a
// selection over every record.
ResidualCut residual_cut(const RecordView& view, const PositionSet* allowed) {
  ResidualCut out;
  const std::uint16_t* bounds = view.entries.error_bounds;
  const std::size_t count = view.record_count();
  if (count == 0) return out;
  VELMORA_CHECK(bounds != nullptr, "exact search: the store keeps no error bounds");
  const std::size_t stride = (count + kResidualSample - 1) / kResidualSample;
  std::vector<std::uint16_t> sample;
  sample.reserve(count / stride + view.runs.size());
  std::size_t index = 0;  // of the record among the view's, in run order
  for (const BlockRun& run : view.runs) {
    const std::size_t first = run.first_position(), size = run.end - first;
    for (std::size_t i = (stride - index % stride) % stride; i < size; i += stride) sample.push_back(bounds[first + i]);
    index += size;
  }
  // The value of rank `at` in ascending order is the smallest of the
  // sample's largest size - at values, kept in a small min-heap.
  const std::size_t at = static_cast<std::size_t>(static_cast<double>(sample.size() - 1) * kResidualCutShare);
  std::priority_queue<std::uint16_t, std::vector<std::uint16_t>, std::greater<>> largest;
  for (const std::uint16_t bound : sample) {
    if (largest.size() < sample.size() - at) {
      largest.push(bound);
    } else if (bound > largest.top()) {
      largest.pop();
      largest.push(bound);
    }
  }
  out.cut = std::min<std::uint16_t>(largest.top(), kUnknownErrorBound - 1);
  // Chunks whose largest bound is at most the cut (nearly all) are passed
  // over on a loop the compiler vectorises.
  constexpr std::size_t kChunk = 64;
  for (const BlockRun& run : view.runs) {
    for (std::size_t chunk = run.first_position(); chunk < run.end; chunk += kChunk) {
      const std::size_t stop = std::min(chunk + kChunk, run.end);
      std::uint16_t top = 0;
      for (std::size_t p = chunk; p < stop; ++p) top = std::max(top, bounds[p]);
      if (top <= out.cut) continue;
      for (std::size_t p = chunk; p < stop; ++p) {
        if (bounds[p] <= out.cut) continue;
        VELMORA_CHECK(bounds[p] != kUnknownErrorBound, "exact search: a record has no error bound");
        if (allowed == nullptr || allowed->contains(p)) out.above.push_back(p);
      }
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

namespace {

// Rows fetched ahead of the one being scored: enough to overlap the misses of
// rows spread over memory, few enough to stay in the first cache levels.
constexpr std::size_t kRowsAhead = 8;
constexpr std::size_t kCacheLine = 64;

// The pairs in ascending row order, equal rows in pair order: a radix sort
// on as many bytes of the row as the largest row needs (a comparison sort of
// a batch's pairs took a few percent of its exact search).
std::vector<std::size_t> pairs_by_row(const std::uint64_t* pair_row, std::size_t pairs, std::size_t row_count) {
  std::vector<std::size_t> order(pairs), next(pairs);
  for (std::size_t i = 0; i < pairs; ++i) order[i] = i;
  const std::uint64_t largest = row_count > 0 ? row_count - 1 : 0;
  for (unsigned shift = 0; shift < 64 && (largest >> shift) != 0; shift += 8) {
    std::size_t starts[257] = {};
    for (const std::size_t i : order) ++starts[((pair_row[i] >> shift) & 0xFF) + 1];
    for (std::size_t digit = 1; digit <= 256; ++digit) starts[digit] += starts[digit - 1];
    for (const std::size_t i : order) next[starts[(pair_row[i] >> shift) & 0xFF]++] = i;
    order.swap(next);
  }
  return order;
}

}  // namespace

void pair_cosines(const double* queries, std::size_t m, const FloatMatrixRef& rows, const std::uint64_t* pair_query,
                  const std::uint64_t* pair_row, std::size_t pairs, double* out) {
  const std::size_t dim = rows.columns;
  VELMORA_CHECK(dim > 0, "pair_cosines: no columns");
  std::vector<double> query_norms(m);
  for (std::size_t q = 0; q < m; ++q) query_norms[q] = std::sqrt(dot8(queries + q * dim, queries + q * dim, dim));
  const std::vector<std::size_t> by_row = pairs_by_row(pair_row, pairs, rows.rows);
  std::vector<std::size_t> run_start;  // per distinct row: its first pair in by_row, then the end
  for (std::size_t j = 0; j < pairs; ++j) {
    if (j == 0 || pair_row[by_row[j]] != pair_row[by_row[j - 1]]) run_start.push_back(j);
  }
  const std::size_t runs = run_start.size();
  run_start.push_back(pairs);
  const std::size_t item = rows.is_f64 ? sizeof(double) : sizeof(float);
  const bool packed = rows.column_stride == static_cast<std::ptrdiff_t>(item);
  const auto row_at = [&](std::size_t run) {
    return rows.data + static_cast<std::ptrdiff_t>(pair_row[by_row[run_start[run]]]) * rows.row_stride;
  };
  const RotationKernels& kernels = rotation_kernels();
  parallel_for(runs, [&](std::size_t begin, std::size_t end) {
    std::vector<double> widened(dim);  // a row read element by element, as doubles
    std::vector<const double*> run_queries;
    std::vector<double> sums;  // the row's own dot product, then its queries'
    for (std::size_t r = begin; r < end; ++r) {
      if (packed && r + kRowsAhead < end) {
        const unsigned char* ahead = row_at(r + kRowsAhead);
        for (std::size_t b = 0; b < dim * item; b += kCacheLine) __builtin_prefetch(ahead + b);
      }
      const std::size_t first = run_start[r], count = run_start[r + 1] - first;
      run_queries.clear();
      for (std::size_t j = first; j < first + count; ++j) {
        run_queries.push_back(queries + static_cast<std::size_t>(pair_query[by_row[j]]) * dim);
      }
      sums.resize(count + 1);
      const unsigned char* row = row_at(r);
      if (packed && reinterpret_cast<std::uintptr_t>(row) % item == 0) {
        if (rows.is_f64) {
          kernels.row_dots_f64(reinterpret_cast<const double*>(row), dim, run_queries.data(), count, sums.data());
        } else {
          kernels.row_dots_f32(reinterpret_cast<const float*>(row), dim, run_queries.data(), count, sums.data());
        }
      } else {
        for (std::size_t j = 0; j < dim; ++j) {
          const unsigned char* value = row + static_cast<std::ptrdiff_t>(j) * rows.column_stride;
          if (rows.is_f64) {
            std::memcpy(&widened[j], value, sizeof(double));
          } else {
            float narrow;
            std::memcpy(&narrow, value, sizeof narrow);
            widened[j] = narrow;  // exact
          }
        }
        kernels.row_dots_f64(widened.data(), dim, run_queries.data(), count, sums.data());
      }
      const double x_norm = std::sqrt(sums[0]);
      for (std::size_t j = 0; j < count; ++j) {
        const std::size_t i = by_row[first + j];
        out[i] = sums[1 + j] / (x_norm * query_norms[static_cast<std::size_t>(pair_query[i])]);
      }
    }
  });
}

}  // namespace velmora

#include "engine/partition.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>

#include "engine/batch_search.h"
#include "engine/encode.h"
#include "engine/error_bound.h"
#include "engine/invariant.h"
#include "engine/pool.h"
#include "engine/pruned_pass.h"
#include "engine/quantizer.h"
#include "engine/rotation.h"
#include "engine/search_constants.h"

namespace velmora {

namespace {

// k-means trains on at most this many records per list (spread evenly over
// the store), for this many rounds of assignment and update.
constexpr std::size_t kTrainingPerList = 64;
constexpr std::size_t kRounds = 10;
// Records decoded and scored against the centroids at once.
constexpr std::size_t kPointChunk = 64;
// The default probes: the fewest lists in which, on this many of the store's
// own records taken as queries (leaving each out of its own answer), the
// flat search's top kCalibrationK are found at least kCalibrationRecall of
// the time, times kProbeMargin for queries unlike the records.
constexpr std::size_t kCalibrationQueries = 256;
constexpr std::size_t kCalibrationK = 10;
constexpr double kCalibrationRecall = 0.99;
constexpr double kProbeMargin = 1.5;
// A probed search splits a list into ranges of at most this many blocks.
constexpr std::size_t kProbeRangeBlocks = 64;

// out[p * rows + r] = the dot product, in the fixed eight-lane order, of
// centroid r and point p (rows of dim floats): the rotation's batch kernel
// with the centroids for rows, the same bits at every level.
void centroid_dots(const float* centroids, std::size_t rows, std::size_t dim, const float* points, std::size_t count,
                   float* out) {
  rotation_kernels().rotate_batch(centroids, rows, dim, points, count, out);
}

// The greatest of `rows` scores: its row (the first of equal ones) and value.
std::uint32_t argmax(const float* scores, std::size_t rows, float* best) {
  std::uint32_t at = 0;
  for (std::size_t r = 1; r < rows; ++r) {
    if (scores[r] > scores[at]) at = static_cast<std::uint32_t>(r);
  }
  *best = scores[at];
  return at;
}

// The decoded levels of the record at a position.
void decode(const BlockedCodes& codes, std::size_t position, const std::vector<float>& levels, std::uint8_t* scratch,
            float* out) {
  codes.indices(position, scratch);
  for (std::size_t i = 0; i < codes.dim(); ++i) out[i] = levels[scratch[i]];
}

// Each position's nearest centroid and its dot product.
struct Assignment {
  std::vector<std::uint32_t> list;
  std::vector<float> score;
};

Assignment assign(const BlockedCodes& codes, const std::vector<std::size_t>& positions,
                  const std::vector<float>& levels, const std::vector<float>& centroids, std::size_t lists) {
  const std::size_t dim = codes.dim(), n = positions.size();
  Assignment out{std::vector<std::uint32_t>(n), std::vector<float>(n)};
  const std::size_t chunks = (n + kPointChunk - 1) / kPointChunk;
  parallel_for(chunks, [&](std::size_t c0, std::size_t c1) {
    std::vector<std::uint8_t> scratch(dim);
    std::vector<float> points(kPointChunk * dim), dots(kPointChunk * lists);
    for (std::size_t c = c0; c < c1; ++c) {
      const std::size_t first = c * kPointChunk, count = std::min(kPointChunk, n - first);
      for (std::size_t i = 0; i < count; ++i) {
        decode(codes, positions[first + i], levels, scratch.data(), points.data() + i * dim);
      }
      centroid_dots(centroids.data(), lists, dim, points.data(), count, dots.data());
      for (std::size_t i = 0; i < count; ++i) {
        out.list[first + i] = argmax(dots.data() + i * lists, lists, &out.score[first + i]);
      }
    }
  });
  return out;
}

// `sum` (dim doubles) scaled to unit length, as floats into `out`; false for a zero sum.
bool normalised(const double* sum, std::size_t dim, float* out) {
  double squares = 0.0;
  for (std::size_t i = 0; i < dim; ++i) squares += sum[i] * sum[i];
  if (!(squares > 0.0)) return false;
  const double length = std::sqrt(squares);
  for (std::size_t i = 0; i < dim; ++i) out[i] = static_cast<float>(sum[i] / length);
  return true;
}

// The unit direction of the record at a position.
void unit_direction(const BlockedCodes& codes, std::size_t position, const std::vector<float>& levels, float* out) {
  const std::size_t dim = codes.dim();
  std::vector<std::uint8_t> scratch(dim);
  std::vector<float> point(dim);
  decode(codes, position, levels, scratch.data(), point.data());
  std::vector<double> sum(point.begin(), point.end());
  if (!normalised(sum.data(), dim, out)) std::fill(out, out + dim, 0.0f);
}

// New centroids: the normalised sum of each list's points, in position order
// (so that the thread count does not matter). A list left without points
// takes the point farthest from its centroid that no other list took.
std::vector<float> update(const BlockedCodes& codes, const std::vector<std::size_t>& positions,
                          const std::vector<float>& levels, const Assignment& assigned, std::size_t lists) {
  const std::size_t dim = codes.dim(), n = positions.size();
  std::vector<std::size_t> start(lists + 1, 0), members(n);
  for (std::uint32_t list : assigned.list) ++start[list + 1];
  for (std::size_t l = 0; l < lists; ++l) start[l + 1] += start[l];
  std::vector<std::size_t> fill(start.begin(), start.end() - 1);
  for (std::size_t i = 0; i < n; ++i) members[fill[assigned.list[i]]++] = i;
  std::vector<float> centroids(lists * dim);
  std::vector<char> empty(lists, 0);
  parallel_for(lists, [&](std::size_t l0, std::size_t l1) {
    std::vector<std::uint8_t> scratch(dim);
    std::vector<float> point(dim);
    std::vector<double> sum(dim);
    for (std::size_t l = l0; l < l1; ++l) {
      std::fill(sum.begin(), sum.end(), 0.0);
      for (std::size_t m = start[l]; m < start[l + 1]; ++m) {
        decode(codes, positions[members[m]], levels, scratch.data(), point.data());
        for (std::size_t i = 0; i < dim; ++i) sum[i] += point[i];
      }
      empty[l] = !normalised(sum.data(), dim, centroids.data() + l * dim);
    }
  });
  if (std::find(empty.begin(), empty.end(), 1) == empty.end()) return centroids;
  std::vector<std::size_t> farthest(n);
  for (std::size_t i = 0; i < n; ++i) farthest[i] = i;
  std::sort(farthest.begin(), farthest.end(), [&](std::size_t a, std::size_t b) {
    return assigned.score[a] < assigned.score[b] || (assigned.score[a] == assigned.score[b] && a < b);
  });
  std::size_t next = 0;
  for (std::size_t l = 0; l < lists; ++l) {
    if (empty[l]) unit_direction(codes, positions[farthest[next++ % n]], levels, centroids.data() + l * dim);
  }
  return centroids;
}

// The list order of a query: by centroid dot product, greatest first; only
// the first `leading` are in order when fewer than all are asked for.
std::vector<std::uint32_t> order_lists(const std::vector<float>& centroids, std::size_t lists, const float* rotated,
                                       std::size_t leading = static_cast<std::size_t>(-1)) {
  const std::size_t dim = centroids.size() / lists;
  std::vector<float> dots(lists);
  centroid_dots(centroids.data(), lists, dim, rotated, 1, dots.data());
  std::vector<std::uint32_t> order(lists);
  for (std::size_t l = 0; l < lists; ++l) order[l] = static_cast<std::uint32_t>(l);
  const auto nearer = [&](std::uint32_t a, std::uint32_t b) {
    return dots[a] > dots[b] || (dots[a] == dots[b] && a < b);
  };
  if (leading >= lists) {
    std::sort(order.begin(), order.end(), nearer);
  } else {
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(leading), order.end(), nearer);
  }
  return order;
}

// A query made of records in the rotated space: the sum of their decoded
// levels, each scaled to unit length.
QueryLut records_as_query(const BlockedCodes& codes, const std::size_t* positions, std::size_t count,
                          const std::vector<float>& levels) {
  const std::size_t dim = codes.dim();
  std::vector<float> direction(dim), query(dim, 0.0f);
  for (std::size_t i = 0; i < count; ++i) {
    unit_direction(codes, positions[i], levels, direction.data());
    for (std::size_t j = 0; j < dim; ++j) query[j] += direction[j];
  }
  const float norm = vector_norm(query.data(), dim);
  return table_for_rotated(std::move(query), codes.bits(), levels, norm);
}

// The default probes of records about to be laid out in lists (list_of[r]
// the list of the record at positions[r]), measured as kCalibration* say on
// two kinds of queries: records themselves, and the midpoints of two records
// far apart in storage (most often of unrelated ones, as a query is of the
// records it is near). The records a query is made of are left out of its
// answer.
std::uint32_t calibrate_probes(const CompressedVectorStore& store, const std::vector<std::size_t>& positions,
                               const std::vector<std::uint32_t>& list_of, const std::vector<float>& centroids,
                               std::size_t lists, const std::vector<float>& levels) {
  const std::size_t n = positions.size();
  const std::size_t k = std::min(kCalibrationK, n > 2 ? n - 2 : 0);
  if (lists == 1 || k == 0) return static_cast<std::uint32_t>(lists);
  const std::size_t count = std::min(n, kCalibrationQueries);
  const StoredEntries entries = store.stored_entries();
  // Query i is made of parts[i] (one record, or two for every odd i).
  std::vector<std::array<std::size_t, 2>> parts(count);
  std::vector<QueryLut> luts(count);
  parallel_for(count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const std::size_t r = i * n / count;
      parts[i] = {positions[r], positions[(r + n / 2) % n]};
      luts[i] = records_as_query(*entries.codes, parts[i].data(), i % 2 == 0 ? 1 : 2, levels);
    }
  });
  const std::size_t wanted = k + 2;
  std::vector<std::uint64_t> ids(count * wanted);
  std::vector<float> scores(count * wanted);
  search_tables(store.record_view(), luts, wanted, nullptr, ids.data(), scores.data());
  std::vector<std::uint32_t> list_at(store.position_count(), 0);
  for (std::size_t r = 0; r < n; ++r) list_at[positions[r]] = list_of[r];
  // ranks[i]: the rank, in query i's order of lists, of the list of each answer.
  std::vector<std::vector<std::size_t>> ranks(count);
  parallel_for(count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const std::vector<std::uint32_t> order = order_lists(centroids, lists, luts[i].rotated.data());
      std::vector<std::size_t> rank_of(lists);
      for (std::size_t r = 0; r < lists; ++r) rank_of[order[r]] = r;
      const std::uint64_t own[2] = {entries.ids[parts[i][0]], entries.ids[parts[i][1]]};
      for (std::size_t j = 0; j < wanted && ranks[i].size() < k; ++j) {
        const std::uint64_t id = ids[i * wanted + j];
        if (id == own[0] || (i % 2 == 1 && id == own[1])) continue;
        ranks[i].push_back(rank_of[list_at[store.position_of(id)]]);
      }
    }
  });
  // The fewest probes at which each kind of query finds kCalibrationRecall of its answers.
  std::size_t probes = 1;
  for (std::size_t kind = 0; kind < 2; ++kind) {
    std::vector<std::size_t> found(lists, 0);
    std::size_t total = 0;
    for (std::size_t i = kind; i < count; i += 2) {
      for (std::size_t rank : ranks[i]) ++found[rank];
      total += ranks[i].size();
    }
    std::size_t seen = 0, needed = lists;
    for (std::size_t rank = 0; rank < lists; ++rank) {
      seen += found[rank];
      if (static_cast<double>(seen) >= kCalibrationRecall * static_cast<double>(total)) {
        needed = rank + 1;
        break;
      }
    }
    probes = std::max(probes, needed);
  }
  const double widened = std::ceil(static_cast<double>(probes) * kProbeMargin);
  return static_cast<std::uint32_t>(std::min<double>(static_cast<double>(lists), widened));
}

// The candidates of a list: its records in `allowed` (every one when null).
std::size_t list_candidates(const ListLayout& layout, std::uint32_t list, const PositionSet* allowed) {
  if (allowed == nullptr) return layout.list_size(list);
  std::size_t count = 0;
  for (const BlockRun& run : layout.runs(&list, 1)) {
    for (std::size_t b = run.first_block; b < run.end_block(); ++b) {
      std::uint32_t mask = allowed->block_mask(b);
      if ((b + 1) * kBlockLanes > run.end) mask &= (std::uint32_t{1} << (run.end - b * kBlockLanes)) - 1u;
      count += static_cast<std::size_t>(__builtin_popcount(mask));
    }
  }
  return count;
}

}  // namespace

std::size_t default_list_count(std::size_t n) {
  return std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(std::sqrt(static_cast<double>(n)))));
}

void partition_store(CompressedVectorStore& store, std::size_t lists) {
  const std::vector<std::size_t> positions = store.record_positions();
  const std::size_t n = positions.size();
  VELMORA_CHECK(lists >= 1 && lists <= n, "partition_store: lists out of range");
  const std::vector<float>& levels = get_quantizer(store.dim(), store.bits()).value().codebook->centroids;
  const BlockedCodes& codes = *store.stored_entries().codes;
  const std::size_t dim = store.dim();
  const std::size_t training = std::min(n, std::max(lists, kTrainingPerList * lists));
  std::vector<std::size_t> sample(training);
  for (std::size_t i = 0; i < training; ++i) sample[i] = positions[i * n / training];
  std::vector<float> centroids(lists * dim);
  for (std::size_t l = 0; l < lists; ++l) {
    unit_direction(codes, sample[l * training / lists], levels, centroids.data() + l * dim);
  }
  for (std::size_t round = 0; round < kRounds; ++round) {
    centroids = update(codes, sample, levels, assign(codes, sample, levels, centroids, lists), lists);
  }
  const std::vector<std::uint32_t> list_of = assign(codes, positions, levels, centroids, lists).list;
  const std::uint32_t probes = calibrate_probes(store, positions, list_of, centroids, lists, levels);
  store.arrange_in_lists(lists, std::move(centroids), list_of, probes);
}

std::vector<std::uint32_t> nearest_lists(const ListLayout& layout, const std::vector<float>& levels,
                                         const std::uint8_t* indices, std::size_t n) {
  const std::size_t dim = layout.dim(), lists = layout.list_count();
  std::vector<std::uint32_t> out(n);
  const std::size_t chunks = (n + kPointChunk - 1) / kPointChunk;
  parallel_for(chunks, [&](std::size_t c0, std::size_t c1) {
    std::vector<float> points(kPointChunk * dim), dots(kPointChunk * lists);
    for (std::size_t c = c0; c < c1; ++c) {
      const std::size_t first = c * kPointChunk, count = std::min(kPointChunk, n - first);
      for (std::size_t j = 0; j < count * dim; ++j) points[j] = levels[indices[first * dim + j]];
      centroid_dots(layout.centroids().data(), lists, dim, points.data(), count, dots.data());
      float best;
      for (std::size_t i = 0; i < count; ++i) out[first + i] = argmax(dots.data() + i * lists, lists, &best);
    }
  });
  return out;
}

double record_reach(const float* centroid, const std::vector<float>& levels, const std::uint8_t* indices,
                    std::size_t dim, std::uint16_t error_bound) {
  const double residual = error_bound_value(error_bound);
  if (!std::isfinite(residual)) return -std::numeric_limits<double>::infinity();
  double dot = 0.0, squares = 0.0;
  for (std::size_t i = 0; i < dim; ++i) {
    const double c = centroid[i];
    dot += static_cast<double>(levels[indices[i]]) * c;
    squares += c * c;
  }
  if (!(squares > 0.0)) return -std::numeric_limits<double>::infinity();
  // Each product is exact; the sums' rounding stays far below the margin.
  constexpr double kMargin = 1e-9;
  return dot / std::sqrt(squares) - residual - kMargin;
}

std::vector<std::uint32_t> lists_by_nearness(const ListLayout& layout, const float* rotated, std::size_t leading) {
  return order_lists(layout.centroids(), layout.list_count(), rotated, leading);
}

namespace {

// The probed search with a Sink per query and range (a TopK of exact scores,
// or a TopSums of bound sums), its queries' searches made with `max_norm`
// and each query's candidates ranked by keep(candidates, k).
template <class Sink, class MakeSink, class Keep>
void probed_pass(const CompressedVectorStore& store, const float* queries, std::size_t m, std::size_t k,
                 std::size_t probes, const PositionSet* allowed, float max_norm, MakeSink&& make_sink, Keep&& keep,
                 std::uint64_t* out_ids, float* out_scores) {
  const ListLayout* layout = store.lists();
  VELMORA_CHECK(layout != nullptr, "search_probed: the store is flat");
  const std::size_t lists = layout->list_count();
  // The records by position; each task names its own runs.
  const RecordView view = whole_view(store.dim(), store.bits(), store.max_norm(), store.stored_entries());
  VELMORA_CHECK(k <= (allowed != nullptr ? allowed->count() : store.size()),
                "search: more results asked for than there are candidates");
  if (k == 0 || m == 0) return;
  for (std::size_t q0 = 0; q0 < m; q0 += kPreparedQueries) {
    const std::size_t count = std::min(kPreparedQueries, m - q0);
    const std::vector<QueryLut> luts = prepare_all(view, queries + q0 * view.dim, count);
    // Each query's lists: the nearest `probes`, and more while they hold fewer than k candidates.
    std::vector<std::vector<std::uint32_t>> probed(count);
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t q = begin; q < end; ++q) {
        std::vector<std::uint32_t> order = lists_by_nearness(*layout, luts[q].rotated.data(), probes);
        std::size_t held = 0;
        for (std::size_t r = 0; r < lists && (r < probes || held < k); ++r) {
          // Past the probes (too few candidates), the rest of the lists in order.
          if (r == probes) order = lists_by_nearness(*layout, luts[q].rotated.data());
          probed[q].push_back(order[r]);
          held += list_candidates(*layout, order[r], allowed);
        }
      }
    });
    // Two phases of tasks list by list, each task for the queries that read
    // the list in that phase: first every query's nearest list, then the
    // rest. The tasks of a query share its k best, which the first phase
    // lifts to about its final height, so the second prunes nearly all.
    PassPlan plan;
    plan.queries = count;
    for (std::size_t phase = 0; phase < 2; ++phase) {
      std::vector<std::vector<std::size_t>> readers(lists);
      for (std::size_t q = 0; q < count; ++q) {
        const std::size_t begin = phase == 0 ? 0 : 1, end = phase == 0 ? 1 : probed[q].size();
        for (std::size_t r = begin; r < end; ++r) readers[probed[q][r]].push_back(q);
      }
      for (std::uint32_t list = 0; list < lists; ++list) {
        const std::vector<std::size_t>& members = readers[list];
        if (members.empty()) continue;
        for (const BlockRun& run : layout->runs(&list, 1)) {
          for (std::size_t first = run.first_block; first < run.end_block(); first += kProbeRangeBlocks) {
            const std::size_t last = std::min(run.end_block(), first + kProbeRangeBlocks);
            plan.ranges.push_back({first, std::min(run.end, last * kBlockLanes)});
            for (std::size_t g = 0; g < members.size(); g += kPassGroupQueries) {
              plan.add_task(plan.ranges.size() - 1, members.data() + g,
                            std::min(kPassGroupQueries, members.size() - g));
            }
          }
        }
      }
      plan.end_phase();
    }
    const ScoringKernels& kernels = active_kernels(view.bits);
    std::vector<std::unique_ptr<QuerySearch>> searches(count);
    std::vector<QuerySearch*> pointers(count);
    for (std::size_t q = 0; q < count; ++q) {
      searches[q] = std::make_unique<QuerySearch>(luts[q], max_norm, kernels);
      pointers[q] = searches[q].get();
    }
    run_pruned_pass<Sink>(
        view, plan, pointers.data(), allowed, make_sink, [](std::size_t, const Sink&) {},
        [&](std::size_t q, std::vector<Candidate>& candidates) {
          keep(candidates, k);
          VELMORA_CHECK(candidates.size() == k, "search: fewer candidates than results");
          for (std::size_t j = 0; j < k; ++j) {
            out_ids[(q0 + q) * k + j] = view.entries.ids[candidates[j].position];
            out_scores[(q0 + q) * k + j] = candidates[j].score;
          }
        });
  }
}

}  // namespace

void search_probed(const CompressedVectorStore& store, const float* queries, std::size_t m, std::size_t k,
                   std::size_t probes, const PositionSet* allowed, std::uint64_t* out_ids, float* out_scores) {
  const ListLayout* layout = store.lists();
  VELMORA_CHECK(layout != nullptr, "search_probed: the store is flat");
  // Probing every list is the search of all of them, whose passes group the queries better.
  if (probes >= layout->list_count()) {
    return search_batch(store.record_view(), queries, m, k, allowed, out_ids, out_scores);
  }
  probed_pass<TopK>(
      store, queries, m, k, probes, allowed, store.max_norm(), [k](std::size_t) { return TopK(k); },
      [](std::vector<Candidate>& candidates, std::size_t count) { keep_best(candidates, count); }, out_ids, out_scores);
}

namespace {

// Each query's table, prepared on the pool, one at a time.
QueryLut table_of(const CompressedVectorStore& store, const float* query) {
  return prepare_query(FloatView(query, store.dim()), store.dim(), store.bits()).value();
}

}  // namespace

void rerank_candidates(const CompressedVectorStore& store, const float* queries, std::size_t m, std::size_t c,
                       std::size_t probes, const PositionSet* allowed, std::uint64_t* out_ids, float* out_keys) {
  const ListLayout* layout = store.lists();
  if (layout != nullptr && probes > 0 && probes < layout->list_count()) {
    const std::uint64_t* ids = store.stored_entries().ids;
    const TopSums order(c, ids);
    return probed_pass<TopSums>(
        store, queries, m, c, probes, allowed, 1.0f, [&](std::size_t) { return TopSums(c, ids); },
        [&](std::vector<Candidate>& candidates, std::size_t) { order.keep_best(candidates); }, out_ids, out_keys);
  }
  const RecordView view = store.record_view();
  VELMORA_CHECK(c <= candidate_count(view, allowed), "search: more results asked for than there are candidates");
  if (c == 0 || m == 0) return;
  for (std::size_t q0 = 0; q0 < m; q0 += kPreparedQueries) {
    const std::size_t count = std::min(kPreparedQueries, m - q0);
    const std::vector<std::vector<Candidate>> found =
        bound_sum_candidates(view, prepare_all(view, queries + q0 * view.dim, count), c, allowed);
    for (std::size_t q = 0; q < count; ++q) {
      VELMORA_CHECK(found[q].size() == c, "search: fewer candidates than results");
      for (std::size_t j = 0; j < c; ++j) {
        out_ids[(q0 + q) * c + j] = view.entries.ids[found[q][j].position];
        out_keys[(q0 + q) * c + j] = found[q][j].score;
      }
    }
  }
}

std::vector<ExactPass> exact_pass_lists(const CompressedVectorStore& store, const float* queries, std::size_t m,
                                        std::size_t first_count, std::size_t k, const PositionSet* allowed) {
  const ListLayout* layout = store.lists();
  VELMORA_CHECK(layout != nullptr, "exact_pass_lists: the store is flat");
  std::vector<ExactPass> out(m);
  const std::size_t dim = store.dim();
  for (std::size_t q = 0; q < m; ++q) {
    const QueryLut lut = table_of(store, queries + q * dim);
    const std::size_t probes = layout->default_probes();
    const std::vector<std::uint32_t> order = lists_by_nearness(*layout, lut.rotated.data());
    // The default lists, and more while they hold fewer than the first candidates.
    std::size_t read = 0, held = 0;
    while (read < order.size() && (read < probes || held < first_count)) {
      held += list_candidates(*layout, order[read++], allowed);
    }
    std::vector<ExactPass> pass =
        exact_pass(store.lists_view(order.data(), read), queries + q * dim, 1, first_count, k, allowed);
    out[q] = std::move(pass[0]);
    out[q].others.clear();
    out[q].others_upper.clear();
    out[q].assumed = std::numeric_limits<double>::infinity();
  }
  return out;
}

std::vector<std::vector<std::size_t>> positions_to_read_lists(const CompressedVectorStore& store, const float* queries,
                                                              std::size_t m, const double* taus,
                                                              const PositionSet* allowed) {
  const ListLayout* layout = store.lists();
  VELMORA_CHECK(layout != nullptr, "positions_to_read_lists: the store is flat");
  std::vector<std::vector<std::size_t>> out(m);
  const std::size_t dim = store.dim(), lists = layout->list_count();
  std::vector<double> lengths(lists);
  for (std::size_t l = 0; l < lists; ++l) {
    const float* c = layout->centroids().data() + l * dim;
    double squares = 0.0;
    for (std::size_t i = 0; i < dim; ++i) squares += static_cast<double>(c[i]) * c[i];
    lengths[l] = std::sqrt(squares);
  }
  for (std::size_t q = 0; q < m; ++q) {
    const QueryLut lut = table_of(store, queries + q * dim);
    const CosineUpperBound bound(lut);
    std::vector<std::uint32_t> read;
    for (std::uint32_t l = 0; l < lists; ++l) {
      if (layout->list_size(l) == 0) continue;
      const float* c = layout->centroids().data() + static_cast<std::size_t>(l) * dim;
      double along = 0.0;
      for (std::size_t i = 0; i < dim; ++i) along += static_cast<double>(lut.rotated[i]) * c[i];
      if (bound.beyond(along / lengths[l], layout->reach(l)) >= taus[q]) read.push_back(l);
    }
    if (read.empty()) continue;
    out[q] = std::move(
        positions_to_read(store.lists_view(read.data(), read.size()), queries + q * dim, 1, taus + q, allowed)[0]);
  }
  return out;
}

}  // namespace velmora

#include "engine/batch_search.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>

#include "engine/invariant.h"
#include "engine/pool.h"
#include "engine/ranking.h"
#include "engine/similarity.h"
#include "engine/top_k.h"

namespace velmora {

namespace {

// Exact scores of every candidate (the full-ranking path): queries that
// share one pass over the codes are as many as have their tables (dim << bits
// floats each) fit in a quarter of an L1 data cache together, so that
// switching between them costs no table reloads; the chunk of codes they
// share stays in L2.
constexpr std::size_t kGroupTableBytes = std::size_t{8} << 10;
constexpr std::size_t kMaxGroupQueries = 8;
constexpr std::size_t kChunkCodeBytes = std::size_t{256} << 10;
// Scores computed per kernel call: few enough (4 KiB) to stay in L1 beside the tables.
constexpr std::size_t kScoreRun = 1024;
// The pruned path: queries that share each bound pass, and the fewest blocks
// a range is split into (a range warms up its own k best before it prunes).
constexpr std::size_t kPrunedGroupQueries = kernels::kMaxBoundQueries;
constexpr std::size_t kPrunedRangeBlocks = 128;
// Queries whose tables are prepared at once: few enough that their tables
// (about 20 KiB each at dim 128) are still in L2 when their group runs, and
// enough for a group per task on a few threads.
constexpr std::size_t kBatchQueries = 64;
// Scores held at once by the full-ranking path.
constexpr std::size_t kFullRankScores = std::size_t{1} << 23;

// How one batch of queries is split into tasks: each task searches a range
// of blocks for a group of queries.
struct Plan {
  std::size_t group = 0;         // queries per group
  std::size_t groups = 0;        // query groups
  std::size_t ranges = 0;        // block ranges
  std::size_t range_blocks = 0;  // blocks per range (the last may hold fewer)
  std::size_t blocks = 0;
  std::size_t queries = 0;

  // Task t of groups * ranges: which queries and which blocks it covers.
  struct Task {
    std::size_t range, q_begin, q_end, b_begin, b_end;
  };
  Task task(std::size_t t) const {
    Task task;
    task.range = t % ranges;
    task.q_begin = t / ranges * group;
    task.q_end = std::min(queries, task.q_begin + group);
    task.b_begin = std::min(blocks, task.range * range_blocks);
    task.b_end = std::min(blocks, task.b_begin + range_blocks);
    return task;
  }
};

Plan plan_for(std::size_t queries, std::size_t group, std::size_t positions, std::size_t min_range_blocks) {
  Plan plan;
  plan.blocks = (positions + kBlockLanes - 1) / kBlockLanes;
  plan.group = group;
  plan.queries = queries;
  plan.groups = (queries + plan.group - 1) / plan.group;
  // Enough tasks to keep every thread busy, but ranges of at least min_range_blocks.
  const std::size_t wanted = 4 * configured_thread_count();
  const std::size_t max_ranges = std::max<std::size_t>(1, (plan.blocks + min_range_blocks - 1) / min_range_blocks);
  plan.ranges = std::min(max_ranges, std::max<std::size_t>(1, (wanted + plan.groups - 1) / plan.groups));
  plan.range_blocks = (plan.blocks + plan.ranges - 1) / plan.ranges;
  return plan;
}

// Scores blocks [block_begin, block_end) for queries [q_begin, q_end), one
// chunk of blocks at a time for every query of the group, skipping blocks
// without an allowed position. consume(q, begin, end, scores) receives the
// scores of positions [begin, end).
template <class Consume>
void scan(const std::vector<ExactScorer>& scorers, std::size_t q_begin, std::size_t q_end, const StoredEntries& entries,
          const PositionSet* allowed, std::size_t block_begin, std::size_t block_end, std::size_t chunk_blocks,
          Consume&& consume) {
  float scores[kScoreRun];
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  for (std::size_t c0 = block_begin; c0 < block_end; c0 += chunk_blocks) {
    const std::size_t c1 = std::min(block_end, c0 + chunk_blocks);
    runs.clear();
    if (allowed == nullptr) {
      runs.emplace_back(c0, c1);
    } else {
      for (std::size_t b = c0; b < c1; ++b) {
        if (allowed->block_mask(b) == 0) continue;
        if (!runs.empty() && runs.back().second == b) {
          runs.back().second = b + 1;
        } else {
          runs.emplace_back(b, b + 1);
        }
      }
    }
    for (std::size_t q = q_begin; q < q_end; ++q) {
      for (const auto& run : runs) {
        const std::size_t run_end = std::min(run.second * kBlockLanes, entries.count);
        for (std::size_t begin = run.first * kBlockLanes; begin < run_end; begin += kScoreRun) {
          const std::size_t end = std::min(run_end, begin + kScoreRun);
          scorers[q].score_range(entries, begin, end, scores);
          consume(q, begin, end, scores);
        }
      }
    }
  }
}

std::size_t table_bytes(const CompressedVectorStore& store) { return (store.dim() << store.bits()) * sizeof(float); }

// Every query's table in the form the exact kernel reads (they refer to luts).
std::vector<ExactScorer> scorers_for(const std::vector<QueryLut>& luts, std::uint8_t bits) {
  std::vector<ExactScorer> scorers;
  scorers.reserve(luts.size());
  for (const QueryLut& lut : luts) scorers.emplace_back(lut, active_kernels(bits));
  return scorers;
}

// Few candidates per result: the pruned search of CompressedVectorStore::query,
// a group of queries sharing each pass of the bound over a range of blocks,
// each query with a running top k per range; then the ranges' winners merged.
void search_pruned(const CompressedVectorStore& store, const float* queries, std::size_t m, std::size_t k,
                   const PositionSet* allowed, std::uint64_t* out_ids, float* out_scores) {
  const StoredEntries entries = store.stored_entries();
  const std::vector<QueryLut> luts = prepare_all(store, queries, m);
  const ScoringKernels& kernels = active_kernels(store.bits());
  std::vector<std::unique_ptr<QuerySearch>> searches(m);
  parallel_for(m, [&](std::size_t begin, std::size_t end) {
    for (std::size_t q = begin; q < end; ++q) {
      searches[q] = std::make_unique<QuerySearch>(luts[q], store.max_norm(), kernels);
    }
  });
  const Plan plan = plan_for(m, kPrunedGroupQueries, entries.count, kPrunedRangeBlocks);
  std::vector<std::vector<Candidate>> kept(m * plan.ranges);
  parallel_for(plan.groups * plan.ranges, [&](std::size_t t0, std::size_t t1) {
    for (std::size_t t = t0; t < t1; ++t) {
      const auto [range, q_begin, q_end, b_begin, b_end] = plan.task(t);
      std::vector<TopK> best(q_end - q_begin, TopK(k));
      std::vector<QuerySearch*> members;
      for (std::size_t q = q_begin; q < q_end; ++q) members.push_back(searches[q].get());
      search_blocks(members.data(), members.size(), entries, allowed, b_begin, b_end, best.data());
      for (std::size_t q = q_begin; q < q_end; ++q) kept[q * plan.ranges + range] = best[q - q_begin].kept();
    }
  });
  parallel_for(m, [&](std::size_t begin, std::size_t end) {
    for (std::size_t q = begin; q < end; ++q) {
      std::vector<Candidate> candidates;
      for (std::size_t r = 0; r < plan.ranges; ++r) {
        const std::vector<Candidate>& part = kept[q * plan.ranges + r];
        candidates.insert(candidates.end(), part.begin(), part.end());
      }
      keep_best(candidates, k);
      VELMORA_CHECK(candidates.size() == k, "search: fewer candidates than results");
      for (std::size_t j = 0; j < k; ++j) {
        out_ids[q * k + j] = entries.ids[candidates[j].position];
        out_scores[q * k + j] = candidates[j].score;
      }
    }
  });
}

// Many results per candidate: rank every candidate's score, as
// CompressedVectorStore::query does when k * 8 exceeds the store's size.
void search_full_rank(const CompressedVectorStore& store, const float* queries, std::size_t m, std::size_t k,
                      const PositionSet* allowed, std::uint64_t* out_ids, float* out_scores) {
  const StoredEntries entries = store.stored_entries();
  const std::size_t n = entries.count;
  // Candidate c is position positions[c]; without a filter, c itself.
  std::vector<std::size_t> positions;
  if (allowed != nullptr) {
    positions.reserve(allowed->count());
    for (std::size_t p = 0; p < n; ++p) {
      if (allowed->contains(p)) positions.push_back(p);
    }
  }
  const std::size_t candidates = allowed != nullptr ? positions.size() : n;
  const std::vector<QueryLut> luts = prepare_all(store, queries, m);
  const std::vector<ExactScorer> scorers = scorers_for(luts, store.bits());
  const std::size_t group_size =
      std::min(kMaxGroupQueries, std::max<std::size_t>(1, kGroupTableBytes / table_bytes(store)));
  const std::size_t chunk_blocks = std::max<std::size_t>(1, kChunkCodeBytes / entries.codes->block_bytes());
  const Plan plan = plan_for(m, group_size, n, chunk_blocks);
  std::vector<float> scores(m * candidates);
  parallel_for(plan.groups * plan.ranges, [&](std::size_t t0, std::size_t t1) {
    for (std::size_t t = t0; t < t1; ++t) {
      const Plan::Task task = plan.task(t);
      const std::size_t q_begin = task.q_begin, b_begin = task.b_begin;
      // The candidate number of the range's first position, per query of the group.
      const std::size_t base =
          allowed == nullptr
              ? b_begin * kBlockLanes
              : static_cast<std::size_t>(std::lower_bound(positions.begin(), positions.end(), b_begin * kBlockLanes) -
                                         positions.begin());
      std::vector<std::size_t> next(task.q_end - q_begin, base);
      scan(scorers, q_begin, task.q_end, entries, allowed, b_begin, task.b_end, chunk_blocks,
           [&](std::size_t q, std::size_t begin, std::size_t end, const float* chunk) {
             float* row = scores.data() + q * candidates;
             std::size_t& c = next[q - q_begin];
             for (std::size_t p = begin; p < end; ++p) {
               if (allowed == nullptr || allowed->contains(p)) row[c++] = chunk[p - begin];
             }
           });
    }
  });
  parallel_for(m, [&](std::size_t begin, std::size_t end) {
    for (std::size_t q = begin; q < end; ++q) {
      const float* row = scores.data() + q * candidates;
      const std::vector<std::size_t> order = rank_by_score(row, candidates);
      for (std::size_t j = 0; j < k; ++j) {
        const std::size_t position = allowed != nullptr ? positions[order[j]] : order[j];
        out_ids[q * k + j] = entries.ids[position];
        out_scores[q * k + j] = row[order[j]];
      }
    }
  });
}

}  // namespace

std::vector<QueryLut> prepare_all(const CompressedVectorStore& store, const float* queries, std::size_t m) {
  std::vector<QueryLut> luts(m);
  const std::size_t dim = store.dim();
  parallel_for(m, [&](std::size_t begin, std::size_t end) {
    for (std::size_t q = begin; q < end; ++q) {
      Result<QueryLut> lut = prepare_query(FloatView(queries + q * dim, dim), dim, store.bits());
      VELMORA_CHECK(lut.ok(), "search: a store exists for an unsupported dimension or bit width");
      luts[q] = std::move(lut).value();
    }
  });
  return luts;
}

void search_batch(const CompressedVectorStore& store, const float* queries, std::size_t m, std::size_t k,
                  const PositionSet* allowed, std::uint64_t* out_ids, float* out_scores) {
  const std::size_t candidates = allowed != nullptr ? allowed->count() : store.size();
  VELMORA_CHECK(k <= candidates, "search: more results asked for than there are candidates");
  if (k == 0 || m == 0) return;
  const std::size_t dim = store.dim();
  const bool full_rank = k * 8 > candidates;
  const std::size_t batch =
      full_rank ? std::max<std::size_t>(1, std::min(kBatchQueries, kFullRankScores / candidates)) : kBatchQueries;
  for (std::size_t q0 = 0; q0 < m; q0 += batch) {
    const std::size_t count = std::min(batch, m - q0);
    (full_rank ? search_full_rank : search_pruned)(store, queries + q0 * dim, count, k, allowed, out_ids + q0 * k,
                                                   out_scores + q0 * k);
  }
}

namespace {

// One pass of table sums for every query (scores are table sums: query norm
// 1 and stored norm 1 make a score fl(S / fl(1 + 1e-12)) = S exactly, so the
// exact kernels and the bound give table sums), each query and range of
// blocks keeping its candidates in a Sink made by make_sink(q). Returns the
// searches (for scoring more positions) and each query's candidates; done(q,
// range, sink) sees every sink before it goes.
template <class Sink, class MakeSink, class Done>
std::vector<std::vector<Candidate>> table_sum_pass(const CompressedVectorStore& store,
                                                   const std::vector<QueryLut>& luts, const PositionSet* allowed,
                                                   MakeSink&& make_sink, Done&& done,
                                                   const std::vector<std::size_t>& always = {}) {
  const std::size_t m = luts.size();
  std::vector<std::vector<Candidate>> out(m);
  const StoredEntries stored = store.stored_entries();
  if (m == 0 || stored.count == 0) return out;
  std::vector<float> ones(stored.count, 1.0f);
  StoredEntries entries = stored;
  entries.norms = ones.data();
  std::vector<QueryLut> sum_luts(luts);
  for (QueryLut& lut : sum_luts) lut.query_norm = 1.0f;
  const ScoringKernels& kernels = active_kernels(store.bits());
  std::vector<std::unique_ptr<QuerySearch>> searches(m);
  parallel_for(m, [&](std::size_t begin, std::size_t end) {
    for (std::size_t q = begin; q < end; ++q) searches[q] = std::make_unique<QuerySearch>(sum_luts[q], 1.0f, kernels);
  });
  const Plan plan = plan_for(m, kPrunedGroupQueries, entries.count, kPrunedRangeBlocks);
  std::vector<std::vector<Candidate>> kept(m * plan.ranges);
  parallel_for(plan.groups * plan.ranges, [&](std::size_t t0, std::size_t t1) {
    for (std::size_t t = t0; t < t1; ++t) {
      const auto [range, q_begin, q_end, b_begin, b_end] = plan.task(t);
      std::vector<Sink> found;
      found.reserve(q_end - q_begin);
      std::vector<QuerySearch*> members;
      for (std::size_t q = q_begin; q < q_end; ++q) {
        found.push_back(make_sink(q));
        members.push_back(searches[q].get());
      }
      search_blocks(members.data(), members.size(), entries, allowed, b_begin, b_end, found.data());
      for (std::size_t q = q_begin; q < q_end; ++q) {
        kept[q * plan.ranges + range] = found[q - q_begin].kept();
        done(q, range, found[q - q_begin]);
      }
    }
  });
  parallel_for(m, [&](std::size_t begin, std::size_t end) {
    float sums[kernels::kMaxScatteredLanes];
    for (std::size_t q = begin; q < end; ++q) {
      for (std::size_t r = 0; r < plan.ranges; ++r) {
        const std::vector<Candidate>& part = kept[q * plan.ranges + r];
        out[q].insert(out[q].end(), part.begin(), part.end());
      }
      for (std::size_t first = 0; first < always.size(); first += kernels::kMaxScatteredLanes) {
        const std::size_t count = std::min(kernels::kMaxScatteredLanes, always.size() - first);
        searches[q]->scorer().score_scattered(entries, always.data() + first, count, sums);
        for (std::size_t j = 0; j < count; ++j) out[q].push_back({sums[j], always[first + j]});
      }
    }
  });
  return out;
}

}  // namespace

std::vector<std::vector<Candidate>> table_sums_at_least(const CompressedVectorStore& store,
                                                        const std::vector<QueryLut>& luts, const float* floors,
                                                        const PositionSet* allowed,
                                                        const std::vector<std::size_t>& always) {
  return table_sum_pass<AtLeast>(
      store, luts, allowed, [&](std::size_t q) { return AtLeast(floors[q]); },
      [](std::size_t, std::size_t, const AtLeast&) {}, always);
}

std::vector<std::vector<Candidate>> table_sums_with_top(const CompressedVectorStore& store,
                                                        const std::vector<QueryLut>& luts,
                                                        const std::vector<CosineUpperBound>& bounds, std::size_t k,
                                                        double largest_residual, double slack,
                                                        const PositionSet* allowed, std::vector<double>* assumed,
                                                        const std::vector<std::size_t>& always) {
  const std::size_t m = luts.size();
  assumed->assign(m, -std::numeric_limits<double>::infinity());
  std::mutex assumed_mutex;
  return table_sum_pass<TopAndAbove>(
      store, luts, allowed, [&](std::size_t q) { return TopAndAbove(k, bounds[q], largest_residual, slack); },
      [&](std::size_t q, std::size_t, const TopAndAbove& sink) {
        std::lock_guard<std::mutex> lock(assumed_mutex);
        (*assumed)[q] = std::max((*assumed)[q], sink.assumed());
      },
      always);
}

}  // namespace velmora

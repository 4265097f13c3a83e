#include "engine/batch_search.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>

#include "engine/codebook.h"
#include "engine/encode.h"
#include "engine/invariant.h"
#include "engine/pool.h"
#include "engine/pruned_pass.h"
#include "engine/quantizer.h"
#include "engine/ranking.h"
#include "engine/rotation.h"
#include "engine/search_constants.h"
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
// Scores held at once by the full-ranking path.
constexpr std::size_t kFullRankScores = std::size_t{1} << 23;

// Scores the blocks of `range` for queries [q_begin, q_end), one chunk of
// blocks at a time for every query of the group, skipping blocks without an
// allowed position. consume(q, begin, end, scores) receives the scores of
// positions [begin, end).
template <class Consume>
void scan(const std::vector<ExactScorer>& scorers, std::size_t q_begin, std::size_t q_end, const StoredEntries& entries,
          const PositionSet* allowed, const BlockRun& range, std::size_t chunk_blocks, Consume&& consume) {
  float scores[kScoreRun];
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  for (std::size_t c0 = range.first_block; c0 < range.end_block(); c0 += chunk_blocks) {
    const std::size_t c1 = std::min(range.end_block(), c0 + chunk_blocks);
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
        const std::size_t run_end = std::min(run.second * kBlockLanes, range.end);
        for (std::size_t begin = run.first * kBlockLanes; begin < run_end; begin += kScoreRun) {
          const std::size_t end = std::min(run_end, begin + kScoreRun);
          scorers[q].score_range(entries, begin, end, scores);
          consume(q, begin, end, scores);
        }
      }
    }
  }
}

// Every query's table in the form the exact kernel reads (they refer to luts).
std::vector<ExactScorer> scorers_for(const std::vector<QueryLut>& luts, std::uint8_t bits) {
  std::vector<ExactScorer> scorers;
  scorers.reserve(luts.size());
  for (const QueryLut& lut : luts) scorers.emplace_back(lut, active_kernels(bits));
  return scorers;
}

// Each query's search state, made on the pool.
std::vector<std::unique_ptr<QuerySearch>> searches_for(const std::vector<QueryLut>& luts, float max_norm,
                                                       std::uint8_t bits) {
  const ScoringKernels& kernels = active_kernels(bits);
  std::vector<std::unique_ptr<QuerySearch>> searches(luts.size());
  parallel_for(luts.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t q = begin; q < end; ++q) searches[q] = std::make_unique<QuerySearch>(luts[q], max_norm, kernels);
  });
  return searches;
}

std::vector<QuerySearch*> pointers(const std::vector<std::unique_ptr<QuerySearch>>& searches) {
  std::vector<QuerySearch*> out;
  out.reserve(searches.size());
  for (const auto& search : searches) out.push_back(search.get());
  return out;
}

// Few candidates per result: the pruned search of CompressedVectorStore::query,
// a group of queries sharing each pass of the bound over a range of blocks,
// each query with a running top k per range; then the ranges' winners merged.
void search_pruned(const RecordView& view, const std::vector<QueryLut>& luts, std::size_t k, const PositionSet* allowed,
                   std::uint64_t* out_ids, float* out_scores) {
  const std::size_t m = luts.size();
  const std::vector<std::unique_ptr<QuerySearch>> searches = searches_for(luts, view.max_norm, view.bits);
  const std::vector<QuerySearch*> members = pointers(searches);
  const PassPlan plan = plan_pass(view, m, kPassGroupQueries);
  run_pruned_pass<TopK>(
      view, plan, members.data(), allowed, [k](std::size_t) { return TopK(k); }, [](std::size_t, const TopK&) {},
      [&](std::size_t q, std::vector<Candidate>& candidates) {
        keep_best(candidates, k);
        VELMORA_CHECK(candidates.size() == k, "search: fewer candidates than results");
        for (std::size_t j = 0; j < k; ++j) {
          out_ids[q * k + j] = view.entries.ids[candidates[j].position];
          out_scores[q * k + j] = candidates[j].score;
        }
      });
}

// Many results per candidate: rank every candidate's score, as
// CompressedVectorStore::query does when ranks_every_candidate holds.
void search_full_rank(const RecordView& view, const std::vector<QueryLut>& luts, std::size_t k,
                      const PositionSet* allowed, std::uint64_t* out_ids, float* out_scores) {
  const std::size_t m = luts.size();
  const StoredEntries& entries = view.entries;
  // Candidate c is position positions[c]; for a whole store without a filter, c itself.
  const bool every_position = allowed == nullptr && view.covers_all();
  const std::vector<std::size_t> positions = every_position ? std::vector<std::size_t>() : view.positions(allowed);
  const std::size_t candidates = every_position ? entries.count : positions.size();
  const std::vector<ExactScorer> scorers = scorers_for(luts, view.bits);
  const std::size_t table_bytes = (view.dim << view.bits) * sizeof(float);
  const std::size_t group_size = std::min(kMaxGroupQueries, std::max<std::size_t>(1, kGroupTableBytes / table_bytes));
  const std::size_t chunk_blocks = std::max<std::size_t>(1, kChunkCodeBytes / entries.codes->block_bytes());
  const PassPlan plan = plan_pass(view, m, group_size, chunk_blocks);
  std::vector<float> scores(m * candidates);
  parallel_for(plan.tasks.size(), [&](std::size_t t0, std::size_t t1) {
    for (std::size_t t = t0; t < t1; ++t) {
      const PassPlan::Task& task = plan.tasks[t];
      const BlockRun& range = plan.ranges[task.range];
      // plan_pass gives each task a run of consecutive queries.
      const std::size_t q_begin = plan.members[task.first], q_end = q_begin + task.count;
      // The candidate number of the range's first position, per query of the group.
      const std::size_t base =
          every_position
              ? range.first_position()
              : static_cast<std::size_t>(std::lower_bound(positions.begin(), positions.end(), range.first_position()) -
                                         positions.begin());
      std::vector<std::size_t> next(task.count, base);
      scan(scorers, q_begin, q_end, entries, allowed, range, chunk_blocks,
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
        const std::size_t position = every_position ? order[j] : positions[order[j]];
        out_ids[q * k + j] = entries.ids[position];
        out_scores[q * k + j] = row[order[j]];
      }
    }
  });
}

}  // namespace

std::vector<QueryLut> prepare_all(const RecordView& view, const float* queries, std::size_t m) {
  std::vector<QueryLut> luts(m);
  const std::size_t dim = view.dim;
  if (m == 1) {
    Result<QueryLut> lut = prepare_query(FloatView(queries, dim), dim, view.bits);
    VELMORA_CHECK(lut.ok(), "search: a store exists for an unsupported dimension or bit width");
    luts[0] = std::move(lut).value();
    return luts;
  }
  // prepare_query's tables, the queries rotated a group at a time: one read
  // of the matrix serves the group (the batch kernel gives each vector the
  // bits the one-vector kernel gives it).
  const Quantizer quantizer = quantizer_of_store(dim, view.bits);
  const std::size_t groups = (m + kRotatedTogether - 1) / kRotatedTogether;
  parallel_for(groups, [&](std::size_t begin, std::size_t end) {
    std::vector<float> rotated;
    for (std::size_t g = begin; g < end; ++g) {
      const std::size_t first = g * kRotatedTogether, count = std::min(kRotatedTogether, m - first);
      rotated.resize(count * dim);
      quantizer.rotation->rotate_batch(queries + first * dim, count, rotated.data());
      for (std::size_t i = 0; i < count; ++i) {
        const float* query = queries + (first + i) * dim;
        luts[first + i] =
            table_for_rotated(std::vector<float>(rotated.begin() + static_cast<std::ptrdiff_t>(i * dim),
                                                 rotated.begin() + static_cast<std::ptrdiff_t>((i + 1) * dim)),
                              view.bits, quantizer.codebook->centroids, vector_norm(query, dim));
      }
    }
  });
  return luts;
}

std::size_t candidate_count(const RecordView& view, const PositionSet* allowed) {
  if (view.covers_all()) return allowed != nullptr ? allowed->count() : view.entries.count;
  if (allowed == nullptr) return view.record_count();
  std::size_t count = 0;
  for (const BlockRun& run : view.runs) {
    for (std::size_t b = run.first_block; b < run.end_block(); ++b) {
      std::uint32_t mask = allowed->block_mask(b);
      if (b * kBlockLanes + kBlockLanes > run.end) mask &= (std::uint32_t{1} << (run.end - b * kBlockLanes)) - 1u;
      count += static_cast<std::size_t>(__builtin_popcount(mask));
    }
  }
  return count;
}

void search_batch(const RecordView& view, const float* queries, std::size_t m, std::size_t k,
                  const PositionSet* allowed, std::uint64_t* out_ids, float* out_scores) {
  const std::size_t candidates = candidate_count(view, allowed);
  VELMORA_CHECK(k <= candidates, "search: more results asked for than there are candidates");
  if (k == 0 || m == 0) return;
  const std::size_t dim = view.dim;
  const bool full_rank = ranks_every_candidate(k, candidates);
  const std::size_t batch =
      full_rank ? std::max<std::size_t>(1, std::min(kPreparedQueries, kFullRankScores / candidates)) : kPreparedQueries;
  for (std::size_t q0 = 0; q0 < m; q0 += batch) {
    const std::size_t count = std::min(batch, m - q0);
    (full_rank ? search_full_rank : search_pruned)(view, prepare_all(view, queries + q0 * dim, count), k, allowed,
                                                   out_ids + q0 * k, out_scores + q0 * k);
  }
}

void search_tables(const RecordView& view, const std::vector<QueryLut>& luts, std::size_t k, const PositionSet* allowed,
                   std::uint64_t* out_ids, float* out_scores) {
  const std::size_t candidates = candidate_count(view, allowed);
  VELMORA_CHECK(k <= candidates, "search: more results asked for than there are candidates");
  if (k == 0 || luts.empty()) return;
  (ranks_every_candidate(k, candidates) ? search_full_rank : search_pruned)(view, luts, k, allowed, out_ids,
                                                                            out_scores);
}

namespace {

// One pass of table sums for every query (scores are table sums: query norm
// 1 and stored norm 1 make a score fl(S / fl(1 + 1e-12)) = S exactly, so the
// exact kernels and the bound give table sums), each query and range of
// blocks keeping its candidates in a Sink made by make_sink(q); then the
// table sums of the `always` positions. done(q, sink) sees every sink before
// it goes.
template <class Sink, class MakeSink, class Done>
std::vector<std::vector<Candidate>> table_sum_pass(const RecordView& view, const std::vector<QueryLut>& luts,
                                                   const PositionSet* allowed, MakeSink&& make_sink, Done&& done,
                                                   const std::vector<std::size_t>& always) {
  const std::size_t m = luts.size();
  std::vector<std::vector<Candidate>> out(m);
  if (m == 0 || view.runs.empty()) return out;
  std::vector<float> ones(view.entries.count, 1.0f);
  RecordView sums_view = view;
  sums_view.entries.norms = ones.data();
  std::vector<QueryLut> sum_luts(luts);
  for (QueryLut& lut : sum_luts) lut.query_norm = 1.0f;
  const std::vector<std::unique_ptr<QuerySearch>> searches = searches_for(sum_luts, 1.0f, view.bits);
  const std::vector<QuerySearch*> members = pointers(searches);
  const PassPlan plan = plan_pass(sums_view, m, kPassGroupQueries);
  run_pruned_pass<Sink>(sums_view, plan, members.data(), allowed, make_sink, done,
                        [&](std::size_t q, std::vector<Candidate>& candidates) {
                          float sums[kernels::kMaxScatteredLanes];
                          for (std::size_t first = 0; first < always.size(); first += kernels::kMaxScatteredLanes) {
                            const std::size_t count = std::min(kernels::kMaxScatteredLanes, always.size() - first);
                            searches[q]->scorer().score_scattered(sums_view.entries, always.data() + first, count,
                                                                  sums);
                            for (std::size_t j = 0; j < count; ++j) candidates.push_back({sums[j], always[first + j]});
                          }
                          out[q] = std::move(candidates);
                        });
  return out;
}

}  // namespace

std::vector<std::vector<Candidate>> table_sums_at_least(const RecordView& view, const std::vector<QueryLut>& luts,
                                                        const float* floors, const PositionSet* allowed,
                                                        const std::vector<std::size_t>& always) {
  return table_sum_pass<AtLeast>(
      view, luts, allowed, [&](std::size_t q) { return AtLeast(floors[q]); }, [](std::size_t, const AtLeast&) {},
      always);
}

std::vector<std::vector<Candidate>> table_sums_with_top(const RecordView& view, const std::vector<QueryLut>& luts,
                                                        const std::vector<CosineUpperBound>& bounds, std::size_t k,
                                                        double largest_residual, double slack,
                                                        const PositionSet* allowed, std::vector<double>* assumed,
                                                        const std::vector<std::size_t>& always) {
  const std::size_t m = luts.size();
  assumed->assign(m, -std::numeric_limits<double>::infinity());
  std::mutex assumed_mutex;
  return table_sum_pass<TopAndAbove>(
      view, luts, allowed, [&](std::size_t q) { return TopAndAbove(k, bounds[q], largest_residual, slack); },
      [&](std::size_t q, const TopAndAbove& sink) {
        std::lock_guard<std::mutex> lock(assumed_mutex);
        (*assumed)[q] = std::max((*assumed)[q], sink.assumed());
      },
      always);
}

std::vector<std::vector<Candidate>> bound_sum_candidates(const RecordView& view, const std::vector<QueryLut>& luts,
                                                         std::size_t c, const PositionSet* allowed) {
  const std::size_t m = luts.size();
  std::vector<std::vector<Candidate>> out(m);
  if (m == 0 || view.runs.empty()) return out;
  // Bounds made for stored norms up to 1 are the tables' own, whatever the store holds.
  const std::vector<std::unique_ptr<QuerySearch>> searches = searches_for(luts, 1.0f, view.bits);
  const std::vector<QuerySearch*> members = pointers(searches);
  const PassPlan plan = plan_pass(view, m, kPassGroupQueries);
  const TopSums order(c, view.entries.ids);
  run_pruned_pass<TopSums>(
      view, plan, members.data(), allowed, [&](std::size_t) { return TopSums(c, view.entries.ids); },
      [](std::size_t, const TopSums&) {},
      [&](std::size_t q, std::vector<Candidate>& candidates) {
        order.keep_best(candidates);
        out[q] = std::move(candidates);
      });
  return out;
}

}  // namespace velmora

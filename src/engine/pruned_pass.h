// The one driver of every pass that prunes with the integer bound: the top k
// of one query, of a batch of queries, and the exact search's table-sum
// passes. A plan splits a view's runs into ranges of blocks; each task
// searches one range for a group of queries, which share each bound pass
// over its codes while they are in cache; each query's candidates are then
// gathered from every range. The answer never depends on the split: every
// sink keeps what it keeps by a total order or a fixed floor.
#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

#include "engine/pool.h"
#include "engine/record_view.h"
#include "engine/search_constants.h"
#include "engine/top_k.h"

namespace velmora {

struct PassPlan {
  std::vector<BlockRun> ranges;  // pieces of the view's runs, in order
  std::size_t group = 0;         // queries per group
  std::size_t groups = 0;
  std::size_t queries = 0;

  struct Task {
    std::size_t range, q_begin, q_end;
  };
  std::size_t task_count() const { return groups * ranges.size(); }
  Task task(std::size_t t) const {
    const std::size_t q_begin = t / ranges.size() * group;
    return {t % ranges.size(), q_begin, std::min(queries, q_begin + group)};
  }
};

// Splits the view for `queries` queries in groups of `group`: enough ranges
// to keep every thread busy, each of at least `min_range_blocks` blocks
// (bar the ends of runs); `pieces` > 0 asks for ranges of a total / pieces
// blocks instead.
PassPlan plan_pass(const RecordView& view, std::size_t queries, std::size_t group,
                   std::size_t min_range_blocks = kMinRangeBlocks, std::size_t pieces = 0);

// Runs every task of `plan` on the pool. Query q's candidates in each range
// go to a Sink made by make_sink(q) (a TopK, AtLeast or TopAndAbove); done(q,
// sink) sees each sink after its range, on the task's thread. Then finish(q,
// candidates) gets every range's kept candidates of query q, in range order,
// on the pool. Returns the number of exact scores computed.
template <class Sink, class MakeSink, class Done, class Finish>
std::size_t run_pruned_pass(const RecordView& view, const PassPlan& plan, QuerySearch* const* searches,
                            const PositionSet* allowed, MakeSink&& make_sink, Done&& done, Finish&& finish) {
  const std::size_t range_count = plan.ranges.size();
  std::vector<std::vector<Candidate>> kept(plan.queries * range_count);
  std::atomic<std::size_t> exact{0};
  parallel_for(plan.task_count(), [&](std::size_t t0, std::size_t t1) {
    std::vector<Sink> found;
    std::vector<QuerySearch*> members;
    for (std::size_t t = t0; t < t1; ++t) {
      const PassPlan::Task task = plan.task(t);
      found.clear();
      members.clear();
      for (std::size_t q = task.q_begin; q < task.q_end; ++q) {
        found.push_back(make_sink(q));
        members.push_back(searches[q]);
      }
      exact +=
          search_blocks(members.data(), members.size(), view.entries, allowed, plan.ranges[task.range], found.data());
      for (std::size_t q = task.q_begin; q < task.q_end; ++q) {
        Sink& sink = found[q - task.q_begin];
        kept[q * range_count + task.range] = sink.kept();
        done(q, sink);
      }
    }
  });
  parallel_for(plan.queries, [&](std::size_t begin, std::size_t end) {
    for (std::size_t q = begin; q < end; ++q) {
      std::vector<Candidate> candidates;
      for (std::size_t r = 0; r < range_count; ++r) {
        const std::vector<Candidate>& part = kept[q * range_count + r];
        candidates.insert(candidates.end(), part.begin(), part.end());
      }
      finish(q, candidates);
    }
  });
  return exact.load();
}

}  // namespace velmora

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

// Tasks over ranges of blocks: each task searches one range for some queries.
struct PassPlan {
  std::vector<BlockRun> ranges;  // pieces of the view's runs, in order
  struct Task {
    std::size_t range;
    std::size_t first, count;  // its queries: members[first .. first + count)
  };
  std::vector<Task> tasks;
  std::vector<std::size_t> members;  // query numbers, task after task
  std::size_t queries = 0;
  // Where each phase's tasks end: the phases run one after another, the
  // tasks of one side by side. A plan that ends no phase is one phase.
  std::vector<std::size_t> phase_ends;

  void end_phase() { phase_ends.push_back(tasks.size()); }

  // Adds a task of `count` queries (1 to kernels::kMaxBoundQueries) over one range.
  void add_task(std::size_t range, const std::size_t* query, std::size_t count) {
    tasks.push_back({range, members.size(), count});
    members.insert(members.end(), query, query + count);
  }
};

// Splits the view for `queries` queries in groups of `group`: enough ranges
// to keep every thread busy, each of at least `min_range_blocks` blocks
// (bar the ends of runs); `pieces` > 0 asks for ranges of a total / pieces
// blocks instead. Every group searches every range.
PassPlan plan_pass(const RecordView& view, std::size_t queries, std::size_t group,
                   std::size_t min_range_blocks = kMinRangeBlocks, std::size_t pieces = 0);

// Runs every task of `plan` on the pool. Query q's candidates in each of its
// tasks go to a Sink made by make_sink(q) (a TopK, AtLeast or TopAndAbove);
// done(q, sink) sees each sink after its task, on the task's thread. Then
// finish(q, candidates) gets the kept candidates of every task of query q,
// in task order, on the pool. Returns the number of exact scores computed.
template <class Sink, class MakeSink, class Done, class Finish>
std::size_t run_pruned_pass(const RecordView& view, const PassPlan& plan, QuerySearch* const* searches,
                            const PositionSet* allowed, MakeSink&& make_sink, Done&& done, Finish&& finish) {
  // kept[i]: what member i of plan.members kept.
  std::vector<std::vector<Candidate>> kept(plan.members.size());
  std::atomic<std::size_t> exact{0};
  std::vector<std::size_t> phase_ends = plan.phase_ends;
  if (phase_ends.empty() || phase_ends.back() != plan.tasks.size()) phase_ends.push_back(plan.tasks.size());
  std::size_t phase_begin = 0;
  for (const std::size_t phase_end : phase_ends) {
    parallel_for(phase_end - phase_begin, [&](std::size_t t0, std::size_t t1) {
      std::vector<Sink> found;
      std::vector<QuerySearch*> group;
      for (std::size_t t = phase_begin + t0; t < phase_begin + t1; ++t) {
        const PassPlan::Task& task = plan.tasks[t];
        found.clear();
        group.clear();
        for (std::size_t i = task.first; i < task.first + task.count; ++i) {
          found.push_back(make_sink(plan.members[i]));
          group.push_back(searches[plan.members[i]]);
        }
        exact +=
            search_blocks(group.data(), group.size(), view.entries, allowed, plan.ranges[task.range], found.data());
        for (std::size_t j = 0; j < task.count; ++j) {
          kept[task.first + j] = found[j].kept();
          done(plan.members[task.first + j], found[j]);
        }
      }
    });
    phase_begin = phase_end;
  }
  // Each query's members, in task order.
  std::vector<std::size_t> start(plan.queries + 1, 0), slots(plan.members.size());
  for (std::size_t q : plan.members) ++start[q + 1];
  for (std::size_t q = 0; q < plan.queries; ++q) start[q + 1] += start[q];
  std::vector<std::size_t> fill(start.begin(), start.end() - 1);
  for (std::size_t i = 0; i < plan.members.size(); ++i) slots[fill[plan.members[i]]++] = i;
  parallel_for(plan.queries, [&](std::size_t begin, std::size_t end) {
    for (std::size_t q = begin; q < end; ++q) {
      std::vector<Candidate> candidates;
      for (std::size_t s = start[q]; s < start[q + 1]; ++s) {
        const std::vector<Candidate>& part = kept[slots[s]];
        candidates.insert(candidates.end(), part.begin(), part.end());
      }
      finish(q, candidates);
    }
  });
  return exact.load();
}

}  // namespace velmora

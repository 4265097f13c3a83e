#include "engine/top_k.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "engine/invariant.h"
#include "engine/pool.h"
#include "engine/pruned_pass.h"

namespace velmora {

float SharedThreshold::load() const {
  const std::uint32_t bits = bits_.load(std::memory_order_relaxed);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void SharedThreshold::raise(float value) {
  if (!(value > 0.0f) || std::isinf(value)) return;
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  std::uint32_t seen = bits_.load(std::memory_order_relaxed);
  while (seen < bits && !bits_.compare_exchange_weak(seen, bits, std::memory_order_relaxed)) {
  }
}

QuerySearch::QuerySearch(const QueryLut& lut, float max_norm, const ScoringKernels& kernels)
    : lut_(lut), scorer_(lut, kernels), bound_kernel_(kernels.bound), group_kernel_(kernels.group_bound) {
  if (bound_kernel_) bound_ = ScoreBound::build(lut, max_norm);
}

namespace {

// Blocks per pass of the bound: the group's sums (4 KiB per query) are still
// in cache when its survivors are taken.
constexpr std::size_t kPassBlocks = 32;
// Survivors held before they are scored: enough that the ones with the
// largest sums lift the threshold past most of the others, few enough that
// the threshold the bound passes prune with does not lag far behind.
constexpr std::size_t kHeldSurvivors = 128;
// The exact search's floors are fixed (AtLeast) or rise only with the k
// best sums, keeping hundreds of candidates above them (TopAndAbove):
// waiting saves few exact sums, while scoring after each pass finds the
// blocks still in cache for every query of the group.
template <class Best>
constexpr std::size_t kHeldBy = kHeldSurvivors;
template <>
constexpr std::size_t kHeldBy<TopAndAbove> = 1;
template <>
constexpr std::size_t kHeldBy<AtLeast> = 1;
// Survivors of one block from which the exact kernel scores the whole block
// instead of each lane apart.
constexpr std::size_t kWholeBlockSurvivors = 2;

// The lanes of a block that are candidates: allowed, and records before `end`.
std::uint32_t candidate_lanes(const PositionSet* allowed, std::size_t block, std::size_t end) {
  std::uint32_t mask = allowed != nullptr ? allowed->block_mask(block) : ~std::uint32_t{0};
  const std::size_t base = block * kBlockLanes;
  if (base + kBlockLanes > end) mask &= (std::uint32_t{1} << (end - base)) - 1u;
  return mask;
}

// The blocks of the next pass from `block` on: up to kPassBlocks consecutive
// ones that hold a candidate, [first, end); first == last_block when none is left.
struct PassBlocks {
  std::size_t first, end;
};
PassBlocks next_pass(const PositionSet* allowed, std::size_t block, std::size_t last_block) {
  if (allowed != nullptr) {
    while (block < last_block && allowed->block_mask(block) == 0) ++block;
    if (block == last_block) return {block, block};
  }
  std::size_t end = block + 1;
  while (end < last_block && end - block < kPassBlocks && (allowed == nullptr || allowed->block_mask(end) != 0)) {
    ++end;
  }
  return {block, end};
}

// One query's part of a search over some blocks, keeping its candidates in
// `Best`: a TopK, or an AtLeast that keeps every score from a fixed floor.
template <class Best>
class Scan {
 public:
  Scan(QuerySearch& query, Best& best, const StoredEntries& entries, const PositionSet* allowed, std::size_t end)
      : query_(query), best_(best), entries_(entries), allowed_(allowed), end_(end) {
    refresh();
  }

  // The largest bound sum that proves a vector out, or -1 while none does.
  std::int64_t limit() const { return limit_; }
  std::size_t exact() const { return exact_; }

  // The limit of the better of this scan's and every scan's k-th best of
  // the query (a NaN k-th best of this scan does not count).
  void refresh() {
    const ScoreBound* bound = query_.bound();
    if (bound == nullptr) return;
    float threshold = query_.shared().load();
    if (best_.full() && best_.threshold() > threshold) threshold = best_.threshold();
    limit_ = bound->prune_limit(threshold);
  }

  // Exact scores of blocks [first, last), while nothing can be pruned: block
  // by block until the k best are full, then the rest at once.
  std::size_t score_until_bounded(std::size_t first, std::size_t last) {
    while (first < last && limit_ < 0) {
      const std::size_t stop = best_.full() ? last : first + 1;
      score_blocks(first, stop);
      first = stop;
    }
    return first;
  }

  // Takes the survivors of a bound pass over blocks [first, first + count)
  // (sums and survivor masks as the pass wrote them, block by block). They
  // are held with their sums and scored later, highest sums first, when
  // enough have gathered: by then the threshold has risen, and the sums of
  // most of them prove them out without an exact score.
  void add_survivors(std::size_t first, std::size_t count, const std::uint32_t* sums, const std::uint32_t* survivors) {
    for (std::size_t b = 0; b < count; ++b) {
      if (survivors[b] == 0) continue;  // most blocks, once the threshold is up
      for (std::uint32_t mask = survivors[b] & candidates(first + b); mask != 0; mask &= mask - 1) {
        const auto lane = static_cast<std::size_t>(__builtin_ctz(mask));
        const std::uint32_t sum = sums[b * kBlockLanes + lane];
        if (limit_ < 0 || sum > static_cast<std::uint64_t>(limit_)) {
          held_.push_back({sum, (first + b) * kBlockLanes + lane});
        }
      }
    }
    if (held_.size() >= kHeldBy<Best>) score_held();
  }

  // Scores the held survivors that the threshold does not rule out, those
  // with the largest sums first (the k best of a run are among them, and
  // they lift the threshold soonest).
  void score_held() {
    const std::size_t leaders = std::min(held_.size(), 2 * best_.k() + kernels::kMaxScatteredLanes);
    const auto by_sum = [](const Held& a, const Held& b) { return a.sum > b.sum; };
    if (leaders < held_.size()) {
      std::nth_element(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(leaders), held_.end(), by_sum);
    }
    score_survivors(0, leaders);
    score_survivors(leaders, held_.size());
    held_.clear();
  }

 private:
  // Exact scores of the held survivors [begin, end) that the threshold does
  // not rule out: a block holding several is scored whole by the exact
  // kernel (cheaper than as many scattered lanes: the same bits), the others
  // a few scattered lanes at a time.
  void score_survivors(std::size_t begin, std::size_t end) {
    std::size_t kept = begin;
    for (std::size_t i = begin; i < end; ++i) {
      if (limit_ < 0 || held_[i].sum > static_cast<std::uint64_t>(limit_)) held_[kept++] = held_[i];
    }
    std::sort(held_.begin() + static_cast<std::ptrdiff_t>(begin), held_.begin() + static_cast<std::ptrdiff_t>(kept),
              [](const Held& a, const Held& b) { return a.position < b.position; });
    for (std::size_t i = begin; i < kept;) {
      const std::size_t block = held_[i].position / kBlockLanes;
      std::size_t j = i;
      while (j < kept && held_[j].position / kBlockLanes == block) ++j;
      if (j - i >= kWholeBlockSurvivors) {
        score_block(block, i, j);
      } else {
        for (std::size_t h = i; h < j; ++h) consider(held_[h].sum, held_[h].position);
      }
      i = j;
    }
    if (pending_count_ > 0) flush();
  }

  // Scores block `block` whole and offers its survivors held_[i, j).
  void score_block(std::size_t block, std::size_t i, std::size_t j) {
    float scores[kBlockLanes];
    const std::size_t first = block * kBlockLanes, stop = std::min(first + kBlockLanes, end_);
    query_.scorer().score_range(entries_, first, stop, scores);
    for (std::size_t h = i; h < j; ++h) {
      const std::size_t position = held_[h].position;
      // The threshold may have risen since the block was chosen.
      if (limit_ >= 0 && held_[h].sum <= static_cast<std::uint64_t>(limit_)) continue;
      ++exact_;  // the survivors that needed a score, as scattered lanes count
      offer(scores[position - first], position);
    }
  }

  // The lanes of a block that are candidates: allowed and records of the run.
  std::uint32_t candidates(std::size_t block) const { return candidate_lanes(allowed_, block, end_); }

  void raised() {
    if (best_.full()) query_.shared().raise(best_.threshold());
    refresh();
  }

  void offer(float score, std::size_t position) {
    if (best_.offer(score, position)) raised();
  }

  // Exact scores of every candidate of blocks [first, last).
  void score_blocks(std::size_t first, std::size_t last) {
    constexpr std::size_t kRun = kPassBlocks * kBlockLanes;
    float scores[kRun];
    const std::size_t end = std::min(last * kBlockLanes, end_);
    for (std::size_t begin = first * kBlockLanes; begin < end; begin += kRun) {
      const std::size_t stop = std::min(begin + kRun, end);
      query_.scorer().score_range(entries_, begin, stop, scores);
      exact_ += stop - begin;
      if (allowed_ == nullptr) {
        best_.offer_run(scores, stop - begin, begin);
        continue;
      }
      for (std::size_t block = begin / kBlockLanes; block * kBlockLanes < stop; ++block) {
        for (std::uint32_t mask = candidates(block); mask != 0; mask &= mask - 1) {
          const std::size_t p = block * kBlockLanes + static_cast<std::size_t>(__builtin_ctz(mask));
          best_.offer(scores[p - begin], p);
        }
      }
    }
    raised();
  }

  // Queues a survivor for an exact score unless the threshold has risen
  // past its sum since the pass ran.
  void consider(std::uint32_t sum, std::size_t position) {
    if (limit_ >= 0 && sum <= static_cast<std::uint64_t>(limit_)) return;
    pending_[pending_count_++] = position;
    if (pending_count_ == kernels::kMaxScatteredLanes) flush();
  }

  // Survivors are scored a few at a time; each is checked against the
  // threshold as it stands when its batch is queued.
  void flush() {
    float scores[kernels::kMaxScatteredLanes];
    query_.scorer().score_scattered(entries_, pending_, pending_count_, scores);
    exact_ += pending_count_;
    for (std::size_t j = 0; j < pending_count_; ++j) offer(scores[j], pending_[j]);
    pending_count_ = 0;
  }

  QuerySearch& query_;
  Best& best_;
  const StoredEntries& entries_;
  const PositionSet* allowed_;
  std::size_t end_;  // one past the run's last record
  std::int64_t limit_ = -1;
  std::size_t exact_ = 0;
  std::size_t pending_[kernels::kMaxScatteredLanes];
  std::size_t pending_count_ = 0;
  struct Held {
    std::uint32_t sum;
    std::size_t position;
  };
  std::vector<Held> held_;
};

template <class Best>
std::size_t search_blocks_into(QuerySearch* const* queries, std::size_t count, const StoredEntries& entries,
                               const PositionSet* allowed, const BlockRun& range, Best* best) {
  VELMORA_CHECK(count >= 1 && count <= kernels::kMaxBoundQueries, "search_blocks: group size out of range");
  const BlockedCodes& codes = *entries.codes;
  VELMORA_CHECK(range.end <= entries.count && range.end_block() <= codes.block_count(),
                "search_blocks: range past the stored records");
  const std::size_t first_block = range.first_block;
  const std::size_t last_block = range.end_block();
  const kernels::BoundGroupFn one_pass = queries[0]->bound_kernel().group;
  const kernels::BoundGroupFn group_pass = queries[0]->group_kernel().group;
  std::vector<Scan<Best>> scans;
  scans.reserve(count);
  for (std::size_t q = 0; q < count; ++q) scans.emplace_back(*queries[q], best[q], entries, allowed, range.end);
  // The passes' sums and survivors, kept by each thread between calls (a
  // pass writes every value it is read for, so nothing is cleared).
  thread_local std::vector<std::uint32_t> sums, survivors;
  if (sums.size() < count * kPassBlocks * kBlockLanes) sums.resize(count * kPassBlocks * kBlockLanes);
  if (survivors.size() < count * kPassBlocks) survivors.resize(count * kPassBlocks);
  std::size_t ready[kernels::kMaxBoundQueries];
  kernels::BoundGroupArgs args{};
  args.blocks = nullptr;
  args.block_bytes = codes.block_bytes();
  args.fields = codes.field_count();

  std::size_t block = first_block;
  while (block < last_block) {
    // The next run of consecutive blocks that hold a candidate.
    const PassBlocks pass = next_pass(allowed, block, last_block);
    if (pass.first == last_block) break;
    block = pass.first;
    const std::size_t end = pass.end;
    // Queries that cannot prune yet score exactly; one that becomes able to
    // within the run takes a pass of its own over the rest of it.
    std::size_t ready_count = 0;
    for (std::size_t q = 0; q < count; ++q) {
      Scan<Best>& scan = scans[q];
      scan.refresh();
      const std::size_t from = scan.score_until_bounded(block, end);
      if (from == end) continue;
      if (from == block) {
        ready[ready_count++] = q;
        continue;
      }
      kernels::BoundGroupArgs one = args;
      one.tables[0] = queries[q]->bound()->table();
      one.limits[0] = static_cast<std::uint32_t>(scan.limit());
      one.queries = 1;
      one.blocks = codes.block(from);
      one_pass(one, end - from, sums.data(), survivors.data());
      scan.add_survivors(from, end - from, sums.data(), survivors.data());
    }
    if (ready_count == 0) {
      block = end;
      continue;
    }
    for (std::size_t r = 0; r < ready_count; ++r) {
      args.tables[r] = queries[ready[r]]->bound()->table();
      args.limits[r] = static_cast<std::uint32_t>(scans[ready[r]].limit());
    }
    args.queries = ready_count;
    args.blocks = codes.block(block);
    const std::size_t blocks = end - block;
    (ready_count > 1 ? group_pass : one_pass)(args, blocks, sums.data(), survivors.data());
    for (std::size_t r = 0; r < ready_count; ++r) {
      scans[ready[r]].add_survivors(block, blocks, sums.data() + r * blocks * kBlockLanes,
                                    survivors.data() + r * blocks);
    }
    block = end;
  }
  std::size_t exact = 0;
  for (Scan<Best>& scan : scans) {
    scan.score_held();
    exact += scan.exact();
  }
  return exact;
}

}  // namespace

BlockRun blocks_of(const StoredEntries& entries, std::size_t first_block, std::size_t last_block) {
  return {first_block, std::min(last_block * kBlockLanes, entries.count)};
}

std::size_t search_blocks(QuerySearch* const* queries, std::size_t count, const StoredEntries& entries,
                          const PositionSet* allowed, const BlockRun& range, TopK* best) {
  return search_blocks_into(queries, count, entries, allowed, range, best);
}

std::size_t search_blocks(QuerySearch* const* queries, std::size_t count, const StoredEntries& entries,
                          const PositionSet* allowed, const BlockRun& range, AtLeast* kept) {
  return search_blocks_into(queries, count, entries, allowed, range, kept);
}

std::size_t search_blocks(QuerySearch* const* queries, std::size_t count, const StoredEntries& entries,
                          const PositionSet* allowed, const BlockRun& range, TopAndAbove* kept) {
  return search_blocks_into(queries, count, entries, allowed, range, kept);
}

std::size_t search_blocks(QuerySearch* const* queries, std::size_t count, const StoredEntries& entries,
                          const PositionSet* allowed, std::size_t first_block, std::size_t last_block, TopK* best) {
  return search_blocks_into(queries, count, entries, allowed, blocks_of(entries, first_block, last_block), best);
}

void TopSums::offer(float key, std::size_t position) {
  const Candidate c{key, position};
  const auto worse_last = [this](const Candidate& a, const Candidate& b) { return before(a, b); };
  if (!full()) {
    kept_.push_back(c);
    std::push_heap(kept_.begin(), kept_.end(), worse_last);
  } else if (k_ > 0 && before(c, kept_.front())) {
    std::pop_heap(kept_.begin(), kept_.end(), worse_last);
    kept_.back() = c;
    std::push_heap(kept_.begin(), kept_.end(), worse_last);
  }
}

void TopSums::keep_best(std::vector<Candidate>& candidates) const {
  const auto ranked = [this](const Candidate& a, const Candidate& b) { return before(a, b); };
  if (candidates.size() > k_) {
    std::nth_element(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(k_), candidates.end(),
                     ranked);
    candidates.resize(k_);
  }
  std::sort(candidates.begin(), candidates.end(), ranked);
}

namespace {

// Bound sums below this are exact in a float.
constexpr std::size_t kExactSumLimit = std::size_t{1} << 24;

// Every candidate lane of blocks [first, last) offered with its score.
std::size_t offer_scores(QuerySearch& query, const StoredEntries& entries, const PositionSet* allowed,
                         std::size_t first, std::size_t last, std::size_t end, TopSums& best) {
  constexpr std::size_t kRun = kPassBlocks * kBlockLanes;
  float scores[kRun];
  std::size_t scored = 0;
  const std::size_t stop_position = std::min(last * kBlockLanes, end);
  for (std::size_t begin = first * kBlockLanes; begin < stop_position; begin += kRun) {
    const std::size_t stop = std::min(begin + kRun, stop_position);
    query.scorer().score_range(entries, begin, stop, scores);
    scored += stop - begin;
    for (std::size_t block = begin / kBlockLanes; block * kBlockLanes < stop; ++block) {
      for (std::uint32_t mask = candidate_lanes(allowed, block, end); mask != 0; mask &= mask - 1) {
        const std::size_t p = block * kBlockLanes + static_cast<std::size_t>(__builtin_ctz(mask));
        best.offer(scores[p - begin], p);
      }
    }
  }
  return scored;
}

}  // namespace

std::size_t search_blocks(QuerySearch* const* queries, std::size_t count, const StoredEntries& entries,
                          const PositionSet* allowed, const BlockRun& range, TopSums* best) {
  VELMORA_CHECK(count >= 1 && count <= kernels::kMaxBoundQueries, "search_blocks: group size out of range");
  const BlockedCodes& codes = *entries.codes;
  VELMORA_CHECK(range.end <= entries.count && range.end_block() <= codes.block_count(),
                "search_blocks: range past the stored records");
  // The queries' own bounds, or, at a level without a bound pass, bounds
  // built here for the portable pass: the same tables, so the same sums.
  const bool own_pass = static_cast<bool>(queries[0]->bound_kernel());
  std::optional<ScoreBound> built[kernels::kMaxBoundQueries];
  const ScoreBound* bounds[kernels::kMaxBoundQueries];
  std::size_t bounded[kernels::kMaxBoundQueries];
  std::size_t bounded_count = 0, scored = 0;
  for (std::size_t q = 0; q < count; ++q) {
    if (!own_pass) built[q] = ScoreBound::build(queries[q]->lut(), 1.0f);
    const ScoreBound* bound = own_pass ? queries[q]->bound() : built[q] ? &*built[q] : nullptr;
    bounds[q] = bound;
    if (bound != nullptr && bound->fields() * 255 < kExactSumLimit) {
      bounded[bounded_count++] = q;
    } else {
      scored += offer_scores(*queries[q], entries, allowed, range.first_block, range.end_block(), range.end, best[q]);
    }
  }
  if (bounded_count == 0) return scored;
  thread_local std::vector<std::uint32_t> sums, survivors;
  if (sums.size() < count * kPassBlocks * kBlockLanes) sums.resize(count * kPassBlocks * kBlockLanes);
  if (survivors.size() < count * kPassBlocks) survivors.resize(count * kPassBlocks);
  const kernels::BoundGroupFn pass = !own_pass           ? kernels::bound_kernel_portable().group
                                     : bounded_count > 1 ? queries[bounded[0]]->group_kernel().group
                                                         : queries[bounded[0]]->bound_kernel().group;
  kernels::BoundGroupArgs args{};
  args.queries = bounded_count;
  args.fields = codes.field_count();
  args.block_bytes = codes.block_bytes();
  for (std::size_t r = 0; r < bounded_count; ++r) args.tables[r] = bounds[bounded[r]]->table();
  std::size_t block = range.first_block;
  const std::size_t last_block = range.end_block();
  while (block < last_block) {
    const PassBlocks pass_blocks = next_pass(allowed, block, last_block);
    if (pass_blocks.first == last_block) break;
    block = pass_blocks.first;
    const std::size_t end = pass_blocks.end;
    // A query takes the sums at least the worst it keeps, or the worst any
    // other range of it keeps (that range holds k sums at least as large; an
    // equal sum may have a smaller id); until either holds, every lane.
    bool every[kernels::kMaxBoundQueries];
    float floors[kernels::kMaxBoundQueries];
    for (std::size_t r = 0; r < bounded_count; ++r) {
      const TopSums& sink = best[bounded[r]];
      const float shared = queries[bounded[r]]->shared().load();
      const float own = sink.full() && sink.k() > 0 ? sink.least() : 0.0f;
      floors[r] = std::max(own, shared);
      every[r] = !(floors[r] >= 1.0f);
      args.limits[r] = every[r] ? 0u : static_cast<std::uint32_t>(floors[r]) - 1u;
    }
    args.blocks = codes.block(block);
    const std::size_t blocks = end - block;
    pass(args, blocks, sums.data(), survivors.data());
    for (std::size_t r = 0; r < bounded_count; ++r) {
      TopSums& sink = best[bounded[r]];
      const std::uint32_t* query_sums = sums.data() + r * blocks * kBlockLanes;
      const std::uint32_t* query_survivors = survivors.data() + r * blocks;
      for (std::size_t b = 0; b < blocks; ++b) {
        const std::uint32_t lanes = every[r] ? ~std::uint32_t{0} : query_survivors[b];
        for (std::uint32_t mask = lanes & candidate_lanes(allowed, block + b, range.end); mask != 0; mask &= mask - 1) {
          const auto lane = static_cast<std::size_t>(__builtin_ctz(mask));
          const auto key = static_cast<float>(query_sums[b * kBlockLanes + lane]);
          // The worst kept sum rises within a pass: most survivors fall below it.
          if (sink.may_enter(key)) sink.offer(key, (block + b) * kBlockLanes + lane);
        }
      }
      if (sink.full() && sink.k() > 0 && sink.least() > floors[r]) queries[bounded[r]]->shared().raise(sink.least());
    }
    block = end;
  }
  return scored;
}

bool TopAndAbove::offer(float sum, std::size_t position) {
  bool rose = false;
  if (best_.offer(sum, position) && best_.full()) {
    assumed_ = bound_.estimate(best_.threshold()) - slack_;
    const float floor = bound_.lowest_sum(assumed_, largest_residual_);
    rose = floor > floor_;
    if (rose) floor_ = floor;
  }
  if (!(sum < floor_)) kept_.push_back({sum, position});
  return rose;
}

PassPlan plan_pass(const RecordView& view, std::size_t queries, std::size_t group, std::size_t min_range_blocks,
                   std::size_t pieces) {
  PassPlan plan;
  plan.queries = queries;
  const std::size_t groups = (queries + group - 1) / group;
  const std::size_t blocks = view.block_count();
  std::size_t range_blocks;
  if (pieces > 0) {
    range_blocks = std::max<std::size_t>(1, (blocks + pieces - 1) / pieces);
  } else {
    // Enough tasks to keep every thread busy, but ranges of at least min_range_blocks.
    const std::size_t wanted = kTasksPerThread * configured_thread_count();
    const std::size_t max_ranges = std::max<std::size_t>(1, (blocks + min_range_blocks - 1) / min_range_blocks);
    const std::size_t ranges = std::min(max_ranges, std::max<std::size_t>(1, (wanted + groups - 1) / groups));
    range_blocks = std::max<std::size_t>(1, (blocks + ranges - 1) / ranges);
  }
  for (const BlockRun& run : view.runs) {
    for (std::size_t first = run.first_block; first < run.end_block(); first += range_blocks) {
      const std::size_t last = std::min(run.end_block(), first + range_blocks);
      plan.ranges.push_back({first, std::min(run.end, last * kBlockLanes)});
    }
  }
  std::vector<std::size_t> members(queries);
  for (std::size_t q = 0; q < queries; ++q) members[q] = q;
  for (std::size_t g = 0; g < groups; ++g) {
    const std::size_t first = g * group, count = std::min(group, queries - first);
    for (std::size_t r = 0; r < plan.ranges.size(); ++r) plan.add_task(r, members.data() + first, count);
  }
  return plan;
}

std::vector<Candidate> search_top_k(const QueryLut& lut, const StoredEntries& entries, std::size_t k, float max_norm,
                                    const ScoringKernels& kernels, std::size_t pieces, TopKStats* stats) {
  VELMORA_CHECK(k >= 1 && k <= entries.count, "search_top_k: k out of range");
  QuerySearch query(lut, max_norm, kernels);
  QuerySearch* const group[1] = {&query};
  const RecordView view = whole_view(lut.dim, lut.bits, max_norm, entries);
  const PassPlan plan = plan_pass(view, 1, 1, kMinRangeBlocks, pieces);
  std::vector<Candidate> candidates;
  const std::size_t exact = run_pruned_pass<TopK>(
      view, plan, group, nullptr, [k](std::size_t) { return TopK(k); }, [](std::size_t, const TopK&) {},
      [&](std::size_t, std::vector<Candidate>& found) {
        candidates = std::move(found);
        keep_best(candidates, k);
      });
  if (stats != nullptr) {
    stats->bounded = query.bound() != nullptr;
    stats->exact_scores = exact;
  }
  return candidates;
}

}  // namespace velmora

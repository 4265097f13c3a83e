#include "top_k.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>

#include "invariant.h"
#include "pool.h"
#include "score_bound.h"

namespace velmora {

namespace {

constexpr std::size_t kChunkBlocks = 32;  // blocks per bound pass call
// A block with this many survivors is scored whole by the exact kernel.
constexpr int kWholeBlockSurvivors = 4;

// The best k-th best score any piece has reached. A piece may prune against
// it: a vector strictly below another piece's k-th best ranks after that
// piece's k kept vectors. Only positive finite scores are published, whose
// bit patterns order like their values.
class SharedThreshold {
 public:
  float load() const {
    const std::uint32_t bits = bits_.load(std::memory_order_relaxed);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  void raise(float value) {
    if (!(value > 0.0f) || std::isinf(value)) return;
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    std::uint32_t seen = bits_.load(std::memory_order_relaxed);
    while (seen < bits && !bits_.compare_exchange_weak(seen, bits, std::memory_order_relaxed)) {
    }
  }

 private:
  std::atomic<std::uint32_t> bits_{0};  // +0.0: none yet
};

struct Search {
  const StoredEntries& entries;
  const ExactScorer& scorer;
  const ScoreBound* bound;  // null: exact scores only
  kernels::BoundBlocksFn bound_blocks;
  SharedThreshold& shared;
};

// Scores positions [begin, end) exactly and offers them all.
std::size_t score_exactly(const Search& s, std::size_t begin, std::size_t end, TopK& best) {
  constexpr std::size_t kRun = kChunkBlocks * kBlockLanes;
  float scores[kRun];
  for (std::size_t first = begin; first < end; first += kRun) {
    const std::size_t last = std::min(first + kRun, end);
    s.scorer.score_range(s.entries, first, last, scores);
    best.offer_run(scores, last - first, first);
  }
  return end - begin;
}

// The k best of blocks [first_block, last_block) into `best`; returns how
// many exact scores were computed.
std::size_t search_piece(const Search& s, std::size_t first_block, std::size_t last_block, TopK& best) {
  const std::size_t n = s.entries.count;
  const std::size_t end = std::min(last_block * kBlockLanes, n);
  if (s.bound == nullptr) return score_exactly(s, first_block * kBlockLanes, end, best);

  std::size_t exact = 0;
  std::size_t block = first_block;
  std::int64_t limit = -1;
  // The limit of the better of this piece's and every piece's k-th best
  // (a NaN k-th best of this piece does not count).
  auto refresh = [&] {
    float threshold = s.shared.load();
    if (best.full() && best.threshold() > threshold) threshold = best.threshold();
    limit = s.bound->prune_limit(threshold);
  };
  auto raised = [&] {
    if (best.full()) s.shared.raise(best.threshold());
    refresh();
  };
  refresh();
  // Exact scores until there is a threshold to prune against.
  while (block < last_block && limit < 0 && !best.full()) {
    exact += score_exactly(s, block * kBlockLanes, std::min((block + 1) * kBlockLanes, n), best);
    ++block;
    raised();
  }
  const BlockedCodes& codes = *s.entries.codes;
  std::uint32_t sums[kChunkBlocks * kBlockLanes];
  std::uint32_t survivors[kChunkBlocks];
  float scores[kBlockLanes];
  // Survivors are scored a few at a time; each is checked against the
  // threshold as it stands when its batch is scored.
  std::size_t pending[kernels::kMaxScatteredLanes];
  std::size_t pending_count = 0;
  auto offer = [&](float score, std::size_t p) {
    if (best.offer(score, p)) raised();
  };
  auto flush = [&] {
    s.scorer.score_scattered(s.entries, pending, pending_count, scores);
    exact += pending_count;
    for (std::size_t j = 0; j < pending_count; ++j) offer(scores[j], pending[j]);
    pending_count = 0;
  };
  for (; block < last_block; block += kChunkBlocks) {
    const std::size_t count = std::min(kChunkBlocks, last_block - block);
    refresh();
    if (limit < 0) {
      // Nothing can be pruned at this threshold.
      exact += score_exactly(s, block * kBlockLanes, std::min((block + count) * kBlockLanes, n), best);
      raised();
      continue;
    }
    const kernels::BoundBlocksArgs args{s.bound->table(), s.bound->fields(), codes.block(block), codes.block_bytes(),
                                        static_cast<std::uint32_t>(limit)};
    s.bound_blocks(args, count, sums, survivors);
    for (std::size_t b = 0; b < count; ++b) {
      const std::size_t base = (block + b) * kBlockLanes;
      std::uint32_t mask = survivors[b];
      if (base + kBlockLanes > n) mask &= (std::uint32_t{1} << (n - base)) - 1u;  // lanes past the end
      if (mask == 0) continue;
      if (__builtin_popcount(mask) >= kWholeBlockSurvivors) {
        const std::size_t stop = std::min(base + kBlockLanes, n);
        s.scorer.score_range(s.entries, base, stop, scores);
        exact += stop - base;
        for (std::size_t p = base; p < stop; ++p) offer(scores[p - base], p);
        continue;
      }
      for (; mask != 0; mask &= mask - 1) {
        const int lane = __builtin_ctz(mask);
        // The threshold may have risen since the pass ran.
        if (limit >= 0 && sums[b * kBlockLanes + lane] <= static_cast<std::uint64_t>(limit)) continue;
        pending[pending_count++] = base + static_cast<std::size_t>(lane);
        if (pending_count == kernels::kMaxScatteredLanes) flush();
      }
    }
    if (pending_count > 0) flush();
  }
  return exact;
}

}  // namespace

std::vector<Candidate> search_top_k(const QueryLut& lut, const StoredEntries& entries, std::size_t k,
                                    float max_norm, const ScoringKernels& kernels, std::size_t pieces,
                                    TopKStats* stats) {
  VELMORA_CHECK(k >= 1 && k <= entries.count, "search_top_k: k out of range");
  const ExactScorer scorer(lut, kernels);
  std::optional<ScoreBound> bound;
  if (kernels.bound != nullptr) bound = ScoreBound::build(lut, max_norm);
  SharedThreshold shared;
  const Search search{entries, scorer, bound ? &*bound : nullptr, kernels.bound, shared};

  const std::size_t blocks = (entries.count + kBlockLanes - 1) / kBlockLanes;
  std::vector<Candidate> candidates;
  std::mutex merge_mutex;
  std::atomic<std::size_t> exact{0};
  auto run = [&](std::size_t first_block, std::size_t last_block) {
    TopK best(k);
    exact += search_piece(search, first_block, last_block, best);
    std::lock_guard<std::mutex> lock(merge_mutex);
    candidates.insert(candidates.end(), best.kept().begin(), best.kept().end());
  };
  if (pieces == 0) {
    parallel_for(blocks, run);
  } else {
    pieces = std::min(pieces, blocks);
    parallel_for(pieces, [&](std::size_t first, std::size_t last) {
      for (std::size_t piece = first; piece < last; ++piece) run(piece * blocks / pieces, (piece + 1) * blocks / pieces);
    });
  }
  if (stats != nullptr) {
    stats->bounded = bound.has_value();
    stats->exact_scores = exact.load();
  }
  keep_best(candidates, k);
  return candidates;
}

}  // namespace velmora

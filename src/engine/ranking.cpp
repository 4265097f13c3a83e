#include "engine/ranking.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/page_array.h"

namespace velmora {

bool ranks_before(const Candidate& a, const Candidate& b) {
  const bool a_nan = std::isnan(a.score), b_nan = std::isnan(b.score);
  if (a_nan || b_nan) return a_nan == b_nan ? a.position < b.position : b_nan;
  if (a.score != b.score) return a.score > b.score;
  return a.position < b.position;
}

bool TopK::offer(float score, std::size_t position) {
  if (heap_.size() < k_) {
    heap_.push_back({score, position});
    std::push_heap(heap_.begin(), heap_.end(), ranks_before);
    if (heap_.size() == k_) update_threshold();
    return true;
  }
  // The common case, a number below the worst kept number, is decided by one
  // comparison.
  if (!(score >= threshold_) && !threshold_is_nan_) return false;
  const Candidate candidate{score, position};
  if (!ranks_before(candidate, heap_.front())) return false;
  std::pop_heap(heap_.begin(), heap_.end(), ranks_before);
  heap_.back() = candidate;
  std::push_heap(heap_.begin(), heap_.end(), ranks_before);
  update_threshold();
  return true;
}

void TopK::offer_run(const float* scores, std::size_t count, std::size_t first_position) {
  if (full() && !threshold_is_nan_) {
    bool any_better = false;
    for (std::size_t i = 0; i < count; ++i) any_better |= scores[i] >= threshold_;
    if (!any_better) return;
  }
  for (std::size_t i = 0; i < count; ++i) offer(scores[i], first_position + i);
}

void TopK::update_threshold() {
  threshold_ = heap_.front().score;
  threshold_is_nan_ = std::isnan(threshold_);
}

namespace {

// A key whose ascending order is the ranking order (equal scores, +0.0 and
// -0.0 included, get equal keys; every NaN gets the largest).
std::uint32_t descending_key(float score) {
  if (std::isnan(score)) return 0xFFFFFFFFu;
  if (score == 0.0f) score = 0.0f;
  std::uint32_t bits;
  std::memcpy(&bits, &score, sizeof bits);
  const std::uint32_t ascending = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
  return ~ascending;
}

}  // namespace

std::vector<std::size_t> rank_by_score(const float* scores, std::size_t n) {
  std::vector<std::size_t> order(n);
  if (n > 0xFFFFFFFFu) {
    std::vector<Candidate> ranked(n);
    for (std::size_t p = 0; p < n; ++p) ranked[p] = {scores[p], p};
    std::sort(ranked.begin(), ranked.end(), ranks_before);
    for (std::size_t i = 0; i < n; ++i) order[i] = ranked[i].position;
    return order;
  }
  // A stable radix sort of (key << 32 | position) by its key bytes, starting
  // from position order, so that equal keys stay in position order.
  PageArray<std::uint64_t> items, spare;
  items.resize(n);
  spare.resize(n);
  for (std::size_t p = 0; p < n; ++p) items[p] = (std::uint64_t{descending_key(scores[p])} << 32) | p;
  for (unsigned shift = 32; shift < 64; shift += 8) {
    std::size_t offsets[256] = {};
    for (std::size_t i = 0; i < n; ++i) ++offsets[(items[i] >> shift) & 0xFF];
    if (n == 0 || offsets[(items[0] >> shift) & 0xFF] == n) continue;  // one bucket: nothing moves
    std::size_t total = 0;
    for (std::size_t& offset : offsets) {
      const std::size_t count = offset;
      offset = total;
      total += count;
    }
    for (std::size_t i = 0; i < n; ++i) spare[offsets[(items[i] >> shift) & 0xFF]++] = items[i];
    items.swap(spare);
  }
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::size_t>(items[i] & 0xFFFFFFFFu);
  return order;
}

void keep_best(std::vector<Candidate>& candidates, std::size_t k) {
  if (k < candidates.size()) {
    std::nth_element(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(k - 1), candidates.end(),
                     ranks_before);
    candidates.resize(k);
  }
  std::sort(candidates.begin(), candidates.end(), ranks_before);
}

}  // namespace velmora

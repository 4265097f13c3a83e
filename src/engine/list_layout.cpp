#include "engine/list_layout.h"

#include <algorithm>
#include <limits>

#include "engine/invariant.h"

namespace velmora {

ListLayout::ListLayout(std::size_t dim, std::vector<float> centroids, const std::vector<std::size_t>& sizes,
                       std::uint32_t default_probes)
    : dim_(dim),
      centroids_(std::move(centroids)),
      default_probes_(default_probes),
      lists_(sizes.size()),
      reach_(sizes.size(), std::numeric_limits<double>::infinity()) {
  VELMORA_CHECK(!sizes.empty() && centroids_.size() == sizes.size() * dim, "ListLayout: centroids and lists differ");
  for (std::size_t l = 0; l < sizes.size(); ++l) {
    List& list = lists_[l];
    for (std::size_t left = sizes[l]; left > 0;) {
      const std::size_t fill = std::min(left, kBlockLanes);
      list.blocks.push_back(static_cast<std::uint32_t>(owner_.size()));
      owner_.push_back(static_cast<std::uint32_t>(l));
      list.last_fill = static_cast<std::uint32_t>(fill);
      left -= fill;
    }
    records_ += sizes[l];
  }
}

std::size_t ListLayout::list_size(std::uint32_t list) const {
  const List& l = lists_[list];
  return l.blocks.empty() ? 0 : (l.blocks.size() - 1) * kBlockLanes + l.last_fill;
}

std::size_t ListLayout::blocks_for(const std::vector<std::size_t>& added) const {
  std::size_t fresh = 0;
  for (std::size_t l = 0; l < lists_.size(); ++l) {
    if (added[l] == 0) continue;
    const std::size_t fill = lists_[l].blocks.empty() ? kBlockLanes : lists_[l].last_fill;
    fresh += (fill + added[l] - 1) / kBlockLanes;
  }
  return owner_.size() + (fresh > free_blocks_.size() ? fresh - free_blocks_.size() : 0);
}

std::size_t ListLayout::append(std::uint32_t list) {
  List& l = lists_[list];
  if (l.blocks.empty() || l.last_fill == kBlockLanes) {
    std::uint32_t block;
    if (!free_blocks_.empty()) {
      block = free_blocks_.back();
      free_blocks_.pop_back();
    } else {
      block = static_cast<std::uint32_t>(owner_.size());
      owner_.push_back(kFreeBlock);
    }
    owner_[block] = list;
    l.blocks.push_back(block);
    l.last_fill = 0;
  }
  ++records_;
  return static_cast<std::size_t>(l.blocks.back()) * kBlockLanes + l.last_fill++;
}

std::size_t ListLayout::last_position(std::uint32_t list) const {
  const List& l = lists_[list];
  VELMORA_CHECK(!l.blocks.empty(), "ListLayout: the list is empty");
  return static_cast<std::size_t>(l.blocks.back()) * kBlockLanes + l.last_fill - 1;
}

void ListLayout::pop(std::uint32_t list) {
  List& l = lists_[list];
  VELMORA_CHECK(!l.blocks.empty(), "ListLayout: the list is empty");
  --records_;
  if (--l.last_fill > 0) return;
  owner_[l.blocks.back()] = kFreeBlock;
  free_blocks_.push_back(l.blocks.back());
  l.blocks.pop_back();
  l.last_fill = l.blocks.empty() ? 0 : static_cast<std::uint32_t>(kBlockLanes);
}

std::vector<std::size_t> ListLayout::positions() const {
  std::vector<std::size_t> out;
  out.reserve(records_);
  for (const List& l : lists_) {
    for (std::size_t b = 0; b < l.blocks.size(); ++b) {
      const std::size_t first = static_cast<std::size_t>(l.blocks[b]) * kBlockLanes;
      const std::size_t fill = b + 1 == l.blocks.size() ? l.last_fill : kBlockLanes;
      for (std::size_t lane = 0; lane < fill; ++lane) out.push_back(first + lane);
    }
  }
  return out;
}

std::vector<BlockRun> ListLayout::runs(const std::uint32_t* lists, std::size_t count) const {
  std::vector<BlockRun> out;
  for (std::size_t i = 0; i < count; ++i) {
    const List& l = lists_[lists[i]];
    for (std::size_t b = 0; b < l.blocks.size(); ++b) {
      const std::size_t block = l.blocks[b];
      const std::size_t end = block * kBlockLanes + (b + 1 == l.blocks.size() ? l.last_fill : kBlockLanes);
      // A block extends the run before it when it follows a full block.
      if (!out.empty() && out.back().end == block * kBlockLanes && b > 0) {
        out.back().end = end;
      } else {
        out.push_back({block, end});
      }
    }
  }
  std::sort(out.begin(), out.end(), [](const BlockRun& a, const BlockRun& b) { return a.first_block < b.first_block; });
  // Runs of different lists that meet at a block boundary read as one.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (kept > 0 && out[kept - 1].end == out[i].first_position()) {
      out[kept - 1].end = out[i].end;
    } else {
      out[kept++] = out[i];
    }
  }
  out.resize(kept);
  return out;
}

std::vector<BlockRun> ListLayout::all_runs() const {
  std::vector<std::uint32_t> every(lists_.size());
  for (std::size_t l = 0; l < every.size(); ++l) every[l] = static_cast<std::uint32_t>(l);
  return runs(every.data(), every.size());
}

}  // namespace velmora

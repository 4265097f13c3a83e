// The partitioned layout of a store's records: lists of whole blocks of 32
// positions over a pool of blocks, one list per centroid. Every block of a
// list is full but its last; a block belongs to one list or is free. A new
// record of a list takes the next lane of its last block (or a new block),
// and a removal moves the list's last record into the freed position, so
// both are O(1) and a list's records stay in its blocks. A search reads the
// blocks of the lists it probes (runs of consecutive blocks): after a
// partition each list is one run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/record_view.h"

namespace velmora {

class ListLayout {
 public:
  static constexpr std::uint32_t kFreeBlock = 0xFFFFFFFFu;

  // `sizes[l]` records in list l, laid out list after list from block 0,
  // each list from a block of its own; `centroids` holds lists x dim floats
  // (unit vectors in the rotated space).
  ListLayout(std::size_t dim, std::vector<float> centroids, const std::vector<std::size_t>& sizes,
             std::uint32_t default_probes);

  std::size_t list_count() const { return lists_.size(); }
  std::size_t dim() const { return dim_; }
  const std::vector<float>& centroids() const { return centroids_; }
  std::uint32_t default_probes() const { return default_probes_; }
  // Blocks of the pool, free or not: positions run to block_count() * 32.
  std::size_t block_count() const { return owner_.size(); }
  std::size_t record_count() const { return records_; }
  std::size_t list_size(std::uint32_t list) const;
  // The list a position's block belongs to (kFreeBlock for a free block).
  std::uint32_t list_of(std::size_t position) const { return owner_[position / kBlockLanes]; }
  // How far along its centroid direction every record of a list reaches at
  // least (error_bound.h, CosineUpperBound::beyond): +inf for a list that
  // never held a record. Removals leave it as it is (still a lower bound).
  double reach(std::uint32_t list) const { return reach_[list]; }
  void lower_reach(std::uint32_t list, double reach) { reach_[list] = std::min(reach_[list], reach); }

  // Blocks the pool must have for `added[l]` more records in each list l
  // (an upper bound that ignores removals).
  std::size_t blocks_for(const std::vector<std::size_t>& added) const;
  // The position a new record of `list` takes. The pool's arrays must reach
  // blocks_for() of it first: a full last block takes a free block or a new
  // one at the end of the pool.
  std::size_t append(std::uint32_t list);
  // The position of the last record of a (non-empty) list.
  std::size_t last_position(std::uint32_t list) const;
  // Drops the list's last record (the caller has moved it where it must
  // go); a block that empties is freed.
  void pop(std::uint32_t list);

  // Every record position, list after list, in each list's order.
  std::vector<std::size_t> positions() const;
  // The runs of consecutive blocks of the given lists, ascending.
  std::vector<BlockRun> runs(const std::uint32_t* lists, std::size_t count) const;
  // The runs of every list.
  std::vector<BlockRun> all_runs() const;

 private:
  struct List {
    std::vector<std::uint32_t> blocks;  // in order; every one full but the last
    std::uint32_t last_fill = 0;        // records in the last block (1 to 32; 0 without blocks)
  };

  std::size_t dim_;
  std::vector<float> centroids_;
  std::uint32_t default_probes_;
  std::vector<List> lists_;
  std::vector<double> reach_;               // by list
  std::vector<std::uint32_t> owner_;        // by block: its list, or kFreeBlock
  std::vector<std::uint32_t> free_blocks_;  // taken last in, first out
  std::size_t records_ = 0;
};

}  // namespace velmora

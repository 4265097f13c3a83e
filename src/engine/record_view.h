// What every search pass reads: the records of a store (codes in blocks of
// 32, norms, ids and error bounds, all by position) and the runs of
// consecutive blocks to read. A flat store is one run of all its records; a
// layout that groups its blocks in lists reads the runs of the lists a query
// probes. Passes split runs into ranges of blocks and never read across a
// run's end, so every layout shares them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/code_layout.h"
#include "engine/position_set.h"
#include "engine/similarity.h"

namespace velmora {

// Consecutive blocks of records: positions [first_block * 32, end). Lanes
// past `end` in its last block are not records.
struct BlockRun {
  std::size_t first_block = 0;
  std::size_t end = 0;

  std::size_t first_position() const { return first_block * kBlockLanes; }
  std::size_t end_block() const { return (end + kBlockLanes - 1) / kBlockLanes; }
  std::size_t block_count() const { return end_block() - first_block; }
};

struct RecordView {
  std::size_t dim = 0;
  std::uint8_t bits = 0;
  float max_norm = 0.0f;       // at least every stored norm: what a bound must allow for
  StoredEntries entries;       // every record, by position
  std::vector<BlockRun> runs;  // ascending and disjoint

  // Blocks in all runs.
  std::size_t block_count() const {
    std::size_t blocks = 0;
    for (const BlockRun& run : runs) blocks += run.block_count();
    return blocks;
  }
  // Records in all runs (lanes past a run's end aside).
  std::size_t record_count() const {
    std::size_t records = 0;
    for (const BlockRun& run : runs) records += run.end - run.first_position();
    return records;
  }
  // The positions of the runs' records that `allowed` holds (every one when
  // null), ascending.
  std::vector<std::size_t> positions(const PositionSet* allowed) const {
    std::vector<std::size_t> out;
    for (const BlockRun& run : runs) {
      for (std::size_t p = run.first_position(); p < run.end; ++p) {
        if (allowed == nullptr || allowed->contains(p)) out.push_back(p);
      }
    }
    return out;
  }
  // Whether the runs are every record of `entries` from position 0 on.
  bool covers_all() const { return runs.size() == 1 && runs[0].first_block == 0 && runs[0].end == entries.count; }
};

// The view of all `entries` as one run.
inline RecordView whole_view(std::size_t dim, std::uint8_t bits, float max_norm, const StoredEntries& entries) {
  RecordView view;
  view.dim = dim;
  view.bits = bits;
  view.max_norm = max_norm;
  view.entries = entries;
  if (entries.count > 0) view.runs.push_back({0, entries.count});
  return view;
}

}  // namespace velmora

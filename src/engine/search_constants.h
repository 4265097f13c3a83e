// The constants every search shares, in one place: how many queries have
// their tables prepared at once, how queries are grouped for the bound
// passes, how finely a pass is split into tasks, and when ranking every
// candidate beats pruning.
#pragma once

#include <cstddef>

#include "kernels/kernels.h"

namespace velmora {

// Queries whose tables are prepared at once: few enough that their tables
// (about 20 KiB each at dim 128) are still in L2 when their group runs, and
// enough for a group per task on a few threads.
inline constexpr std::size_t kPreparedQueries = 64;
// Queries rotated by one pass over the rotation matrix when many are prepared.
inline constexpr std::size_t kRotatedTogether = 16;

// Queries that share each bound pass over a range of blocks.
inline constexpr std::size_t kPassGroupQueries = kernels::kMaxBoundQueries;

// The fewest blocks a pruned pass's range holds: each range warms up its
// own k best before it prunes.
inline constexpr std::size_t kMinRangeBlocks = 128;

// Tasks a pass aims for per worker thread, so that uneven ranges even out.
inline constexpr std::size_t kTasksPerThread = 4;

// Whether a search for k of `candidates` scores and ranks every candidate
// instead of pruning: most are kept anyway.
inline bool ranks_every_candidate(std::size_t k, std::size_t candidates) { return k * 8 > candidates; }

}  // namespace velmora

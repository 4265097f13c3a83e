// The process-wide worker pool: maps a contiguous index range in pieces while
// the calling thread waits (and helps). Results are written by index, so they
// never depend on the number of workers.
#pragma once

#include <cstddef>
#include <functional>

namespace velmora {

// Threads that compute a map, the caller included: "RAYON_NUM_THREADS", else
// "RAYON_RS_NUM_CPUS" (each a positive integer), else one per logical CPU.
std::size_t configured_thread_count();

// The number of threads the process-wide pool computes with (the caller
// included); creates the pool if no map has run yet.
std::size_t pool_thread_count();

// Splits [0, n) by recursive halving into contiguous pieces, about eight per
// thread (a piece of one index is never split), and calls body(begin, end)
// for each piece on the pool. Returns when every piece is done. An exception
// thrown by a piece is rethrown on the calling thread once all running pieces
// have finished; pieces not yet started are then skipped.
void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

}  // namespace velmora

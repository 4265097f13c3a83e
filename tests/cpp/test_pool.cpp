#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "engine/invariant.h"
#include "engine/pool.h"

using velmora::parallel_for;

TEST(WorkerPool, EveryIndexVisitedExactlyOnceInContiguousPieces) {
  for (std::size_t n : {0u, 1u, 2u, 3u, 7u, 64u, 1000u, 12345u}) {
    std::vector<std::atomic<int>> visits(n);
    std::atomic<std::size_t> pieces{0};
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
      ASSERT_LT(begin, end);
      ASSERT_LE(end, n);
      ++pieces;
      for (std::size_t i = begin; i < end; ++i) visits[i]++;
    });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(visits[i].load(), 1) << "n=" << n << " i=" << i;
    if (n > 0) {
      EXPECT_LE(pieces.load(), n);
    }
  }
}

TEST(WorkerPool, FailureInAPieceReachesTheCallerAndThePoolStaysUsable) {
  EXPECT_THROW(parallel_for(1000,
                            [](std::size_t begin, std::size_t end) {
                              if (begin <= 500 && 500 < end) VELMORA_CHECK(false, "piece failed");
                            }),
               velmora::InvariantError);
  std::atomic<std::size_t> total{0};
  parallel_for(100, [&](std::size_t begin, std::size_t end) { total += end - begin; });
  EXPECT_EQ(total.load(), 100u);
}

TEST(WorkerPool, ThreadCountFollowsTheEnvironment) {
  const char* saved_a = std::getenv("RAYON_NUM_THREADS");
  const char* saved_b = std::getenv("RAYON_RS_NUM_CPUS");
  std::string keep_a = saved_a ? saved_a : "", keep_b = saved_b ? saved_b : "";
  setenv("RAYON_NUM_THREADS", "3", 1);
  setenv("RAYON_RS_NUM_CPUS", "5", 1);
  EXPECT_EQ(velmora::configured_thread_count(), 3u);
  setenv("RAYON_NUM_THREADS", "0", 1);  // not a positive integer: ignored
  EXPECT_EQ(velmora::configured_thread_count(), 5u);
  setenv("RAYON_NUM_THREADS", "two", 1);
  setenv("RAYON_RS_NUM_CPUS", "-1", 1);
  EXPECT_GE(velmora::configured_thread_count(), 1u);
  unsetenv("RAYON_NUM_THREADS");
  unsetenv("RAYON_RS_NUM_CPUS");
  if (saved_a) setenv("RAYON_NUM_THREADS", keep_a.c_str(), 1);
  if (saved_b) setenv("RAYON_RS_NUM_CPUS", keep_b.c_str(), 1);
}

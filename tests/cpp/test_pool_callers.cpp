// The pool with several calling threads at once, as when Python threads
// call velmora.Index with the interpreter lock released: every map still
// covers its range exactly once, failures reach only their own caller, and
// no caller waits for ever.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/invariant.h"
#include "engine/pool.h"

TEST(WorkerPoolCallers, ConcurrentMapsEachCoverTheirRangeOnce) {
  constexpr int kCallers = 4, kRounds = 150;
  std::atomic<int> wrong{0}, failures_seen{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([c, &wrong, &failures_seen] {
      for (int round = 0; round < kRounds; ++round) {
        const std::size_t n = 1 + static_cast<std::size_t>((c * 7919 + round * 104729) % 5000);
        std::vector<std::atomic<int>> visits(n);
        const bool fail = round % 10 == c;
        try {
          velmora::parallel_for(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) visits[i]++;
            if (fail && begin == 0) VELMORA_CHECK(false, "this caller's piece failed");
          });
          if (fail) wrong++;
        } catch (const velmora::InvariantError&) {
          if (!fail) wrong++;
          failures_seen++;
          continue;
        }
        for (std::size_t i = 0; i < n; ++i) {
          if (visits[i].load() != 1) wrong++;
        }
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(failures_seen.load(), kCallers * kRounds / 10);
}

// Rotations and codebooks are the same in every process and on every thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "engine/codebook.h"
#include "engine/rotation.h"

namespace {

// Runs the digest tool and returns its output line.
std::string engine_digest() {
  std::FILE* pipe = popen(ENGINE_HASH_TOOL, "r");
  if (pipe == nullptr) return "popen failed";
  std::string out;
  char buf[128];
  while (std::fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
  const int status = pclose(pipe);
  if (status != 0) return "exit status " + std::to_string(status);
  return out;
}

TEST(Determinism, TwoProcessesBuildIdenticalTables) {
  const std::string first = engine_digest();
  const std::string second = engine_digest();
  // A 64-bit digest printed as 16 hex digits and a newline.
  EXPECT_EQ(first.size(), 17u) << first;
  EXPECT_EQ(first, second);
}

constexpr std::uint64_t kFirstDim = 40;
constexpr std::uint64_t kDims = 8;  // 40 .. 47, requested nowhere else
constexpr int kThreads = 4;

struct Seen {
  std::vector<velmora::RotationHandle> rotations;
  std::vector<velmora::CodebookHandle> codebooks;
  bool all_ok = true;
};

// All threads start together and walk the fresh keys in different orders, so
// that several miss on the same key at once and race to insert it.
TEST(Determinism, ConcurrentFirstRequestsAgreeAndCacheEachKeyOnce) {
  const std::size_t rotations_before = velmora::cached_rotation_count();
  const std::size_t codebooks_before = velmora::cached_codebook_count();
  std::vector<Seen> seen(kThreads);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Seen& mine = seen[t];
      mine.rotations.resize(kDims);
      mine.codebooks.resize(kDims);
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (std::uint64_t k = 0; k < kDims; ++k) {
        const std::uint64_t slot = t % 2 == 0 ? k : kDims - 1 - k;
        auto r = velmora::get_rotation(kFirstDim + slot);
        auto c = velmora::get_codebook(kFirstDim + slot, 3);
        if (!r.ok() || !c.ok()) {
          mine.all_ok = false;
          return;
        }
        mine.rotations[slot] = r.value();
        mine.codebooks[slot] = c.value();
      }
    });
  }
  for (auto& th : threads) th.join();

  EXPECT_EQ(velmora::cached_rotation_count(), rotations_before + kDims);
  EXPECT_EQ(velmora::cached_codebook_count(), codebooks_before + kDims);
  for (std::uint64_t k = 0; k < kDims; ++k) {
    const auto cached_rotation = velmora::get_rotation(kFirstDim + k);
    const auto cached_codebook = velmora::get_codebook(kFirstDim + k, 3);
    ASSERT_TRUE(cached_rotation.ok() && cached_codebook.ok());
    const velmora::Rotation& r = *cached_rotation.value();
    const velmora::Codebook& c = *cached_codebook.value();
    EXPECT_EQ(r.dim, kFirstDim + k);
    EXPECT_EQ(c.dim, kFirstDim + k);
    for (int t = 0; t < kThreads; ++t) {
      ASSERT_TRUE(seen[t].all_ok) << "thread " << t;
      // Losers of the insertion race keep their own copy; it must be equal.
      EXPECT_EQ(seen[t].rotations[k]->matrix, r.matrix) << "dim " << kFirstDim + k << ", thread " << t;
      EXPECT_EQ(seen[t].codebooks[k]->centroids, c.centroids) << "dim " << kFirstDim + k;
      EXPECT_EQ(seen[t].codebooks[k]->boundaries, c.boundaries) << "dim " << kFirstDim + k;
    }
    // Once cached, every request returns the cached object.
    EXPECT_EQ(velmora::get_rotation(kFirstDim + k).value().get(), &r);
    EXPECT_EQ(velmora::get_codebook(kFirstDim + k, 3).value().get(), &c);
  }
}

}  // namespace

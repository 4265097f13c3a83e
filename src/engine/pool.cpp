#include "engine/pool.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace velmora {

namespace {

// A positive integer, or 0 when the variable is unset or not one.
std::size_t positive_env(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return 0;
  std::size_t value = 0;
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9') return 0;
    if (value > (static_cast<std::size_t>(-1) - 9) / 10) return 0;
    value = value * 10 + static_cast<std::size_t>(*c - '0');
  }
  return value;
}

std::size_t logical_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

struct Job {
  const std::function<void(std::size_t, std::size_t)>* body = nullptr;
  std::vector<std::pair<std::size_t, std::size_t>> pieces;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> finished{0};
  std::atomic<bool> failed{false};
  std::mutex error_mutex;
  std::exception_ptr error;

  // Runs pieces until none is left; true if this call finished the last one.
  bool work() {
    bool finished_last = false;
    for (;;) {
      const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= pieces.size()) return finished_last;
      if (!failed.load(std::memory_order_relaxed)) {
        try {
          (*body)(pieces[i].first, pieces[i].second);
        } catch (...) {
          std::lock_guard<std::mutex> lock(error_mutex);
          if (!error) error = std::current_exception();
          failed.store(true, std::memory_order_relaxed);
        }
      }
      if (finished.fetch_add(1, std::memory_order_acq_rel) + 1 == pieces.size()) finished_last = true;
    }
  }
};

void split(std::size_t begin, std::size_t end, std::size_t grain,
           std::vector<std::pair<std::size_t, std::size_t>>& out) {
  if (end - begin <= grain || end - begin < 2) {
    out.emplace_back(begin, end);
    return;
  }
  const std::size_t mid = begin + (end - begin) / 2;
  split(begin, mid, grain, out);
  split(mid, end, grain, out);
}

class Pool {
 public:
  explicit Pool(std::size_t threads) {
    for (std::size_t i = 1; i < threads; ++i) {
      try {
        workers_.emplace_back([this] { worker_loop(); });
      } catch (const std::system_error&) {
        break;  // compute with the threads the system would give us
      }
    }
  }

  std::size_t threads() const { return workers_.size() + 1; }

  void run(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
    if (n == 0) return;
    if (workers_.empty()) {
      body(0, n);
      return;
    }
    auto job = std::make_shared<Job>();
    job->body = &body;
    const std::size_t target_pieces = threads() * 8;
    split(0, n, (n + target_pieces - 1) / target_pieces, job->pieces);

    std::lock_guard<std::mutex> one_job_at_a_time(submit_mutex_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      current_ = job;
      ++generation_;
    }
    wake_.notify_all();
    job->work();
    {
      std::unique_lock<std::mutex> lock(mutex_);
      finished_.wait(lock, [&] { return job->finished.load() == job->pieces.size(); });
      current_.reset();
    }
    if (job->error) std::rethrow_exception(job->error);
  }

 private:
  void worker_loop() {
    std::uint64_t seen = 0;
    for (;;) {
      std::shared_ptr<Job> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return generation_ != seen; });
        seen = generation_;
        job = current_;
      }
      if (job && job->work()) {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_.notify_all();
      }
    }
  }

  std::mutex submit_mutex_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  std::shared_ptr<Job> current_;
  std::uint64_t generation_ = 0;
  std::vector<std::thread> workers_;
};

// The pool lives until the process ends; its threads are never joined. A
// forked child has none of the parent's threads, so it starts a pool of its own.
std::mutex* g_pool_mutex = new std::mutex();
Pool* g_pool = nullptr;

void reset_pool_in_child() {
  g_pool_mutex = new std::mutex();
  g_pool = nullptr;
}

Pool& pool() {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, reset_pool_in_child);
    return true;
  }();
  (void)registered;
  std::lock_guard<std::mutex> lock(*g_pool_mutex);
  if (g_pool == nullptr) g_pool = new Pool(configured_thread_count());
  return *g_pool;
}

}  // namespace

std::size_t configured_thread_count() {
  if (std::size_t n = positive_env("RAYON_NUM_THREADS")) return n;
  if (std::size_t n = positive_env("RAYON_RS_NUM_CPUS")) return n;
  return logical_cpus();
}

std::size_t pool_thread_count() { return pool().threads(); }

void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) { pool().run(n, body); }

}  // namespace velmora

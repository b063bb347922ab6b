// OrderedParallel: independent jobs on worker threads, finished in order on
// the calling thread.
//
// job(k, worker) runs for every k in [0, n) on one of `workers` threads
// (worker is 0..workers-1, so a job can use per-worker scratch state), and
// done(k) runs on the calling thread for k = 0, 1, ... each as soon as job k
// has finished. With workers 0 or n <= 1, everything runs on the calling
// thread, job then done, one k at a time.
//
// With a window, job k starts only once done has run for k - window, so at
// most `window` finished jobs wait for their done (bounded memory when each
// job makes something big); window 0 lets the jobs run ahead freely.
//
// A throw from a job is rethrown on the calling thread in place of its done;
// a throw from done (a host cancelling from its yield hook) stops the jobs
// not yet started. Either way the workers are joined before the exception
// leaves, and no job runs after OrderedParallel returns.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace zoetra::platform {

template <class Job, class Done>
void OrderedParallel(std::size_t n, unsigned workers, Job&& job, Done&& done, std::size_t window = 0) {
  if (workers == 0 || n <= 1) {
    for (std::size_t k = 0; k < n; ++k) {
      job(k, 0u);
      done(k);
    }
    return;
  }
  if (workers > n) workers = static_cast<unsigned>(n);

  struct Shared {
    std::mutex mutex;
    std::condition_variable finished;
    std::vector<char> ready;
    std::vector<std::exception_ptr> failures;
    std::condition_variable consumed;
    std::size_t done_count = 0;  // under mutex
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
  } shared;
  shared.ready.assign(n, 0);
  shared.failures.assign(n, nullptr);

  const auto work = [&](unsigned worker) {
    for (;;) {
      if (shared.stop.load(std::memory_order_relaxed)) return;
      const std::size_t k = shared.next.fetch_add(1);
      if (k >= n) return;
      if (window != 0) {
        std::unique_lock lock(shared.mutex);
        shared.consumed.wait(lock, [&] { return k < shared.done_count + window || shared.stop.load(); });
        if (shared.stop.load()) return;
      }
      std::exception_ptr failure;
      try {
        job(k, worker);
      } catch (...) {
        failure = std::current_exception();
      }
      {
        std::lock_guard lock(shared.mutex);
        shared.failures[k] = failure;
        shared.ready[k] = 1;
      }
      shared.finished.notify_all();
    }
  };

  std::vector<std::thread> threads;
  const auto join_all = [&] {
    {
      std::lock_guard lock(shared.mutex);
      shared.stop = true;
    }
    shared.consumed.notify_all();
    for (std::thread& t : threads) t.join();
  };
  try {
    threads.reserve(workers);
    for (unsigned w = 0; w < workers; ++w) threads.emplace_back(work, w);
    for (std::size_t k = 0; k < n; ++k) {
      std::exception_ptr failure;
      {
        std::unique_lock lock(shared.mutex);
        shared.finished.wait(lock, [&] { return shared.ready[k] != 0; });
        failure = shared.failures[k];
      }
      if (failure) std::rethrow_exception(failure);
      done(k);
      if (window != 0) {
        {
          std::lock_guard lock(shared.mutex);
          shared.done_count = k + 1;
        }
        shared.consumed.notify_all();
      }
    }
  } catch (...) {
    join_all();
    throw;
  }
  join_all();
}

}  // namespace zoetra::platform

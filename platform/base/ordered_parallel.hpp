// OrderedParallel: independent jobs spread over threads, finished in order on
// the calling thread.
//
// job(k, worker) runs once for every k in [0, n), on the calling thread or on
// one of up to threads - 1 helpers from the process's worker pool; worker
// (0 for the calling thread, 1..threads-1 for the helpers) is unique among
// the jobs running at one time, so a job can use per-worker scratch state.
// done(k) runs on the calling thread for k = 0, 1, ... each as soon as job k
// has finished. With threads <= 1 or n <= 1, everything runs on the calling
// thread, job then done, one k at a time.
//
// The calling thread takes jobs itself while the one it waits for is not
// finished, so the call completes even when the pool is busy with other
// conversions, has no thread at all, or is this very call's caller blocked
// in a nested one. Helpers never wait for anything but their own job.
//
// With a window, job k starts only once done has run for k - window, so at
// most `window` finished jobs wait for their done (bounded memory when each
// job makes something big); window 0 lets the jobs run ahead freely.
//
// A throw from a job is rethrown on the calling thread in place of its done;
// a throw from done (a host cancelling from its yield hook) stops the jobs
// not yet started. Either way the jobs running are waited for before the
// exception leaves, and no job runs after OrderedParallel returns.
//
// Helpers run their jobs under the calling thread's stop query (yield.hpp).
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/base/yield.hpp"

namespace zoetra::platform {
namespace detail {

// What the call shares with its helpers. Helpers still queued in the pool
// when the call returns hold it alive and find it closed.
struct OrderedRun {
  std::mutex mutex;
  std::condition_variable changed;  // a job finished or a helper left
  std::size_t n = 0;
  std::size_t window = 0;
  std::size_t next = 0;        // the next job to claim
  std::size_t done_count = 0;  // done has run for jobs below this
  bool open = true;            // false once the call is over
  bool stop = false;
  unsigned helpers = 0;        // posted and not yet left
  unsigned running = 0;        // helpers inside the call
  std::vector<char> ready;
  std::vector<std::exception_ptr> failures;
  std::vector<char> worker_busy;  // worker ids 1..threads-1 handed to helpers
  void (*call_job)(void* job, std::size_t k, unsigned worker) = nullptr;
  void* job = nullptr;
  SharedStopQuery stop_query;  // the calling thread's

  bool Claimable() const { return !stop && next < n && (window == 0 || next < done_count + window); }

  // Claims and runs one job; called and returns with the lock held.
  void RunOne(std::unique_lock<std::mutex>& lock, unsigned worker) {
    const std::size_t k = next++;
    lock.unlock();
    std::exception_ptr failure;
    try {
      call_job(job, k, worker);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    failures[k] = std::move(failure);
    ready[k] = 1;
    changed.notify_all();
  }
};

// Posts helpers to the pool until `wanted` are out or the pool refuses one.
// Called with the run's lock held.
void PostHelpers(const std::shared_ptr<OrderedRun>& run, unsigned wanted);

}  // namespace detail

template <class Job, class Done>
void OrderedParallel(std::size_t n, unsigned threads, Job&& job, Done&& done, std::size_t window = 0) {
  if (threads <= 1 || n <= 1) {
    for (std::size_t k = 0; k < n; ++k) {
      job(k, 0u);
      done(k);
    }
    return;
  }
  const unsigned helpers = static_cast<unsigned>(std::min<std::size_t>(threads, n) - 1);

  auto run = std::make_shared<detail::OrderedRun>();
  run->n = n;
  run->window = window;
  run->stop_query = CurrentStopQuery();
  run->ready.assign(n, 0);
  run->failures.assign(n, nullptr);
  run->worker_busy.assign(std::size_t{helpers} + 1, 0);
  using JobType = std::remove_reference_t<Job>;
  run->job = const_cast<void*>(static_cast<const void*>(std::addressof(job)));
  run->call_job = [](void* j, std::size_t k, unsigned worker) { (*static_cast<JobType*>(j))(k, worker); };

  const auto close = [&] {
    std::unique_lock lock(run->mutex);
    run->stop = true;
    run->open = false;
    run->changed.wait(lock, [&] { return run->running == 0; });
    // The last reference to a job's exception goes here, not on whichever
    // pool thread happens to drop a queued helper later.
    run->failures.clear();
  };
  try {
    {
      std::lock_guard lock(run->mutex);
      detail::PostHelpers(run, helpers);
    }
    for (std::size_t k = 0; k < n; ++k) {
      std::exception_ptr failure;
      {
        std::unique_lock lock(run->mutex);
        while (run->ready[k] == 0) {
          if (run->Claimable()) {
            run->RunOne(lock, 0);
          } else {
            run->changed.wait(lock);
          }
        }
        failure = run->failures[k];
      }
      if (failure) std::rethrow_exception(failure);
      done(k);
      if (window != 0) {
        // Helpers that found the window full have left; the window moved.
        std::lock_guard lock(run->mutex);
        run->done_count = k + 1;
        detail::PostHelpers(run, helpers);
      }
    }
  } catch (...) {
    close();
    throw;
  }
  close();
}

}  // namespace zoetra::platform

// Test helpers around the process's worker pool (platform/base/worker_pool.hpp).
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

#include "platform/base/worker_pool.hpp"
#include "support/limits_scope.hpp"

namespace zoetra::test {

// Returns once a pool thread has taken a task posted now (or the pool had no
// thread left to take it). A thread takes a task only while the pool is within
// its limit, so threads past a lowered limit are gone by then.
inline void DrainPool() {
  auto taken = std::make_shared<std::promise<void>>();
  std::future<void> future = taken->get_future();
  // The task holds the only reference: dropped by the last thread to leave,
  // it breaks the promise, which also ends the wait.
  if (platform::PostToPool([taken = std::move(taken)] { taken->set_value(); })) future.wait();
}

// Ends every idle pool thread now rather than after its idle time: with no
// thread allowed, each leaves, and the last drops the task DrainPool posts.
// The limit is put back after.
inline void EndPoolThreads() {
  const LimitsScope limits(1);
  DrainPool();
}

// Holds `count` pool threads in tasks that wait for the end of the scope, so
// the pool has no thread free for anyone else. The limit must allow `count`
// threads; the constructor returns once every one of them is held.
class PoolHold {
 public:
  explicit PoolHold(int count) : gate_(std::make_shared<Gate>()) {
    for (int i = 0; i < count; ++i) {
      if (!platform::PostToPool([gate = gate_] {
            std::unique_lock lock(gate->mutex);
            ++gate->held;
            gate->changed.notify_all();
            gate->changed.wait(lock, [&] { return gate->open; });
          })) {
        ADD_FAILURE() << "the pool refused task " << i;
        return;
      }
    }
    std::unique_lock lock(gate_->mutex);
    gate_->changed.wait(lock, [&] { return gate_->held == count; });
  }
  ~PoolHold() {
    std::lock_guard lock(gate_->mutex);
    gate_->open = true;
    gate_->changed.notify_all();
  }
  PoolHold(const PoolHold&) = delete;
  PoolHold& operator=(const PoolHold&) = delete;

 private:
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int held = 0;
    bool open = false;
  };
  std::shared_ptr<Gate> gate_;
};

}  // namespace zoetra::test

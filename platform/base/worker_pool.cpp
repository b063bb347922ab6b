#include "platform/base/worker_pool.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/base/limits.hpp"

namespace zoetra::platform {
namespace {

struct Pool {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> queue;
  std::size_t threads = 0;
  std::size_t idle = 0;
};

// Never destroyed: detached threads may still wait on it while the process exits.
Pool& ThePool() {
  static Pool* pool = new Pool;
  return *pool;
}

std::size_t Capacity() {
  return static_cast<std::size_t>(std::max(1, GetLimits().max_threads) - 1);
}

void Serve(Pool& pool) {
  std::unique_lock lock(pool.mutex);
  for (;;) {
    if (pool.threads > Capacity()) break;  // the host lowered the limit
    if (pool.queue.empty()) {
      ++pool.idle;
      pool.wake.wait(lock);
      --pool.idle;
      continue;
    }
    std::function<void()> task = std::move(pool.queue.front());
    pool.queue.pop_front();
    lock.unlock();
    task();
    task = nullptr;  // whatever it holds is let go outside the lock
    lock.lock();
  }
  --pool.threads;
  // A thread that leaves with tasks queued hands them on to one that stays;
  // the last one drops them (their posters finish the work themselves).
  std::deque<std::function<void()>> dropped;
  if (pool.threads == 0) dropped.swap(pool.queue);
  if (!pool.queue.empty()) pool.wake.notify_one();
  lock.unlock();
}

}  // namespace

bool PostToPool(std::function<void()> task) {
  Pool& pool = ThePool();
  const std::size_t capacity = Capacity();
  std::lock_guard lock(pool.mutex);
  if (pool.queue.size() >= pool.idle && pool.threads < capacity) {
    try {
      std::thread(Serve, std::ref(pool)).detach();
      ++pool.threads;
    } catch (const std::system_error&) {
      // No new thread: the threads there are (or the poster) do the work.
    }
  }
  if (pool.threads == 0) return false;
  pool.queue.push_back(std::move(task));
  pool.wake.notify_one();
  return true;
}

std::size_t PoolThreadCount() {
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  return pool.threads;
}

}  // namespace zoetra::platform

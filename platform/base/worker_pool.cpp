#include "platform/base/worker_pool.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/base/limits.hpp"

namespace zoetra::platform {
namespace {

using Clock = std::chrono::steady_clock;

struct Pool {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> queue;
  std::vector<std::thread> workers;   // started and not yet joined
  std::vector<std::thread::id> left;  // workers past their last use of the pool
  std::size_t threads = 0;            // workers serving
  std::size_t idle = 0;
  bool closing = false;

  // Ends the pool: queued tasks are dropped, idle workers leave, a worker in
  // a task finishes it; all are joined.
  void Close() {
    std::vector<std::thread> joined;
    std::deque<std::function<void()>> dropped;
    {
      std::lock_guard lock(mutex);
      closing = true;
      dropped.swap(queue);
      joined.swap(workers);
      wake.notify_all();
    }
    for (std::thread& t : joined) {
      if (t.get_id() == std::this_thread::get_id()) {
        t.detach();  // exit called from a task: this thread ends with the process
      } else {
        t.join();
      }
    }
  }

  // Takes the workers that have left out of `workers`, for joining after the
  // lock is let go. They need the pool no more, so joining them is quick.
  std::vector<std::thread> TakeLeft() {
    std::vector<std::thread> gone;
    for (const std::thread::id id : left) {
      const auto it = std::find_if(workers.begin(), workers.end(),
                                   [&](const std::thread& t) { return t.get_id() == id; });
      if (it == workers.end()) continue;
      gone.push_back(std::move(*it));
      workers.erase(it);
    }
    left.clear();
    return gone;
  }
};

// Ends the pool with the library's other statics, when the library is
// unloaded or the process exits: no pool thread may be left in code that goes
// away.
struct PoolOwner {
  Pool* pool = new Pool;
  const pid_t process = ::getpid();
  ~PoolOwner() {
    // A forked child ending: the workers are the parent's, with no thread here
    // to join, and the condition variable may count them as waiting.
    if (::getpid() != process) return;
    pool->Close();
    delete pool;
  }
};

Pool& ThePool() {
  static PoolOwner owner;
  return *owner.pool;
}

// How long a worker waits for a task before it leaves. Starting one again
// costs far less than a conversion; a pool with no thread lets the library go.
constexpr auto kIdleTime = std::chrono::seconds(2);

std::size_t Capacity() {
  return static_cast<std::size_t>(std::max(1, GetLimits().max_threads) - 1);
}

void JoinAll(std::vector<std::thread>& threads) {
  for (std::thread& t : threads) t.join();
}

void Serve(Pool& pool) {
  std::unique_lock lock(pool.mutex);
  Clock::time_point leave_at = Clock::now() + kIdleTime;
  for (;;) {
    // The library is going, or the host lowered the limit.
    if (pool.closing || pool.threads > Capacity()) break;
    if (pool.queue.empty()) {
      if (Clock::now() >= leave_at) break;
      ++pool.idle;
      pool.wake.wait_until(lock, leave_at);
      --pool.idle;
      continue;
    }
    std::function<void()> task = std::move(pool.queue.front());
    pool.queue.pop_front();
    lock.unlock();
    task();
    task = nullptr;  // whatever it holds is let go outside the lock
    lock.lock();
    leave_at = Clock::now() + kIdleTime;
  }
  --pool.threads;
  // Whoever joins it next waits at most for the drop below.
  if (!pool.closing) pool.left.push_back(std::this_thread::get_id());
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
  std::vector<std::thread> gone;
  bool posted = false;
  {
    std::lock_guard lock(pool.mutex);
    if (pool.closing) return false;
    gone = pool.TakeLeft();
    if (pool.queue.size() >= pool.idle && pool.threads < capacity) {
      try {
        pool.workers.emplace_back(Serve, std::ref(pool));
        ++pool.threads;
      } catch (const std::system_error&) {
        // No new thread: the threads there are (or the poster) do the work.
      }
    }
    if (pool.threads != 0) {
      pool.queue.push_back(std::move(task));
      pool.wake.notify_one();
      posted = true;
    }
  }
  JoinAll(gone);
  return posted;
}

std::size_t PoolThreadCount() {
  Pool& pool = ThePool();
  std::vector<std::thread> gone;
  std::size_t count = 0;
  {
    std::lock_guard lock(pool.mutex);
    gone = pool.TakeLeft();
    count = pool.workers.size();
  }
  JoinAll(gone);
  return count;
}

}  // namespace zoetra::platform

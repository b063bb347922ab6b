#include "platform/base/ordered_parallel.hpp"

#include <algorithm>

#include "platform/base/worker_pool.hpp"

namespace zoetra::platform::detail {
namespace {

void Help(const std::shared_ptr<OrderedRun>& run) {
  std::unique_lock lock(run->mutex);
  if (!run->open) return;  // queued past the end of the call
  const StopQueryScope stop(run->stop_query);
  ++run->running;
  const auto free = std::find(run->worker_busy.begin() + 1, run->worker_busy.end(), 0);
  const auto worker = static_cast<unsigned>(free - run->worker_busy.begin());
  *free = 1;
  while (run->Claimable()) run->RunOne(lock, worker);
  *free = 0;
  --run->running;
  --run->helpers;
  run->changed.notify_all();
}

}  // namespace

void PostHelpers(const std::shared_ptr<OrderedRun>& run, unsigned wanted) {
  while (run->helpers < wanted && run->next + run->helpers < run->n && run->Claimable()) {
    if (!PostToPool([run] { Help(run); })) return;
    ++run->helpers;
  }
}

}  // namespace zoetra::platform::detail

// The process's worker threads, shared by every conversion of every host thread.
//
// Threads start on demand, up to Limits::max_threads - 1 (a conversion's own
// calling thread is the last one), and then stay, idle, for the next task;
// when the host lowers the limit, threads past it leave after their task.
// Tasks must never wait for other tasks: a pool may be busy or empty, so
// whoever posts work must be able to finish it alone (OrderedParallel's
// calling thread takes any job no worker has taken).
#pragma once

#include <cstddef>
#include <functional>

namespace zoetra::platform {

// Queues `task` for a pool thread. False when no thread can ever take it
// (max_threads is 1, or no thread could be started): then it is dropped.
// A task must not throw.
bool PostToPool(std::function<void()> task);

// Threads the pool holds now (busy or idle).
std::size_t PoolThreadCount();

}  // namespace zoetra::platform

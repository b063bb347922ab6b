// The process's worker threads, shared by every conversion of every host thread.
//
// Threads start on demand, up to Limits::max_threads - 1 (a conversion's own
// calling thread is the last one), and then stay, idle, for the next task
// for a short while (seconds) before they leave; when the host lowers the
// limit, threads past it leave after their task. The pool joins every thread
// it started before the library is unloaded or the process ends.
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

// Threads of the pool that live now (busy, idle or leaving). Threads that
// have left are joined first, so 0 means no pool thread runs the library's
// code, and none will until the next PostToPool: the library may be unloaded.
std::size_t PoolThreadCount();

}  // namespace zoetra::platform

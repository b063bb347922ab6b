#include "platform/base/yield.hpp"

#include "platform/base/error.hpp"

namespace zoetra::platform {
namespace {
thread_local YieldHook t_hook;
thread_local SharedStopQuery t_stop;
}  // namespace

YieldHook SetYieldHook(YieldHook hook) {
  YieldHook previous = std::move(t_hook);
  t_hook = std::move(hook);
  return previous;
}

void DoEvents(const YieldInfo& info) {
  if (!t_hook) return;
  // A copy, so a hook that replaces itself (or re-enters) stays alive for this call.
  const YieldHook hook = t_hook;
  hook(info);
}

}  // namespace zoetra::platform

namespace zoetra::platform {

SharedStopQuery SetStopQuery(SharedStopQuery query) {
  if (query && !*query) query.reset();
  SharedStopQuery previous = std::move(t_stop);
  t_stop = std::move(query);
  return previous;
}

SharedStopQuery CurrentStopQuery() { return t_stop; }

void CheckStop() {
  if (t_stop && (*t_stop)()) RaiseError(kErrStopped, "the conversion was stopped by its host");
}

}  // namespace zoetra::platform

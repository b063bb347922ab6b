#include "platform/base/yield.hpp"

namespace zoetra::platform {
namespace {
thread_local YieldHook t_hook;
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

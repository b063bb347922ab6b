#include "platform/limits.hpp"

#include <mutex>

namespace zoetra::platform {
namespace {
std::mutex g_mutex;
Limits g_limits;
}  // namespace

Limits GetLimits() {
  std::lock_guard lock(g_mutex);
  return g_limits;
}

void SetLimits(const Limits& limits) {
  std::lock_guard lock(g_mutex);
  g_limits = limits;
}

}  // namespace zoetra::platform

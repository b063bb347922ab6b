#include "platform/base/limits.hpp"

#include <algorithm>
#include <mutex>
#include <thread>

namespace zoetra::platform {
namespace {
std::mutex g_mutex;
// Made on first use: its thread count is read at run time.
Limits& Stored() {
  static Limits limits;
  return limits;
}
}  // namespace

std::int32_t HardwareThreads() {
  return static_cast<std::int32_t>(std::clamp(std::thread::hardware_concurrency(), 1u, 1024u));
}

Limits GetLimits() {
  std::lock_guard lock(g_mutex);
  return Stored();
}

void SetLimits(const Limits& limits) {
  std::lock_guard lock(g_mutex);
  Stored() = limits;
}

}  // namespace zoetra::platform

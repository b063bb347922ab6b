// Test helper: installs a yield hook on the calling thread for the life of the object.
#pragma once

#include <utility>

#include "platform/base/yield.hpp"

namespace zoetra::test {

class HookScope {
 public:
  explicit HookScope(platform::YieldHook hook) : previous_(platform::SetYieldHook(std::move(hook))) {}
  ~HookScope() { platform::SetYieldHook(std::move(previous_)); }
  HookScope(const HookScope&) = delete;
  HookScope& operator=(const HookScope&) = delete;

 private:
  platform::YieldHook previous_;
};

}  // namespace zoetra::test

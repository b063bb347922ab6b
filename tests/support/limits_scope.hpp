// Test helper: the process-wide limits as they were are put back at scope end,
// so a test that lowers or raises one cannot leak it into the next.
#pragma once

#include <cstdint>

#include "platform/base/limits.hpp"

namespace zoetra::test {

class LimitsScope {
 public:
  LimitsScope() = default;
  explicit LimitsScope(std::int32_t max_threads) { SetMaxThreads(max_threads); }
  ~LimitsScope() { platform::SetLimits(saved_); }
  LimitsScope(const LimitsScope&) = delete;
  LimitsScope& operator=(const LimitsScope&) = delete;

  void SetMaxThreads(std::int32_t max_threads) const {
    platform::Limits limits = platform::GetLimits();
    limits.max_threads = max_threads;
    platform::SetLimits(limits);
  }
  const platform::Limits& saved() const { return saved_; }

 private:
  platform::Limits saved_ = platform::GetLimits();
};

}  // namespace zoetra::test

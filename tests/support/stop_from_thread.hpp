// Test helper: a stop query on the calling thread, for the life of the object,
// that a host thread of its own turns to "stop" once the query has been asked
// `at` times (from any thread). The thread that asks the `at`th time waits
// there for the host, so the stop lands at that point whatever the timing.
#pragma once

#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include "platform/base/yield.hpp"

namespace zoetra::test {

class StopFromAnotherThread {
 public:
  explicit StopFromAnotherThread(int at)
      : at_(at),
        host_([this, seen = reached_.get_future()]() mutable {
          seen.wait();
          stop_ = true;
        }),
        previous_(platform::SetStopQuery(std::make_shared<const platform::StopQuery>([this] {
          if (++asked_ == at_) {
            reached_.set_value();
            while (!stop_) std::this_thread::yield();
          }
          return stop_.load();
        }))) {}
  ~StopFromAnotherThread() {
    platform::SetStopQuery(std::move(previous_));
    if (asked_ < at_) reached_.set_value();  // never reached (the test fails): the host ends all the same
    host_.join();
  }
  StopFromAnotherThread(const StopFromAnotherThread&) = delete;
  StopFromAnotherThread& operator=(const StopFromAnotherThread&) = delete;

  // Times the query was asked, the `at`th included.
  int asked() const { return asked_.load(); }

 private:
  const int at_;
  std::atomic<bool> stop_{false};
  std::atomic<int> asked_{0};
  std::promise<void> reached_;
  std::thread host_;
  platform::SharedStopQuery previous_;
};

}  // namespace zoetra::test

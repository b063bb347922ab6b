// Test helper: collects event-log entries for the life of the object.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/base/eventlog.hpp"

namespace zoetra::test {

class LogCapture {
 public:
  LogCapture() {
    previous_ = platform::SetEventLogSink(
        [this](platform::EventType t, std::string_view s) { entries.emplace_back(t, std::string(s)); });
  }
  ~LogCapture() { platform::SetEventLogSink(std::move(previous_)); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::pair<platform::EventType, std::string>> entries;

 private:
  platform::EventLogSink previous_;
};

}  // namespace zoetra::test

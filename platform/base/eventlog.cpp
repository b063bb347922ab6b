#include "platform/base/eventlog.hpp"

#include <syslog.h>

#include <mutex>
#include <string>

namespace zoetra::platform {
namespace {

std::mutex g_mutex;
EventLogSink g_sink;

void WriteSyslog(EventType type, std::string_view text) {
  static std::once_flag opened;
  std::call_once(opened, [] { ::openlog("ZoetraCom", LOG_PID | LOG_NDELAY, LOG_USER); });
  const int priority = type == EventType::Error ? LOG_ERR : type == EventType::Warning ? LOG_WARNING : LOG_INFO;
  const std::string copy(text);
  ::syslog(priority, "%s", copy.c_str());
}

}  // namespace

EventLogSink SetEventLogSink(EventLogSink sink) {
  std::lock_guard lock(g_mutex);
  EventLogSink previous = std::move(g_sink);
  g_sink = std::move(sink);
  return previous;
}

void LogEvent(EventType type, std::string_view text) noexcept {
  try {
    EventLogSink sink;
    {
      std::lock_guard lock(g_mutex);
      sink = g_sink;
    }
    if (sink) {
      sink(type, text);
    } else {
      WriteSyslog(type, text);
    }
  } catch (...) {
    // A log that cannot be written never changes the outcome of the call.
  }
}

}  // namespace zoetra::platform

// The application event log. By default each entry goes to syslog with the
// identity "ZoetraCom" (error entries at error priority). A host or a test can
// install its own sink. Writing never fails towards the caller: a sink that
// throws is ignored.
#pragma once

#include <functional>
#include <string_view>

#include "platform/base/export.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra::platform {

enum class EventType : int { Error = 1, Warning = 2, Information = 4 };

using EventLogSink = std::function<void(EventType type, std::string_view text)>;

// Installs `sink` for the whole process (an empty function restores syslog) and
// returns the previous one.
EventLogSink SetEventLogSink(EventLogSink sink);
void LogEvent(EventType type, std::string_view text) noexcept;

}  // namespace zoetra::platform

ZOETRA_PUBLIC_END

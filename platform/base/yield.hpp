// The message-loop yield. A host installs a hook per thread; long operations
// call DoEvents between stages so the host can process its messages, show
// progress, or cancel by throwing (the exception ends the operation like any
// other failure). Without a hook DoEvents does nothing.
//
// Work inside one stage (scaling a large picture, counting or mapping its
// colours) can take seconds, on any of the conversion's threads, where no
// yield comes. It asks the host's stop query instead: a host installs one per
// thread beside its hook, and work handed to other threads takes the query of
// the thread that handed it (OrderedParallel does). The query is called from
// any of those threads, often (every few rows), so it must be thread-safe and
// cheap: reading a flag.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/base/export.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra::platform {

enum class YieldStage : std::uint8_t {
  PictureStart,   // before picture `picture` of `pictures` is loaded
  ChannelSwap,    // after the optional red/green exchange
  Flip,           // after the picture was turned upright
  Dither,         // after the picture was reduced to 8 bits
  PaletteCopy,    // after the frame got its palette
  Screen,         // all pictures done; screen and global palette set
  Compact,        // after palette compaction
  Optimize,       // after the optional frame optimisation
  Saved,          // the file is written
};

struct YieldInfo {
  YieldStage stage = YieldStage::PictureStart;
  std::int32_t picture = 0;   // 1-based picture being converted, or the last one
  std::int32_t pictures = 0;  // pictures in the list
};

using YieldHook = std::function<void(const YieldInfo& info)>;

// Installs the hook for the calling thread and returns the previous one.
YieldHook SetYieldHook(YieldHook hook);
void DoEvents(const YieldInfo& info);

// True when the host wants the conversion stopped.
using StopQuery = std::function<bool()>;
using SharedStopQuery = std::shared_ptr<const StopQuery>;

// Installs the stop query for the calling thread (null or empty: none) and
// returns the previous one.
SharedStopQuery SetStopQuery(SharedStopQuery query);
SharedStopQuery CurrentStopQuery();
// Raises kErrStopped when the calling thread's query says stop.
void CheckStop();

// Installs a query for a scope (a helper thread doing work handed to it),
// putting the previous one back after.
class StopQueryScope {
 public:
  explicit StopQueryScope(SharedStopQuery query) : previous_(SetStopQuery(std::move(query))) {}
  ~StopQueryScope() { SetStopQuery(std::move(previous_)); }
  StopQueryScope(const StopQueryScope&) = delete;
  StopQueryScope& operator=(const StopQueryScope&) = delete;

 private:
  SharedStopQuery previous_;
};

}  // namespace zoetra::platform

ZOETRA_PUBLIC_END

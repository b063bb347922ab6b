// The message-loop yield. A host installs a hook per thread; long operations
// call DoEvents between stages so the host can process its messages, show
// progress, or cancel by throwing (the exception ends the operation like any
// other failure). Without a hook DoEvents does nothing.
#pragma once

#include <cstdint>
#include <functional>

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

}  // namespace zoetra::platform

ZOETRA_PUBLIC_END

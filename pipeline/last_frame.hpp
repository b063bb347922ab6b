// With optimize, the frame written last, kept until the next is written: a
// next frame that needs what shows cleared has it made again over all that
// shows, so that its disposal clears all of it.
#pragma once

#include <cstdint>

#include "gif/gif_blocks.hpp"
#include "pipeline/gif_stream.hpp"
#include "pipeline/palette.hpp"
#include "postprocess/frame_ops.hpp"
#include "raster/cdib.hpp"

namespace zoetra::pipeline {

class LastFrame {
 public:
  // The frame just written: its pixels (taken), its head and its table.
  void Keep(cDIB& cut, const gif_blocks::FrameHead& head, const Table& table);
  // What the screen shows after the frame last run (merged ones too).
  void Shows(const frame_ops::ChangeRect& opaque) { opaque_ = opaque; }
  // The frame `out` put last clears all that shows when its time is up: by
  // its disposal where its rectangle holds all that shows, else made again
  // over it. `palette` and `lossy` as for EncodeFrame; `frame` for messages.
  void Clear(GifStream& out, const PaletteStrategy& palette, std::int32_t lossy, std::int64_t frame);

 private:
  cDIB cut_;
  gif_blocks::FrameHead head_;
  Table table_{};
  frame_ops::ChangeRect opaque_;
};

}  // namespace zoetra::pipeline

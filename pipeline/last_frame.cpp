#include "pipeline/last_frame.hpp"

#include <utility>

#include "pipeline/frame_diff.hpp"
#include "pipeline/frame_encoder.hpp"
#include "platform/base/error.hpp"

namespace zoetra::pipeline {

void LastFrame::Keep(cDIB& cut, const gif_blocks::FrameHead& head, const Table& table) {
  cut_.Exchange(cut);
  head_ = head;
  table_ = table;
}

void LastFrame::Clear(GifStream& out, const PaletteStrategy& palette, std::int32_t lossy, std::int64_t frame) {
  const gif_blocks::FrameHead& was = head_;
  const frame_ops::ChangeRect at{was.left, was.top, was.left + was.width, was.top + was.height};
  frame_ops::ChangeRect all = at;
  Cover(all, opaque_);
  if (all.left == at.left && all.top == at.top && all.right == at.right && all.bottom == at.bottom) {
    out.Dispose();
    return;
  }
  // The frame again over everything shown, transparent around its own pixels.
  const bool local = was.local_entries > 0;
  std::int32_t transparent = was.use_transparent ? was.transparent_index : palette.GlobalTransparent();
  if (transparent < 0) transparent = local ? was.local_entries : -1;
  if (transparent < 0) RaiseError(kErrInternal, "a frame to clear has no index for transparency");
  cDIB wide;
  SpreadCut(cut_, at, all, static_cast<std::uint8_t>(transparent), wide);
  EncodedFrame encoded;
  EncodeFrame({.cut = wide, .left = all.left, .top = all.top, .local = local ? &table_ : nullptr,
               .entries = was.local_entries, .transparent = transparent, .disposal = 2, .delay = was.delay,
               .frame = frame},
              palette, lossy, encoded);
  cut_.Exchange(wide);
  table_ = encoded.table;
  head_ = encoded.head;
  if (local) head_.local_table = table_.data();
  out.Redo(head_, std::move(encoded.data));
}

}  // namespace zoetra::pipeline

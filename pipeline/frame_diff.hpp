// The change since the frame before (with optimize): what a viewer shows
// after each frame is followed pixel by pixel, in frame order, so that a
// frame writes only what shows something new.
//
//   Screen   what is shown, the index it was written with, and the source
//            colour it stands for; passed from each frame to the next.
//   Step     (in frame order) which pixels of a mapped frame must be
//            written: a pixel whose source changed by no more than the
//            tolerance since it was written keeps what is shown, so that the
//            dithering of still areas stands still.
//   MakeCut  (any thread) the written rectangle as the frame to encode:
//            unchanged pixels inside it either repeat what is shown (plain)
//            or are transparent.
//   PickFrameWay  (any thread) which of those ways is written: the one
//            that packs smaller.
//
// Pictures come prepared: 32 bits, memory row 0 at the top, the fourth byte
// 0 for an opaque pixel and kClearPixel for a transparent one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "postprocess/frame_ops.hpp"
#include "raster/cdib.hpp"

namespace zoetra::pipeline {

inline constexpr std::uint8_t kClearPixel = 1;

// Marks a prepared picture's transparent pixels (alpha below half) as clear,
// their colour 0, and its opaque ones' fourth byte 0. True when any is clear.
bool MarkClearPixels(cDIB& picture);
// When every pixel of a 32-bit picture with alpha is opaque, sets every
// fourth byte to 0 and returns true; otherwise changes nothing.
bool DropOpaqueAlpha(cDIB& picture);

class Screen {
 public:
  Screen(std::int32_t width, std::int32_t height);
  // A shown pixel: blue, green, red; kNothing where the screen is clear.
  static constexpr std::uint32_t kNothing = 0xFF000000u;

  std::int32_t width() const { return width_; }
  std::int32_t height() const { return height_; }
  // The bounding box of what is not clear.
  const frame_ops::ChangeRect& Opaque() const { return opaque_; }

 private:
  friend struct Step;
  std::int32_t width_, height_;
  std::int64_t nothing_;  // pixels that show nothing
  std::vector<std::uint32_t> shown_;
  std::vector<std::uint32_t> source_;
  std::vector<std::uint8_t> index_;
  frame_ops::ChangeRect opaque_;
};

// What each pixel of a frame does.
enum PixelRole : std::uint8_t {
  kWrite = 0,       // shows its new index
  kSame = 1,        // unchanged; its index value shows what is shown already
  kKept = 2,        // unchanged; only transparency leaves what is shown
  kStaysClear = 3,  // clear before and after: only transparency writes it
};

struct Step {
  // Runs frame `mapped` (8 bits, the colours of its indices in `colours`)
  // of `picture` against the screen, and moves the screen on. `global`: the
  // frames share one table, so a kept pixel's index is the shown one.
  // `tolerance`: the largest change (red, green and blue differences summed)
  // that still counts as unchanged.
  // `clear`: the picture has clear pixels.
  Step(Screen& screen, const cDIB& picture, bool clear, cDIB& mapped, const frame_ops::ColourLut& colours,
       bool global, std::int32_t tolerance);

  // A clear pixel was shown where this frame has a clear one: the frame
  // before must dispose of the whole opaque area (the screen was cleared
  // before this frame was run against it).
  bool needs_clear = false;
  frame_ops::ChangeRect rect;  // of the pixels written; empty: nothing new
  bool stable = true;          // still pixels kept what they showed
  // Pixels of the rectangle that are not written: any; any whose index would
  // not show what is shown (only transparency keeps them); any clear.
  bool any_unwritten = false;
  std::int64_t unwritten = 0;
  bool any_kept = false;
  bool any_clear = false;
  // Per pixel of the whole frame: a PixelRole.
  cDIB roles;
  frame_ops::ChangeRect opaque_after;

 private:
  struct Frame;
  // The passes, in the constructor's order.
  void ClearIfUncovered(const Frame& frame);  // sets needs_clear
  bool StillPays(const Frame& frame) const;   // what `stable` is
  bool KeepsWholeRow(const Frame& frame, std::int32_t y);
  void MarkRow(const Frame& frame, std::int32_t y);  // its roles; grows rect
  void CountUnwritten();
  void GrowOpaque(Screen& screen);  // sets opaque_after
};

// `r` grown to hold `more` too (an empty `r` becomes `more`).
void Cover(frame_ops::ChangeRect& r, const frame_ops::ChangeRect& more);

// The frame `cut`, written at `at`, again over `over` (which holds `at`),
// `transparent` around its own pixels: disposed of, it clears all of `over`.
void SpreadCut(const cDIB& cut, const frame_ops::ChangeRect& at, const frame_ops::ChangeRect& over,
               std::uint8_t transparent, cDIB& wide);

// The rectangle `step.rect` of `mapped` as a frame (8 bits): clear pixels
// `transparent`, and unchanged ones too when `through_transparency`, else
// their index (which needs !step.any_kept).
void MakeCut(const cDIB& mapped, const Step& step, std::uint8_t transparent, bool through_transparency, cDIB& cut);

// Runs of one index along the rows of an 8-bit raster.
std::int64_t CountRuns(const cDIB& cut);

// The lowest index below `limit` that no written pixel of the rectangle uses; -1: none.
std::int32_t FreeIndex(const cDIB& mapped, const Step& step, std::int32_t limit);

// How a Step's frame is written: not at all (merged into the frame before),
// or its rectangle with unchanged pixels as their index (plain) or as
// transparency (through).
struct FrameWay {
  enum Kind : std::uint8_t { kMerged, kPlain, kThrough };
  Kind kind = kMerged;
  std::int32_t left = 0, top = 0;
  std::int32_t transparent = -1;  // the index named transparent; -1: none
  std::int32_t disposal = 1;      // left in place: the next frame builds on it
};

// What the choice of a way needs of the frame's palette.
struct WayPalette {
  std::int32_t entries = 0;
  bool local = false;             // the frame's own table (room for 256), else the global one
  std::int32_t transparent = -1;  // the index the palette keeps for transparency; -1: none
  bool declare = false;           // name it even when no pixel is transparent
};

// Encodes a candidate `cut` written as `way` says (it may renumber the cut's
// indices). With `below` > 0 it gives up as soon as the data would reach
// `below` bytes. Returns the data's size, or nothing when it gave up; the
// candidate encoded last is the one picked.
using WayEncoder = std::function<std::optional<std::size_t>(cDIB& cut, const FrameWay& way, std::size_t below)>;

// Builds the ways `step` can be written (plain, through transparency) and
// encodes the one with fewer runs, and the other too when they come close,
// keeping it only if smaller. `cut` gets the picked way's pixels; `frame`
// numbers it for messages.
FrameWay PickFrameWay(const cDIB& mapped, const Step& step, const WayPalette& palette, std::int64_t frame,
                      const WayEncoder& encode, cDIB& cut);

}  // namespace zoetra::pipeline

// cGIFComposer: the frames of a document as a viewer shows them, one after the
// other, on one screen-sized 32-bit raster that every step reuses.
//
// The screen starts in the background colour (the global palette's entry for
// the background index; black without a global palette). Each frame is drawn
// over what its predecessor left, clipped to the screen, its transparent pixels
// showing whatever lies beneath. Before the next frame is drawn, the frame's
// disposal method decides what the next one finds: 0, 1 and the reserved values
// 4 to 255 keep the picture, 2 fills the frame's rectangle with the background
// colour, 3 brings back the picture as it was before the frame was drawn.
//
// The screen keeps the picture upright in device coordinates (memory row 0 is
// the bottom row), the row order of a bitmap file, so cDIB::Save writes it the
// right way up.
//
//   cGIFComposer composer(doc);
//   if (!composer.Start()) ...;                 // empty or unallocatable screen
//   while (composer.Next() == cGIFComposer::kShown) use(composer.Frame(), composer.Screen());
//
// Screen sizes and frame positions count as the file's unsigned 16 bits
// (cGIF::ScreenWidthU16 ...). The document must outlive the composer and stay
// unchanged while it is used.
#pragma once

#include <cstdint>
#include <string>

#include "platform/base/export.hpp"
#include "platform/drawing/gdi.hpp"
#include "raster/cdib.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra {

class cGIF;

namespace gif_compose {

// What a frame's disposal method leaves for the next frame: 2 clears its
// rectangle to the background, 3 brings back the picture from before it,
// every other value (0, 1, the reserved 4 to 7) keeps it.
enum class Disposal { kKeep, kBackground, kPrevious };
inline Disposal DisposalOf(std::int32_t method) {
  return method == 2 ? Disposal::kBackground : method == 3 ? Disposal::kPrevious : Disposal::kKeep;
}

}  // namespace gif_compose

class cGIFComposer {
 public:
  enum Step {
    kShown,        // the next frame is on the screen
    kEnd,          // there was no next frame (or Start has not succeeded)
    kOutOfMemory,  // disposal 3 needs a copy of the screen that cannot be made
  };

  explicit cGIFComposer(const cGIF& gif);
  ~cGIFComposer();
  cGIFComposer(const cGIFComposer&) = delete;
  cGIFComposer& operator=(const cGIFComposer&) = delete;

  // Makes the screen (ScreenWidthU16 x ScreenHeightU16) in the background
  // colour, before frame 1; again from the start when called again. False,
  // with no screen, when the logical screen is empty or too large for a
  // raster. Raises 481 naming the limit, before any memory is taken, when the
  // screen has more pixels than platform::Limits::max_picture_pixels.
  bool Start();
  // Why Start returned false, as a person reads it.
  std::string StartFailure() const;
  // Disposes of the frame shown and draws the next one.
  Step Next();

  // The frame on the screen (1-based); 0 before the first.
  std::int16_t Frame() const { return frame_; }
  const cDIB& Screen() const { return screen_; }

 private:
  void DisposeOfFrame();

  const cGIF& gif_;
  cDIB screen_;
  cDIB before_;  // the picture before the frame shown, when it has disposal 3
  platform::HBRUSH background_brush_ = 0;
  std::int16_t frame_ = 0;
  std::int32_t disposal_ = 0;  // of the frame shown
};

}  // namespace zoetra

ZOETRA_PUBLIC_END

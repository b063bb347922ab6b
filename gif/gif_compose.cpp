// Frames composed as a viewer shows them.
#include "gif/gif_compose.hpp"

#include <cstring>
#include <memory>
#include <string>

#include "gif/cgif.hpp"
#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"

namespace zoetra {

using namespace platform;

cGIFComposer::cGIFComposer(const cGIF& gif) : gif_(gif) {}

cGIFComposer::~cGIFComposer() {
  if (background_brush_ != 0) DeleteObject(background_brush_);
}

std::string cGIFComposer::StartFailure() const {
  const std::int32_t w = gif_.ScreenWidthU16(), h = gif_.ScreenHeightU16();
  if (w == 0 || h == 0) return "the logical screen is empty (" + std::to_string(w) + " x " + std::to_string(h) + ")";
  return "out of memory for the screen";
}

bool cGIFComposer::Start() {
  frame_ = 0;
  disposal_ = 0;
  before_.Destroy();
  const std::int32_t w = gif_.ScreenWidthU16(), h = gif_.ScreenHeightU16();
  // A few bytes of file can declare a screen of 65535 x 65535 (16 GiB at 32
  // bits, twice that with disposal 3): the picture limit bounds it.
  const std::int64_t pixels = std::int64_t{w} * h;
  const std::int64_t max_pixels = GetLimits().max_picture_pixels;
  if (pixels > max_pixels) {
    screen_.Destroy();
    RaiseError(kErrInvalidPicture, "Invalid picture (the logical screen of " + std::to_string(w) +
                                       " x " + std::to_string(h) + " pixels is over the limit of " +
                                       std::to_string(max_pixels) +
                                       " pixels (max_picture_pixels); a host raises it with "
                                       "zoetra::platform::SetLimits)");
  }
  if (w == 0 || h == 0 || !screen_.Create(w, h, 32)) {
    screen_.Destroy();
    return false;
  }
  const auto background = static_cast<ColorRef>(gif_.GlobalPaletteRGBEntry(gif_.ScreenBackgroundColorIndex()));
  screen_.Cls(background);
  if (background_brush_ != 0) DeleteObject(background_brush_);
  background_brush_ = CreateSolidBrush(background);
  return true;
}

cGIFComposer::Step cGIFComposer::Next() {
  if (screen_.hDIB() == 0 || frame_ >= gif_.FramesCount()) return kEnd;
  if (frame_ > 0) DisposeOfFrame();
  const auto f = static_cast<std::int16_t>(frame_ + 1);
  const std::int32_t disposal = gif_.FrameDisposalMethod(f);
  // The raster for the copy is made at the first frame that needs it, then reused.
  if (gif_compose::DisposalOf(disposal) == gif_compose::Disposal::kPrevious) {
    if (before_.hDIB() == 0 && !before_.Create(screen_.Width(), screen_.Height(), 32)) return kOutOfMemory;
    std::memcpy(before_.lpBits(), screen_.lpBits(), static_cast<std::size_t>(screen_.Size()));
  }
  gif_.FrameDraw(screen_.hDC(), f, 0, 0, 1.0f, true);
  frame_ = f;
  disposal_ = disposal;
  return kShown;
}

void cGIFComposer::DisposeOfFrame() {
  if (gif_compose::DisposalOf(disposal_) == gif_compose::Disposal::kBackground) {
    const std::shared_ptr<cDIB> image = gif_.FrameDIBXOR(frame_);
    const std::int32_t width = image ? image->Width() : 0, height = image ? image->Height() : 0;
    const std::int32_t left = gif_.FrameLeftU16(frame_), top = gif_.FrameTopU16(frame_);
    Rect r{};
    SetRect(&r, left, top, left + width, top + height);
    FillRect(screen_.hDC(), r, background_brush_);
  } else if (gif_compose::DisposalOf(disposal_) == gif_compose::Disposal::kPrevious) {
    std::memcpy(screen_.lpBits(), before_.lpBits(), static_cast<std::size_t>(screen_.Size()));
  }
  // Done once: a failed step retried does not dispose again.
  disposal_ = 0;
}

}  // namespace zoetra

// Internal to platform/: the decoders behind the picture loader and what they
// share. Each decoder takes a whole file in memory, raises like LoadPicture
// (platform/codecs/picture_loader.hpp) and returns a DIB section it owns no more.
#pragma once

#include <cstdint>
#include <span>

#include "platform/drawing/gdi.hpp"

namespace zoetra::platform::detail {

// PNG, every colour type and bit depth, interlaced or not: 32 bits, B,G,R,0.
// With `alpha` not null, a file with an alpha channel or a transparent colour
// keeps its alpha in the fourth byte and sets *alpha.
HBITMAP DecodePng(std::span<const std::uint8_t> file, bool* alpha = nullptr);
// Baseline and progressive JPEG, grey, YCbCr/RGB and CMYK/YCCK: 32 bits, B,G,R,0.
HBITMAP DecodeJpeg(std::span<const std::uint8_t> file);

// A new zero-filled DIB section; raises "Out of memory" (7) when it cannot be
// made. Callers have checked the size against the picture limits.
struct NewSurface {
  HBITMAP handle = 0;
  std::uint8_t* bits = nullptr;
  std::int32_t stride = 0;
};
NewSurface NewPictureSurface(std::int32_t width, std::int32_t height, int bpp,
                             std::span<const RGBQuad> colors = {});

// Deletes a bitmap on the error paths of a decoder.
class BitmapGuard {
 public:
  explicit BitmapGuard(HBITMAP bitmap) : bitmap_(bitmap) {}
  ~BitmapGuard() {
    if (bitmap_ != 0) DeleteObject(bitmap_);
  }
  BitmapGuard(const BitmapGuard&) = delete;
  BitmapGuard& operator=(const BitmapGuard&) = delete;
  HBITMAP Release() {
    const HBITMAP b = bitmap_;
    bitmap_ = 0;
    return b;
  }

 private:
  HBITMAP bitmap_;
};

}  // namespace zoetra::platform::detail

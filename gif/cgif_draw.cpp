// cGIF frame drawing and transparency masks.
#include <algorithm>
#include <array>
#include <cstring>

#include "gif/cgif.hpp"
#include "platform/base/arith.hpp"
#include "platform/base/error.hpp"

namespace zoetra {

using namespace platform;

namespace {

bool HasRaster(const std::shared_ptr<cDIB>& d) { return d && d->hDIB() != 0; }

}  // namespace

void cGIF::FrameMask(std::int16_t nFrame, std::uint8_t TransparentColorIndex) {
  FrameRecord& f = Slot(nFrame);
  // Table A: the frame's colours, with the transparent entry black when masking.
  std::array<std::uint8_t, kPaletteBytes> a = f.local_palette;
  const bool masked = f.use_transparent != 0;
  if (masked) {
    std::uint8_t* e = a.data() + std::size_t{TransparentColorIndex} * 4;
    e[0] = e[1] = e[2] = 0;
  }
  if (HasRaster(f.mask)) {
    cDIB& mask = *f.mask;
    mask.Reset();  // all opaque
    if (masked && HasRaster(f.image)) {
      // Mask bit 1 exactly where the image holds the transparent index, computed
      // on the indices themselves so it never depends on colour matching.
      const cDIB& image = *f.image;
      const std::int32_t w = std::min(image.Width(), mask.Width());
      const std::int32_t h = std::min(image.Height(), mask.Height());
      const std::size_t in_stride = static_cast<std::size_t>(image.BytesPerScanline());
      const std::size_t out_stride = static_cast<std::size_t>(mask.BytesPerScanline());
      for (std::int32_t r = 0; r < h; ++r) {
        const std::uint8_t* in = image.lpBits() + static_cast<std::size_t>(r) * in_stride;
        std::uint8_t* out = mask.lpBits() + static_cast<std::size_t>(r) * out_stride;
        for (std::int32_t x0 = 0; x0 < w; x0 += 8) {
          const std::int32_t n = std::min(8, w - x0);
          std::uint8_t byte = 0;
          for (std::int32_t b = 0; b < n; ++b) {
            byte = static_cast<std::uint8_t>(byte | ((in[x0 + b] == TransparentColorIndex) << (7 - b)));
          }
          out[x0 >> 3] = byte;
        }
      }
    }
  }
  if (HasRaster(f.image)) f.image->SetPalette(a);
}

void cGIF::FrameDraw(HDC hDC, std::int16_t nFrame, std::int16_t Left, std::int16_t Top, float ScaleFactor,
                     bool ScreenCrop) const {
  const FrameRecord& f = Slot(nFrame);
  if (!HasRaster(f.image)) return;  // a frame of zero width or height draws nothing
  cDIB& image = *f.image;
  const std::int32_t W = image.Width();
  const std::int32_t H = image.Height();
  // Positions and sizes are unsigned 16 bits in the file: all of this stays
  // well inside 32 bits.
  const std::int32_t L = static_cast<std::uint16_t>(f.left);
  const std::int32_t T = static_cast<std::uint16_t>(f.top);

  std::int32_t w = W;
  std::int32_t h = H;
  if (ScreenCrop) {
    w = std::min(w, ScreenWidthU16() - L);
    h = std::min(h, ScreenHeightU16() - T);
  }
  w = std::max(w, 0);
  h = std::max(h, 0);

  const double scale = ScaleFactor;
  const std::int32_t x = RoundToInt32(scale * L + Left);
  const std::int32_t y = RoundToInt32(scale * T + Top);
  const std::int32_t width = RoundToInt32(scale * w);
  const std::int32_t height = RoundToInt32(scale * h);
  // Nothing visible. (A zero source size must not reach Stretch, which reads 0 as "whole raster".)
  if (w == 0 || h == 0 || width == 0 || height == 0) return;

  // Upright: device row H - 1 is memory row 0, the frame's top row; a negative
  // source height walks memory rows 0 .. h - 1 down the destination.
  const std::int32_t y_src = H - 1;
  if (f.use_transparent != 0) {
    if (!HasRaster(f.mask)) return;
    if (f.mask->Stretch(hDC, x, y, width, height, 0, y_src, w, -h, static_cast<std::int32_t>(kSrcAnd),
                        kColorOnColor) == 0) {
      return;
    }
    image.Stretch(hDC, x, y, width, height, 0, y_src, w, -h, static_cast<std::int32_t>(kSrcPaint), kColorOnColor);
  } else {
    image.Stretch(hDC, x, y, width, height, 0, y_src, w, -h, static_cast<std::int32_t>(kSrcCopy), kColorOnColor);
  }
}

}  // namespace zoetra

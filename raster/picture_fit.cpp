#include "raster/picture_fit.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/base/arith.hpp"
#include "platform/base/error.hpp"
#include "platform/base/yield.hpp"

namespace zoetra {
namespace {

// The resampler's one block of working memory, taken through this so that it
// is given back when a stop raised from the row loop unwinds through it.
class ResizeMemory {
 public:
  ResizeMemory() = default;
  ResizeMemory(const ResizeMemory&) = delete;
  ResizeMemory& operator=(const ResizeMemory&) = delete;
  ~ResizeMemory() { std::free(block_); }
  void* Take(std::size_t bytes) {
    std::free(block_);
    block_ = std::malloc(bytes);
    return block_;
  }
  void Give(void* block) {
    if (block != block_) return;
    std::free(block_);
    block_ = nullptr;
  }

 private:
  void* block_ = nullptr;
};

// Called after every output row: a large picture can take seconds to scale,
// and a stop must not wait for the end of it.
void RowScaled(float) { platform::CheckStop(); }

}  // namespace
}  // namespace zoetra

// The resampler is compiled here, with internal linkage so that it cannot
// clash with another copy in a program linking the static library.
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_STATIC
#define STBIR_MALLOC(size, context) (static_cast<zoetra::ResizeMemory*>(context)->Take(size))
#define STBIR_FREE(block, context) (static_cast<zoetra::ResizeMemory*>(context)->Give(block))
#define STBIR_PROGRESS_REPORT(done) zoetra::RowScaled(done)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include "stb_image_resize.h"
#pragma GCC diagnostic pop

namespace zoetra {

namespace {

constexpr std::uint32_t kColourBytes = 0x00FFFFFFu;
// Rows of a pass over the raster between two asks of the stop query.
constexpr std::int32_t kRowsBetweenStops = 256;

inline void StorePixel(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

// round(a * b / c) for positive values below 2^31, halves up.
std::int32_t ScaledSide(std::int32_t a, std::int32_t b, std::int32_t c) {
  const std::int64_t n = std::int64_t{a} * b;
  return Narrow<std::int32_t>(std::max<std::int64_t>(1, (2 * n + c) / (2 * std::int64_t{c})));
}

// Input pixels the resampler reads for one output pixel along an axis, with a
// margin for its floating-point scale (Lanczos-3 reaches three pixels each way).
std::int64_t KernelSpan(std::int64_t in, std::int64_t out) { return out > in ? 6 : (6 * in + out - 1) / out + 2; }

// The resampler sizes its working memory with int and 32-bit arithmetic, which
// would wrap for extreme shapes (a very long side squeezed to a few pixels):
// those are refused before it is called.
bool ResamplerFits(std::int64_t in_w, std::int64_t in_h, std::int64_t out_w, std::int64_t out_h) {
  constexpr std::int64_t kFloat = 4;
  constexpr std::int64_t kPixel = 4 * kFloat;  // one pixel of a float row
  const std::int64_t kh = KernelSpan(in_w, out_w);
  const std::int64_t kv = KernelSpan(in_h, out_h);
  const std::int64_t margin = kh / 2 + 1;
  const std::int64_t contributors_h = out_w > in_w ? out_w : in_w + 2 * margin;
  const std::int64_t contributors_v = out_h > in_h ? out_h : in_h + 2 * (kv / 2 + 1);
  // Each contributor: two ints of range and a float coefficient per pixel it
  // reaches (the resampler counts the coefficients in int).
  const std::int64_t tables = contributors_h * (8 + kh * kFloat) + contributors_v * (8 + kv * kFloat);
  const std::int64_t rows = (in_w + 2 * margin) * kPixel + out_w * kPixel * (kv + 4);
  return tables + rows <= std::int64_t{INT32_MAX};
}

// sin(pi * t) from a fixed polynomial rather than the C library's sine, whose
// last bit differs between platforms: the web build and the command give the
// same bytes. Reduced to pi * r, |r| <= 1/2, where the series to the 15th
// power is within 1e-11.
double SinPi(double t) {
  constexpr double kPi = 3.14159265358979323846;
  const double k = std::floor(t + 0.5);
  const double x = (t - k) * kPi;
  const double x2 = x * x;
  const double s =
      x * (1 + x2 * (-1 / 6.0 +
                     x2 * (1 / 120.0 +
                           x2 * (-1 / 5040.0 +
                                 x2 * (1 / 362880.0 +
                                       x2 * (-1 / 39916800.0 + x2 * (1 / 6227020800.0 - x2 / 1307674368000.0)))))));
  return std::fmod(k, 2.0) != 0 ? -s : s;
}

// Lanczos of three lobes: what other tools scale with by default.
float Lanczos3(float x, float) {
  constexpr double kPi = 3.14159265358979323846;
  const double t = std::fabs(static_cast<double>(x));
  if (t >= 3) return 0;
  if (t == 0) return 1;
  return static_cast<float>(3 * SinPi(t) * SinPi(t / 3) / (kPi * kPi * t * t));
}

float Lanczos3Support(float) { return 3; }

// The resampler's kernels are a table that its documentation has new filters
// added to; Lanczos-3 takes the place of the box filter, which is not used here.
// Of its own filters, Catmull-Rom comes nearest to other tools' scaling, but
// light text on dark still comes out visibly softer (5 to 6 dB further off).
stbir_filter Lanczos3Filter() {
  static const bool installed = [] {
    stbir__filter_info_table[STBIR_FILTER_BOX] = stbir__filter_info{Lanczos3, Lanczos3Support};
    return true;
  }();
  static_cast<void>(installed);
  return STBIR_FILTER_BOX;
}

// `source` as 32 bits; `work` holds the copy when one is needed.
const cDIB& AsThirtyTwoBits(const cDIB& source, cDIB& work) {
  if (source.BPP() == 32) return source;
  if (!work.Create(source.Width(), source.Height(), 32) || work.LoadBlt(source.hDC()) == 0) RaiseOutOfMemory();
  return work;
}

}  // namespace

void FitPicture(const cDIB& picture, std::int32_t width, std::int32_t height, std::uint32_t background, cDIB& out,
                bool alpha) {
  if (width <= 0 || height <= 0) RaiseError(kErrInvalidArgument, "Invalid procedure call or argument");
  if (picture.hDIB() == 0 || picture.Width() <= 0 || picture.Height() <= 0) {
    RaiseError(kErrInvalidArgument, "Invalid procedure call or argument");
  }
  cDIB converted;
  const cDIB& source = AsThirtyTwoBits(picture, converted);
  const std::int32_t w = source.Width();
  const std::int32_t h = source.Height();

  // The side that limits the scale takes the box's size exactly.
  std::int32_t fit_w = width;
  std::int32_t fit_h = height;
  if (std::int64_t{width} * h <= std::int64_t{height} * w) {
    fit_h = std::min(height, ScaledSide(h, width, w));
  } else {
    fit_w = std::min(width, ScaledSide(w, height, h));
  }
  const bool copy = fit_w == w && fit_h == h;
  if (!copy && !ResamplerFits(w, h, fit_w, fit_h)) RaiseOutOfMemory();

  // Built aside: `out` may be `picture`, and stays as it was on failure.
  cDIB result;
  if (!result.Create(width, height, 32)) RaiseOutOfMemory();
  const std::size_t out_stride = static_cast<std::size_t>(result.BytesPerScanline());
  const std::size_t in_stride = static_cast<std::size_t>(source.BytesPerScanline());

  // Spare columns split with the odd one on the right; spare rows with the odd
  // one at the bottom of the picture, which is the first memory row.
  const std::int32_t left = (width - fit_w) / 2;
  const std::int32_t bottom = (height - fit_h) - (height - fit_h) / 2;
  std::uint8_t* const bits = result.lpBits();
  std::uint8_t* const area = bits + static_cast<std::size_t>(bottom) * out_stride + 4 * static_cast<std::size_t>(left);

  // Only the padding is filled: the picture's area is written whole below.
  const std::uint32_t fill = background & kColourBytes;
  const auto fill_span = [fill](std::uint8_t* from, std::int32_t pixels) {
    for (std::int32_t x = 0; x < pixels; ++x) StorePixel(from + 4 * static_cast<std::size_t>(x), fill);
  };
  for (std::int32_t r = 0; r < height; ++r) {
    if (r % kRowsBetweenStops == 0) platform::CheckStop();
    std::uint8_t* row = bits + static_cast<std::size_t>(r) * out_stride;
    if (r < bottom || r >= bottom + fit_h) {
      fill_span(row, width);
    } else {
      fill_span(row, left);
      fill_span(row + 4 * static_cast<std::size_t>(left + fit_w), width - left - fit_w);
    }
  }

  if (copy) {
    for (std::int32_t r = 0; r < h; ++r) {
      const std::uint8_t* from = source.lpBits() + static_cast<std::size_t>(r) * in_stride;
      std::uint8_t* to = area + static_cast<std::size_t>(r) * out_stride;
      std::memcpy(to, from, 4 * static_cast<std::size_t>(w));
      if (alpha) continue;
      for (std::int32_t x = 0; x < w; ++x) to[4 * static_cast<std::size_t>(x) + 3] = 0;
    }
  } else {
    // The fourth byte is no alpha: all four channels are filtered alike and the
    // fourth cleared afterwards. Rows go bottom-up on both sides, which the
    // filter does not mind (it is symmetric). The stored values are filtered
    // as they are, as pictures are scaled everywhere else: in linear light,
    // light detail on dark (text on a terminal) comes out bolder and brighter.
    // Lanczos-3, growing and shrinking, as other tools scale; its slight
    // ringing is clamped to the byte range.
    const stbir_filter filter = Lanczos3Filter();
    ResizeMemory memory;
    const int done = stbir_resize(source.lpBits(), w, h, static_cast<int>(in_stride), area, fit_w, fit_h,
                                  static_cast<int>(out_stride), STBIR_TYPE_UINT8, 4,
                                  alpha ? 3 : STBIR_ALPHA_CHANNEL_NONE, 0, STBIR_EDGE_CLAMP, STBIR_EDGE_CLAMP,
                                  filter, filter, STBIR_COLORSPACE_LINEAR, &memory);
    if (done == 0) RaiseOutOfMemory();
    for (std::int32_t r = 0; r < fit_h && !alpha; ++r) {
      if (r % kRowsBetweenStops == 0) platform::CheckStop();
      std::uint8_t* row = area + static_cast<std::size_t>(r) * out_stride;
      for (std::int32_t x = 0; x < fit_w; ++x) row[4 * static_cast<std::size_t>(x) + 3] = 0;
    }
  }
  out.Exchange(result);
}

void OrientPicture(cDIB& picture, int orientation) {
  // Orientation(turn, h, v) turns a quarter clockwise first, then mirrors
  // left-right and top-bottom as the result is seen.
  struct Steps {
    bool turn, mirror_h, mirror_v;
  };
  static constexpr Steps kSteps[9] = {
      {false, false, false},  // unused
      {false, false, false},  // 1: upright already
      {false, true, false},   // 2
      {false, true, true},    // 3: both mirrors make the half turn
      {false, false, true},   // 4
      {true, true, false},    // 5: quarter turn, then left-right
      {true, false, false},   // 6
      {true, false, true},    // 7: quarter turn, then top-bottom
      {true, true, true},     // 8: quarter turn and a half turn
  };
  if (orientation < 2 || orientation > 8) return;
  const Steps& s = kSteps[orientation];
  picture.Orientation(s.turn, s.mirror_h, s.mirror_v);
}

}  // namespace zoetra

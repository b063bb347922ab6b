#include "pipeline/prepare.hpp"

#include <algorithm>
#include <string>

#include "pipeline/frame_diff.hpp"
#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"
#include "raster/picture_fit.hpp"

namespace zoetra::pipeline {

Preparation::Preparation(const BuilderOptions& options, bool fit_to_first)
    : background_(options.background),
      fit_width_(static_cast<std::int32_t>(options.fit_width)),
      fit_height_(static_cast<std::int32_t>(options.fit_height)),
      width_(static_cast<std::int32_t>(options.width)),
      height_(static_cast<std::int32_t>(options.height)),
      fit_to_first_(fit_to_first),
      swap_rg_(options.swap_rg),
      keep_clear_(!options.background && !options.gray && options.palette != PaletteMode::First) {}

namespace {

// The GIF's longest side.
constexpr std::int64_t kMaxGifSide = 32767;

// The side that follows the one asked for: length * asked / other to the
// nearest even number, halves up, at least 2 (as other tools keep scaled
// video sides even).
std::int64_t FollowingSide(std::int64_t length, std::int64_t asked, std::int64_t other) {
  const std::int64_t n = length * asked;
  return std::max<std::int64_t>(2, 2 * ((n + other) / (2 * other)));
}

std::string Size(std::int64_t width, std::int64_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

}  // namespace

void ScaledSize(std::int32_t width, std::int32_t height, std::int32_t to_width, std::int32_t to_height,
                std::int32_t& out_width, std::int32_t& out_height) {
  std::int64_t w = width, h = height;
  std::string asked;
  if (to_width > 0 && to_height > 0) {
    // The side that limits the scale takes the box's length; the other stays inside the box.
    if (std::int64_t{to_width} * height <= std::int64_t{to_height} * width) {
      w = to_width;
      h = std::min<std::int64_t>(to_height, FollowingSide(height, to_width, width));
    } else {
      h = to_height;
      w = std::min<std::int64_t>(to_width, FollowingSide(width, to_height, height));
    }
    asked = "to fit inside " + Size(to_width, to_height);
  } else if (to_width > 0) {
    w = to_width;
    h = FollowingSide(height, to_width, width);
    asked = "to a width of " + std::to_string(to_width);
  } else if (to_height > 0) {
    h = to_height;
    w = FollowingSide(width, to_height, height);
    asked = "to a height of " + std::to_string(to_height);
  }
  // Refused before the picture is scaled: the work and memory of a frame this
  // size would be taken for nothing.
  const platform::Limits limits = platform::GetLimits();
  const std::string what = "the first picture, " + Size(width, height) + " pixels, scaled " + asked + " is " +
                           Size(w, h) + " pixels (" + std::to_string(w * h) + "), ";
  if (w > kMaxGifSide || h > kMaxGifSide) {
    RaiseInvalidArgument(what + "over the 32767 pixels a side a GIF can have");
  }
  if (!platform::WithinPictureLimits(limits, w, h)) {
    RaiseInvalidArgument(what + "over the limits of a picture: " + std::to_string(limits.max_picture_side) +
                         " pixels a side (max_picture_side) and " + std::to_string(limits.max_picture_pixels) +
                         " pixels (max_picture_pixels)");
  }
  out_width = static_cast<std::int32_t>(w);
  out_height = static_cast<std::int32_t>(h);
}

void Preparation::FitInto(std::int32_t width, std::int32_t height) {
  first_width_ = width;
  first_height_ = height;
  screen_width_ = width;
  screen_height_ = height;
  if (width_ > 0 || height_ > 0) ScaledSize(width, height, width_, height_, screen_width_, screen_height_);
}

bool Preparation::Shape(Decoded& picture) const {
  cDIB& raster = picture.raster;
  if (picture.alpha && background_) raster.BlendOver(*background_);
  // A picture whose alpha is all opaque is read as one without: the same
  // pixels give the same frame however they came.
  if (picture.alpha && keep_clear_ && DropOpaqueAlpha(raster)) picture.alpha = false;
  const std::uint32_t fill = background_.value_or(0);
  const bool alpha = picture.alpha && keep_clear_;
  if (fit_width_ > 0) {
    FitPicture(raster, fit_width_, fit_height_, fill, raster, alpha);
    return false;
  }
  const bool scaled = width_ > 0 || height_ > 0;
  if (first_width_ == 0) {
    // The first picture: it makes the size the others are fitted into.
    if (scaled) {
      std::int32_t w = 0, h = 0;
      ScaledSize(raster.Width(), raster.Height(), width_, height_, w, h);
      FitPicture(raster, w, h, fill, raster, alpha);
    }
    return false;
  }
  const bool other = raster.Width() != first_width_ || raster.Height() != first_height_;
  if (other || scaled) FitPicture(raster, screen_width_, screen_height_, fill, raster, alpha);
  return other;
}

bool Preparation::Prepare(Decoded& picture, bool& clear) const {
  const bool refitted = Shape(picture);
  const bool alpha = picture.alpha && keep_clear_;
  Upright(picture.raster, alpha);
  clear = alpha && MarkClearPixels(picture.raster);
  return refitted;
}

void Preparation::Upright(cDIB& raster, bool alpha) const {
  if (swap_rg_) raster.SwapRG(alpha);
  raster.Orientation(false, false, true);
}

}  // namespace zoetra::pipeline

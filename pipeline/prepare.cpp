#include "pipeline/prepare.hpp"

#include <algorithm>
#include <cmath>

#include "pipeline/frame_diff.hpp"
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

void ScaledSize(std::int32_t width, std::int32_t height, std::int32_t to_width, std::int32_t to_height,
                std::int32_t& out_width, std::int32_t& out_height) {
  double scale = 1;
  if (to_width > 0 && to_height > 0) {
    scale = std::min(static_cast<double>(to_width) / width, static_cast<double>(to_height) / height);
  } else if (to_width > 0) {
    scale = static_cast<double>(to_width) / width;
  } else if (to_height > 0) {
    scale = static_cast<double>(to_height) / height;
  }
  const auto side = [&](std::int32_t length, std::int32_t asked) {
    if (asked > 0 && (to_width == 0 || to_height == 0)) return asked;  // the side asked for, exactly
    return static_cast<std::int32_t>(std::clamp(std::floor(length * scale + 0.5), 1.0, 32767.0));
  };
  out_width = side(width, to_width);
  out_height = side(height, to_height);
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
  Upright(picture.raster);
  clear = picture.alpha && keep_clear_ && MarkClearPixels(picture.raster);
  return refitted;
}

void Preparation::Upright(cDIB& raster) const {
  if (swap_rg_) raster.SwapRG();
  raster.Orientation(false, false, true);
}

}  // namespace zoetra::pipeline

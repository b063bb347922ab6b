#include "pipeline/prepare.hpp"

#include "raster/picture_fit.hpp"

namespace zoetra::pipeline {

Preparation::Preparation(const BuilderOptions& options, bool fit_to_first)
    : background_(options.background),
      fit_width_(static_cast<std::int32_t>(options.fit_width)),
      fit_height_(static_cast<std::int32_t>(options.fit_height)),
      fit_to_first_(fit_to_first),
      swap_rg_(options.swap_rg) {}

bool Preparation::Shape(Decoded& picture) const {
  cDIB& raster = picture.raster;
  if (picture.alpha && background_) raster.BlendOver(*background_);
  if (fit_width_ > 0) {
    FitPicture(raster, fit_width_, fit_height_, background_.value_or(0), raster);
  } else if (first_width_ > 0 && (raster.Width() != first_width_ || raster.Height() != first_height_)) {
    FitPicture(raster, first_width_, first_height_, background_.value_or(0), raster);
    return true;
  }
  return false;
}

void Preparation::Upright(cDIB& raster) const {
  if (swap_rg_) raster.SwapRG();
  raster.Orientation(false, false, true);
}

}  // namespace zoetra::pipeline

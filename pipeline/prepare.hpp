// A picture as read, made into what a frame shows: blended over the
// background, fitted to the animation's size, channels exchanged if asked,
// and turned so that memory row 0 is the top row.
#pragma once

#include <cstdint>
#include <optional>

#include "pipeline/options.hpp"
#include "pipeline/source.hpp"

namespace zoetra::pipeline {

class Preparation {
 public:
  // `fit_to_first`: pictures of another size than the first are fitted into
  // the first one's size (once FitInto has said what it is).
  Preparation(const BuilderOptions& options, bool fit_to_first);

  bool BlendsAlpha() const { return background_.has_value(); }
  // Transparent pixels stay so (no background to blend over, and colour):
  // MarkClearPixels then marks them.
  bool KeepsClear() const { return keep_clear_; }
  bool ReadsAlpha() const { return BlendsAlpha() || keep_clear_; }
  bool FitsToFirst() const { return fit_to_first_ && fit_width_ == 0; }
  // The first picture's size as read, once it is known; later pictures are
  // fitted into what it became (scaled when a width or height is asked for).
  void FitInto(std::int32_t width, std::int32_t height);

  // Blends and fits (any thread). True when the picture was fitted into the
  // first one's size because it had another.
  bool Shape(Decoded& picture) const;
  // Exchanges red and green when asked, and turns the picture upright; with
  // `alpha`, the fourth byte (its alpha) is kept.
  void Upright(cDIB& raster, bool alpha = false) const;
  // Both, and the transparent pixels marked; `clear` says whether any is.
  bool Prepare(Decoded& picture, bool& clear) const;

 private:
  std::optional<std::uint32_t> background_;
  std::int32_t fit_width_ = 0, fit_height_ = 0;
  std::int32_t width_ = 0, height_ = 0;  // to scale to, keeping the shape
  bool fit_to_first_ = false;
  bool swap_rg_ = false;
  bool keep_clear_ = false;
  std::int32_t first_width_ = 0, first_height_ = 0;
  std::int32_t screen_width_ = 0, screen_height_ = 0;
};

// A picture of width x height scaled to `to_width` or `to_height` keeping its
// shape (0: that side follows, to the nearest even length, halves up, at least
// 2), or to fit inside both (the side that limits the scale takes the box's
// length, the other rounds the same way without leaving the box). Raises
// kErrInvalidArgument, naming both sizes and the limit, when the result is
// longer than a GIF's 32767 pixels a side or over the picture limits.
void ScaledSize(std::int32_t width, std::int32_t height, std::int32_t to_width, std::int32_t to_height,
                std::int32_t& out_width, std::int32_t& out_height);

}  // namespace zoetra::pipeline

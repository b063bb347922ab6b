// Pictures made ready for a frame of fixed size: turned upright as their EXIF
// orientation asks, and scaled to fit a box with the rest filled.
#pragma once

#include <cstdint>

#include "raster/cdib.hpp"

namespace zoetra {

// `picture` (32-bit) scaled to fit inside width x height keeping its aspect
// ratio, centred on a width x height raster filled with `background`
// (0x00RRGGBB), into `out` (recreated, 32-bit, fourth bytes 0). With
// `alpha`, the fourth byte is the picture's alpha: it is resampled with the
// colours (weighted by it), and the fill is transparent.
//
// The scale is min(width / w, height / h), up or down; the scaled sides round
// to nearest (halves up), at least 1. The picture's left and top padding are
// half the spare columns and rows rounded down, so an odd extra column or row
// goes to the right or the bottom. Resampling filters the stored values as
// they are (no conversion to linear light), with the Lanczos-3 filter on
// both axes, pixel centres aligned and clamped edges. A picture of exactly
// width x height is copied without resampling (colour bytes as they are). A
// picture of another depth is read through a 32-bit copy; `out` may be
// `picture` itself.
//
// Raises kErrInvalidArgument when width or height is not positive or the
// picture is empty, overflow or out of memory when the rasters or the
// resampler's buffers cannot be had, and kErrStopped when the thread's stop
// query (platform/base/yield.hpp) says stop between rows; `out` is untouched
// then.
void FitPicture(const cDIB& picture, std::int32_t width, std::int32_t height, std::uint32_t background, cDIB& out,
                bool alpha = false);

// Turns `picture` upright for EXIF orientation 1..8 (others leave it as it is):
// 2 mirrors left-right, 3 turns half way, 4 mirrors top-bottom, 5 mirrors along
// the top-left to bottom-right diagonal, 6 turns a quarter clockwise, 7 mirrors
// along the other diagonal, 8 turns a quarter anticlockwise — i.e. what viewers
// do to show the picture the right way up.
void OrientPicture(cDIB& picture, int orientation);

}  // namespace zoetra

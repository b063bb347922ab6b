// mGIFLZWDec: expands the variable-length-code LZW data of one GIF image into
// an 8-bit raster, memory row 0 being the image's first row.
//
// The dictionary tables are per thread, so images on different threads decode
// independently; nothing is allocated per code. Bad or exhausted data ends the
// image silently: pixels written so far stay, the others keep their values.
#pragma once

#include <cstdint>
#include <span>

#include "raster/cdib.hpp"

namespace zoetra::mGIFLZWDec {

// Decodes `Data` (the image's sub-block contents joined, without count bytes)
// into `Raster` through a RasterByteView. Rows go in interlaced order when
// `Interlaced` is non-zero, whatever the height; decoding ends with the image's
// last pixel. Returns at once when the raster is not an 8-bit raster with
// pixels, or when MinCodeSize is outside 1 to 11 (gif_format::UsableMinCodeSize).
void DecodeImage(cDIB& Raster, std::int16_t Interlaced, std::uint8_t MinCodeSize,
                 std::span<const std::uint8_t> Data);

}  // namespace zoetra::mGIFLZWDec

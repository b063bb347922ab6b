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
// into `Raster`. Rows go in interlaced order only when `Interlaced` is set and
// the raster is taller than 4 rows. Returns at once when the raster is not an
// 8-bit raster with pixels, or when MinCodeSize is above 11 (no room left for
// a single dictionary code within 12 bits).
void DecodeImage(cDIB& Raster, bool Interlaced, std::uint8_t MinCodeSize, std::span<const std::uint8_t> Data);

}  // namespace zoetra::mGIFLZWDec

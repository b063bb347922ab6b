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

// Where DecodeRows gets its code data: the next piece once one is used up;
// an empty span ends the data.
class DataFeed {
 public:
  virtual ~DataFeed() = default;
  virtual std::span<const std::uint8_t> More() = 0;
};

// Where DecodeRows puts the image: every row it needs once, in stored order,
// each `width` bytes; pixels the data did not reach are 0, as in a raster
// DecodeImage fills.
class RowSink {
 public:
  virtual ~RowSink() = default;
  virtual void Row(std::int32_t y, const std::uint8_t* pixels) = 0;
};

// The same decoding into one row of memory at a time, with the data in
// pieces: an image of any size costs `Width` bytes. Only the rows above
// VisibleHeight are delivered, and only their columns left of VisibleWidth
// hold the image's pixels: strings of pixels that fall wholly outside are
// passed over without being spelled out, and the decoding stops once no row
// that is needed is left, so that a hostile image far larger than the screen
// it is shown on costs little more than its codes. Nothing is delivered for
// an empty image; an unusable MinCodeSize gives rows of zeros.
void DecodeRows(std::int32_t Width, std::int32_t Height, bool Interlaced, std::uint8_t MinCodeSize, DataFeed& Data,
                RowSink& Rows, std::int32_t VisibleWidth, std::int32_t VisibleHeight);

}  // namespace zoetra::mGIFLZWDec

// mGIFLZWEnc: compresses one frame's 8-bit raster into GIF LZW data
// sub-blocks.
//
// The dictionary is a 5003-slot open-addressed hash with secondary probing and
// 12-bit codes, so the output bytes are fixed for a given raster, code width and
// interlace flag. Working tables live once per thread: encodings on different
// threads never share state. Nothing here raises except RasterByteView::at on
// an index outside the view (9).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "gif/gif_format.hpp"
#include "platform/base/error.hpp"
#include "raster/cdib.hpp"
#include "raster/raster_view.hpp"

namespace zoetra {

namespace mGIFLZWEnc {

// Destination of the encoded sub-blocks. Write receives whole sub-blocks
// (count byte + data), possibly several at once; false stops the encoding.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
};

// Appends to a vector.
class VectorSink final : public ByteSink {
 public:
  explicit VectorSink(std::vector<std::uint8_t>& out) : out_(out) {}
  bool Write(std::span<const std::uint8_t> bytes) override {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return true;
  }

 private:
  std::vector<std::uint8_t>& out_;
};

using gif_format::kCodeLimit;
using gif_format::kMaxCodeWidth;
inline constexpr std::int32_t kHashSize = 5003;
inline constexpr std::int32_t kSubBlockData = 254;  // data bytes per sub-block

// Encodes the raster as data sub-blocks (each a count 1..254 and that many
// bytes); the caller writes the minimum code size before and the 0x00
// terminator after. InitialCodeWidth is the minimum code size + 1 (3..9).
// Rows go out in memory order, or in the four interlace passes when
// Interlaced is non-zero (for every height).
// A raster that is not 8 bits per pixel produces nothing. Returns false when
// the sink refused a write, InitialCodeWidth is outside 3..9, or a pixel is at
// or above the clear code (2^(InitialCodeWidth - 1)), which no decoder could
// tell from a control code; what was written before then is to be discarded.
bool EncodeFrame(ByteSink& out, const cDIB& raster, std::uint8_t InitialCodeWidth, std::int16_t Interlaced);

}  // namespace mGIFLZWEnc
}  // namespace zoetra

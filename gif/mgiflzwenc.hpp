// mGIFLZWEnc: compresses one frame's 8-bit raster into GIF LZW data
// sub-blocks.
//
// The dictionary is a 5003-slot open-addressed hash with secondary probing and
// 12-bit codes, so the output bytes are fixed for a given raster, code width and
// interlace flag. Working tables live once per thread: encodings on different
// threads never share state. Nothing here raises except RasterByteView::at on
// an index outside the view (9), and the lossy coder's allocation of its
// per-thread copy of the largest frame yet.
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

// A frame's colours, for the lossy encoder: entry i is table[4i..4i+2] = blue,
// green, red. Pixels at or past `entries` keep their index, like `transparent`.
struct LossyColours {
  const std::uint8_t* table = nullptr;
  std::int32_t entries = 0;
  std::int32_t transparent = -1;  // never replaced, never replaces another index; -1: none
};

// As EncodeFrame, but a string may go on with a pixel whose colour is within
// `budget` of the pixel's own, so strings run longer and codes are fewer.
// The budget is a squared RGB distance (dr^2 + dg^2 + db^2; 3 * 255^2 at most
// matters): every pixel keeps within it of its own colour. Each pixel also
// owes the next half of what it missed its target by (its colour plus what it
// was owed), and a replacement must be within the budget of that target too,
// so a stretch of replacements cannot lean one way. The first pixel of every
// string is exact. On success `raster` holds the indices a decoder gives back;
// on failure (as EncodeFrame's) it is left unchanged. A budget of 0 or less
// gives exactly EncodeFrame's bytes, as does one below the distance of every
// pair of distinct colours.
bool EncodeFrameLossy(ByteSink& out, cDIB& raster, std::uint8_t InitialCodeWidth, std::int16_t Interlaced,
                      const LossyColours& colours, std::int32_t budget);

}  // namespace mGIFLZWEnc
}  // namespace zoetra

// Facts of the GIF file format shared by the writer and the reader: block
// markers, LZW code sizes, and the row order of interlaced images.
#pragma once

#include <cstdint>

namespace zoetra::gif_format {

inline constexpr std::uint8_t kExtensionIntroducer = 0x21;
inline constexpr std::uint8_t kImageSeparator = 0x2C;
inline constexpr std::uint8_t kTrailer = 0x3B;
inline constexpr std::uint8_t kGraphicControlLabel = 0xF9;
inline constexpr std::uint8_t kApplicationLabel = 0xFF;

// The aspect byte of square pixels, (1 x 64) - 15: what the writers store.
inline constexpr std::uint8_t kSquarePixels = 49;

// LZW codes are at most 12 bits wide: 4096 of them.
inline constexpr std::int32_t kMaxCodeWidth = 12;
inline constexpr std::int32_t kCodeLimit = 1 << kMaxCodeWidth;

// A minimum code size other decoders accept: 1 to 11, so that the clear code
// and at least one dictionary code fit in 12 bits.
inline bool UsableMinCodeSize(std::uint8_t size) {
  return size >= 1 && size <= kMaxCodeWidth - 1;
}

// Interlaced images store their rows in four passes: every 8th row from 0,
// every 8th from 4, every 4th from 2, every 2nd from 1, whatever the height
// (a 4-row image is stored as rows 0, 2, 1, 3), as every decoder reads them.
inline constexpr std::int32_t kInterlaceStart[4] = {0, 4, 2, 1};
inline constexpr std::int32_t kInterlaceStep[4] = {8, 8, 4, 2};

// The row stored after `row` of pass `pass` in an interlaced image of `height`
// rows, moving `pass` on as passes run out; `height` after the last row.
inline std::int32_t NextInterlacedRow(std::int32_t row, std::int32_t& pass, std::int32_t height) {
  row += kInterlaceStep[pass];
  while (row >= height) {
    if (++pass > 3) return height;
    row = kInterlaceStart[pass];
  }
  return row;
}

}  // namespace zoetra::gif_format

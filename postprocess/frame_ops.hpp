// Work on one 8-bit frame that the document passes (mgifext.hpp) and the
// streaming conversion share: where a frame changed since the one before it,
// cutting it to that rectangle, and dropping the unused entries of its own
// colour table.
#pragma once

#include <array>
#include <cstdint>

#include "raster/cdib.hpp"

namespace zoetra::frame_ops {

using Palette = std::array<std::uint8_t, 1024>;  // blue, green, red, 0

// The pixel rows of an 8-bit raster: columns 0..width-1 of each row, padding never touched.
struct Pixels {
  std::uint8_t* base = nullptr;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t stride = 0;

  explicit Pixels(const cDIB& raster);
  std::uint8_t* row(std::int32_t y) const { return base + static_cast<std::size_t>(y) * stride; }
};

// seen[v] = 1 for every pixel value v of the row.
void MarkRow(const std::uint8_t* row, std::int32_t width, std::array<std::uint8_t, 256>& seen);
// row[x] = table[row[x]].
void RemapRow(std::uint8_t* row, std::int32_t width, const std::array<std::uint8_t, 256>& table);

struct ChangeRect {
  std::int32_t left = 0, top = 0, right = 0, bottom = 0;
  bool Empty() const { return right <= left || bottom <= top; }
};

// The colours a frame's indices show (blue, green, red packed), from its table.
using ColourLut = std::array<std::uint32_t, 256>;
ColourLut ColoursOf(const std::uint8_t* table);

// The bounding box of the counting pixels: those that differ from `previous`
// (comparison mode) or from the transparent index (transparency mode). With
// colour tables given, pixels are compared by colour instead of index.
ChangeRect FindChange(const Pixels& cur, const Pixels* previous, std::uint8_t transparent,
                      const ColourLut* cur_colours = nullptr, const ColourLut* prev_colours = nullptr);

// `to` made the rectangle `r` of the 8-bit `from`; raises 7 when the raster
// cannot be made.
void CutOut(const cDIB& from, const ChangeRect& r, cDIB& to);
// Cuts `image` to `r`, its colour table set to `table`.
void CropTo(cDIB& image, const ChangeRect& r, const Palette& table);

// Drops the entries of `table` (its first `entries`) that no pixel of `image`
// uses (nor index `keep`, unless it is -1), keeping the others' order, and
// renumbers the pixels; `remap` gives each old index its new one. Returns
// `entries`, changing nothing, when all are used; else the entries left, at
// least 2 (a table holds two at the least). Raises 9 for a pixel at or past
// `entries`.
std::int32_t CompactTable(cDIB& image, Palette& table, std::int32_t entries, std::int32_t keep,
                          std::array<std::uint8_t, 256>& remap);

}  // namespace zoetra::frame_ops

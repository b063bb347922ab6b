#include "postprocess/frame_ops.hpp"

#include <cstring>

#include "platform/base/error.hpp"

namespace zoetra::frame_ops {

Pixels::Pixels(const cDIB& raster) {
  if (raster.hDIB() == 0 || raster.BPP() != 8) return;
  base = raster.lpBits();
  width = raster.Width();
  height = raster.Height();
  stride = raster.BytesPerScanline();
}

void MarkRow(const std::uint8_t* row, std::int32_t width, std::array<std::uint8_t, 256>& seen) {
  std::int32_t x = 0;
  std::uint64_t last = 0;
  bool any = false;
  for (; x + 8 <= width; x += 8) {
    std::uint64_t v;
    std::memcpy(&v, row + x, 8);
    if (any && v == last) continue;  // flat areas: the same eight pixels again
    last = v;
    any = true;
    for (int k = 0; k < 8; ++k, v >>= 8) seen[v & 0xFF] = 1;
  }
  for (; x < width; ++x) seen[row[x]] = 1;
}

// Eight pixels per load and store (a byte-wise loop gets vectorised into a
// form that stalls on its own stores).
void RemapRow(std::uint8_t* row, std::int32_t width, const std::array<std::uint8_t, 256>& table) {
  std::int32_t x = 0;
  std::uint64_t last_in = 0, last_out = 0;
  bool any = false;
  for (; x + 8 <= width; x += 8) {
    std::uint64_t v;
    std::memcpy(&v, row + x, 8);
    if (!any || v != last_in) {
      last_in = v;
      any = true;
      last_out = 0;
      for (int k = 0; k < 64; k += 8) last_out |= std::uint64_t{table[(v >> k) & 0xFF]} << k;
    }
    std::memcpy(row + x, &last_out, 8);
  }
  for (; x < width; ++x) row[x] = table[row[x]];
}

ColourLut ColoursOf(const std::uint8_t* table) {
  ColourLut lut{};
  for (std::size_t i = 0; i < 256; ++i) {
    lut[i] = std::uint32_t{table[i * 4]} | std::uint32_t{table[i * 4 + 1]} << 8 |
             std::uint32_t{table[i * 4 + 2]} << 16;
  }
  return lut;
}

// Same result as searching rows from the top and bottom and columns from both sides.
ChangeRect FindChange(const Pixels& cur, const Pixels* previous, std::uint8_t transparent,
                      const ColourLut* cur_colours, const ColourLut* prev_colours) {
  const bool by_colour = previous && cur_colours && prev_colours;
  const auto counts = [&](std::int32_t x, std::int32_t y) {
    if (by_colour) return (*cur_colours)[cur.row(y)[x]] != (*prev_colours)[previous->row(y)[x]];
    return previous ? cur.row(y)[x] != previous->row(y)[x] : cur.row(y)[x] != transparent;
  };
  const auto row_counts = [&](std::int32_t y) {
    const std::uint8_t* a = cur.row(y);
    if (by_colour) {
      for (std::int32_t x = 0; x < cur.width; ++x)
        if (counts(x, y)) return true;
      return false;
    }
    if (previous) return std::memcmp(a, previous->row(y), static_cast<std::size_t>(cur.width)) != 0;
    for (std::int32_t x = 0; x < cur.width; ++x)
      if (a[x] != transparent) return true;
    return false;
  };
  ChangeRect r;
  std::int32_t top = 0;
  while (top < cur.height && !row_counts(top)) ++top;
  if (top == cur.height) return r;
  std::int32_t bottom = cur.height;
  while (!row_counts(bottom - 1)) --bottom;
  std::int32_t left = cur.width;
  std::int32_t right = 0;
  for (std::int32_t y = top; y < bottom; ++y) {
    for (std::int32_t x = 0; x < left; ++x) {
      if (counts(x, y)) {
        left = x;
        break;
      }
    }
    for (std::int32_t x = cur.width - 1; x >= right; --x) {
      if (counts(x, y)) {
        right = x + 1;
        break;
      }
    }
  }
  r.left = left;
  r.top = top;
  r.right = right;
  r.bottom = bottom;
  return r;
}

void CutOut(const cDIB& from, const ChangeRect& r, cDIB& to) {
  const std::int32_t w = r.right - r.left;
  const std::int32_t h = r.bottom - r.top;
  if (!to.Create(w, h, 8)) RaiseOutOfMemory();
  const Pixels source(from);
  const Pixels cut(to);
  for (std::int32_t y = 0; y < h; ++y) {
    std::memcpy(cut.row(y), source.row(r.top + y) + r.left, static_cast<std::size_t>(w));
  }
}

void CropTo(cDIB& image, const ChangeRect& r, const Palette& table) {
  cDIB copy;
  image.SetPalette(table);
  if (image.CloneTo(copy) == 0) RaiseOutOfMemory();
  CutOut(copy, r, image);
  image.SetPalette(table);
}

std::int32_t CompactTable(cDIB& image, Palette& table, std::int32_t entries, std::int32_t keep,
                          std::array<std::uint8_t, 256>& remap) {
  const Pixels px(image);
  std::array<std::uint8_t, 256> seen{};
  for (std::int32_t y = 0; y < px.height; ++y) MarkRow(px.row(y), px.width, seen);
  if (keep >= 0) seen[static_cast<std::size_t>(keep & 0xFF)] = 1;
  remap = {};
  Palette compacted{};
  std::int32_t k = 0;
  for (std::int32_t v = 0; v < 256; ++v) {
    if (!seen[static_cast<std::size_t>(v)]) continue;
    if (v >= entries) RaiseSubscript();
    remap[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(k);
    std::memcpy(compacted.data() + static_cast<std::size_t>(k) * 4, table.data() + static_cast<std::size_t>(v) * 4, 3);
    ++k;
  }
  if (k == entries) return entries;
  for (std::int32_t y = 0; y < px.height; ++y) RemapRow(px.row(y), px.width, remap);
  table = compacted;
  image.SetPalette(table);
  // A single used entry still gives a two-entry table.
  return k > 2 ? k : 2;
}

}  // namespace zoetra::frame_ops

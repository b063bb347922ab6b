// Test helper: read and write one pixel (x, memory row r) of a raster, and
// fill a whole raster from a function.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>

#include "raster/cdib.hpp"

namespace zoetra::test {

inline std::uint32_t Px(const cDIB& d, int x, int r) {
  std::uint32_t v;
  std::memcpy(&v, d.lpBits() + static_cast<std::size_t>(r) * d.BytesPerScanline() + 4 * x, 4);
  return v;
}

inline void SetPx(cDIB& d, int x, int r, std::uint32_t v) {
  std::memcpy(d.lpBits() + static_cast<std::size_t>(r) * d.BytesPerScanline() + 4 * x, &v, 4);
}

// The index at (x, memory row r) of an 8-bit raster.
inline std::uint8_t Index8(const cDIB& d, int x, int r) {
  return d.lpBits()[static_cast<std::size_t>(r) * d.BytesPerScanline() + x];
}

// Recreates `d` as a w x h raster of `bpp` 32 or 8 whose pixel (x, memory row
// r) is value(x, r) (the whole 32 bits, or the index); false when it cannot.
inline bool Filled(cDIB& d, int w, int h, const std::function<std::uint32_t(int, int)>& value, int bpp = 32) {
  if (!d.Create(w, h, bpp)) return false;
  for (int r = 0; r < h; ++r) {
    for (int x = 0; x < w; ++x) {
      if (bpp == 32) {
        SetPx(d, x, r, value(x, r));
      } else {
        d.lpBits()[static_cast<std::size_t>(r) * d.BytesPerScanline() + x] = static_cast<std::uint8_t>(value(x, r));
      }
    }
  }
  return true;
}

}  // namespace zoetra::test

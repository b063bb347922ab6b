// A checked view of an 8-bit raster's bytes, as the LZW encoder and decoder walk them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/base/error.hpp"
#include "raster/cdib.hpp"

namespace zoetra {

// Non-owning view of an 8-bit raster's bytes: element (x, y) is byte
// y * row_length + x of the raster memory (memory row 0 first). Valid while
// the raster exists and is not recreated.
struct RasterByteView {
  std::uint8_t* base = nullptr;
  std::int32_t row_length = 0;  // BytesPerScanline, padding included
  std::int32_t row_count = 0;   // Height

  // Checked access; an index outside the view raises 9.
  std::uint8_t& at(std::int32_t x, std::int32_t y) const {
    if (x < 0 || x >= row_length || y < 0 || y >= row_count) RaiseSubscript();
    return base[static_cast<std::size_t>(y) * static_cast<std::size_t>(row_length) + static_cast<std::size_t>(x)];
  }
  // Unchecked start of memory row y, for loops that have checked their bounds.
  std::uint8_t* row(std::int32_t y) const {
    return base + static_cast<std::size_t>(y) * static_cast<std::size_t>(row_length);
  }
};

// Binds the view to the raster's lpBits, BytesPerScanline and Height.
inline void BindRasterByteView(RasterByteView& view, const cDIB& raster) {
  view.base = raster.lpBits();
  view.row_length = raster.BytesPerScanline();
  view.row_count = raster.Height();
}

}  // namespace zoetra

// Test helper: read and write one 32-bit pixel (x, memory row r) of a raster.
#pragma once

#include <cstdint>
#include <cstring>

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

}  // namespace zoetra::test

// Packed palette indices in a DIB row (1, 4 or 8 bits, most significant
// first). Shared by the drawing layer's transfers and the bitmap-file codec.
#pragma once

#include <cstdint>

namespace zoetra::platform {

inline std::uint32_t LoadIndex(const std::uint8_t* row, std::int32_t x, int bpp) {
  switch (bpp) {
    case 8: return row[x];
    case 4: return (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    default: return 0;
  }
}

inline void StoreIndex(std::uint8_t* row, std::int32_t x, int bpp, std::uint32_t index) {
  switch (bpp) {
    case 8: row[x] = static_cast<std::uint8_t>(index); break;
    case 4: {
      std::uint8_t& byte = row[x >> 1];
      byte = (x & 1) ? static_cast<std::uint8_t>((byte & 0xF0) | (index & 0x0F))
                     : static_cast<std::uint8_t>((byte & 0x0F) | ((index & 0x0F) << 4));
      break;
    }
    case 1: {
      std::uint8_t& byte = row[x >> 3];
      const std::uint8_t bit = static_cast<std::uint8_t>(0x80u >> (x & 7));
      byte = (index & 1) ? static_cast<std::uint8_t>(byte | bit) : static_cast<std::uint8_t>(byte & ~bit);
      break;
    }
    default: break;
  }
}

}  // namespace zoetra::platform

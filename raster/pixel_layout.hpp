// Channel orders of 8-bit pixels in memory: what a host hands to the
// component, and what cDIB imports. A header of its own so that the
// component's interface needs nothing of the raster or drawing layers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zoetra {

enum class PixelLayout : std::uint8_t { RGB, RGBA, BGRA };
inline constexpr std::size_t PixelBytes(PixelLayout layout) {
  return layout == PixelLayout::RGB ? 3 : 4;
}

}  // namespace zoetra

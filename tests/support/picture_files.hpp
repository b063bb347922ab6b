// Test helper: small input pictures written to disk as 24-bit bitmap files or
// RGBA PNG files (through libspng), with a pattern that depends on a seed so
// every picture of a test differs.
#pragma once

#include <spng.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/pictures.hpp"
#include "support/temp_dir.hpp"

namespace zoetra::test {

inline std::uint8_t PatternByte(int x, int y, int c, int seed) {
  return static_cast<std::uint8_t>((x * (3 + c) + y * (5 + 2 * c) + seed * 41 + ((x ^ y) * seed) % 17) & 0xFF);
}

// A bottom-up 24-bit bitmap file.
inline std::vector<std::uint8_t> BitmapFileBytes(int width, int height, int seed) {
  return BmpBytes(width, height, [seed](int x, int y) {
    return Rgb{PatternByte(x, y, 2, seed), PatternByte(x, y, 1, seed), PatternByte(x, y, 0, seed)};
  });
}

// An 8-bit RGBA PNG file encoded by libspng, of the pixels `rgba` (rows top-down).
inline std::vector<std::uint8_t> PngFileBytes(int width, int height,
                                              const std::vector<std::uint8_t>& rgba) {
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  if (ctx == nullptr) throw std::runtime_error("spng_ctx_new failed");
  spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr ihdr{};
  ihdr.width = static_cast<std::uint32_t>(width);
  ihdr.height = static_cast<std::uint32_t>(height);
  ihdr.bit_depth = 8;
  ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
  spng_set_ihdr(ctx, &ihdr);
  int err = spng_encode_image(ctx, rgba.data(), rgba.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  std::size_t size = 0;
  void* buffer = err == 0 ? spng_get_png_buffer(ctx, &size, &err) : nullptr;
  spng_ctx_free(ctx);
  if (buffer == nullptr) throw std::runtime_error(std::string("spng encode failed: ") + spng_strerror(err));
  std::vector<std::uint8_t> out(static_cast<std::uint8_t*>(buffer), static_cast<std::uint8_t*>(buffer) + size);
  std::free(buffer);
  return out;
}

// The same, opaque, from a colour function (y = 0 the top row), as BmpBytes takes it.
inline std::vector<std::uint8_t> PngFileBytes(int width, int height, const std::function<Rgb(int, int)>& colour) {
  std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
      const Rgb c = colour(x, y);
      p[0] = c.r;
      p[1] = c.g;
      p[2] = c.b;
      p[3] = 255;
    }
  }
  return PngFileBytes(width, height, rgba);
}

// The same with the seed's pattern.
inline std::vector<std::uint8_t> PngFileBytes(int width, int height, int seed) {
  return PngFileBytes(width, height, [seed](int x, int y) {
    return Rgb{PatternByte(x, y, 0, seed), PatternByte(x, y, 1, seed), PatternByte(x, y, 2, seed)};
  });
}

}  // namespace zoetra::test

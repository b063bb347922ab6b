// Test helper: writes small 24-bit bitmap files from a colour function.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/bitmap_files.hpp"

namespace zoetra::test {

struct Rgb {
  std::uint8_t r, g, b;
};

// The bytes of a bottom-up 24-bit bitmap file of w x h; colour(x, y) with y = 0 the top row.
inline std::vector<std::uint8_t> BmpBytes(int w, int h, const std::function<Rgb(int, int)>& colour) {
  const int stride = (w * 3 + 3) / 4 * 4;
  Bytes pixels(static_cast<std::size_t>(stride) * h, 0);
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = pixels.data() + static_cast<std::size_t>((h - 1 - y) * stride);
    for (int x = 0; x < w; ++x) {
      const Rgb c = colour(x, y);
      row[3 * x] = c.b;
      row[3 * x + 1] = c.g;
      row[3 * x + 2] = c.r;
    }
  }
  DibHeader header;
  header.width = w;
  header.height = h;
  return BitmapFile(header, {}, pixels);
}

inline void WriteBmp(const std::string& path, int w, int h, const std::function<Rgb(int, int)>& colour) {
  const std::vector<std::uint8_t> f = BmpBytes(w, h, colour);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
}

// A picture with gradients and a moving square, so frames differ a little.
inline void WriteFrame(const std::string& path, int w, int h, int step) {
  WriteBmp(path, w, h, [=](int x, int y) {
    const bool square = x >= step * 2 && x < step * 2 + 5 && y >= 3 && y < 8;
    if (square) return Rgb{230, 40, 30};
    return Rgb{static_cast<std::uint8_t>(x * 255 / (w > 1 ? w - 1 : 1)),
               static_cast<std::uint8_t>(y * 255 / (h > 1 ? h - 1 : 1)), static_cast<std::uint8_t>(90 + step * 10)};
  });
}

}  // namespace zoetra::test

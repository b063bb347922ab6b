// Helpers shared by the colour tests: colours, 32-bit pictures, palette entries.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <ostream>
#include <vector>

#include "colour/cpal8bpp.hpp"
#include "platform/base/error.hpp"
#include "raster/cdib.hpp"
#include "support/caught.hpp"

namespace zoetra::colour_test {

struct Rgb {
  int r, g, b;
  auto operator<=>(const Rgb&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Rgb& c) {
  return os << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}

// A w x h 32-bit raster with pixel (x, y) at byte 4 (y w + x), colours in scan
// order. The fourth byte gets a pattern: it carries no colour.
inline void Fill(cDIB& d, std::int32_t w, std::int32_t h, const std::vector<Rgb>& pixels) {
  ASSERT_TRUE(d.Create(w, h, 32));
  ASSERT_EQ(pixels.size(), static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    std::uint8_t* p = d.lpBits() + 4 * i;
    p[0] = static_cast<std::uint8_t>(pixels[i].b);
    p[1] = static_cast<std::uint8_t>(pixels[i].g);
    p[2] = static_cast<std::uint8_t>(pixels[i].r);
    p[3] = static_cast<std::uint8_t>(i * 7);
  }
}

// Entries 0 .. Entries - 1 of a palette.
inline std::vector<Rgb> EntriesOf(const cPal8bpp& pal) {
  std::vector<Rgb> out;
  for (int i = 0; i < pal.Entries(); ++i) {
    const std::uint8_t* e = pal.lpPalette() + 4 * i;
    out.push_back({e[2], e[1], e[0]});
  }
  return out;
}

inline int RoundHalfEven(double v) {
  const double f = std::floor(v);
  if (v - f != 0.5) return static_cast<int>(std::round(v));
  return static_cast<int>(std::fmod(f, 2.0) == 0.0 ? f : f + 1.0);
}

inline void ExpectErrorNumber(const std::function<void()>& f, std::int32_t number) {
  const Error e = test::Caught([&] { f(); });
  EXPECT_EQ(e.number(), number) << e.description();
}

}  // namespace zoetra::colour_test

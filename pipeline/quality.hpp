// What a quality of 1 to 100 trades: each lever in one place.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cmath>

namespace zoetra::pipeline {

struct Tradeoffs {
  // With optimize: the largest change of a source pixel (red, green and blue
  // differences summed) that keeps what is shown.
  std::int32_t tolerance = 0;
  // The encoder's budget for letting a string go on with a pixel of a close
  // colour, as a squared distance (0: exact).
  std::int32_t lossy = 0;
  // Colours a palette may hold.
  std::int32_t colours = 256;
  // Whether mapping spreads its error (dithering), which packs worse.
  bool diffuse = true;
};

// Below 100 the mapping keeps no dithering (its noise costs more bytes, and
// even mean squared error, than the banding it hides), the palette halves
// every 12.5 steps (256 colours at 100, 16 at 50, 2 at 12 and below), still
// pixels get a little tolerance and the encoder a growing budget.
inline Tradeoffs TradeoffsFor(std::int64_t quality) {
  Tradeoffs t;
  if (quality >= 100) return t;
  const std::int32_t loss = static_cast<std::int32_t>(100 - std::clamp<std::int64_t>(quality, 1, 100));  // 1..99
  t.diffuse = false;
  t.tolerance = loss / 8;
  t.lossy = static_cast<std::int32_t>(std::lround(6400.0 * (loss / 99.0) * (loss / 99.0)));
  t.colours = std::max(2, static_cast<std::int32_t>(std::lround(256.0 * std::exp2(-loss / 12.5))));
  return t;
}

}  // namespace zoetra::pipeline

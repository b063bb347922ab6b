// What a quality of 1 to 100 trades: each lever in one place.
#pragma once

#include <algorithm>
#include <cstdint>

namespace zoetra::pipeline {

struct Tradeoffs {
  // With optimize: the largest change of a source pixel (red, green and blue
  // differences summed) that keeps what is shown.
  std::int32_t tolerance = 0;
  // The encoder's budget for bending a pixel toward a longer string (0: exact).
  std::int32_t lossy = 0;
  // Colours a palette may hold.
  std::int32_t colours = 256;
};

inline Tradeoffs TradeoffsFor(std::int64_t quality) {
  Tradeoffs t;
  if (quality >= 100) return t;
  const std::int32_t loss = static_cast<std::int32_t>(100 - std::clamp<std::int64_t>(quality, 1, 100));  // 1..99
  t.tolerance = 3 + loss / 2;
  t.lossy = loss * 4;
  t.colours = loss <= 50 ? 256 : 256 - (loss - 50) * 4;
  return t;
}

}  // namespace zoetra::pipeline

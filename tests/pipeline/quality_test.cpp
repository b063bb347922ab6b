#include "pipeline/quality.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace zoetra::pipeline {
namespace {

// Lower quality never buys a better setting: no less tolerance, no smaller
// lossy budget, no more colours, and no dithering once it is dropped.
TEST(TradeoffsTest, LowerQualityNeverGivesABetterSetting) {
  for (std::int64_t q = 1; q < 100; ++q) {
    const Tradeoffs lower = TradeoffsFor(q), higher = TradeoffsFor(q + 1);
    SCOPED_TRACE(q);
    EXPECT_GE(lower.tolerance, higher.tolerance);
    EXPECT_GE(lower.lossy, higher.lossy);
    EXPECT_LE(lower.colours, higher.colours);
    EXPECT_LE(lower.diffuse, higher.diffuse);
    EXPECT_GE(lower.colours, 2);
    EXPECT_LE(lower.colours, 256);
  }
}

// The levers at points worked out by hand, and qualities outside 1..100
// taken as the nearest bound.
TEST(TradeoffsTest, PointsAndBounds) {
  struct Case {
    std::int64_t quality;
    std::int32_t tolerance, lossy, colours;
    bool diffuse;
  };
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const Case cases[] = {
      {100, 0, 0, 256, true},  // lossless: every colour, dithered, nothing bent
      {kMax, 0, 0, 256, true},
      {101, 0, 0, 256, true},
      {99, 0, 1, 242, false},    // 6400 / 99^2 = 0.65; 256 / 2^(1/12.5) = 242.2
      {92, 1, 42, 164, false},   // loss 8: 8 / 8 = 1
      {50, 6, 1632, 16, false},  // loss 50: 6400 * 0.255 = 1632.3; 256 / 2^4
      {13, 10, 4943, 2, false},  // 2.06 rounds to 2
      {1, 12, 6400, 2, false},   // loss 99: the whole budget
      {0, 12, 6400, 2, false},
      {-7, 12, 6400, 2, false},
      {kMin, 12, 6400, 2, false},
  };
  for (const Case& c : cases) {
    const Tradeoffs t = TradeoffsFor(c.quality);
    SCOPED_TRACE(c.quality);
    EXPECT_EQ(t.tolerance, c.tolerance);
    EXPECT_EQ(t.lossy, c.lossy);
    EXPECT_EQ(t.colours, c.colours);
    EXPECT_EQ(t.diffuse, c.diffuse);
  }
}

}  // namespace
}  // namespace zoetra::pipeline

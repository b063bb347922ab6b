// The progress line's arithmetic and its reading of the yields, on a clock the test runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli/progress.hpp"

namespace zoetra::cli {
namespace {

using platform::YieldInfo;
using platform::YieldStage;
using Samples = std::vector<ProgressSample>;

TEST(ProgressEstimateTest, RateAndTimeLeftOverTheWindow) {
  const struct {
    const char* what;
    Samples samples;
    std::int64_t left;
    double fps, seconds_left;  // -1: not shown
  } cases[] = {
      {"nothing measured", {}, 10, -1, -1},
      {"under a second", {{0, 0}, {0.9, 30}}, 10, -1, -1},
      {"steady", {{0, 0}, {1, 10}, {2, 20}}, 30, 10, 3},
      {"all done", {{0, 0}, {2, 20}}, 0, 10, 0},
      {"the old rate is forgotten", {{0, 0}, {5, 50}, {10, 100}, {11, 140}, {15, 300}}, 80, 40, 2},
      {"slow frames: back to the last one finished", {{0, 0}, {12, 1}, {24, 2}}, 3, 1.0 / 12, 36},
      {"a stall decays the rate", {{0, 0}, {1, 10}, {2, 20}, {5, 20}, {8, 20}}, 10, 10.0 / 7, 7},
      {"nothing finished", {{0, 0}, {2, 0}}, 5, 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ProgressEstimate e = Estimate(c.samples, c.left);
    EXPECT_DOUBLE_EQ(e.fps, c.fps);
    EXPECT_NEAR(e.seconds_left, c.seconds_left, 1e-9);
  }
}

// The yields of `pictures` in one pass, or in two (reading picture `again` a second time in the
// second).
std::vector<YieldInfo> Yields(std::int32_t pictures, bool two_pass, std::int32_t again = 0) {
  std::vector<YieldInfo> y;
  const auto add = [&](std::int32_t i, std::initializer_list<YieldStage> stages) {
    for (const YieldStage s : stages) y.push_back({s, i, pictures});
  };
  const auto read = {YieldStage::PictureStart, YieldStage::ChannelSwap, YieldStage::Flip};
  const auto write = {YieldStage::Dither, YieldStage::PaletteCopy};
  for (std::int32_t i = 1; i <= pictures; ++i) {
    add(i, read);
    if (!two_pass) add(i, write);
  }
  for (std::int32_t i = 1; two_pass && i <= pictures; ++i) {
    if (i == again) add(i, read);
    add(i, write);
  }
  add(pictures, {YieldStage::Screen, YieldStage::Compact, YieldStage::Optimize, YieldStage::Saved});
  return y;
}

TEST(ProgressFollowTest, PassesAreToldApartFromTheOrderOfTheStages) {
  // After each yield: the phase (upper case once two passes are known), pictures done / left.
  const struct {
    std::vector<YieldInfo> yields;
    std::string trace;
  } cases[] = {
      {Yields(3, true),
       "r0/3 r0/3 r1/2 R1/5 R1/5 R2/4 R2/4 R2/4 R3/3 F0/3 F1/2 F1/2 F2/1 F2/1 F3/0 D3/0 D3/0 D3/0 "
       "D3/0"},
      {Yields(2, true, 2),
       "r0/2 r0/2 r1/1 R1/3 R1/3 R2/2 F0/2 F1/1 F1/1 F1/1 F1/1 F1/1 F2/0 D2/0 D2/0 D2/0 D2/0"},
      {Yields(2, false), "r0/2 r0/2 r1/1 f0/2 f1/1 f1/1 f1/1 f1/1 f1/1 f2/0 d2/0 d2/0 d2/0 d2/0"},
  };
  for (const auto& c : cases) {
    ProgressPosition p;
    std::string trace;
    for (const YieldInfo& y : c.yields) {
      p = Follow(p, y);
      const char phase = "rfd"[static_cast<int>(p.phase)];
      trace += (trace.empty() ? "" : " ") +
               std::string(1, p.two_pass ? static_cast<char>(phase - 32) : phase) +
               std::to_string(p.done) + "/" + std::to_string(PicturesLeft(p));
    }
    EXPECT_EQ(trace, c.trace);
  }
}

TEST(ProgressLineTest, TwoPassesOfManyPicturesAtTheirOwnRates) {
  // 40960 pictures (past 16 bits), read at 512 a second, then written at 128 a
  // second: times a binary fraction can hold exactly.
  ProgressLine line;
  double now = 0, drawn_at = 0;
  int fill = 0;
  std::vector<std::string> seen;
  for (const YieldInfo& y : Yields(40960, true)) {
    if (y.stage == YieldStage::Flip) now += 1.0 / 512;
    if (y.stage == YieldStage::PaletteCopy) now += 1.0 / 128;
    if (!line.Update(y, now)) continue;
    const bool first =
        y.picture == 1 && (y.stage == YieldStage::PictureStart || y.stage == YieldStage::Dither);
    const bool last = y.picture == y.pictures &&
                      (y.stage == YieldStage::Flip || y.stage == YieldStage::PaletteCopy);
    // Only a new phase, the end of one and the document's stages come sooner.
    if (!first && !last && y.stage < YieldStage::Screen) {
      EXPECT_GE(now - drawn_at, ProgressLine::kRedrawInterval) << now;
    }
    drawn_at = now;
    const std::string text(line.Text(80));
    const int filled = static_cast<int>(std::count(text.begin(), text.end(), '#'));
    EXPECT_GE(filled, fill) << text;
    fill = filled;
    if (first || last) seen.push_back(text.substr(33));
  }
  EXPECT_EQ(fill, 30);
  // At the end of reading, all the writing is still to come (at the rate so far);
  // the writing is measured afresh.
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "reading  0/40960", "reading  40960/40960  512 fps  1:20 left",
                      "frames  0/40960", "frames  40960/40960  128 fps  0:00 left"}));
}

TEST(ProgressLineTest, TheBarOnlyWhereItFits) {
  ProgressLine line;
  line.Update({YieldStage::PaletteCopy, 3, 4}, 0);
  const auto bar = [](int filled, int empty) {
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(empty), '.') + "] ";
  };
  const struct {
    int columns;
    std::string text;
  } cases[] = {
      {0, bar(22, 8) + "frames  3/4"},
      {45, bar(22, 8) + "frames  3/4"},
      {44, bar(21, 8) + "frames  3/4"},
      {25, bar(7, 3) + "frames  3/4"},
      {24, "frames  3/4"},
      {8, "frames "},
  };
  for (const auto& c : cases) EXPECT_EQ(line.Text(c.columns), c.text) << c.columns;
}

}  // namespace
}  // namespace zoetra::cli

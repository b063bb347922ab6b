#include "pipeline/clip_timing.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <utility>
#include <vector>

#include "platform/base/error.hpp"

namespace zoetra::pipeline {
namespace {

struct Shown {
  std::vector<int> delays;
  std::vector<int> frames;  // which source frame each GIF frame shows
  int total() const { return std::accumulate(delays.begin(), delays.end(), 0); }
};

// Feeds frame times (ticks of 1/den s) as a reader does, paced as the
// reader and the browser's engine pace them; the last frame ends at `end`.
Shown Feed(std::int64_t den, const std::vector<std::int64_t>& pts, std::int64_t end, const ClipWindow& window) {
  ClipTiming timing("clip.mp4", 1, den, 0, window);
  ClipPacer<int> pacer(window.min_hundredths);
  Shown shown;
  const auto emit = [&](int frame, std::int16_t delay) {
    shown.frames.push_back(frame);
    shown.delays.push_back(delay);
  };
  int held = -1;
  const auto take = [&] {
    while (pacer.Next(timing, held, emit)) {
    }
  };
  for (std::size_t i = 0; i < pts.size(); ++i) {
    if (!timing.Add(pts[i])) continue;
    take();
    held = static_cast<int>(i);
    if (timing.Done()) break;
  }
  timing.End(timing.Done() ? pts[static_cast<std::size_t>(held)] : end);
  take();
  pacer.End(timing.EndHundredths(), emit);
  return shown;
}

std::vector<std::int64_t> Regular(int frames, std::int64_t step, std::int64_t first = 0) {
  std::vector<std::int64_t> pts(static_cast<std::size_t>(frames));
  for (int i = 0; i < frames; ++i) pts[static_cast<std::size_t>(i)] = first + i * step;
  return pts;
}

TEST(ClipTimingTest, DelaysCarryTheRoundingAndKeepTheRunningTime) {
  struct Case {
    const char* name;
    std::int64_t den;
    std::vector<std::int64_t> pts;
    std::int64_t end;
    ClipWindow window;
    int frames, total;
    std::vector<int> delay_values;  // the delays that occur, sorted
  };
  ClipWindow fps10;
  fps10.fps = 10;
  fps10.start = 2;
  fps10.end = 6;
  ClipWindow late;  // the first frame of a part starts the GIF, however late it began
  late.start = 0.5;
  ClipWindow fast;  // ticks under 2 hundredths after a GIF frame are passed over at once
  fast.fps = 1e9;
  const std::vector<Case> cases = {
      {"25 fps in 1/12800", 12800, Regular(100, 512), 100 * 512, {}, 100, 400, {4}},
      {"30 fps in 1/15360", 15360, Regular(90, 512), 90 * 512, {}, 90, 300, {3, 4}},
      {"29.97 fps in 1/30000", 30000, Regular(300, 1001), 300 * 1001, {}, 300, 1001, {3, 4}},
      {"60 fps: nothing under 2", 60, Regular(120, 1), 120, {}, 80, 200, {2, 3}},
      {"fps 10 from 2 s for 4 s of 25 fps", 25, Regular(250, 1), 250, fps10, 40, 400, {10}},
      {"a part starting between frames", 25, Regular(50, 1), 50, late, 38, 150, {2, 4}},
      {"a late first frame shows from 0", 100, Regular(10, 4, 8), 48, {}, 10, 48, {4, 12}},
      {"fps 1e9 of 25 fps", 25, Regular(25, 1), 25, fast, 50, 100, {2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Shown shown = Feed(c.den, c.pts, c.end, c.window);
    EXPECT_EQ(static_cast<int>(shown.delays.size()), c.frames);
    EXPECT_EQ(shown.total(), c.total);
    std::vector<int> values = shown.delays;
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    EXPECT_EQ(values, c.delay_values);
  }
}

TEST(ClipTimingTest, AskedRatePicksAsFFmpegsFpsFilterAndRepeatsStills) {
  ClipWindow window;
  window.fps = 4;  // ticks at 0, 25, 50, 75, 100, 125 hundredths
  // Frames at 0, 30 and 40 hundredths round to ticks 0, 1 and 2; the last shows until 150.
  const Shown shown = Feed(100, {0, 30, 40}, 150, window);
  EXPECT_EQ(shown.frames, (std::vector<int>{0, 1, 2, 2, 2, 2}));
  EXPECT_EQ(shown.delays, (std::vector<int>{25, 25, 25, 25, 25, 25}));
}

// The frames ffmpeg -vf fps=<rate> shows of a 25 fps clip of 50 frames (2 s).
TEST(ClipTimingTest, AskedRateShowsTheFramesFFmpegsFpsFilterShows) {
  const struct {
    double fps;
    std::vector<int> frames;
  } cases[] = {
      {10, {1, 3, 6, 8, 11, 13, 16, 18, 21, 23, 26, 28, 31, 33, 36, 38, 41, 43, 46, 48}},
      {15, {0,  2,  4,  5,  7,  9,  10, 12, 14, 15, 17, 19, 20, 22, 24,
            25, 27, 29, 30, 32, 34, 35, 37, 39, 40, 42, 44, 45, 47, 49}},
      {4, {3, 9, 15, 21, 28, 34, 40, 46}},
      {10.5, {1, 3, 5, 8, 10, 13, 15, 17, 20, 22, 24, 27, 29, 32, 34, 36, 39, 41, 44, 46, 48}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fps);
    ClipWindow window;
    window.fps = c.fps;
    EXPECT_EQ(Feed(25, Regular(50, 1), 50, window).frames, c.frames);
  }
}

// 30 fps at 15 from a start shows every second frame: the ticks are counted
// in the clip's own ticks from the start, so none lands a rounding error
// before the frame it should show.
TEST(ClipTimingTest, AskedRateFromAStartStepsEvenlyOverTheSourceFrames) {
  ClipWindow window;
  window.fps = 15;
  window.start = 2;
  window.end = 5;
  std::vector<int> every_second;
  for (int k = 0; k < 45; ++k) every_second.push_back(60 + 2 * k);
  for (const auto& [den, step] : {std::pair{90000, 3000}, {15360, 512}, {600, 20}, {30000, 1000}}) {
    SCOPED_TRACE(den);
    const Shown shown = Feed(den, Regular(180, step), 180 * step, window);
    EXPECT_EQ(shown.frames, every_second);
    EXPECT_EQ(shown.total(), 300);
  }
}

// In whole milliseconds (Matroska) 30 fps frames are a third of a millisecond
// off their times, and half of the odd ones round to before the half tick:
// ffmpeg -ss 2 -i clip.mkv -t 3 -vf fps=15 shows these.
TEST(ClipTimingTest, AskedRateFromAStartInMillisecondsPicksAsFFmpeg) {
  ClipWindow window;
  window.fps = 15;
  window.start = 2;
  window.end = 5;
  std::vector<std::int64_t> pts;
  for (int f = 0; f < 180; ++f) pts.push_back((f * 1000 + 15) / 30);
  const std::vector<int> ffmpeg = {61,  62,  64,  67,  68,  70,  73,  74,  76,  79,  80,  82,  85,  86,  88,
                                   91,  92,  94,  97,  98,  100, 103, 104, 106, 109, 110, 112, 115, 116, 118,
                                   121, 122, 124, 127, 128, 130, 133, 134, 136, 139, 140, 142, 145, 146, 148};
  EXPECT_EQ(Feed(1000, pts, 6000, window).frames, ffmpeg);
}

TEST(ClipTimingTest, OwnDelaysOfAGifAreKeptEvenWhenZero) {
  ClipWindow gif;
  gif.min_hundredths = 0;
  const Shown shown = Feed(100, {0, 10, 10, 40, 45}, 95, gif);
  EXPECT_EQ(shown.delays, (std::vector<int>{10, 0, 30, 5, 50}));
  EXPECT_EQ(shown.frames, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(ClipTimingTest, FramesOutOfOrderArePassedOver) {
  const Shown shown = Feed(100, {0, 10, 5, 20, 20, 30}, 40, {});
  EXPECT_EQ(shown.frames, (std::vector<int>{0, 1, 3, 5}));
  EXPECT_EQ(shown.total(), 40);
}

TEST(ClipTimingTest, LimitsRefuseEndlessClipsByName) {
  ClipWindow frames;
  frames.max_frames = 50;
  ClipWindow seconds;
  seconds.fps = 25;  // a still claimed to last a year, resampled
  seconds.max_seconds = 3600;
  const struct {
    ClipWindow window;
    std::vector<std::int64_t> pts;
    std::int64_t end;
    const char* limit;
  } cases[] = {
      {frames, Regular(100, 4), 400, "max_clip_frames"},
      {seconds, {0}, 100LL * 3600 * 24 * 365, "max_clip_seconds"},
  };
  for (const auto& c : cases) {
    try {
      Feed(100, c.pts, c.end, c.window);
      ADD_FAILURE() << c.limit << " was not reached";
    } catch (const Error& e) {
      EXPECT_NE(e.description().find(c.limit), std::string::npos) << e.description();
      EXPECT_NE(e.description().find("clip.mp4"), std::string::npos) << e.description();
    }
  }
}

TEST(ClipTimingTest, ABadTimeBaseIsRefused) {
  EXPECT_THROW(ClipTiming("clip.mp4", 0, 1, 0, {}), Error);
  EXPECT_THROW(ClipTiming("clip.mp4", 1, -5, 0, {}), Error);
}

}  // namespace
}  // namespace zoetra::pipeline

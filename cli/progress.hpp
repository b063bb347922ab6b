// The progress line of zoetra create: where the conversion is, worked out from
// the library's yields, and how fast it goes, measured over a moving window.
// Nothing here allocates after construction: it runs inside the yield hook.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/base/yield.hpp"

namespace zoetra::cli {

// Every picture is read (PictureStart to Flip) and written as a frame (Dither,
// PaletteCopy), either in turn or all read before the first is written; the
// stages from Screen on are the whole document's.
enum class ProgressPhase : std::uint8_t { Reading, Frames, Document };

struct ProgressPosition {
  ProgressPhase phase = ProgressPhase::Reading;
  // A picture after the first began before any was written: a writing pass over
  // every picture is still to come.
  bool two_pass = false;
  std::int64_t done = 0;  // pictures through the current phase
  std::int64_t pictures = 0;
  platform::YieldStage stage = platform::YieldStage::PictureStart;  // the latest
};

// The position after one more yield. A picture read again while frames are
// being written does not take the count back.
ProgressPosition Follow(ProgressPosition position, const platform::YieldInfo& info);

// Pictures still to go through the current phase and, while the first of two
// passes runs, the whole second one.
std::int64_t PicturesLeft(const ProgressPosition& position);

struct ProgressSample {
  double seconds = 0;
  std::int64_t done = 0;
};

struct ProgressEstimate {
  double fps = -1;           // negative until enough has been measured
  double seconds_left = -1;  // negative while unknown
};

// The rate over the window `samples` (oldest first, the last one now) and the
// time `left` pictures take at that rate. The rate is taken from the newest
// sample at least kProgressWindow old that is behind the last one, so it
// follows a change within a few seconds and decays while nothing is finished.
inline constexpr double kProgressWindow = 5.0;
inline constexpr double kProgressMinimum = 1.0;  // seconds measured before any estimate
ProgressEstimate Estimate(std::span<const ProgressSample> samples, std::int64_t left);

// The line itself: fed every yield with the time, it says when to draw again
// (at most every kRedrawInterval, and at every change of phase or document
// stage) and composes the text.
class ProgressLine {
 public:
  static constexpr double kRedrawInterval = 0.1;

  // Follows `info` at `now` seconds; true when the line should be drawn again.
  bool Update(const platform::YieldInfo& info, double now);
  // The line for a terminal `columns` wide (0 when unknown), with no control
  // characters; valid until the next call.
  std::string_view Text(int columns);

  const ProgressPosition& position() const { return position_; }
  const ProgressEstimate& estimate() const { return estimate_; }

 private:
  static constexpr std::size_t kSamples = 64;  // more than kProgressWindow at the redraw rate

  void Sample(double now);

  ProgressPosition position_;
  ProgressEstimate estimate_;
  std::array<ProgressSample, kSamples> samples_{};
  std::size_t sampled_ = 0;
  double drawn_at_ = 0;
  bool drawn_ = false;
  std::array<char, 512> text_{};
};

}  // namespace zoetra::cli

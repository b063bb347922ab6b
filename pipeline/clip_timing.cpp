#include "pipeline/clip_timing.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/base/error.hpp"

namespace zoetra::pipeline {

namespace {

constexpr long double kForever = std::numeric_limits<long double>::infinity();

long double Round(long double x) { return std::floor(x + 0.5L); }

// The asked rate's arithmetic is exact in 128 bits: clip times are held within
// kFar ticks and time bases and rates to 31 bits, so no product overflows.
__extension__ typedef __int128 Wide;
constexpr std::int64_t kFar = std::int64_t{1} << 62;
constexpr std::int64_t kMostTerm = std::numeric_limits<std::int32_t>::max();

std::int64_t Clamp(Wide v) { return v > kFar ? kFar : v < -kFar ? -kFar : static_cast<std::int64_t>(v); }

Wide FloorDiv(Wide a, Wide b) {  // b > 0
  const Wide q = a / b;
  return a % b != 0 && a < 0 ? q - 1 : q;
}

Wide CeilDiv(Wide a, Wide b) { return -FloorDiv(-a, b); }

// The rate as the nearest fraction whose denominator is at most a million
// (continued fractions): 15 is 15/1, 10.5 is 21/2, 29.97 is 2997/100.
void Fraction(long double x, std::int64_t& num, std::int64_t& den) {
  constexpr std::int64_t kMostDen = 1000000;
  std::int64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0;
  long double rest = x > 0 ? std::min<long double>(x, kMostTerm) : 1.0L / kMostDen;
  for (int terms = 0; terms < 64; ++terms) {
    const long double whole = std::floor(rest);
    if (q1 != 0 && whole > static_cast<long double>((kMostDen - q0) / q1)) break;
    if (p1 != 0 && whole > static_cast<long double>((kMostTerm - p0) / p1)) break;
    const auto a = static_cast<std::int64_t>(whole);
    const std::int64_t p = a * p1 + p0, q = a * q1 + q0;
    p0 = p1, q0 = q1, p1 = p, q1 = q;
    if (rest == whole) break;
    rest = 1 / (rest - whole);
  }
  num = std::max<std::int64_t>(p1, 1);
  den = std::max<std::int64_t>(q1, 1);
}

}  // namespace

ClipTiming::ClipTiming(std::string name, std::int64_t num, std::int64_t den, std::int64_t origin,
                       const ClipWindow& window)
    : name_(std::move(name)), num_(num), den_(den), origin_(origin), window_(window) {
  if (num <= 0 || den <= 0 || num > kMostTerm || den > kMostTerm) {
    RaiseError(kErrInvalidPicture, "Invalid picture (" + name_ + ": its time base " + std::to_string(num) + "/" +
                                       std::to_string(den) + " is no length of time)");
  }
  start_ticks_ = Clamp(Wide{origin_} + TicksAt(window_.start));
  end_ticks_ = window_.end ? Clamp(Wide{origin_} + TicksAt(*window_.end)) : kFar;
  window_grid_ = kFar;
  if (window_.fps) {
    Fraction(*window_.fps, fps_num_, fps_den_);
    // The ticks of the rate before the window's end: start + k / fps < end.
    if (window_.end) {
      const Wide span = Wide{end_ticks_} - start_ticks_;
      window_grid_ = span <= 0 ? 0 : Clamp(CeilDiv(span * num_ * fps_num_, Wide{den_} * fps_den_));
    }
  }
}

std::int64_t ClipTiming::TicksAt(long double seconds) const {
  const long double x = seconds * den_ / num_;
  if (!(x < static_cast<long double>(kFar))) return kFar;
  if (!(x > -static_cast<long double>(kFar))) return -kFar;
  const long double tick = Round(x);
  // 0.07 s is 6299.99... ticks of 1/90000 as a double: still the tick 6300.
  if (std::fabs(x - tick) <= 1e-9L + 1e-13L * std::fabs(x)) return static_cast<std::int64_t>(tick);
  return static_cast<std::int64_t>(std::ceil(x));
}

std::int64_t ClipTiming::GridOf(std::int64_t ticks) const {
  // round((ticks - start) * num / den * fps), halves up.
  const Wide offset = Clamp(Wide{ticks} - start_ticks_);
  const Wide scale = Wide{den_} * fps_den_;
  return Clamp(FloorDiv(2 * offset * num_ * fps_num_ + scale, 2 * scale));
}

long double ClipTiming::Seconds(std::int64_t ticks) const {
  return (static_cast<long double>(ticks) - static_cast<long double>(origin_)) * num_ / den_;
}

std::int64_t ClipTiming::Hundredths(long double seconds) const {
  const long double h = Round((seconds - window_.start) * 100);
  if (!(h > 0)) return 0;
  return h >= 9e18L ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(h);
}

long double ClipTiming::WindowEnd() const { return window_.end ? static_cast<long double>(*window_.end) : kForever; }

std::int64_t ClipTiming::StartTicks() const {
  const long double ticks = static_cast<long double>(window_.start) * den_ / num_ + origin_;
  if (ticks >= 9e18L) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(std::floor(ticks));
}

bool ClipTiming::Add(std::int64_t pts) {
  const long double s = Seconds(pts);
  // Frames of no length are kept only where the minimum is 0 (a GIF's own delays).
  if (have_frame_ && (s < previous_ || (s == previous_ && window_.min_hundredths > 0))) return false;
  if (have_frame_) {
    from_ = previous_;
    to_ = s;
    until_grid_ = PastEnd(pts) ? kFar : GridOf(pts);
    interval_open_ = true;
  }
  have_frame_ = true;
  previous_ = s;
  previous_ticks_ = pts;
  return true;
}

void ClipTiming::End(std::int64_t end) {
  if (!have_frame_) return;
  long double e = Seconds(end);
  // A last frame of no known length shows for the shortest time kept.
  if (!(e > previous_)) {
    e = previous_ + std::max(window_.min_hundredths, 1) / 100.0L;
    end = Clamp(Wide{origin_} + TicksAt(e));
  }
  from_ = previous_;
  to_ = e;
  until_grid_ = PastEnd(end) ? kFar : GridOf(end);
  ended_ = true;
  interval_open_ = true;
  end_hundredths_ = Hundredths(std::min(e, WindowEnd()));
}

void ClipTiming::Check(std::int64_t hundredths) const {
  if (window_.max_seconds > 0 && hundredths > window_.max_seconds * 100) {
    RaiseError(kErrInvalidPicture,
               "Clip limit: " + name_ + " runs longer than " + std::to_string(window_.max_seconds) +
                   " seconds (max_clip_seconds); --duration takes a part of it, and a host raises the limit "
                   "with SetLimits");
  }
  if (window_.max_frames > 0 && frames_ >= window_.max_frames) {
    RaiseError(kErrInvalidPicture,
               "Clip limit: " + name_ + " gives more than " + std::to_string(window_.max_frames) +
                   " frames (max_clip_frames); --fps or --duration gives fewer, and a host raises the limit "
                   "with SetLimits");
  }
}

bool ClipTiming::NextStart(std::int64_t& hundredths) {
  if (!interval_open_) return false;
  const std::int64_t least = window_.min_hundredths;
  if (window_.fps) {
    for (;;) {
      if (grid_ >= std::min(until_grid_, window_grid_)) {
        interval_open_ = false;
        return false;
      }
      // Tick k starts round(k * 100 / fps) hundredths in.
      const Wide twice = 2 * Wide{fps_num_};
      const std::int64_t start = Clamp(FloorDiv(Wide{grid_} * 200 * fps_den_ + fps_num_, twice));
      if (last_start_ >= 0 && start < last_start_ + least) {
        // Past the ticks too close to the last GIF frame at once, however fast the rate.
        const Wide first = CeilDiv((2 * Wide{last_start_ + least} - 1) * fps_num_, Wide{200} * fps_den_);
        grid_ = std::max(grid_ + 1, Clamp(first));
        continue;
      }
      // After the last frame, a tick too close to the end for a GIF frame of
      // its own leaves the time to the frame before.
      if (ended_ && last_start_ >= 0 && start + least > end_hundredths_) {
        interval_open_ = false;
        return false;
      }
      ++grid_;
      Check(start);
      last_start_ = start;
      ++frames_;
      hundredths = start;
      return true;
    }
  }
  interval_open_ = false;
  const bool seen = to_ > window_.start || (to_ == from_ && from_ >= window_.start);
  if (!seen || !(from_ < WindowEnd())) return false;
  const std::int64_t start = last_start_ < 0 ? 0 : Hundredths(std::max(from_, static_cast<long double>(window_.start)));
  if (last_start_ >= 0 && start < last_start_ + least) return false;
  Check(start);
  last_start_ = start;
  ++frames_;
  hundredths = start;
  return true;
}

bool ClipTiming::Done() const {
  if (interval_open_ || !have_frame_) return false;
  return window_.fps ? PastEnd(previous_ticks_) : !(previous_ < WindowEnd());
}

std::int16_t ClipTiming::Delay(std::int64_t from, std::int64_t to, std::int32_t min_hundredths) {
  const std::int64_t d = std::max<std::int64_t>(to - from, min_hundredths > 0 ? 1 : 0);
  return static_cast<std::int16_t>(std::min<std::int64_t>(d, 32767));
}

}  // namespace zoetra::pipeline

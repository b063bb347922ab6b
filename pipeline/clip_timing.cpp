#include "pipeline/clip_timing.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/base/error.hpp"

namespace zoetra::pipeline {

namespace {

constexpr long double kForever = std::numeric_limits<long double>::infinity();

long double Round(long double x) { return std::floor(x + 0.5L); }

}  // namespace

ClipTiming::ClipTiming(std::string name, std::int64_t num, std::int64_t den, std::int64_t origin,
                       const ClipWindow& window)
    : name_(std::move(name)), num_(num), den_(den), origin_(origin), window_(window) {
  if (num <= 0 || den <= 0) {
    RaiseError(kErrInvalidPicture, "Invalid picture (" + name_ + ": its time base " + std::to_string(num) + "/" +
                                       std::to_string(den) + " is no length of time)");
  }
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
    interval_open_ = true;
  }
  have_frame_ = true;
  previous_ = s;
  return true;
}

void ClipTiming::End(std::int64_t end) {
  if (!have_frame_) return;
  long double e = Seconds(end);
  // A last frame of no known length shows for the shortest time kept.
  if (!(e > previous_)) e = previous_ + std::max(window_.min_hundredths, 1) / 100.0L;
  from_ = previous_;
  to_ = e;
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
  const long double stop = std::min(to_, WindowEnd());
  const std::int64_t least = window_.min_hundredths;
  if (window_.fps) {
    const long double fps = *window_.fps;
    for (;;) {
      const long double at = window_.start + grid_ / fps;
      if (!(at < stop)) {
        interval_open_ = false;
        return false;
      }
      const long double h = Round(grid_ * 100.0L / fps);
      const std::int64_t start = h >= 9e18L ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(h);
      ++grid_;
      Check(start);
      if (last_start_ >= 0 && start < last_start_ + least) continue;
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

bool ClipTiming::Done() const { return !interval_open_ && have_frame_ && !(previous_ < WindowEnd()); }

std::int16_t ClipTiming::Delay(std::int64_t from, std::int64_t to, std::int32_t min_hundredths) {
  const std::int64_t d = std::max<std::int64_t>(to - from, min_hundredths > 0 ? 1 : 0);
  return static_cast<std::int16_t>(std::min<std::int64_t>(d, 32767));
}

}  // namespace zoetra::pipeline

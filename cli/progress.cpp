// The progress line of zoetra create.
#include "cli/progress.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace zoetra::cli {

using platform::YieldStage;

ProgressPosition Follow(ProgressPosition position, const platform::YieldInfo& info) {
  ProgressPosition& p = position;
  p.stage = info.stage;
  p.pictures = std::max<std::int64_t>(info.pictures, 0);
  if (info.stage >= YieldStage::Screen) {
    p.phase = ProgressPhase::Document;
    p.done = p.pictures;
    return p;
  }
  if (p.phase == ProgressPhase::Document) return p;
  const bool reading = info.stage <= YieldStage::Flip;
  if (reading && p.phase == ProgressPhase::Frames) return p;
  if (reading && info.stage == YieldStage::PictureStart && p.done >= 1) p.two_pass = true;
  if (!reading && p.phase == ProgressPhase::Reading) {
    // The second pass starts again at picture 1.
    p.phase = ProgressPhase::Frames;
    p.done = 0;
  }
  // A picture counts once its last stage of the phase is through.
  const bool last = info.stage == YieldStage::Flip || info.stage == YieldStage::PaletteCopy;
  const std::int64_t done = std::int64_t{info.picture} - (last ? 0 : 1);
  p.done = std::clamp(std::max(p.done, done), std::int64_t{0}, p.pictures);
  return p;
}

std::int64_t PicturesLeft(const ProgressPosition& position) {
  if (position.phase == ProgressPhase::Document) return 0;
  const std::int64_t left = position.pictures - position.done;
  return position.phase == ProgressPhase::Reading && position.two_pass ? left + position.pictures
                                                                       : left;
}

ProgressEstimate Estimate(std::span<const ProgressSample> samples, std::int64_t left) {
  ProgressEstimate estimate;
  if (samples.empty()) return estimate;
  const ProgressSample& last = samples.back();
  const ProgressSample* base = &samples.front();
  for (auto it = samples.rbegin(); it != samples.rend(); ++it) {
    if (last.seconds - it->seconds >= kProgressWindow && it->done < last.done) {
      base = &*it;
      break;
    }
  }
  const double span = last.seconds - base->seconds;
  if (span < kProgressMinimum) return estimate;
  estimate.fps = static_cast<double>(std::max<std::int64_t>(last.done - base->done, 0)) / span;
  if (estimate.fps > 0)
    estimate.seconds_left = static_cast<double>(std::max<std::int64_t>(left, 0)) / estimate.fps;
  return estimate;
}

bool ProgressLine::Update(const platform::YieldInfo& info, double now) {
  const ProgressPosition before = position_;
  position_ = Follow(position_, info);
  const bool new_phase = position_.phase != before.phase;
  // The end of a phase is shown, whatever the time: the next draw may be the last.
  const bool phase_done = position_.done == position_.pictures && position_.done != before.done;
  if (drawn_ && !new_phase && !phase_done && position_.phase != ProgressPhase::Document &&
      now - drawn_at_ < kRedrawInterval) {
    return false;
  }
  // Each pass runs at a rate of its own: the window starts again with it.
  if (new_phase) sampled_ = 0;
  Sample(now);
  drawn_ = true;
  drawn_at_ = now;
  return true;
}

void ProgressLine::Sample(double now) {
  if (position_.phase == ProgressPhase::Document) {
    estimate_ = {};
    return;
  }
  if (sampled_ == samples_.size()) {
    std::copy(samples_.begin() + 1, samples_.end(), samples_.begin());
    --sampled_;
  }
  samples_[sampled_++] = {now, position_.done};
  estimate_ = Estimate(std::span(samples_.data(), sampled_), PicturesLeft(position_));
}

namespace {

constexpr int kBarWidth = 30;
constexpr int kShortestBar = 10;
constexpr int kAssumedColumns = 80;
constexpr double kLongestTimeLeft = 100 * 3600;  // past this, the estimate says nothing

const char* DocumentStageText(YieldStage stage) {
  switch (stage) {
    case YieldStage::Screen:
      return "compacting the palette";
    case YieldStage::Compact:
      return "optimising";
    case YieldStage::Optimize:
      return "saving";
    default:
      return "done";
  }
}

// Pictures through both passes, out of all the pictures times the passes.
std::int64_t Fill(const ProgressPosition& p, std::int64_t width) {
  const std::int64_t total = p.pictures * (p.two_pass ? 2 : 1);
  if (total <= 0) return p.phase == ProgressPhase::Document ? width : 0;
  std::int64_t done = total;
  if (p.phase == ProgressPhase::Reading) {
    // Before the second picture it is not known whether a pass follows: a picture
    // read is no frame yet.
    done = p.two_pass ? p.done : 0;
  } else if (p.phase == ProgressPhase::Frames) {
    done = (p.two_pass ? p.pictures : 0) + p.done;
  }
  return width * std::clamp(done, std::int64_t{0}, total) / total;
}

}  // namespace

std::string_view ProgressLine::Text(int columns) {
  char info[160];
  int length = 0;
  const auto append = [&](const char* format, auto... values) {
    const int n = std::snprintf(info + length, sizeof info - static_cast<std::size_t>(length),
                                format, values...);
    if (n > 0) length = std::min(length + n, static_cast<int>(sizeof info) - 1);
  };
  const ProgressPosition& p = position_;
  if (p.phase == ProgressPhase::Document) {
    append("%s", DocumentStageText(p.stage));
  } else {
    append("%s  %lld/%lld", p.phase == ProgressPhase::Reading ? "reading" : "frames",
           static_cast<long long>(p.done), static_cast<long long>(p.pictures));
    if (estimate_.fps >= 0)
      append(estimate_.fps < 9.95 ? "  %.1f fps" : "  %.0f fps", estimate_.fps);
    if (estimate_.seconds_left >= 0 && estimate_.seconds_left < kLongestTimeLeft) {
      const auto s = static_cast<long long>(std::ceil(estimate_.seconds_left));
      if (s >= 3600) {
        append("  %lld:%02lld:%02lld left", s / 3600, s / 60 % 60, s % 60);
      } else {
        append("  %lld:%02lld left", s / 60, s % 60);
      }
    }
  }
  // The last column stays free: a line that reaches it wraps on some terminals,
  // and the carriage return would then redraw only its second row.
  const int room = (columns > 0 ? columns : kAssumedColumns) - 1;
  const int bar = std::min(kBarWidth, room - length - 3);
  std::size_t at = 0;
  if (bar >= kShortestBar) {
    const auto filled = static_cast<std::size_t>(Fill(p, bar));
    text_[at++] = '[';
    std::memset(text_.data() + at, '#', filled);
    std::memset(text_.data() + at + filled, '.', static_cast<std::size_t>(bar) - filled);
    at += static_cast<std::size_t>(bar);
    text_[at++] = ']';
    text_[at++] = ' ';
  }
  const auto shown = static_cast<std::size_t>(std::clamp(room - static_cast<int>(at), 0, length));
  std::memcpy(text_.data() + at, info, shown);
  return {text_.data(), at + shown};
}

}  // namespace zoetra::cli

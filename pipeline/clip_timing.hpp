// Which frames of a clip become GIF frames, and how long each shows.
//
// Times are kept as hundredths from the window's start, each rounded from the
// clip's own time, so rounding never adds up: 90 frames of a 30 fps clip show
// for 3 and 4 hundredths, 300 in all. With a frame rate asked for, frames are
// dropped or repeated: the ticks of that rate start at the start asked for,
// and each shows the frame FFmpeg's fps filter picks, the latest whose time,
// rounded to the nearest tick (halves up), is at or before it. So 30 fps at 15
// shows every second frame even where time stamps jitter, and 25 at 10 shows
// frames 1, 3, 6, 8, ... The ticks are counted exactly in the clip's own time
// base, so they never drift off the frames. A frame that would show for less
// than the minimum is dropped: GIF viewers slow frames under 2 hundredths down
// to 10, so a clip above 50 fps keeps its running time at fewer frames.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zoetra::pipeline {

struct ClipWindow {
  double start = 0;            // seconds from the clip's first frame
  std::optional<double> end;   // seconds from the clip's first frame; unset: its last
  std::optional<double> fps;   // frames per second asked for; unset: the clip's own times
  std::int32_t min_hundredths = 2;
  // What one clip may give, against files that claim endless frames.
  std::int64_t max_frames = 0;
  std::int64_t max_seconds = 0;
};

class ClipTiming {
 public:
  // Clip times are counted in ticks of num / den seconds from `origin`.
  ClipTiming(std::string name, std::int64_t num, std::int64_t den, std::int64_t origin, const ClipWindow& window);

  // Where decoding may start (the window's start, in ticks).
  std::int64_t StartTicks() const;
  // The next source frame begins at `pts`; the one before ends there. False:
  // it begins no later than the one before and is passed over.
  bool Add(std::int64_t pts);
  // No frame comes after the last; it ends at `end` ticks.
  void End(std::int64_t end);
  // The next GIF frame showing the source frame before the last one added (the
  // last one after End): its start, in hundredths. False when there is none.
  // Raises when the clip gives more frames or seconds than its limits.
  bool NextStart(std::int64_t& hundredths);
  // Once the starts are taken: no later frame can show (past the window).
  bool Done() const;
  // After End and the last start: where the last GIF frame ends.
  std::int64_t EndHundredths() const { return end_hundredths_; }
  // The delay from one start to the next, as a GIF holds it.
  static std::int16_t Delay(std::int64_t from, std::int64_t to, std::int32_t min_hundredths);

 private:
  long double Seconds(std::int64_t ticks) const;
  // Clip ticks of a time in seconds from the origin: a time on a tick (within
  // the error of the decimal it was given as) is that tick, else the next.
  std::int64_t TicksAt(long double seconds) const;
  // The tick of the asked rate at which a frame beginning at `ticks` shows.
  std::int64_t GridOf(std::int64_t ticks) const;
  bool PastEnd(std::int64_t ticks) const { return window_.end && ticks >= end_ticks_; }
  long double WindowEnd() const;
  std::int64_t Hundredths(long double seconds) const;
  void Check(std::int64_t hundredths) const;

  std::string name_;
  std::int64_t num_, den_, origin_;
  ClipWindow window_;
  bool have_frame_ = false;
  long double from_ = 0, to_ = 0;  // seconds of the frame whose starts are given
  bool interval_open_ = false;     // starts of [from_, to_) not all taken
  bool ended_ = false;             // End was called
  std::int64_t grid_ = 0;          // the next tick of the asked rate
  // The asked rate as fps_num_ / fps_den_, and in clip ticks: where the window
  // starts and ends, and how many ticks of the rate fall inside it.
  std::int64_t fps_num_ = 0, fps_den_ = 1;
  std::int64_t start_ticks_ = 0, end_ticks_ = 0, window_grid_ = 0;
  std::int64_t until_grid_ = 0;    // the ticks before this show the frame whose starts are given
  std::int64_t previous_ticks_ = 0;
  std::int64_t last_start_ = -1;   // hundredths of the last GIF frame
  std::int64_t frames_ = 0;
  std::int64_t end_hundredths_ = 0;
  long double previous_ = 0;       // seconds of the last frame added
};

// A clip's GIF frames as their starts become known: the frame found last
// waits until the next start, or the clip's end, gives its delay. The reader
// that pulls frames from a decoder and the browser's engine, which is given
// them, pace their frames with it alike.
template <class Picture>
class ClipPacer {
 public:
  explicit ClipPacer(std::int32_t min_hundredths) : min_hundredths_(min_hundredths) {}

  // Takes the next start `timing` knows, if there is one: the frame waiting
  // goes to `emit(picture, delay)`, and `shown` waits in its place.
  template <class Emit>
  bool Next(ClipTiming& timing, const Picture& shown, Emit&& emit) {
    std::int64_t start = 0;
    if (!timing.NextStart(start)) return false;
    if (waiting_) emit(picture_, ClipTiming::Delay(start_, start, min_hundredths_));
    picture_ = shown;
    start_ = start;
    waiting_ = true;
    return true;
  }
  // The frame waiting, if any, ends at `end` hundredths.
  template <class Emit>
  void End(std::int64_t end, Emit&& emit) {
    if (!waiting_) return;
    emit(picture_, ClipTiming::Delay(start_, end, min_hundredths_));
    waiting_ = false;
    picture_ = Picture{};
  }
  // Where the frame waiting starts, in hundredths.
  std::int64_t Start() const { return start_; }

 private:
  std::int32_t min_hundredths_;
  Picture picture_{};
  std::int64_t start_ = 0;
  bool waiting_ = false;
};

}  // namespace zoetra::pipeline

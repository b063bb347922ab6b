// The options of a conversion: their ranges, checked in this one place for
// every front end, and the frame delay they give.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "pipeline/options.hpp"
#include "platform/base/arith.hpp"
#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"

namespace zoetra {
namespace {

constexpr std::int64_t kMaxDelayMs = 32767;
constexpr std::int64_t kMaxLoops = 65535;
constexpr std::int64_t kMaxThreads = 1024;
constexpr std::int64_t kMaxSide = 32767;

[[noreturn]] void Refuse(const std::string& why) { RaiseInvalidArgument(why); }

std::string Number(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

}  // namespace

namespace {

// Each name's mode, in the order of kPaletteModeNames.
constexpr PaletteMode kPaletteModes[] = {PaletteMode::All, PaletteMode::Frame, PaletteMode::First};
static_assert(std::size(kPaletteModes) == std::size(kPaletteModeNames));

std::string PaletteModeList() {
  std::string list;
  for (std::size_t i = 0; i < std::size(kPaletteModeNames); ++i) {
    list += (i == 0 ? "" : i + 1 == std::size(kPaletteModeNames) ? " or " : ", ") + std::string(kPaletteModeNames[i]);
  }
  return list;
}

}  // namespace

PaletteMode ParsePaletteMode(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kPaletteModeNames); ++i) {
    if (name == kPaletteModeNames[i]) return kPaletteModes[i];
  }
  Refuse("the palette mode \"" + std::string(name) + "\" is not " + PaletteModeList());
}

std::string_view PaletteModeName(PaletteMode mode) {
  for (std::size_t i = 0; i < std::size(kPaletteModes); ++i) {
    if (mode == kPaletteModes[i]) return kPaletteModeNames[i];
  }
  Refuse("the palette mode " + std::to_string(static_cast<int>(mode)) + " is not " + PaletteModeList());
}

std::int64_t AskedDelayMs(const BuilderOptions& o) {
  return o.fps ? std::llround(1000.0 / *o.fps) : o.delay_ms;
}

std::int32_t FrameDelayHundredths(const BuilderOptions& o) {
  // Halves to even, as the builder has always kept its delays.
  return RoundToInt16(static_cast<double>(AskedDelayMs(o)) / 10.0);
}

namespace {

void CheckDelay(const BuilderOptions& o) {
  if (o.fps) {
    // Past this rate the delay rounds to 0 ms; below the lowest it exceeds the
    // longest delay a frame can hold (and would wrap in 16 bits).
    constexpr double kLowestFps = 1000.0 / (static_cast<double>(kMaxDelayMs) + 0.5);
    if (!std::isfinite(*o.fps) || *o.fps < kLowestFps) {
      Refuse("the frame rate " + Number(*o.fps) + " is not a number of frames per second from " +
             Number(kLowestFps) + " (a frame of 32767 ms) upwards");
    }
  } else if (o.delay_ms < 0 || o.delay_ms > kMaxDelayMs) {
    Refuse("the frame delay " + std::to_string(o.delay_ms) + " ms is not 0 to 32767 ms");
  }
}

// The fitting size and the size to scale to.
void CheckSizes(const BuilderOptions& o) {
  if (o.fit_width != 0 || o.fit_height != 0) {
    const std::string size = std::to_string(o.fit_width) + " x " + std::to_string(o.fit_height);
    if (o.fit_width < 1 || o.fit_height < 1 || o.fit_width > kMaxSide || o.fit_height > kMaxSide) {
      Refuse("the fitting size " + size + " is not 1 to 32767 pixels a side");
    }
    const platform::Limits limits = platform::GetLimits();
    if (!platform::WithinPictureLimits(limits, o.fit_width, o.fit_height)) {
      Refuse("the fitting size " + size + " (" + std::to_string(o.fit_width * o.fit_height) +
             " pixels) is over the limits of a picture: " +
             std::to_string(limits.max_picture_side) + " pixels a side (max_picture_side) and " +
             std::to_string(limits.max_picture_pixels) + " pixels (max_picture_pixels)");
    }
  }
  if (o.width != 0 || o.height != 0) {
    if (o.width < 0 || o.height < 0 || o.width > kMaxSide || o.height > kMaxSide) {
      Refuse("the size " + std::to_string(o.width) + " x " + std::to_string(o.height) +
             " is not 1 to 32767 pixels a side (0: the other side follows)");
    }
    if (o.fit_width != 0) Refuse("a width or height to scale to and a fitting size were both given; give one");
    // The other side is known once the first picture is read (pipeline::ScaledSize checks it then).
    const std::int64_t side = platform::GetLimits().max_picture_side;
    if (o.width > side || o.height > side) {
      Refuse("the size " + std::to_string(o.width) + " x " + std::to_string(o.height) +
             " to scale to is over the limits of a picture: " + std::to_string(side) +
             " pixels a side (max_picture_side)");
    }
  }
}

// The part of a clip: start, duration and end.
void CheckPart(const BuilderOptions& o) {
  const auto check_time = [](const char* what, double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) {
      Refuse(std::string("the ") + what + " " + Number(seconds) + " is not a number of seconds from 0 up");
    }
  };
  check_time("start", o.start);
  if (o.duration) {
    check_time("duration", *o.duration);
    if (!(*o.duration > 0)) Refuse("the duration 0 leaves no frame; give more than 0 seconds");
    if (o.end) Refuse("a duration and an end were both given; give one");
  }
  if (o.end) {
    check_time("end", *o.end);
    if (!(*o.end > o.start)) {
      Refuse("the end " + Number(*o.end) + " s is not after the start " + Number(o.start) + " s");
    }
  }
}

}  // namespace

void CheckBuilderOptions(const BuilderOptions& o) {
  CheckDelay(o);
  PaletteModeName(o.palette);  // refuses a number that is no mode
  if (o.threads < 0 || o.threads > kMaxThreads) {
    Refuse("the thread count " + std::to_string(o.threads) + " is not 0 (one per core) to 1024");
  }
  if (o.loop != kPlayOnce && (o.loop < 0 || o.loop > kMaxLoops)) {
    Refuse("the loop count " + std::to_string(o.loop) +
           " is not 0 (forever), 1 to 65535 or play once");
  }
  CheckSizes(o);
  CheckPart(o);
  if (o.quality < 1 || o.quality > 100) {
    Refuse("the quality " + std::to_string(o.quality) + " is not 1 (smallest file) to 100 (best picture)");
  }
  if (o.palette == PaletteMode::First) {
    const auto refuse = [](const std::string& what) { Refuse(what + kDocumentOnly); };
    if (o.width != 0 || o.height != 0) refuse("a width or height to scale to");
    if (o.start != 0 || o.duration || o.end) refuse("a start, duration or end");
    if (o.quality != 100) refuse("a quality below 100");
  }
  if (o.background && *o.background > 0xFFFFFFu) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(*o.background));
    Refuse(std::string("the background colour ") + text + " is not 0xRRGGBB");
  }
}

double ParseTime(std::string_view text) {
  // [hh:]mm:ss[.frac] or plain seconds; each part a number, minutes and
  // seconds after a colon below 60.
  const std::string whole(text);
  const auto refuse = [&] {
    Refuse("the time \"" + whole + "\" is not seconds (such as 2.5) or [hh:]mm:ss[.ms] (such as 1:02.5)");
  };
  double total = 0;
  std::size_t parts = 0, at = 0;
  while (true) {
    const std::size_t colon = whole.find(':', at);
    const std::string part = whole.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
    const bool last = colon == std::string::npos;
    if (part.empty() || part.find_first_not_of(last ? "0123456789." : "0123456789") != std::string::npos ||
        part.find('.') != part.rfind('.') || part == ".") {
      refuse();
    }
    const double value = std::strtod(part.c_str(), nullptr);
    if (parts > 0 && value >= 60) refuse();
    total = total * 60 + value;
    ++parts;
    if (last) break;
    if (parts == 3) refuse();
    at = colon + 1;
  }
  if (!std::isfinite(total)) refuse();
  return total;
}

std::string DelayNote(const BuilderOptions& o) {
  const std::int64_t asked = AskedDelayMs(o);
  const std::int32_t kept = FrameDelayHundredths(o);
  std::string note =
      o.fps ? Number(*o.fps) + " frames per second give frames of " : std::string("frames of ");
  note += std::to_string(asked) + " ms";
  const std::string kept_as = o.fps ? ", kept as " : " are kept as ";
  if (asked != kept * 10) {
    note +=
        kept_as + std::to_string(kept * 10) + " ms (GIF delays are whole hundredths of a second)";
    if (kept >= 2)
      return note + ": the animation plays at " + Number(100.0 / kept) + " frames per second";
  } else if (kept >= 2) {
    return {};
  } else {
    note += kept_as + std::to_string(kept * 10) + " ms";
  }
  return note + "; browsers show frames under 20 ms for about 100 ms";
}

}  // namespace zoetra

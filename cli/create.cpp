// zoetra create: pictures to one animated GIF through the component.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/progress.hpp"
#include <zoetra/zoetra.hpp>
#include "platform/base/arith.hpp"
#include "platform/base/display_name.hpp"
#include "platform/base/files.hpp"
#include "platform/base/yield.hpp"

namespace zoetra::cli {
namespace {

// Thrown from the yield hook when a signal asks the conversion to stop.
struct Interrupted {};

// Follows the conversion through the component's yields: remembers which
// picture is being worked on (so that a failure can name it), stops the
// conversion at the next stage after a signal and, when asked, keeps the
// progress line up to date on standard error.
class ConversionWatch {
 public:
  explicit ConversionWatch(bool progress) : progress_(progress), start_(Clock::now()) {
    previous_ = platform::SetYieldHook([this](const platform::YieldInfo& info) { Seen(info); });
    // Heard inside long stages too, on every thread of the conversion.
    previous_stop_ = platform::SetStopQuery(
        std::make_shared<const platform::StopQuery>([] { return CaughtInterrupt() != 0; }));
  }
  ~ConversionWatch() {
    platform::SetStopQuery(std::move(previous_stop_));
    platform::SetYieldHook(std::move(previous_));
    Clear();
  }
  ConversionWatch(const ConversionWatch&) = delete;
  ConversionWatch& operator=(const ConversionWatch&) = delete;

  // The 1-based picture being loaded or converted, or 0 before the first and once all pictures are
  // in.
  std::int32_t picture() const { return in_pictures_ ? last_.picture : 0; }
  // Whether the work on the whole document (after the pictures) has begun.
  bool past_pictures() const { return yields_ > 0 && !in_pictures_; }

  // Takes the progress line off the screen, before any other line is written.
  void Clear() {
    if (!drawn_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;

  void Seen(const platform::YieldInfo& info) {
    // Once saved, the new file is in place: too late to keep the old one.
    if (CaughtInterrupt() != 0 && info.stage != platform::YieldStage::Saved) throw Interrupted{};
    last_ = info;
    in_pictures_ = info.stage <= platform::YieldStage::PaletteCopy;
    ++yields_;
    if (!progress_) return;
    if (line_.Update(info, std::chrono::duration<double>(Clock::now() - start_).count())) Draw();
  }

  void Draw() {
    winsize size{};
    const int columns = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
    const std::string_view text = line_.Text(columns);
    std::fputs("\r\033[K", stderr);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    drawn_ = true;
  }

  bool progress_;
  bool drawn_ = false;
  bool in_pictures_ = false;
  std::int64_t yields_ = 0;
  platform::YieldInfo last_{};
  Clock::time_point start_;
  ProgressLine line_;
  platform::YieldHook previous_;
  platform::SharedStopQuery previous_stop_;
};

// The command's options as the builder takes them; the builder checks the ranges.
BuilderOptions BuilderOptionsOf(const CreateOptions& o) {
  BuilderOptions options;
  options.delay_ms = o.delay_ms;
  options.fps = o.fps;
  options.loop = o.no_loop ? kPlayOnce : o.loop;
  options.auto_orient = o.auto_orient;
  if (!o.fit.empty()) ParseSize(o.fit, &options.fit_width, &options.fit_height);
  if (std::uint32_t rgb = 0; !o.background.empty() && ParseColour(o.background, &rgb))
    options.background = rgb;
  options.gray = o.gray;
  options.optimize = o.optimize;
  options.swap_rg = o.swap_rg;
  options.raise_errors = o.raise_errors;
  options.palette = ParsePaletteMode(o.palette);
  options.threads = o.threads;
  if (!o.start.empty()) options.start = ParseTime(o.start);
  if (!o.duration.empty()) options.duration = ParseTime(o.duration);
  if (!o.end.empty()) options.end = ParseTime(o.end);
  options.width = o.width;
  options.quality = o.quality;
  options.height = o.height;
  return options;
}

std::vector<PictureSource> PicturesOf(const std::vector<std::string>& files) {
  return std::vector<PictureSource>(files.begin(), files.end());
}

// 0, or the error that stopped the write.
int WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR && CaughtInterrupt() == 0) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

// Clips that stopped early or were cut short: each says so, naming its file.
void WarnSources(const BuilderReport& report) {
  for (const std::string& warning : report.warnings) {
    std::fprintf(stderr, "zoetra: warning: %s\n", platform::DisplayText(warning).c_str());
  }
}

// The default palette comes from the first picture; when a later one plainly
// is not drawn in it, say once what would help.
void SuggestPalette(const BuilderReport& report, const CreateOptions& o) {
  if (o.quiet || ParsePaletteMode(o.palette) != PaletteMode::First || o.gray || report.worst_fit_error <= kPoorPaletteFit) return;
  std::fflush(stdout);
  std::fprintf(stderr,
               "zoetra: hint: the colours of picture %d (%s) are far from the palette of the first picture;\n"
               "  --palette all (one palette from every picture) or --palette frame would show them better\n",
               static_cast<int>(report.worst_fit_picture),
               platform::DisplayName(o.pictures[static_cast<std::size_t>(report.worst_fit_picture - 1)]).c_str());
}

// Pictures of other sizes than the first: fitted into its size, or (with
// --palette first) frames at the top left of a screen the size of the last
// one, which viewers show differently.
void WarnOtherSizes(const BuilderReport& report, const CreateOptions& o) {
  if (o.quiet || !o.fit.empty() || report.other_size_picture < 1 ||
      static_cast<std::size_t>(report.other_size_picture) > o.pictures.size()) {
    return;
  }
  std::fflush(stdout);
  const std::string name = platform::DisplayName(o.pictures[static_cast<std::size_t>(report.other_size_picture - 1)]);
  if (report.other_sizes_fitted) {
    std::fprintf(
        stderr,
        "zoetra: warning: picture %d (%s) is not the size of picture 1; pictures of other sizes "
        "are\n"
        "  fitted into picture 1's size, centred on the background. --fit WxH chooses the size\n",
        static_cast<int>(report.other_size_picture), name.c_str());
    return;
  }
  std::fprintf(stderr,
               "zoetra: warning: picture %d (%s) is not the size of picture 1; frames keep their "
               "sizes at the\n"
               "  top left of a screen the size of the last picture. --fit WxH scales every "
               "picture to one size\n",
               static_cast<int>(report.other_size_picture), name.c_str());
}

int Convert(const CreateOptions& o, BuilderOptions options) {
  const bool to_stdout = o.output == kStdStream;
  BuilderReport report;
  options.report = &report;
  Zoetra component;
  std::string subject;
  // Failures and the result line wait until the progress line is gone; after a
  // signal there is nothing to say.
  const auto stop_if_interrupted = [] {
    if (const int signal = CaughtInterrupt(); signal != 0) EndOnInterrupt(signal);
  };
  try {
    ConversionWatch watch(!o.quiet && ::isatty(STDERR_FILENO) == 1);
    // Failures during the picture loop name the picture, later ones the output.
    const auto blame = [&] {
      const std::int32_t picture = watch.picture();
      if (picture >= 1 && static_cast<std::size_t>(picture) <= o.pictures.size()) {
        subject = o.pictures[static_cast<std::size_t>(picture - 1)];
      } else if (!to_stdout && watch.past_pictures()) {
        subject = o.output;
      }
    };
    try {
      if (to_stdout) {
        // Frames go out as they are made; a write that fails stops the conversion.
        int write_error = 0;
        const ByteWriter write = [&](std::span<const std::uint8_t> bytes) {
          write_error = WriteAll(STDOUT_FILENO, bytes);
          return write_error == 0;
        };
        try {
          component.CreateToStream(PicturesOf(o.pictures), write, options);
        } catch (...) {
          if (write_error == 0) throw;
          watch.Clear();
          stop_if_interrupted();
          ReportMessage("cannot write the GIF", "standard output", std::strerror(write_error));
          return kExitFailure;
        }
        watch.Clear();
        stop_if_interrupted();
        SuggestPalette(report, o);
        WarnOtherSizes(report, o);
        WarnSources(report);
        return kExitOk;
      }
      const std::string text = component.CreateZoetra(o.pictures, o.output, options);
      watch.Clear();
      // A signal after this point came too late to keep the old file; the new one is complete.
      if (!o.quiet) std::printf("%s\n", platform::DisplayText(text).c_str());
      SuggestPalette(report, o);
      WarnOtherSizes(report, o);
      WarnSources(report);
      return kExitOk;
    } catch (...) {
      blame();
      throw;
    }
  } catch (const Interrupted&) {
  } catch (const Error& e) {
    stop_if_interrupted();
    // Texts that already name the file need no prefix.
    if (!subject.empty() && e.description().find(subject) != std::string::npos) subject.clear();
    // In a list with clips, frames are not list places: a text naming any
    // of the files is its own subject.
    for (const std::string& name : o.pictures) {
      if (!subject.empty() && name.size() > 0 && e.description().find(name) != std::string::npos) subject.clear();
    }
    ReportFailure(e, subject);
  } catch (const std::exception& e) {
    stop_if_interrupted();
    ReportMessage(e.what(), subject);
  }
  stop_if_interrupted();
  return kExitFailure;
}

}  // namespace

int RunCreate(const CreateOptions& given) {
  CreateOptions o = given;
  std::int64_t w = 0, h = 0;
  std::uint32_t rgb = 0;
  if (!o.fit.empty() && !ParseSize(o.fit, &w, &h)) {
    ReportMessage("--fit takes WxH, such as 640x480, not '" + o.fit + "'");
    return kExitUsage;
  }
  if (!o.background.empty() && !ParseColour(o.background, &rgb)) {
    ReportMessage("--background takes a colour as #rrggbb, such as #ffffff, not '" + o.background + "'");
    return kExitUsage;
  }
  BuilderOptions options;
  try {
    options = BuilderOptionsOf(o);
    CheckBuilderOptions(options);
  } catch (const Error& e) {
    const std::string_view why = InvalidArgumentReason(e);
    std::fprintf(stderr, "zoetra: %.*s\nTry 'zoetra create --help' for more information.\n",
                 static_cast<int>(why.size()), why.data());
    return kExitUsage;
  }
  if (o.output == kStdStream && ::isatty(STDOUT_FILENO) == 1) {
    ReportMessage("refusing to write a GIF file to a terminal; redirect standard output or use -o FILE");
    return kExitFailure;
  }
  if (!o.list.empty() && !ReadPictureList(o.list, o.pictures)) return kExitFailure;
  if (o.pictures.empty()) {
    ReportMessage("no pictures were given", o.list == kStdStream ? "standard input" : o.list);
    return kExitFailure;
  }
  if (o.sort == "natural") std::stable_sort(o.pictures.begin(), o.pictures.end(), NaturalLess);
  if (const std::string note = DelayNote(options); !o.quiet && !note.empty()) {
    std::fprintf(stderr, "zoetra: warning: %s\n", note.c_str());
  }
  CatchInterrupts();
  return Convert(o, options);
}

}  // namespace zoetra::cli

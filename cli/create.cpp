// zoetra create: pictures to one animated GIF through the component.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "component/zoetra.hpp"
#include "platform/yield.hpp"

namespace zoetra::cli {
namespace {

// Follows the conversion through the component's yields: remembers which
// picture is being worked on (so that a failure can name it) and, when asked,
// draws a one-line progress bar on standard error.
class ConversionWatch {
 public:
  explicit ConversionWatch(bool progress) : progress_(progress) {
    previous_ = platform::SetYieldHook([this](const platform::YieldInfo& info) { Seen(info); });
  }
  ~ConversionWatch() {
    platform::SetYieldHook(std::move(previous_));
    if (drawn_) {
      std::fputs("\r\033[K", stderr);
      std::fflush(stderr);
    }
  }
  ConversionWatch(const ConversionWatch&) = delete;
  ConversionWatch& operator=(const ConversionWatch&) = delete;

  // The 1-based picture being loaded or converted, or 0 once all pictures are in.
  std::int32_t picture() const { return in_pictures_ ? last_.picture : 0; }

 private:
  void Seen(const platform::YieldInfo& info) {
    last_ = info;
    in_pictures_ = info.stage <= platform::YieldStage::PaletteCopy;
    if (progress_) Draw(info);
  }

  void Draw(const platform::YieldInfo& info) {
    const char* stage = "converting";
    switch (info.stage) {
      case platform::YieldStage::PictureStart: stage = "loading"; break;
      case platform::YieldStage::Screen: stage = "compacting the palette"; break;
      case platform::YieldStage::Compact: stage = "optimising"; break;
      case platform::YieldStage::Optimize: stage = "writing"; break;
      case platform::YieldStage::Saved: stage = "done"; break;
      default: break;
    }
    constexpr int kWidth = 30;
    const long long total = info.pictures > 0 ? info.pictures : 1;
    const int filled = static_cast<int>(kWidth * static_cast<long long>(info.picture) / total);
    std::string bar(static_cast<std::size_t>(filled < kWidth ? filled : kWidth), '#');
    bar.resize(kWidth, '.');
    std::fprintf(stderr, "\r\033[K[%s] %d/%d %s", bar.c_str(), static_cast<int>(info.picture),
                 static_cast<int>(info.pictures), stage);
    std::fflush(stderr);
    drawn_ = true;
  }

  bool progress_;
  bool drawn_ = false;
  bool in_pictures_ = false;
  platform::YieldInfo last_{};
  platform::YieldHook previous_;
};

PaletteMode PaletteModeOf(const std::string& name) {
  if (name == "all") return PaletteMode::All;
  if (name == "frame") return PaletteMode::Frame;
  return PaletteMode::First;
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The default palette comes from the first picture; when a later one plainly
// is not drawn in it, say once what would help.
void SuggestPalette(const BuilderReport& report, const CreateOptions& o) {
  if (o.quiet || o.palette != "first" || o.gray || report.worst_fit_error <= kPoorPaletteFit) return;
  std::fflush(stdout);
  std::fprintf(stderr,
               "zoetra: hint: the colours of picture %d (%s) are far from the palette of the first picture;\n"
               "  --palette all (one palette from every picture) or --palette frame would show them better\n",
               static_cast<int>(report.worst_fit_picture),
               o.pictures[static_cast<std::size_t>(report.worst_fit_picture - 1)].c_str());
}

}  // namespace

int RunCreate(const CreateOptions& o) {
  const bool to_stdout = o.output == kStdStream;
  if (to_stdout && ::isatty(STDOUT_FILENO) == 1) {
    ReportMessage("refusing to write a GIF file to a terminal; redirect standard output or use -o FILE");
    return kExitFailure;
  }
  BuilderOptions options;
  options.delay_ms = static_cast<std::int16_t>(o.delay_ms);
  options.gray = o.gray;
  options.optimize = o.optimize;
  options.swap_rg = o.swap_rg;
  options.raise_errors = o.raise_errors;
  options.palette = PaletteModeOf(o.palette);
  options.threads = o.threads;
  BuilderReport report;
  options.report = &report;
  Zoetra component;
  std::string subject;
  try {
    ConversionWatch watch(!o.quiet && ::isatty(STDERR_FILENO) == 1);
    // Failures during the picture loop name the picture, later ones the output.
    const auto blame = [&] {
      const std::int32_t picture = watch.picture();
      if (picture >= 1 && static_cast<std::size_t>(picture) <= o.pictures.size()) {
        subject = o.pictures[static_cast<std::size_t>(picture - 1)];
      } else if (!to_stdout) {
        subject = o.output;
      }
    };
    try {
      if (to_stdout) {
        const auto convert = [&] {
          return component.CreateZoetraToBuffer(o.pictures, options);
        };
        const std::vector<std::uint8_t> bytes = o.raise_errors ? WithCatchLogRaise(convert) : convert();
        if (!WriteAll(STDOUT_FILENO, bytes)) {
          ReportMessage(std::string("cannot write to standard output: ") + std::strerror(errno));
          return kExitFailure;
        }
        SuggestPalette(report, o);
        return kExitOk;
      }
      const std::string text = component.CreateZoetra(o.pictures, o.output, options);
      if (text.rfind("OK, ", 0) != 0) {
        blame();
        ReportMessage(text, subject);
        return kExitFailure;
      }
      if (!o.quiet) std::printf("%s\n", text.c_str());
      SuggestPalette(report, o);
      return kExitOk;
    } catch (...) {
      blame();
      throw;
    }
  } catch (const Error& e) {
    // Texts that already name the file need no prefix.
    if (!subject.empty() && e.description().find(subject) != std::string::npos) subject.clear();
    ReportFailure(e, subject);
  } catch (const std::exception& e) {
    ReportMessage(e.what(), subject);
  }
  return kExitFailure;
}

}  // namespace zoetra::cli

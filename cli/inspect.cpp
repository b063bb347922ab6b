// zoetra info and zoetra frames: looking inside GIF files.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "cli/commands.hpp"
#include "gif/gif_frame_composer.hpp"
#include "gif/gif_info.hpp"
#include "gif/gif_scan.hpp"
#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"
#include "raster/cdib.hpp"

namespace zoetra::cli {
namespace {

// "larger than the limit of N bytes (max_file_bytes)"
std::string TooLargeText(std::int64_t limit) {
  return "larger than the limit of " + std::to_string(limit) + " bytes (max_file_bytes)";
}

// All of standard input, unless it holds more than `limit` bytes: then false
// with `too_large` set, having read one byte past the limit and no more.
bool ReadStandardInput(std::vector<std::uint8_t>& bytes, std::size_t limit, bool& too_large) {
  std::uint8_t buffer[65536];
  too_large = false;
  for (;;) {
    const std::size_t want = std::min(sizeof buffer, limit + 1 - bytes.size());
    const ssize_t n = ::read(STDIN_FILENO, buffer, want);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // Grow by doubling, up to one byte past the limit at most.
    const std::size_t size = bytes.size() + static_cast<std::size_t>(n);
    if (size > bytes.capacity()) {
      const std::size_t doubled = std::max(size, 2 * bytes.capacity());
      bytes.reserve(doubled >= limit ? limit + 1 : doubled);
    }
    bytes.insert(bytes.end(), buffer, buffer + n);
    if (bytes.size() > limit) {
      too_large = true;
      return false;
    }
  }
}

// The bytes of `file` for the scanner: standard input ("-") read whole, up to
// the file limit; a file read through a small buffer, at any length. Says on
// standard error why not and gives null.
std::unique_ptr<gif_scan::Input> Open(const std::string& file, std::vector<std::uint8_t>& held) {
  if (file == kStdStream) {
    const std::int64_t limit = std::max<std::int64_t>(0, platform::GetLimits().max_file_bytes);
    bool too_large = false;
    if (!ReadStandardInput(held, static_cast<std::size_t>(limit), too_large)) {
      ReportMessage(too_large ? TooLargeText(limit) : std::strerror(errno), "standard input");
      return nullptr;
    }
    return std::make_unique<gif_scan::Input>(held);
  }
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    ReportMessage(std::strerror(errno), file);
    return nullptr;
  }
  if (S_ISDIR(st.st_mode)) {
    ReportMessage(std::strerror(EISDIR), file);
    return nullptr;
  }
  if (::access(file.c_str(), R_OK) != 0) {
    ReportMessage(std::strerror(errno), file);
    return nullptr;
  }
  return std::make_unique<gif_scan::Input>(file);
}

// A GIF read twice: once through for what it holds (frames, times, how it
// ends), and again, frame by frame, for what the command does with them.
struct Passes {
  std::vector<std::uint8_t> held;  // standard input
  gif_info::Summary summary;
  std::unique_ptr<gif_scan::Input> input;
  std::unique_ptr<gif_scan::Scanner> scan;
};

// The first pass, with what the reader warns of passed on: blocks passed
// over, damaged frames, a file that ends before its trailer; then the second
// pass started. Says on standard error why not and gives false.
bool Survey(const std::string& file, Passes& p) {
  const std::string subject = file == kStdStream ? "standard input" : file;
  {
    std::unique_ptr<gif_scan::Input> first = Open(file, p.held);
    if (!first) return false;
    if (!gif_info::Survey(*first, p.summary)) {
      ReportMessage("not a GIF file", subject);
      return false;
    }
  }
  for (const std::string& warning : p.summary.warnings) ReportMessage("warning: " + warning, subject);
  if (p.summary.truncated) {
    const std::int64_t frames = p.summary.frames;
    ReportMessage("warning: the file ends before its trailer (truncated); " + std::to_string(frames) + " frame" +
                      (frames == 1 ? "" : "s") + " read",
                  subject);
  }
  p.input = file == kStdStream ? std::make_unique<gif_scan::Input>(p.held) : std::make_unique<gif_scan::Input>(file);
  p.scan = std::make_unique<gif_scan::Scanner>(*p.input);
  if (!p.scan->Start()) {
    ReportMessage("not a GIF file", subject);
    return false;
  }
  return true;
}

std::string LoopText(std::int32_t count) {
  if (count < 0) return "plays once (no loop block)";
  if (count == 0) return "loops forever (loop count 0)";
  return "repeats " + std::to_string(count) + (count == 1 ? " time" : " times") + " (loop count " +
         std::to_string(count) + ")";
}

const char* DisposalName(int d) {
  switch (d) {
    case 0: return "unspecified";
    case 1: return "keep";
    case 2: return "background";
    case 3: return "previous";
    default: return "reserved";
  }
}

void PrintJson(Passes& p, const std::string& file) {
  gif_info::Json(p.summary, *p.scan, file, [](const std::string& piece) { std::fputs(piece.c_str(), stdout); });
  std::fputs("\n", stdout);
}

void PrintText(Passes& p, const std::string& file) {
  const gif_info::Summary& sum = p.summary;
  const gif_scan::Screen& screen = sum.screen;
  std::printf("%s: %s%s, screen %d x %d, %lld frame%s\n", file.c_str(), screen.signature.c_str(),
              screen.version.c_str(), screen.width, screen.height, static_cast<long long>(sum.frames),
              sum.frames == 1 ? "" : "s");
  std::printf("  %s\n", LoopText(sum.loop_count).c_str());
  std::printf("  duration: %lld ms\n", static_cast<long long>(sum.duration_ms));
  if (screen.global) {
    std::printf("  global palette: %d entries, background index %d\n", screen.global_entries, screen.background);
  } else {
    std::printf("  global palette: none\n");
  }
  for (gif_scan::Frame f; p.scan->Next(f);) {
    const gif_info::Size image = gif_info::FrameSize(f);
    std::printf("  frame %lld: %d x %d at (%d, %d), delay %d cs, disposal %d (%s), ", static_cast<long long>(f.index),
                image.width, image.height, f.left, f.top, f.delay, f.disposal, DisposalName(f.disposal));
    if (f.use_transparent) {
      std::printf("transparent index %d, ", f.transparent_index);
    } else {
      std::printf("opaque, ");
    }
    if (f.local) {
      std::printf("local palette %d entries%s\n", f.local_entries, f.interlaced ? ", interlaced" : "");
    } else {
      std::printf("global palette%s\n", f.interlaced ? ", interlaced" : "");
    }
  }
}

// The directory for the frames: made when missing, with its missing parents (like mkdir -p).
bool PrepareDirectory(const std::string& directory) {
  struct stat st {};
  if (::stat(directory.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    ReportMessage(std::strerror(ENOTDIR), directory);
    return false;
  }
  std::error_code ec;
  if (directory.empty()) ec = std::make_error_code(std::errc::no_such_file_or_directory);
  if (!ec) std::filesystem::create_directories(directory, ec);
  if (ec) {
    ReportMessage("cannot create the directory: " + ec.message(), directory);
    return false;
  }
  return true;
}

// The composed frames as frame-NNNN.bmp files in the directory (made once
// the screen is), then a line that says how many. The screen and the work
// (screen x frames) are held to the animation limits first.
int WriteFrames(Passes& p, const FramesOptions& o) {
  // Named by the report of the failure; a screen 65535 wide is written as it is.
  platform::CheckAnimation("", p.summary.screen.width, p.summary.screen.height, p.summary.frames,
                           p.input->Size(), false);
  GifFrameComposer composer(*p.scan);
  if (!composer.Start()) {
    ReportMessage(composer.StartFailure(), o.file);
    return kExitFailure;
  }
  if (!PrepareDirectory(o.directory)) return kExitFailure;
  std::int64_t written = 0;
  // A file that grew since it was counted gives no more than was counted.
  while (written < p.summary.frames && composer.Next()) {
    char name[40];
    std::snprintf(name, sizeof name, "frame-%04lld.bmp", static_cast<long long>(composer.Frame().index));
    const std::string path = o.directory + (o.directory.empty() || o.directory.back() == '/' ? "" : "/") + name;
    errno = 0;
    if (!composer.Screen().Save(path)) {
      ReportMessage(std::string("cannot write the file") + (errno != 0 ? std::string(": ") + std::strerror(errno) : ""),
                    path);
      return kExitFailure;
    }
    ++written;
  }
  std::printf("%lld frame%s written to %s\n", static_cast<long long>(written), written == 1 ? "" : "s",
              o.directory.c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

}  // namespace

int RunInfo(const InfoOptions& o) {
  Passes p;
  try {
    if (!Survey(o.file, p)) return kExitFailure;
    if (o.json) {
      PrintJson(p, o.file);
    } else {
      PrintText(p, o.file);
    }
  } catch (const Error& e) {
    ReportFailure(e, o.file);
    return kExitFailure;
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

// Writes the frames as a viewer shows them, composed on the logical screen,
// one bitmap file each.
int RunFrames(const FramesOptions& o) {
  Passes p;
  try {
    if (!Survey(o.file, p)) return kExitFailure;
    return WriteFrames(p, o);
  } catch (const Error& e) {
    ReportFailure(e, o.file);
    return kExitFailure;
  }
}

}  // namespace zoetra::cli

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
#include "gif/cgif.hpp"
#include "gif/gif_compose.hpp"
#include "gif/gif_info.hpp"
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

// Loads `file` ("-" is standard input), or says on standard error why not.
bool Load(cGIF& doc, const std::string& file) {
  const std::int64_t limit = std::max<std::int64_t>(0, platform::GetLimits().max_file_bytes);
  if (file == kStdStream) {
    std::vector<std::uint8_t> bytes;
    bool too_large = false;
    if (!ReadStandardInput(bytes, static_cast<std::size_t>(limit), too_large)) {
      ReportMessage(too_large ? TooLargeText(limit) : std::strerror(errno), "standard input");
      return false;
    }
    // Shorter than a header: refused here, since the reader raises for it.
    if (bytes.size() < 6 || !doc.LoadFromStream(bytes)) {
      ReportMessage("not a GIF file", "standard input");
      return false;
    }
    return true;
  }
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    ReportMessage(std::strerror(errno), file);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    ReportMessage(std::strerror(EISDIR), file);
    return false;
  }
  if (S_ISREG(st.st_mode) && st.st_size > limit) {
    ReportMessage(TooLargeText(limit), file);
    return false;
  }
  if (!doc.LoadFromFile(file)) {
    ReportMessage(::access(file.c_str(), R_OK) != 0 ? std::strerror(errno) : "not a GIF file", file);
    return false;
  }
  return true;
}

// Loads like Load, and passes on what the reader warns of: blocks passed
// over, damaged frames, a limit that stopped the load, and a file that ends
// before its trailer. What follows describes only the frames that were read.
bool LoadAndWarn(cGIF& doc, const std::string& file) {
  if (!Load(doc, file)) return false;
  const std::string subject = file == kStdStream ? "standard input" : file;
  for (const std::string& warning : doc.LoadWarnings())
    ReportMessage("warning: " + warning, subject);
  if (gif_info::Truncated(doc)) {
    const int frames = doc.FramesCount();
    ReportMessage("warning: the file ends before its trailer (truncated); " +
                      std::to_string(frames) + " frame" + (frames == 1 ? "" : "s") + " read",
                  subject);
  }
  return true;
}

std::string LoopText(const cGIF& doc) {
  const std::int32_t count = doc.LoadedLoopCount();
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

void PrintJson(const cGIF& doc, const std::string& file) {
  std::fputs((gif_info::Json(doc, file) + "\n").c_str(), stdout);
}

void PrintText(const cGIF& doc, const std::string& file) {
  const int frames = doc.FramesCount();
  const int global = doc.GlobalPaletteExists() ? doc.GlobalPaletteEntries() : 0;
  std::printf("%s: %s%s, screen %d x %d, %d frame%s\n", file.c_str(), doc.Signature().c_str(),
              doc.Version().c_str(), doc.ScreenWidthU16(), doc.ScreenHeightU16(), frames,
              frames == 1 ? "" : "s");
  std::printf("  %s\n", LoopText(doc).c_str());
  std::printf("  duration: %lld ms\n", static_cast<long long>(gif_info::DurationMs(doc)));
  if (global > 0) {
    std::printf("  global palette: %d entries, background index %d\n", global, doc.ScreenBackgroundColorIndex());
  } else {
    std::printf("  global palette: none\n");
  }
  for (std::int32_t i = 1; i <= frames; ++i) {
    const auto f = static_cast<std::int16_t>(i);
    const gif_info::Size image = gif_info::FrameSize(doc, f);
    std::printf("  frame %d: %d x %d at (%d, %d), delay %d cs, disposal %d (%s), ", f, image.width,
                image.height, doc.FrameLeftU16(f), doc.FrameTopU16(f), gif_info::FrameDelay(doc, f),
                doc.FrameDisposalMethod(f), DisposalName(doc.FrameDisposalMethod(f)));
    if (doc.FrameUseTransparentColor(f)) {
      std::printf("transparent index %d, ", doc.FrameTransparentColorIndex(f));
    } else {
      std::printf("opaque, ");
    }
    if (doc.LocalPaletteUsed(f)) {
      std::printf("local palette %d entries%s\n", doc.LocalPaletteEntries(f), doc.FrameInterlaced(f) ? ", interlaced" : "");
    } else {
      std::printf("global palette%s\n", doc.FrameInterlaced(f) ? ", interlaced" : "");
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
// the screen is), then a line that says how many.
int WriteFrames(const cGIF& doc, const FramesOptions& o) {
  cGIFComposer composer(doc);
  if (!composer.Start()) {
    ReportMessage(composer.StartFailure(), o.file);
    return kExitFailure;
  }
  if (!PrepareDirectory(o.directory)) return kExitFailure;
  for (;;) {
    const cGIFComposer::Step step = composer.Next();
    if (step == cGIFComposer::kEnd) break;
    if (step == cGIFComposer::kOutOfMemory) {
      ReportMessage("out of memory for the screen", o.file);
      return kExitFailure;
    }
    char name[32];
    std::snprintf(name, sizeof name, "frame-%04d.bmp", static_cast<int>(composer.Frame()));
    const std::string path = o.directory + (o.directory.empty() || o.directory.back() == '/' ? "" : "/") + name;
    errno = 0;
    if (!composer.Screen().Save(path)) {
      ReportMessage(std::string("cannot write the file") + (errno != 0 ? std::string(": ") + std::strerror(errno) : ""),
                    path);
      return kExitFailure;
    }
  }
  const int frames = doc.FramesCount();
  std::printf("%d frame%s written to %s\n", frames, frames == 1 ? "" : "s", o.directory.c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

}  // namespace

int RunInfo(const InfoOptions& o) {
  cGIF doc;
  if (!LoadAndWarn(doc, o.file)) return kExitFailure;
  try {
    if (o.json) {
      PrintJson(doc, o.file);
    } else {
      PrintText(doc, o.file);
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
  cGIF doc;
  if (!LoadAndWarn(doc, o.file)) return kExitFailure;
  try {
    return WriteFrames(doc, o);
  } catch (const Error& e) {
    ReportFailure(e, o.file);
    return kExitFailure;
  }
}

}  // namespace zoetra::cli

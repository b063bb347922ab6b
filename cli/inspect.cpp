// zoetra info and zoetra frames: looking inside GIF files.
#include <sys/stat.h>
#include <unistd.h>

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
#include "platform/base/error.hpp"
#include "raster/cdib.hpp"

namespace zoetra::cli {
namespace {

bool ReadStandardInput(std::vector<std::uint8_t>& bytes) {
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
}

// Loads `file` ("-" is standard input), or says on standard error why not.
bool Load(cGIF& doc, const std::string& file) {
  if (file == kStdStream) {
    std::vector<std::uint8_t> bytes;
    if (!ReadStandardInput(bytes)) {
      ReportMessage(std::strerror(errno), "standard input");
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
  if (!doc.LoadFromFile(file)) {
    ReportMessage(::access(file.c_str(), R_OK) != 0 ? std::strerror(errno) : "not a GIF file", file);
    return false;
  }
  return true;
}

// Loads like Load, and warns when the file ends before its trailer: what
// follows describes only the frames that were there.
bool LoadAndWarn(cGIF& doc, const std::string& file) {
  if (!Load(doc, file)) return false;
  if (!doc.LoadedTrailer()) {
    const int frames = doc.FramesCount();
    ReportMessage("warning: the file ends before its trailer (truncated); " +
                      std::to_string(frames) + " frame" + (frames == 1 ? "" : "s") + " read",
                  file == kStdStream ? "standard input" : file);
  }
  return true;
}

// A JSON string. Bytes that are not UTF-8 become U+FFFD so the output stays valid.
std::string JsonString(const std::string& s) {
  std::string out = "\"";
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = byte(i);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      // Length of a well-formed sequence (no overlongs, no surrogates, at most U+10FFFF), or 0.
      std::size_t n = 0;
      if (c >= 0xC2 && c <= 0xDF) n = 2;
      else if (c >= 0xE0 && c <= 0xEF) n = 3;
      else if (c >= 0xF0 && c <= 0xF4) n = 4;
      bool ok = n != 0 && i + n <= s.size();
      for (std::size_t k = 1; ok && k < n; ++k) ok = (byte(i + k) & 0xC0) == 0x80;
      if (ok && n >= 3) {
        const unsigned char d = byte(i + 1);
        if (c == 0xE0 && d < 0xA0) ok = false;
        if (c == 0xED && d > 0x9F) ok = false;
        if (c == 0xF0 && d < 0x90) ok = false;
        if (c == 0xF4 && d > 0x8F) ok = false;
      }
      if (ok) {
        out.append(s, i, n);
        i += n;
      } else {
        out += "\\ufffd";
        ++i;
      }
    }
  }
  return out + "\"";
}

struct FrameSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
};

FrameSize SizeOf(const cGIF& doc, std::int16_t f) {
  const std::shared_ptr<cDIB> image = doc.FrameDIBXOR(f);
  if (!image) return {};
  return {image->Width(), image->Height()};
}

// Delays are unsigned 16-bit hundredths in the file; the document keeps the bits.
int DelayOf(const cGIF& doc, std::int16_t f) {
  return static_cast<std::uint16_t>(doc.FrameDelay(f));
}

// The sum of the frame delays, in milliseconds.
std::int64_t DurationMs(const cGIF& doc) {
  std::int64_t cs = 0;
  for (std::int32_t i = 1; i <= doc.FramesCount(); ++i)
    cs += DelayOf(doc, static_cast<std::int16_t>(i));
  return cs * 10;
}

// "forever" for a loop count of 0, the count itself, or null without a looping block.
std::string LoopJson(const cGIF& doc) {
  const std::int32_t count = doc.LoadedLoopCount();
  if (count < 0) return "null";
  return count == 0 ? "\"forever\"" : std::to_string(count);
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
  const int frames = doc.FramesCount();
  const int global = doc.GlobalPaletteExists() ? doc.GlobalPaletteEntries() : 0;
  std::string out = "{\"file\": " + JsonString(file) +
                    ", \"version\": " + JsonString(doc.Signature() + doc.Version()) +
                    ", \"width\": " + std::to_string(doc.ScreenWidth()) +
                    ", \"height\": " + std::to_string(doc.ScreenHeight()) +
                    ", \"loop\": " + LoopJson(doc) +
                    ", \"duration_ms\": " + std::to_string(DurationMs(doc)) +
                    ", \"truncated\": " + (doc.LoadedTrailer() ? "false" : "true") +
                    ", \"global_palette\": " + std::to_string(global) +
                    ", \"background_index\": " + std::to_string(doc.ScreenBackgroundColorIndex()) +
                    ", \"frame_count\": " + std::to_string(frames) + ", \"frames\": [";
  for (std::int32_t i = 1; i <= frames; ++i) {
    const auto f = static_cast<std::int16_t>(i);
    const FrameSize image = SizeOf(doc, f);
    if (f > 1) out += ", ";
    out += "{\"index\": " + std::to_string(f) + ", \"left\": " + std::to_string(doc.FrameLeft(f)) +
           ", \"top\": " + std::to_string(doc.FrameTop(f)) +
           ", \"width\": " + std::to_string(image.width) +
           ", \"height\": " + std::to_string(image.height) +
           ", \"delay_cs\": " + std::to_string(DelayOf(doc, f)) +
           ", \"disposal\": " + std::to_string(doc.FrameDisposalMethod(f)) +
           ", \"transparent_index\": " +
           (doc.FrameUseTransparentColor(f) ? std::to_string(doc.FrameTransparentColorIndex(f))
                                            : "null") +
           ", \"interlaced\": " + (doc.FrameInterlaced(f) ? "true" : "false") +
           ", \"local_palette\": " +
           std::to_string(doc.LocalPaletteUsed(f) ? doc.LocalPaletteEntries(f) : 0) + "}";
  }
  out += "]}\n";
  std::fputs(out.c_str(), stdout);
}

void PrintText(const cGIF& doc, const std::string& file) {
  const int frames = doc.FramesCount();
  const int global = doc.GlobalPaletteExists() ? doc.GlobalPaletteEntries() : 0;
  std::printf("%s: %s%s, screen %d x %d, %d frame%s\n", file.c_str(), doc.Signature().c_str(), doc.Version().c_str(),
              doc.ScreenWidth(), doc.ScreenHeight(), frames, frames == 1 ? "" : "s");
  std::printf("  %s\n", LoopText(doc).c_str());
  std::printf("  duration: %lld ms\n", static_cast<long long>(DurationMs(doc)));
  if (global > 0) {
    std::printf("  global palette: %d entries, background index %d\n", global, doc.ScreenBackgroundColorIndex());
  } else {
    std::printf("  global palette: none\n");
  }
  for (std::int32_t i = 1; i <= frames; ++i) {
    const auto f = static_cast<std::int16_t>(i);
    const FrameSize image = SizeOf(doc, f);
    std::printf("  frame %d: %d x %d at (%d, %d), delay %d cs, disposal %d (%s), ", f, image.width,
                image.height, doc.FrameLeft(f), doc.FrameTop(f), DelayOf(doc, f),
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

// The composed frames as frame-NNNN.bmp files in the directory, then a line that says how many.
int WriteFrames(const cGIF& doc, const FramesOptions& o) {
  cGIFComposer composer(doc);
  if (!composer.Start()) {
    ReportMessage("the logical screen is empty (" + std::to_string(doc.ScreenWidth()) + " x " +
                      std::to_string(doc.ScreenHeight()) + ")",
                  o.file);
    return kExitFailure;
  }
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
  if (!PrepareDirectory(o.directory)) return kExitFailure;
  try {
    return WriteFrames(doc, o);
  } catch (const Error& e) {
    ReportFailure(e, o.file);
    return kExitFailure;
  }
}

}  // namespace zoetra::cli

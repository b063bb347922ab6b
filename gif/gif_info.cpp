// Describing a GIF document for people and programs: what `zoetra info --json`
// prints and the bindings return.
#include "gif/gif_info.hpp"

#include <cstdio>
#include <memory>
#include <string>

#include "raster/cdib.hpp"

namespace zoetra::gif_info {
namespace {

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

// "forever" for a loop count of 0, the count itself, or null without a looping block.
std::string LoopJson(std::int32_t count) {
  if (count < 0) return "null";
  return count == 0 ? "\"forever\"" : std::to_string(count);
}

// The reader's warnings as an array of strings.
std::string WarningsJson(const std::vector<std::string>& warnings) {
  std::string out = "[";
  for (const std::string& w : warnings) out += (out.size() > 1 ? ", " : "") + JsonString(w);
  return out + "]";
}

// The description up to the frames' array, whichever reader gave the facts.
std::string HeadJson(std::string_view file, const std::string& version, std::int32_t width, std::int32_t height,
                     std::int32_t loop, std::int64_t duration_ms, bool truncated,
                     const std::vector<std::string>& warnings, std::int32_t global, std::int32_t background,
                     std::int64_t frames) {
  return "{\"file\": " + JsonString(std::string(file)) + ", \"version\": " + JsonString(version) +
         ", \"width\": " + std::to_string(width) + ", \"height\": " + std::to_string(height) +
         ", \"loop\": " + LoopJson(loop) + ", \"duration_ms\": " + std::to_string(duration_ms) +
         ", \"truncated\": " + (truncated ? "true" : "false") + ", \"warnings\": " + WarningsJson(warnings) +
         ", \"global_palette\": " + std::to_string(global) + ", \"background_index\": " +
         std::to_string(background) + ", \"frame_count\": " + std::to_string(frames) + ", \"frames\": [";
}

// One frame's object, ", " before every one but the first.
std::string FrameJson(std::int64_t index, std::int32_t left, std::int32_t top, Size image, int delay,
                      std::int32_t disposal, bool transparent, std::int32_t transparent_index, bool interlaced,
                      std::int32_t local_entries) {
  return std::string(index > 1 ? ", " : "") + "{\"index\": " + std::to_string(index) +
         ", \"left\": " + std::to_string(left) + ", \"top\": " + std::to_string(top) +
         ", \"width\": " + std::to_string(image.width) + ", \"height\": " + std::to_string(image.height) +
         ", \"delay_cs\": " + std::to_string(delay) + ", \"disposal\": " + std::to_string(disposal) +
         ", \"transparent_index\": " + (transparent ? std::to_string(transparent_index) : "null") +
         ", \"interlaced\": " + (interlaced ? "true" : "false") +
         ", \"local_palette\": " + std::to_string(local_entries) + "}";
}

}  // namespace

Size FrameSize(const cGIF& doc, std::int16_t f) {
  const std::shared_ptr<cDIB> image = doc.FrameDIBXOR(f);
  if (!image) return {};
  return {image->Width(), image->Height()};
}

// Delays are unsigned 16-bit hundredths in the file; the document keeps the bits.
int FrameDelay(const cGIF& doc, std::int16_t f) {
  return static_cast<std::uint16_t>(doc.FrameDelay(f));
}

// The sum of the frame delays, in milliseconds.
std::int64_t DurationMs(const cGIF& doc) {
  std::int64_t cs = 0;
  for (std::int32_t i = 1; i <= doc.FramesCount(); ++i)
    cs += FrameDelay(doc, static_cast<std::int16_t>(i));
  return cs * 10;
}

bool Truncated(const cGIF& doc) {
  return !doc.LoadedTrailer() && !doc.LoadedToLimit();
}

std::string Json(const cGIF& doc, std::string_view file) {
  const int frames = doc.FramesCount();
  std::string out = HeadJson(file, doc.Signature() + doc.Version(), doc.ScreenWidthU16(), doc.ScreenHeightU16(),
                             doc.LoadedLoopCount(), DurationMs(doc), Truncated(doc), doc.LoadWarnings(),
                             doc.GlobalPaletteExists() ? doc.GlobalPaletteEntries() : 0,
                             doc.ScreenBackgroundColorIndex(), frames);
  for (std::int32_t i = 1; i <= frames; ++i) {
    const auto f = static_cast<std::int16_t>(i);
    out += FrameJson(f, doc.FrameLeftU16(f), doc.FrameTopU16(f), FrameSize(doc, f), FrameDelay(doc, f),
                     doc.FrameDisposalMethod(f), doc.FrameUseTransparentColor(f) != 0,
                     doc.FrameTransparentColorIndex(f), doc.FrameInterlaced(f) != 0,
                     doc.LocalPaletteUsed(f) ? doc.LocalPaletteEntries(f) : 0);
  }
  return out + "]}";
}

bool Survey(gif_scan::Input& input, Summary& out) {
  gif_scan::Scanner scan(input);
  if (!scan.Start()) return false;
  out = Summary{};
  out.screen = scan.screen();
  std::int64_t hundredths = 0;
  for (gif_scan::Frame f; scan.Next(f);) {
    ++out.frames;
    hundredths += f.delay;
  }
  out.duration_ms = hundredths * 10;
  out.loop_count = scan.LoopCount();
  out.truncated = !scan.Trailer();
  out.warnings = scan.Warnings();
  return true;
}

Size FrameSize(const gif_scan::Frame& f) {
  if (f.width == 0 || f.height == 0) return {};
  return {f.width, f.height};
}

void Json(const Summary& summary, gif_scan::Scanner& frames, std::string_view file,
          const std::function<void(const std::string&)>& out) {
  const gif_scan::Screen& s = summary.screen;
  out(HeadJson(file, s.signature + s.version, s.width, s.height, summary.loop_count, summary.duration_ms,
               summary.truncated, summary.warnings, s.global ? s.global_entries : 0, s.background, summary.frames));
  for (gif_scan::Frame f; frames.Next(f);) {
    out(FrameJson(f.index, f.left, f.top, FrameSize(f), f.delay, f.disposal, f.use_transparent,
                  f.transparent_index, f.interlaced, f.local_entries));
  }
  out("]}");
}

}  // namespace zoetra::gif_info

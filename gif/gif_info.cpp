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
std::string LoopJson(const cGIF& doc) {
  const std::int32_t count = doc.LoadedLoopCount();
  if (count < 0) return "null";
  return count == 0 ? "\"forever\"" : std::to_string(count);
}

// The reader's warnings as an array of strings.
std::string WarningsJson(const cGIF& doc) {
  std::string out = "[";
  for (const std::string& w : doc.LoadWarnings())
    out += (out.size() > 1 ? ", " : "") + JsonString(w);
  return out + "]";
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
  const int global = doc.GlobalPaletteExists() ? doc.GlobalPaletteEntries() : 0;
  std::string out =
      "{\"file\": " + JsonString(std::string(file)) +
      ", \"version\": " + JsonString(doc.Signature() + doc.Version()) +
      ", \"width\": " + std::to_string(doc.ScreenWidthU16()) +
      ", \"height\": " + std::to_string(doc.ScreenHeightU16()) + ", \"loop\": " + LoopJson(doc) +
      ", \"duration_ms\": " + std::to_string(DurationMs(doc)) +
      ", \"truncated\": " + (Truncated(doc) ? "true" : "false") +
      ", \"warnings\": " + WarningsJson(doc) + ", \"global_palette\": " + std::to_string(global) +
      ", \"background_index\": " + std::to_string(doc.ScreenBackgroundColorIndex()) +
      ", \"frame_count\": " + std::to_string(frames) + ", \"frames\": [";
  for (std::int32_t i = 1; i <= frames; ++i) {
    const auto f = static_cast<std::int16_t>(i);
    const Size image = FrameSize(doc, f);
    if (f > 1) out += ", ";
    out += "{\"index\": " + std::to_string(f) +
           ", \"left\": " + std::to_string(doc.FrameLeftU16(f)) +
           ", \"top\": " + std::to_string(doc.FrameTopU16(f)) +
           ", \"width\": " + std::to_string(image.width) +
           ", \"height\": " + std::to_string(image.height) +
           ", \"delay_cs\": " + std::to_string(FrameDelay(doc, f)) +
           ", \"disposal\": " + std::to_string(doc.FrameDisposalMethod(f)) +
           ", \"transparent_index\": " +
           (doc.FrameUseTransparentColor(f) ? std::to_string(doc.FrameTransparentColorIndex(f))
                                            : "null") +
           ", \"interlaced\": " + (doc.FrameInterlaced(f) ? "true" : "false") +
           ", \"local_palette\": " +
           std::to_string(doc.LocalPaletteUsed(f) ? doc.LocalPaletteEntries(f) : 0) + "}";
  }
  return out + "]}";
}

}  // namespace zoetra::gif_info

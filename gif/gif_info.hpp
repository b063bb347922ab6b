// Facts about a GIF as `zoetra info` shows them, and the one JSON description
// the command and the bindings share: from a loaded document, or from the
// file's blocks (gif/gif_scan.hpp) without decoding a pixel, in memory that
// does not grow with the frames. Nothing here raises beyond what the
// readers raise.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "gif/cgif.hpp"
#include "gif/gif_scan.hpp"

namespace zoetra::gif_info {

struct Size {
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// The size of frame f's image (0 x 0 without one).
Size FrameSize(const cGIF& doc, std::int16_t f);
// Frame f's delay in hundredths: unsigned 16 bits in the file.
int FrameDelay(const cGIF& doc, std::int16_t f);
// The sum of the frame delays, in milliseconds.
std::int64_t DurationMs(const cGIF& doc);
// Whether the data ended before the trailer (not a load stopped at a limit).
bool Truncated(const cGIF& doc);
// One JSON object: file, version, screen, loop ("forever", a count, or null
// without a loop block), duration, truncation, the reader's warnings, palettes
// and every frame. Texts that are not UTF-8 come out with U+FFFD in their place.
std::string Json(const cGIF& doc, std::string_view file);

// What one pass over a file's blocks found.
struct Summary {
  gif_scan::Screen screen;
  std::int64_t frames = 0;
  std::int64_t duration_ms = 0;
  std::int32_t loop_count = -1;  // -1: no looping block
  bool truncated = false;        // the data ended before the trailer
  std::vector<std::string> warnings;
};
// Reads `input` to its end; false when it is no GIF.
bool Survey(gif_scan::Input& input, Summary& out);
// The frame as the description gives it: 0 x 0 for an image with a side of 0.
Size FrameSize(const gif_scan::Frame& f);

// The same JSON as Json(doc, file), from a summary and a scanner started
// afresh on the same bytes, handed to `out` a piece at a time.
void Json(const Summary& summary, gif_scan::Scanner& frames, std::string_view file,
          const std::function<void(const std::string&)>& out);

}  // namespace zoetra::gif_info

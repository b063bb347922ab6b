// Facts about a loaded GIF document as `zoetra info` shows them, and the one
// JSON description the command and the bindings share. Nothing here raises
// beyond what cGIF's readers raise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "gif/cgif.hpp"

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

}  // namespace zoetra::gif_info

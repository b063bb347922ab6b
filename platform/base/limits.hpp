// Limits against hostile or accidental huge inputs, checked right after a
// header is read and before any large allocation. Process-wide; a host may
// change them at any time (a change applies to operations that start later).
#pragma once

#include <cstdint>
#include <string>

#include "platform/base/export.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra::platform {

// The hardware's thread count, at least 1.
std::int32_t HardwareThreads();

struct Limits {
  // Picture loader: longest side and pixel count of one decoded picture.
  std::int64_t max_picture_side = 32767;
  std::int64_t max_picture_pixels = std::int64_t{1} << 27;  // 128 Mpixel, 512 MiB at 32 bits
  // GIF reader and animation builder: decoded pixels of all frames of one
  // document, and its frame count.
  std::int64_t max_document_pixels = std::int64_t{1} << 28;
  std::int32_t max_document_frames = 32767;
  // What one clip may give: its GIF frames, and the seconds they run (a file
  // claiming endless frames is refused). Animated pictures hold all their
  // frames in the file and are bounded by the animation limits below instead.
  std::int64_t max_clip_frames = 250000;
  std::int64_t max_clip_seconds = 3 * 3600;
  // Largest input file read into memory whole (pictures, GIF files, modules).
  std::int64_t max_file_bytes = std::int64_t{1} << 30;
  // Threads working for the library at once: the process-wide worker pool
  // holds at most max_threads - 1 (a conversion's calling thread is the last
  // one), and no conversion uses more. 1 keeps all work on the calling threads.
  std::int32_t max_threads = HardwareThreads();
  // Animated pictures (GIF, WebP, PNG) are composed frame by frame on a canvas
  // their header declares: a few bytes can claim a huge canvas and endless
  // frames. A canvas of more than max_free_canvas_pixels needs at least one
  // byte of file per canvas_pixels_per_file_byte of its pixels: an 8 Mpixel
  // canvas keeps a conversion (two threads, --optimize) within 512 MiB, and
  // so a file under 1 MiB can claim no more.
  std::int64_t max_free_canvas_pixels = std::int64_t{1} << 23;
  std::int64_t canvas_pixels_per_file_byte = 8;
  // The pixels composed over all frames (canvas x frames) are at most the
  // larger of max_free_composed_pixels and composed_pixels_per_file_byte per
  // byte of file: 2^28 pixels convert in about 5 s, and a file under 1 MiB
  // can claim no more.
  std::int64_t max_free_composed_pixels = std::int64_t{1} << 28;
  std::int64_t composed_pixels_per_file_byte = 256;
};

// Whether a decoded picture of width x height stays inside the picture limits.
inline bool WithinPictureLimits(const Limits& limits, std::int64_t width, std::int64_t height) {
  return width <= limits.max_picture_side && height <= limits.max_picture_side &&
         width * height <= limits.max_picture_pixels;
}

// What an animated picture breaks: "" when a canvas of width x height,
// composed `frames` times (0: not known yet), read from a file of `file_bytes`
// bytes, stays inside `limits`; else "its canvas of W x H ... (limit_name)",
// naming the first limit it breaks. `sides` false leaves max_picture_side
// out, for a canvas that never becomes a picture of a conversion (the frames
// `zoetra frames` writes: a GIF screen may be 65535 wide).
std::string AnimationOverLimits(const Limits& limits, std::int64_t width, std::int64_t height,
                                std::int64_t frames, std::int64_t file_bytes, bool sides = true);

// Raises 481 "Invalid picture (<name>: <what it breaks>; a host raises the
// limit with SetLimits)" when AnimationOverLimits finds something (without
// "<name>: " for an empty name, where the caller names the file itself).
void CheckAnimation(const std::string& name, std::int64_t width, std::int64_t height, std::int64_t frames,
                    std::int64_t file_bytes, bool sides = true);

Limits GetLimits();
void SetLimits(const Limits& limits);

}  // namespace zoetra::platform

ZOETRA_PUBLIC_END

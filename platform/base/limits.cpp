#include "platform/base/limits.hpp"

#include <algorithm>
#include <mutex>
#include <thread>

#include "platform/base/error.hpp"

namespace zoetra::platform {
namespace {
std::mutex g_mutex;
// Made on first use: its thread count is read at run time.
Limits& Stored() {
  static Limits limits;
  return limits;
}
}  // namespace

std::int32_t HardwareThreads() {
  return static_cast<std::int32_t>(std::clamp(std::thread::hardware_concurrency(), 1u, 1024u));
}

Limits GetLimits() {
  std::lock_guard lock(g_mutex);
  return Stored();
}

void SetLimits(const Limits& limits) {
  std::lock_guard lock(g_mutex);
  Stored() = limits;
}

std::string AnimationOverLimits(const Limits& limits, std::int64_t width, std::int64_t height,
                                std::int64_t frames, std::int64_t file_bytes, bool sides) {
  const auto n = [](std::int64_t v) { return std::to_string(v); };
  const std::string canvas = "its canvas of " + n(width) + " x " + n(height) + " pixels";
  if (sides && (width > limits.max_picture_side || height > limits.max_picture_side)) {
    return canvas + " is over the limit of " + n(limits.max_picture_side) + " pixels a side (max_picture_side)";
  }
  const long double pixels = static_cast<long double>(width) * static_cast<long double>(height);
  if (pixels > static_cast<long double>(limits.max_picture_pixels)) {
    return canvas + " is over the limit of " + n(limits.max_picture_pixels) + " pixels (max_picture_pixels)";
  }
  const long double bytes = static_cast<long double>(std::max<std::int64_t>(file_bytes, 0));
  const long double per_byte = static_cast<long double>(std::max<std::int64_t>(limits.canvas_pixels_per_file_byte, 0));
  if (pixels > static_cast<long double>(limits.max_free_canvas_pixels) && pixels > bytes * per_byte) {
    return canvas + " is over " + n(limits.max_free_canvas_pixels) + " pixels (max_free_canvas_pixels) for a file of " +
           n(std::max<std::int64_t>(file_bytes, 0)) + " bytes: a canvas that large needs a byte per " +
           n(limits.canvas_pixels_per_file_byte) + " of its pixels (canvas_pixels_per_file_byte)";
  }
  if (frames <= 0) return {};
  const long double composed = pixels * static_cast<long double>(frames);
  const long double allowed =
      std::max(static_cast<long double>(limits.max_free_composed_pixels),
               bytes * static_cast<long double>(std::max<std::int64_t>(limits.composed_pixels_per_file_byte, 0)));
  if (composed <= allowed) return {};
  const auto whole = [](long double v) { return std::to_string(static_cast<long long>(std::min<long double>(v, 9.2e18L))); };
  return canvas + " composed " + n(frames) + " times makes " + whole(composed) +
         " pixels, over the limit of " + whole(allowed) + " for a file of " + n(std::max<std::int64_t>(file_bytes, 0)) +
         " bytes (the larger of max_free_composed_pixels, " + n(limits.max_free_composed_pixels) +
         ", and composed_pixels_per_file_byte, " + n(limits.composed_pixels_per_file_byte) + " per byte)";
}

void CheckAnimation(const std::string& name, std::int64_t width, std::int64_t height, std::int64_t frames,
                    std::int64_t file_bytes, bool sides) {
  const std::string broken = AnimationOverLimits(GetLimits(), width, height, frames, file_bytes, sides);
  if (broken.empty()) return;
  RaiseError(kErrInvalidPicture, "Invalid picture (" + (name.empty() ? "" : name + ": ") + broken +
                                     "; a host raises the limit with SetLimits)");
}

}  // namespace zoetra::platform

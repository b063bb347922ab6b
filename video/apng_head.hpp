// The head of a PNG file: whether it is animated, and the frame count its
// acTL chunk declares, read from the chunks before the first image data.
#pragma once

#include <cstdint>
#include <string>

namespace zoetra::video {

// The frames an animated PNG declares (its acTL chunk, before the first
// IDAT); 0 for a still PNG, anything else, or a file that cannot be read.
std::int64_t ApngFrames(const std::string& path);

}  // namespace zoetra::video

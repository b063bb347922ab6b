// The orientation a JPEG file's EXIF block records: which way up the camera
// was held, so that the picture can be turned upright (OrientPicture in
// raster/picture_fit.hpp does that).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace zoetra::platform {

// The EXIF orientation (1..8) of a JPEG file's bytes; 1 when the file is not a
// JPEG, has no EXIF block, or the block cannot be read.
//
// Only the segments before the first scan are walked, and only the first
// "Exif" APP1 segment is parsed (the tag Orientation of its first IFD). A
// recorded value outside 1..8 also gives 1.
int JpegOrientation(std::span<const std::uint8_t> file) noexcept;

// The same from a file, reading at most its first 256 KiB; 1 when it cannot be read.
int JpegFileOrientation(std::string_view path) noexcept;

}  // namespace zoetra::platform

// Prepared pictures kept between the counting pass and the mapping pass,
// packed to the bytes they need: blue, green and red, or all four bytes of
// a picture with clear pixels.
#pragma once

#include <cstdint>
#include <vector>

#include "raster/cdib.hpp"

namespace zoetra::pipeline {

// What keeping a picture costs, its vector included.
std::int64_t KeptBytes(std::int32_t width, std::int32_t height, bool clear);

// `clear`: the picture has clear pixels (the fourth byte of a prepared
// picture is 0 unless it has).
void PackPicture(const cDIB& picture, bool clear, std::vector<std::uint8_t>& packed);
// The picture again (32 bits); returns whether it has clear pixels.
bool UnpackPicture(const std::vector<std::uint8_t>& packed, std::int32_t width, std::int32_t height, cDIB& picture);

}  // namespace zoetra::pipeline

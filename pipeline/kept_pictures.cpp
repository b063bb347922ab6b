#include "pipeline/kept_pictures.hpp"

#include <bit>
#include <cstring>

#include "platform/base/error.hpp"

namespace zoetra::pipeline {
namespace {

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

}  // namespace

std::int64_t KeptBytes(std::int32_t width, std::int32_t height, bool clear) {
  return std::int64_t{width} * height * (clear ? 4 : 3) + 64;
}

void PackPicture(const cDIB& picture, bool clear, std::vector<std::uint8_t>& packed) {
  const std::size_t pixels = static_cast<std::size_t>(picture.Width()) * static_cast<std::size_t>(picture.Height());
  if (clear) {
    packed.assign(picture.lpBits(), picture.lpBits() + pixels * 4);
    return;
  }
  packed.resize(pixels * 3);
  const std::uint8_t* from = picture.lpBits();
  std::uint8_t* to = packed.data();
  // Two pixels a step in one 8-byte word each way; the last two bytes written
  // are overwritten by the next step, and the last pair goes byte-wise.
  std::size_t i = 0;
  for (; kLittleEndian && i + 3 <= pixels; i += 2, from += 8, to += 6) {
    std::uint64_t two;
    std::memcpy(&two, from, 8);
    two = (two & 0xFFFFFFu) | (two >> 8 & 0xFFFFFF000000u);
    std::memcpy(to, &two, 8);
  }
  for (; i < pixels; ++i, from += 4, to += 3) std::memcpy(to, from, 3);
}

bool UnpackPicture(const std::vector<std::uint8_t>& packed, std::int32_t width, std::int32_t height, cDIB& picture) {
  if (!picture.Create(width, height, 32)) RaiseOutOfMemory();
  const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  if (packed.size() == pixels * 4) {
    std::memcpy(picture.lpBits(), packed.data(), packed.size());
    return true;
  }
  const std::uint8_t* from = packed.data();
  std::uint8_t* to = picture.lpBits();
  std::size_t i = 0;
  for (; kLittleEndian && i + 3 <= pixels; i += 2, from += 6, to += 8) {  // reads 8 bytes of the 6 a step takes
    std::uint64_t two;
    std::memcpy(&two, from, 8);
    two = (two & 0xFFFFFFu) | (two << 8 & 0xFFFFFF00000000u);
    std::memcpy(to, &two, 8);
  }
  for (; i < pixels; ++i, from += 3, to += 4) {
    std::memcpy(to, from, 3);
    to[3] = 0;
  }
  return false;
}

}  // namespace zoetra::pipeline

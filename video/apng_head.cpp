#include "video/apng_head.hpp"

#include <algorithm>
#include <array>
#include <fstream>

namespace zoetra::video {
namespace {

std::uint32_t BigEndian32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

std::int64_t ApngFrames(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::array<unsigned char, 8> signature{};
  static constexpr std::array<unsigned char, 8> kPng{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (!in.read(reinterpret_cast<char*>(signature.data()), 8) || signature != kPng) return 0;
  for (int chunks = 0; chunks < 4096; ++chunks) {
    std::array<unsigned char, 12> head{};  // length, type, and acTL's frame count
    if (!in.read(reinterpret_cast<char*>(head.data()), 8)) return 0;
    const std::uint32_t length = BigEndian32(head.data());
    const std::string type(reinterpret_cast<const char*>(head.data()) + 4, 4);
    if (type == "acTL") {
      if (length < 4 || !in.read(reinterpret_cast<char*>(head.data()) + 8, 4)) return 0;
      // A count of 0 is not valid; it still says the file is animated.
      return std::max<std::int64_t>(BigEndian32(head.data() + 8), 1);
    }
    if (type == "IDAT" || type == "IEND") return 0;
    in.seekg(static_cast<std::streamoff>(length) + 4, std::ios::cur);
  }
  return 0;
}

}  // namespace zoetra::video

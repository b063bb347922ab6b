// Block markers of the GIF file format, shared by the writer and the reader.
#pragma once

#include <cstdint>

namespace zoetra::gif_format {

inline constexpr std::uint8_t kExtensionIntroducer = 0x21;
inline constexpr std::uint8_t kImageSeparator = 0x2C;
inline constexpr std::uint8_t kTrailer = 0x3B;
inline constexpr std::uint8_t kGraphicControlLabel = 0xF9;
inline constexpr std::uint8_t kApplicationLabel = 0xFF;

}  // namespace zoetra::gif_format

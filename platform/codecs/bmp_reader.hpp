// Reader for bitmap files and packed device-independent bitmaps.
//
// Accepted: header sizes 12 (core), 40, 52, 56, 108 and 124; 1, 4, 8, 16, 24
// and 32 bits per pixel; rows bottom-up (positive height) or top-down
// (negative height, uncompressed only); compression none, RLE8 (8 bits), RLE4
// (4 bits) and bit fields (16 and 32 bits, three or four masks).
//
// The result is a DIB section of the drawing layer, always bottom-up:
//   - 1, 4, 8 bits and RLE: same depth, with the file's colour table (entries
//     the file does not give are black; reserved bytes are 0). RLE pixels that
//     the stream skips are index 0;
//   - 16 bits 5-5-5 (no masks, or the 5-5-5 masks): 16 bits, words unchanged;
//   - 16 bits with other masks (5-6-5 ...): 24 bits;
//   - 24 bits: 24 bits, unchanged;
//   - 32 bits, with or without masks: 32 bits, blue, green, red, 0 (a fourth
//     byte or alpha mask in the file is dropped).
// Channels narrower than 8 bits widen by repeating their bits (5 bits: v<<3 | v>>2).
//
// Raises Error 481 "Invalid picture (<why>)" for anything malformed or
// truncated and for sizes over the picture limits (checked before the pixels
// are allocated). Never reads outside the given bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/drawing/gdi.hpp"

namespace zoetra::platform {

// True when the bytes start with the bitmap file signature "BM".
bool HasBitmapFileSignature(std::span<const std::uint8_t> file);

// A bitmap file: 14-byte file header, bitmap header, colour table, pixels at
// the file header's offset.
// With `alpha` not null, a 32-bit bit-field file with an alpha mask keeps its
// alpha in the fourth byte and sets *alpha.
HBITMAP DecodeBitmapFile(std::span<const std::uint8_t> file, bool* alpha = nullptr);
// A packed bitmap (resources, clipboard): header, masks, colour table and
// pixels back to back, no file header.
HBITMAP DecodePackedDib(std::span<const std::uint8_t> dib);

// The drawing layer's image loader for bitmap files: the file read with the
// file-size limit and decoded. 0 on any failure, never raises.
HBITMAP LoadImageFromFile(std::string_view path) noexcept;

}  // namespace zoetra::platform

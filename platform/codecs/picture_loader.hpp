// The host picture loader: a file name in, a picture object out.
//
// The content decides the format (the file name's extension is not consulted):
//   - bitmap files ("BM"): a bitmap picture in the file's natural depth
//     (platform/codecs/bmp_reader.hpp says which depth each variant becomes);
//   - PNG and JPEG: a 32-bit bitmap picture, rows bottom-up, pixels blue,
//     green, red, 0. Each pixel keeps the colour stored in the file; alpha is
//     dropped, never composited onto a background;
//   - icons and cursors: an icon picture; placeable or standard WMF and EMF
//     files: a metafile picture. Their handles are not bitmaps, so the raster
//     import refuses them;
//   - GIF: through the decoder installed with SetGifPictureDecoder (the GIF
//     codec's zoetra::RegisterGifPictures does it); none is installed at first.
//
// Raises zoetra::Error:
//   53  "File not found" for a missing file;
//   75  "Path/File access error: <path> (<why>)" for a directory, an
//       unreadable file or one longer than Limits::max_file_bytes;
//   481 "Invalid picture (<why>)": for content in no format read here, why
//       says what it is instead (an empty file, a file cut inside its
//       signature, a WebP, TIFF, HEIF/AVIF, PDF, HTML or SVG file, or else
//       its first bytes as text or hexadecimal), naming the format its file
//       name promises ("not a PNG file: ..."); for a file in a known format,
//       what is damaged or truncated, or its size when that exceeds
//       Limits::max_picture_side / max_picture_pixels. Sizes are checked
//       right after the header, before the pixels are allocated.
// A damaged file never yields a partial picture.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/base/export.hpp"
#include "platform/codecs/picture.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra::platform {

inline constexpr std::string_view kInvalidPictureText = "Invalid picture";

Picture LoadPicture(std::string_view path);
// The same for a file already in memory.
Picture LoadPictureFromMemory(std::span<const std::uint8_t> file);

struct PictureLoadOptions {
  // PNG files with an alpha channel or a transparent colour, and 32-bit
  // bitmap files with an alpha mask, keep their alpha in the fourth byte of
  // each pixel (Picture::HasAlpha); other pictures load as without it.
  bool keep_alpha = false;
};
Picture LoadPicture(std::string_view path, const PictureLoadOptions& options);

// GIF files are decoded by the GIF codec, which lives above this layer;
// zoetra::RegisterGifPictures (gif/cgif.hpp) installs it here. Null
// uninstalls. The decoder raises like LoadPicture.
using GifPictureDecoder = Picture (*)(std::span<const std::uint8_t> file);
void SetGifPictureDecoder(GifPictureDecoder decoder);
GifPictureDecoder GetGifPictureDecoder();

// "Invalid picture", or "Invalid picture (<why>)" when a reason is given.
[[noreturn]] void RaiseInvalidPicture(std::string_view why = {});
// Raises 481 with the size and the limits when width x height is over them.
void CheckPictureSize(std::int64_t width, std::int64_t height);

}  // namespace zoetra::platform

ZOETRA_PUBLIC_END

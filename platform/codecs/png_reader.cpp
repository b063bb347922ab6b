// PNG through libspng, decoded straight into the rows of the final 32-bit
// bitmap: spng writes R,G,B,A bytes, which occupy exactly a B,G,R,0 pixel, so
// each row is swizzled in place and no second image buffer is needed.
#include <spng.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"
#include "platform/codecs/picture_codecs.hpp"
#include "platform/codecs/picture_loader.hpp"

namespace zoetra::platform::detail {
namespace {

// Ancillary chunks (text, profiles) that spng keeps while decoding; more is
// refused rather than held in memory.
constexpr std::size_t kChunkCacheLimit = std::size_t{64} << 20;
constexpr std::uint32_t kSpngMaxSide = 0x7FFFFFFF;

struct SpngFree {
  void operator()(spng_ctx* ctx) const noexcept { spng_ctx_free(ctx); }
};

[[noreturn]] void RaisePng(int err) {
  // The buffer ran out, inside a chunk or where the next one should start.
  if (err == SPNG_EIO || err == SPNG_EOF || err == SPNG_IO_EOF)
    RaiseInvalidPicture("PNG data is truncated");
  RaiseInvalidPicture(std::string("PNG: ") + spng_strerror(err));
}

// R,G,B -> B,G,R,0. Reads one byte past the last pixel: `rgb` has a spare byte.
void ExpandRow(const std::uint8_t* rgb, std::uint8_t* row, std::int32_t width) {
  for (std::int32_t x = 0; x < width; ++x, rgb += 3) {
    std::uint32_t p;  // R,G,B,next as a little-endian word
    std::memcpy(&p, rgb, 4);
    const std::uint32_t q = __builtin_bswap32(p) >> 8;
    std::memcpy(row + 4 * x, &q, 4);
  }
}

// R,G,B,A -> B,G,R,0 in place, or B,G,R,A when `keep` is all ones in the top byte.
void SwizzleRow(std::uint8_t* row, std::int32_t width, std::uint32_t keep = 0) {
  for (std::int32_t x = 0; x < width; ++x) {
    std::uint32_t p;
    std::memcpy(&p, row + 4 * x, 4);
    const std::uint32_t q = ((p & 0xFFu) << 16) | (p & 0xFF00u) | ((p >> 16) & 0xFFu) | (p & keep);
    std::memcpy(row + 4 * x, &q, 4);
  }
}

}  // namespace

HBITMAP DecodePng(std::span<const std::uint8_t> file, bool* alpha) {
  static_assert(std::endian::native == std::endian::little, "the in-place swizzle assumes little-endian words");
  // Every chunk's CRC covers its compressed bytes already: the DEFLATE
  // stream's own checksum adds a second pass over every pixel and nothing else.
  std::unique_ptr<spng_ctx, SpngFree> ctx(spng_ctx_new(SPNG_CTX_IGNORE_ADLER32));
  if (!ctx) RaiseOutOfMemory();
  const Limits limits = GetLimits();
  const auto chunk = static_cast<std::size_t>(std::clamp<std::int64_t>(limits.max_file_bytes, 1, kSpngMaxSide));
  spng_set_chunk_limits(ctx.get(), chunk, kChunkCacheLimit);
  if (int err = spng_set_png_buffer(ctx.get(), file.data(), file.size())) RaisePng(err);

  spng_ihdr ihdr{};
  if (int err = spng_get_ihdr(ctx.get(), &ihdr)) RaisePng(err);
  CheckPictureSize(ihdr.width, ihdr.height);
  const auto width = static_cast<std::int32_t>(ihdr.width);
  const auto height = static_cast<std::int32_t>(ihdr.height);

  spng_trns trns{};
  const bool has_alpha = alpha != nullptr && (ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
                                               ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ||
                                               spng_get_trns(ctx.get(), &trns) == 0);
  if (alpha != nullptr) *alpha = has_alpha;
  const std::uint32_t keep = has_alpha ? 0xFF000000u : 0;
  const bool interlaced = ihdr.interlace_method != SPNG_INTERLACE_NONE;
  // The common 8-bit RGB file is taken as it is stored and widened here in one
  // step; every other kind goes through spng's RGBA conversion.
  const bool rgb8 = !interlaced && !has_alpha && ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR && ihdr.bit_depth == 8;
  std::vector<std::uint8_t> rgb_row(rgb8 ? static_cast<std::size_t>(width) * 3 + 1 : 0);

  const NewSurface out = NewPictureSurface(width, height, 32);
  BitmapGuard guard(out.handle);
  const int fmt = rgb8 ? SPNG_FMT_RGB8 : SPNG_FMT_RGBA8;
  // A transparent colour (tRNS) reaches the alpha bytes only when asked for.
  const int flags = SPNG_DECODE_PROGRESSIVE | (has_alpha ? SPNG_DECODE_TRNS : 0);
  if (int err = spng_decode_image(ctx.get(), nullptr, 0, fmt, flags)) RaisePng(err);

  const std::size_t row_len = static_cast<std::size_t>(width) * 4;
  int err = 0;
  do {
    spng_row_info info{};
    err = spng_get_row_info(ctx.get(), &info);
    if (err) break;
    if (info.row_num >= ihdr.height) RaisePng(SPNG_EINTERNAL);
    // File rows run top-down, memory rows bottom-up.
    std::uint8_t* row = out.bits + static_cast<std::size_t>(height - 1 - static_cast<std::int32_t>(info.row_num)) *
                                       static_cast<std::size_t>(out.stride);
    if (rgb8) {
      err = spng_decode_row(ctx.get(), rgb_row.data(), rgb_row.size() - 1);
      if (err == 0 || err == SPNG_EOI) ExpandRow(rgb_row.data(), row, width);
      continue;
    }
    err = spng_decode_row(ctx.get(), row, row_len);
    // An interlaced row is complete only after the last pass.
    if ((err == 0 || err == SPNG_EOI) && !interlaced) SwizzleRow(row, width, keep);
  } while (err == 0);
  if (err != SPNG_EOI) RaisePng(err);
  if (interlaced) {
    for (std::int32_t r = 0; r < height; ++r) SwizzleRow(out.bits + static_cast<std::size_t>(r) * out.stride, width, keep);
  }
  return guard.Release();
}

}  // namespace zoetra::platform::detail

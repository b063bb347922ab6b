#include "platform/codecs/bmp_reader.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>

#include "platform/base/error.hpp"
#include "platform/base/files.hpp"
#include "platform/drawing/dib_pixels.hpp"
#include "platform/base/le_bytes.hpp"
#include "platform/base/limits.hpp"
#include "platform/codecs/picture_codecs.hpp"
#include "platform/codecs/picture_loader.hpp"

namespace zoetra::platform {
namespace {

using detail::LeBytes;

constexpr std::uint64_t kFileHeaderSize = 14;
constexpr std::uint32_t kCoreHeaderSize = 12;
constexpr std::uint32_t kInfoHeaderSize = 40;

constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiRle8 = 1;
constexpr std::uint32_t kBiRle4 = 2;
constexpr std::uint32_t kBiBitfields = 3;
constexpr std::uint32_t kBiAlphaBitfields = 6;

constexpr std::uint32_t kMask555[3] = {0x7C00, 0x03E0, 0x001F};
constexpr std::uint32_t kMask888[3] = {0x00FF0000, 0x0000FF00, 0x000000FF};

// What the bitmap header says, with every offset relative to the whole input.
struct DibLayout {
  std::int32_t width = 0;
  std::int32_t height = 0;  // absolute
  bool top_down = false;
  int bpp = 0;
  std::uint32_t compression = kBiRgb;
  std::uint32_t masks[3] = {0, 0, 0};  // red, green, blue
  std::uint32_t alpha_mask = 0;        // bit-field files that say where alpha is
  bool has_masks = false;
  std::uint64_t table_offset = 0;
  std::uint32_t table_entries = 0;
  std::uint32_t entry_size = 4;
  std::int32_t stride = 0;
};

[[noreturn]] void Bad(const std::string& why) { RaiseInvalidPicture(why); }

DibLayout ReadLayout(const LeBytes& in, std::uint64_t base) {
  DibLayout d;
  std::uint32_t header_size = 0;
  if (!in.U32(base, &header_size)) Bad("bitmap header is truncated");
  std::uint32_t clr_used = 0;
  std::int64_t height = 0;
  std::uint64_t header_end = 0;
  if (header_size == kCoreHeaderSize) {
    if (!in.Has(base, kCoreHeaderSize)) Bad("bitmap header is truncated");
    d.width = in.U16At(base + 4);
    height = in.U16At(base + 6);
    d.bpp = in.U16At(base + 10);
    d.entry_size = 3;
    header_end = base + kCoreHeaderSize;
    if (d.bpp != 1 && d.bpp != 4 && d.bpp != 8 && d.bpp != 24) {
      Bad("unsupported depth of " + std::to_string(d.bpp) + " bits per pixel");
    }
  } else if (header_size == 40 || header_size == 52 || header_size == 56 || header_size == 108 ||
             header_size == 124) {
    if (!in.Has(base, header_size)) Bad("bitmap header is truncated");
    d.width = static_cast<std::int32_t>(in.U32At(base + 4));
    height = static_cast<std::int32_t>(in.U32At(base + 8));
    d.bpp = in.U16At(base + 14);
    d.compression = in.U32At(base + 16);
    clr_used = in.U32At(base + 32);
    header_end = base + header_size;
    if (d.compression == kBiBitfields || d.compression == kBiAlphaBitfields) {
      // Masks sit inside the larger headers and follow the 40-byte one.
      const std::uint64_t masks_at = base + kInfoHeaderSize;
      if (header_size == kInfoHeaderSize) {
        header_end += d.compression == kBiAlphaBitfields ? 16 : 12;
      }
      if (!in.Has(masks_at, 12)) Bad("bit field masks are truncated");
      for (int c = 0; c < 3; ++c) d.masks[c] = in.U32At(masks_at + 4 * c);
      // The fourth mask: inside headers of 56 bytes and more, after the other
      // three for alpha bit fields; a file cut before it has no alpha.
      if (header_size >= 56 || d.compression == kBiAlphaBitfields) d.alpha_mask = in.U32At(masks_at + 12);
      d.has_masks = true;
    }
  } else {
    Bad("unsupported bitmap header size " + std::to_string(header_size));
  }

  switch (d.compression) {
    case kBiRgb:
      if (d.bpp != 1 && d.bpp != 4 && d.bpp != 8 && d.bpp != 16 && d.bpp != 24 && d.bpp != 32) {
        Bad("unsupported depth of " + std::to_string(d.bpp) + " bits per pixel");
      }
      break;
    case kBiRle8:
      if (d.bpp != 8) Bad("RLE8 compression needs 8 bits per pixel");
      break;
    case kBiRle4:
      if (d.bpp != 4) Bad("RLE4 compression needs 4 bits per pixel");
      break;
    case kBiBitfields:
    case kBiAlphaBitfields:
      if (d.bpp != 16 && d.bpp != 32) Bad("bit fields need 16 or 32 bits per pixel");
      break;
    default:
      Bad("unsupported compression " + std::to_string(d.compression));
  }

  if (d.width <= 0) Bad("width " + std::to_string(d.width) + " is not positive");
  if (height == 0 || height == INT32_MIN) Bad("height " + std::to_string(height) + " is not usable");
  d.top_down = height < 0;
  d.height = static_cast<std::int32_t>(d.top_down ? -height : height);
  if (d.top_down && (d.compression == kBiRle8 || d.compression == kBiRle4)) {
    Bad("compressed bitmaps cannot be stored top-down");
  }
  CheckPictureSize(d.width, d.height);
  const std::int64_t stride = DibStride(d.width, d.bpp);
  if (stride < 0 || stride * d.height > 0x7FFFFFFF) Bad("pixel data would exceed 2 GiB");
  d.stride = static_cast<std::int32_t>(stride);

  d.table_offset = header_end;
  if (d.bpp <= 8) {
    const std::uint32_t full = 1u << d.bpp;
    if (clr_used > full) Bad("colour table of " + std::to_string(clr_used) + " entries is too long");
    d.table_entries = clr_used == 0 ? full : clr_used;
  } else if (clr_used > 0) {
    // A table beside direct colours only suggests a palette; it is skipped,
    // but packed bitmaps need its length to find their pixels.
    if (clr_used > 65536) Bad("colour table of " + std::to_string(clr_used) + " entries is too long");
    d.table_entries = clr_used;
  }
  if (!in.Has(d.table_offset, std::uint64_t{d.table_entries} * d.entry_size)) Bad("colour table is truncated");
  return d;
}

std::array<RGBQuad, 256> ReadTable(const LeBytes& in, const DibLayout& d) {
  std::array<RGBQuad, 256> table{};
  if (d.bpp > 8) return table;
  const std::span<const std::uint8_t> raw = in.Sub(d.table_offset, std::uint64_t{d.table_entries} * d.entry_size);
  for (std::uint32_t i = 0; i < d.table_entries; ++i) {
    const std::uint8_t* e = raw.data() + std::size_t{i} * d.entry_size;
    table[i] = RGBQuad{e[0], e[1], e[2], 0};
  }
  return table;
}

// One colour channel of a bit-field pixel, widened to 8 bits.
struct Channel {
  std::uint32_t mask = 0;
  int shift = 0;
  int bits = 0;
  std::array<std::uint8_t, 256> widen{};

  explicit Channel(std::uint32_t m) : mask(m) {
    if (mask == 0) return;  // a missing channel reads 0
    shift = std::countr_zero(mask);
    const std::uint32_t field = mask >> shift;
    if ((field & (field + 1)) != 0) Bad("bit field masks must be contiguous");
    bits = std::popcount(field);
    if (bits <= 8) {
      for (std::uint32_t v = 0; v <= field; ++v) {
        std::uint32_t out = 0;
        int filled = 0;
        while (filled < 8) {
          out = (out << bits) | v;
          filled += bits;
        }
        widen[v] = static_cast<std::uint8_t>(out >> (filled - 8));
      }
    }
  }
  std::uint8_t Get(std::uint32_t pixel) const {
    const std::uint32_t v = (pixel & mask) >> shift;
    return bits > 8 ? static_cast<std::uint8_t>(v >> (bits - 8)) : widen[v];
  }
};

bool SameMasks(const std::uint32_t (&a)[3], const std::uint32_t (&b)[3]) {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

void ConvertBitfieldRow(const std::uint8_t* src, std::uint8_t* dst, std::int32_t width, int src_bpp, int dst_bpp,
                        const Channel& r, const Channel& g, const Channel& b) {
  const int step = dst_bpp / 8;
  for (std::int32_t x = 0; x < width; ++x) {
    std::uint32_t p;
    if (src_bpp == 16) {
      p = static_cast<std::uint32_t>(src[2 * x] | (src[2 * x + 1] << 8));
    } else {
      std::memcpy(&p, src + 4 * x, 4);
      if constexpr (std::endian::native == std::endian::big) p = __builtin_bswap32(p);
    }
    std::uint8_t* o = dst + step * x;
    o[0] = b.Get(p);
    o[1] = g.Get(p);
    o[2] = r.Get(p);
    if (step == 4) o[3] = 0;
  }
}

// Blue, green, red kept; the fourth byte of each pixel cleared.
void ClearFourthBytes(std::uint8_t* row, std::int32_t width) {
  for (std::int32_t x = 0; x < width; ++x) row[4 * x + 3] = 0;
}

void DecodeRle(std::span<const std::uint8_t> data, const DibLayout& d, std::uint8_t* bits) {
  const std::int32_t w = d.width;
  const std::int32_t h = d.height;
  const int bpp = d.bpp;
  std::size_t i = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;  // memory row: RLE streams run bottom-up
  auto need = [&](std::size_t n) {
    if (data.size() - i < n) Bad("RLE data ends before the end-of-bitmap code");
  };
  auto put = [&](std::uint32_t index) {
    if (x < w) StoreIndex(bits + static_cast<std::size_t>(y) * d.stride, x, bpp, index);
    if (x < w) ++x;  // pixels past the row's end are dropped
  };
  while (y < h) {
    need(2);
    const std::uint8_t count = data[i];
    const std::uint8_t value = data[i + 1];
    i += 2;
    if (count > 0) {
      for (int k = 0; k < count && x < w; ++k) {
        put(bpp == 8 ? value : (k & 1) ? (value & 0x0F) : (value >> 4));
      }
      continue;
    }
    switch (value) {
      case 0:  // end of line
        x = 0;
        ++y;
        break;
      case 1:  // end of bitmap
        return;
      case 2:  // delta: move right and up
        need(2);
        x = std::min<std::int32_t>(w, x + data[i]);
        y += data[i + 1];
        i += 2;
        break;
      default: {  // absolute run, padded to a 16-bit boundary
        const int n = value;
        const std::size_t bytes = bpp == 8 ? static_cast<std::size_t>(n) : static_cast<std::size_t>(n + 1) / 2;
        need(bytes);
        for (int k = 0; k < n && x < w; ++k) {
          const std::uint8_t byte = data[i + (bpp == 8 ? k : k / 2)];
          put(bpp == 8 ? byte : (k & 1) ? (byte & 0x0F) : (byte >> 4));
        }
        i += std::min(bytes + (bytes & 1), data.size() - i);
        break;
      }
    }
  }
}

HBITMAP DecodeDib(const LeBytes& in, std::uint64_t header_offset, bool has_file_header, bool* alpha = nullptr) {
  const DibLayout d = ReadLayout(in, header_offset);
  std::uint64_t pixels = d.table_offset + std::uint64_t{d.table_entries} * d.entry_size;
  if (has_file_header) {
    const std::uint32_t declared = in.U32At(10);
    // Some writers leave the offset 0; the pixels then follow the table.
    if (declared != 0) {
      if (declared < d.table_offset) Bad("pixel data offset " + std::to_string(declared) + " points into the header");
      pixels = declared;
    }
  }
  if (pixels > in.size()) Bad("pixel data offset lies beyond the end of the file");

  const bool rle = d.compression == kBiRle8 || d.compression == kBiRle4;
  int out_bpp = d.bpp;
  bool convert = false;
  if (d.has_masks) {
    if (d.bpp == 16 && !SameMasks(d.masks, kMask555)) {
      out_bpp = 24;
      convert = true;
    } else if (d.bpp == 32 && !SameMasks(d.masks, kMask888)) {
      convert = true;
    }
  }

  const std::int32_t row_bytes = static_cast<std::int32_t>((std::int64_t{d.bpp} * d.width + 7) / 8);
  if (!rle) {
    // The final row may lack its padding.
    const std::uint64_t need = std::uint64_t(d.height - 1) * static_cast<std::uint64_t>(d.stride) + row_bytes;
    if (!in.Has(pixels, need)) Bad("pixel data is truncated");
  }

  const std::array<RGBQuad, 256> table = ReadTable(in, d);
  const detail::NewSurface out =
      detail::NewPictureSurface(d.width, d.height, out_bpp, d.bpp <= 8 ? std::span<const RGBQuad>(table) : std::span<const RGBQuad>());
  detail::BitmapGuard guard(out.handle);

  if (rle) {
    DecodeRle(in.From(pixels), d, out.bits);
    return guard.Release();
  }
  const Channel red(d.masks[0]), green(d.masks[1]), blue(d.masks[2]);
  // Alpha only when asked for and the file says where it is.
  const bool keep_alpha = alpha != nullptr && d.bpp == 32 && d.alpha_mask != 0;
  if (alpha != nullptr) *alpha = keep_alpha;
  const Channel opacity(keep_alpha ? d.alpha_mask : 0);
  const std::span<const std::uint8_t> src_all = in.From(pixels);
  for (std::int32_t r = 0; r < d.height; ++r) {
    const std::int32_t file_row = d.top_down ? d.height - 1 - r : r;
    const std::size_t at = static_cast<std::size_t>(file_row) * static_cast<std::size_t>(d.stride);
    const std::uint8_t* src = src_all.data() + at;
    std::uint8_t* dst = out.bits + static_cast<std::size_t>(r) * out.stride;
    if (convert) {
      ConvertBitfieldRow(src, dst, d.width, d.bpp, out_bpp, red, green, blue);
    } else {
      std::memcpy(dst, src, std::min<std::size_t>(static_cast<std::size_t>(d.stride), src_all.size() - at));
      if (d.bpp == 32) ClearFourthBytes(dst, d.width);
    }
    if (keep_alpha) {
      for (std::int32_t x = 0; x < d.width; ++x) {
        std::uint32_t p;
        std::memcpy(&p, src + 4 * x, 4);
        dst[4 * x + 3] = opacity.Get(p);
      }
    }
  }
  return guard.Release();
}

}  // namespace

bool HasBitmapFileSignature(std::span<const std::uint8_t> file) {
  return file.size() >= 2 && file[0] == 'B' && file[1] == 'M';
}

HBITMAP DecodeBitmapFile(std::span<const std::uint8_t> file, bool* alpha) {
  if (!HasBitmapFileSignature(file)) RaiseInvalidPicture("not a bitmap file: no \"BM\" signature");
  const LeBytes in(file);
  if (!in.Has(0, kFileHeaderSize)) Bad("bitmap file header is truncated");
  return DecodeDib(in, kFileHeaderSize, true, alpha);
}

HBITMAP DecodePackedDib(std::span<const std::uint8_t> dib) { return DecodeDib(LeBytes(dib), 0, false); }

HBITMAP LoadImageFromFile(std::string_view path) noexcept {
  try {
    const std::vector<std::uint8_t> file =
        ReadFileBytes(path, static_cast<std::size_t>(std::max<std::int64_t>(0, GetLimits().max_file_bytes)));
    return DecodeBitmapFile(file);
  } catch (...) {
    return 0;
  }
}

}  // namespace zoetra::platform

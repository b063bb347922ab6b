// cDIB imports: picture objects, bitmap files, module resources, the clipboard.
//
// Which failures leave the raster untouched: an absent or non-bitmap picture,
// a zero-length file, a clipboard that cannot be opened or holds no bitmap
// block or cannot be locked. Every other failure leaves it empty (or, past a
// successful Create, all zero).
//
// Clipboard blocks are accepted only in the plain shape the export writes: a
// 40-byte header with positive width and height, no compression, a depth of
// 1, 4, 8, 16, 24 or 32, a colour table of exactly 2^depth entries for the
// indexed depths (colours-used 0 or 2^depth) and none otherwise, and at least
// header + table + Size bytes. Anything else (shorter tables, masks, RLE,
// top-down rows, short blocks) is refused with the raster left empty, and
// nothing beyond the block is ever read.
#include <cstring>

#include "platform/codecs/bmp_reader.hpp"
#include "platform/drawing/clipboard.hpp"
#include "platform/base/files.hpp"
#include "platform/codecs/module_resources.hpp"
#include "raster/cdib.hpp"

namespace zoetra {

using namespace platform;

namespace {

constexpr std::size_t kHeaderSize = 40;

std::uint32_t TableEntries(std::int32_t bpp) { return bpp <= 8 ? (1u << bpp) : 0; }

// Closes the clipboard on every path once it is open.
struct ClipboardSession {
  ~ClipboardSession() { CloseClipboard(); }
};

struct BlockLock {
  explicit BlockLock(HGLOBAL block) : block_(block), bytes_(GlobalLock(block)) {}
  ~BlockLock() {
    if (bytes_ != nullptr) GlobalUnlock(block_);
  }
  const std::uint8_t* bytes() const { return bytes_; }

 private:
  HGLOBAL block_;
  std::uint8_t* bytes_;
};

// The header of a block in the accepted shape, or false.
bool ReadClipboardHeader(const std::uint8_t* block, std::size_t size, BitmapInfoHeader* out) {
  if (size < kHeaderSize) return false;
  BitmapInfoHeader h;
  std::memcpy(&h, block, kHeaderSize);
  if (h.size != kHeaderSize || h.width <= 0 || h.height <= 0 || h.compression != 0) return false;
  const int bpp = h.bit_count;
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return false;
  const std::uint64_t entries = TableEntries(bpp);
  if (h.clr_used != 0 && h.clr_used != entries) return false;
  const std::int64_t stride = DibStride(h.width, bpp);
  if (stride < 0) return false;
  const std::uint64_t need = kHeaderSize + entries * 4 + static_cast<std::uint64_t>(stride) * std::uint64_t(h.height);
  if (need > size) return false;
  *out = h;
  return true;
}

}  // namespace

std::int32_t cDIB::CreateFromStdPicture(const Picture& Image, bool Force32bpp) {
  if (!Image) return 0;
  const HBITMAP picture_bitmap = Image->handle();
  if (GetObjectType(picture_bitmap) != kObjBitmap) return 0;
  BitmapDesc desc{};
  if (!GetBitmapDesc(picture_bitmap, &desc)) return 0;
  if (!Create(desc.width, desc.height, Force32bpp ? 32 : desc.bits_pixel)) return 0;

  const HDC temp = CreateCompatibleDC(hdc_);
  if (temp == 0) return 0;
  const HGDIOBJ replaced = SelectObject(temp, picture_bitmap);
  if (replaced == 0) {  // the bitmap is held by another context
    DeleteDC(temp);
    return 0;
  }
  if (Force32bpp || BPP() > 8) {
    // The transfer converts every pixel to the raster's format.
    BitBlt(hdc_, 0, 0, Width(), Height(), temp, 0, 0, kSrcCopy);
  } else {
    // Same indexed depth: the table first, then the rows as they are.
    RGBQuad table[256] = {};
    const std::uint32_t n = TableEntries(BPP());
    GetDIBColorTable(temp, 0, n, table);
    SetDIBColorTable(hdc_, 0, n, table);
    GetDIBits(temp, picture_bitmap, 0, static_cast<std::uint32_t>(Height()), bits_, header_.size_image, header_,
              table);
  }
  SelectObject(temp, replaced);
  DeleteDC(temp);
  return BPP();
}

std::int32_t cDIB::TakeStdPicture(platform::Picture&& Image) {
  BitmapDesc desc{};
  // A copy of 32 bits to 32 bits is row for row the same bytes.
  if (Image && Image.use_count() == 1 && Image->Type() == platform::PictureType::Bitmap &&
      GetObjectType(Image->handle()) == kObjBitmap && GetBitmapDesc(Image->handle(), &desc) &&
      desc.bits_pixel == 32) {
    if (const HBITMAP bitmap = Image->TakeBitmap(); bitmap != 0) {
      Image.reset();
      return AdoptBitmap(bitmap);
    }
  }
  const std::int32_t bpp = CreateFromStdPicture(Image, true);
  Image.reset();
  return bpp;
}

std::int32_t cDIB::CreateFromBitmapFile(std::string_view Filename) {
  if (FileLen(Filename) == 0) return 0;
  Destroy();
  return AdoptBitmap(LoadImageFromFile(Filename));
}

std::int32_t cDIB::CreateFromResourceBitmap(std::string_view Filename, std::int32_t ResID) {
  if (FileLen(Filename) == 0) return 0;
  Destroy();
  // The module is read as data; none of its code is loaded.
  return AdoptBitmap(LoadResourceBitmap(Filename, ResID));
}

std::int32_t cDIB::CreateFromClipboard() {
  if (!OpenClipboard(0)) return 0;
  const ClipboardSession session;
  const HGLOBAL block = GetClipboardData(kCfDib);
  if (block == 0) return 0;
  const BlockLock lock(block);
  if (lock.bytes() == nullptr) return 0;

  BitmapInfoHeader h{};
  if (!ReadClipboardHeader(lock.bytes(), GlobalSize(block), &h)) {
    Destroy();
    return 0;
  }
  if (!Create(h.width, h.height, h.bit_count)) return 0;
  std::size_t offset = kHeaderSize;
  if (const std::uint32_t entries = TableEntries(BPP())) {
    RGBQuad table[256];
    std::memcpy(table, lock.bytes() + offset, entries * sizeof(RGBQuad));
    SetDIBColorTable(hdc_, 0, entries, table);
    offset += entries * sizeof(RGBQuad);
  }
  std::memcpy(bits_, lock.bytes() + offset, header_.size_image);
  return BPP();
}

std::int32_t cDIB::CreateFromPixels(const std::uint8_t* Pixels, std::int32_t PixWidth, std::int32_t PixHeight,
                                    std::size_t Stride, PixelLayout Layout, bool KeepAlpha) {
  const std::size_t channels = PixelBytes(Layout);
  if (Pixels == nullptr || PixWidth <= 0 || PixHeight <= 0 ||
      Stride / channels < static_cast<std::size_t>(PixWidth)) {
    return 0;
  }
  if (!Create(PixWidth, PixHeight, 32)) return 0;
  const std::size_t width = static_cast<std::size_t>(PixWidth);
  const std::size_t out_stride = static_cast<std::size_t>(BytesPerScanline());
  for (std::int32_t y = 0; y < PixHeight; ++y) {
    const std::uint8_t* in = Pixels + static_cast<std::size_t>(y) * Stride;
    std::uint8_t* out = bits_ + static_cast<std::size_t>(PixHeight - 1 - y) * out_stride;
    switch (Layout) {
      case PixelLayout::BGRA:
        for (std::size_t x = 0; x < width; ++x, in += 4, out += 4) {
          out[0] = in[0];
          out[1] = in[1];
          out[2] = in[2];
          out[3] = KeepAlpha ? in[3] : 0;
        }
        break;
      case PixelLayout::RGB:
      case PixelLayout::RGBA:
        for (std::size_t x = 0; x < width; ++x, in += channels, out += 4) {
          out[0] = in[2];
          out[1] = in[1];
          out[2] = in[0];
          out[3] = !KeepAlpha ? 0 : (channels == 4 ? in[3] : 255);
        }
        break;
    }
  }
  return 32;
}

}  // namespace zoetra

// cDIB: the system's only raster type, a device-independent bitmap with 1-, 4-,
// 8-, 16-, 24- and 32-bit layouts whose pixel memory callers address directly.
//
// Layout: rows of BytesPerScanline() = ((BPP * Width + 31) \ 32) * 4 bytes,
// stored bottom-up (memory row 0 is drawn at the bottom); memory row r starts
// at lpBits() + r * BytesPerScanline(). A 32-bit pixel is blue, green, red, 0.
// Rasters of 8 bits or fewer carry a colour table of 2^BPP entries.
//
// The raster owns a memory device context with its DIB section selected, so the
// drawing layer's transfers can read and write it (device point (x, y) is pixel
// x of memory row Height - 1 - y). An empty raster (hDIB() == 0) reports 0 for
// every property, and operations on it do nothing and return 0 or false.
//
// Throws zoetra::Error: overflow (6) from size arithmetic; file-not-found (53)
// from the file imports. Platform failures are reported as false or 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "platform/base/export.hpp"
#include "platform/drawing/gdi.hpp"
#include "platform/codecs/picture.hpp"
#include "raster/pixel_layout.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra {

class cDIB {
 public:
  cDIB() = default;
  ~cDIB();
  cDIB(const cDIB&) = delete;
  cDIB& operator=(const cDIB&) = delete;

  // --- model (raster/cdib.cpp) ---
  bool Create(std::int32_t NewWidth, std::int32_t NewHeight, std::int32_t NewBPP);
  void Destroy();
  void Reset();
  void Cls(std::uint32_t ColorRef);
  // Trades pixels, header and context with `other` (a raster made elsewhere
  // taken over without a copy).
  void Exchange(cDIB& other) noexcept;
  void SetPalette(std::span<const std::uint8_t> Palette);
  void GetPalette(std::span<std::uint8_t> Palette) const;

  platform::HDC hDC() const { return hdc_; }
  platform::HBITMAP hDIB() const { return hdib_; }
  std::uint8_t* lpBits() const { return bits_; }
  std::int32_t Width() const { return header_.width; }
  std::int32_t Height() const { return header_.height; }
  std::int32_t BPP() const { return header_.bit_count; }
  std::int32_t BytesPerScanline() const;  // recomputed on every read; overflow raises 6
  std::int32_t Size() const { return static_cast<std::int32_t>(header_.size_image); }
  const platform::BitmapInfoHeader& Header() const { return header_; }

  // --- import (raster/cdib_import.cpp) ---
  std::int32_t CreateFromStdPicture(const platform::Picture& Image, bool Force32bpp);
  // As CreateFromStdPicture(Image, true), but a 32-bit bitmap that only
  // `Image` holds becomes the raster itself instead of being copied.
  std::int32_t TakeStdPicture(platform::Picture&& Image);
  std::int32_t CreateFromBitmapFile(std::string_view Filename);
  std::int32_t CreateFromResourceBitmap(std::string_view Filename, std::int32_t ResID);
  std::int32_t CreateFromClipboard();
  std::int32_t CloneTo(cDIB& oDIB) const;
  // A 32-bit raster from 8-bit pixels in memory, `stride` bytes from one row to
  // the next, rows top to bottom (the raster keeps its bottom-up rows, so the
  // result equals the same picture loaded from a file). Alpha is dropped, as
  // the file loaders drop it, unless KeepAlpha asks for it in the fourth byte
  // (255 for RGB). Returns 32, or 0 (raster empty) when the sizes are not
  // positive, the stride is shorter than a row, or memory is short.
  std::int32_t CreateFromPixels(const std::uint8_t* Pixels, std::int32_t PixWidth, std::int32_t PixHeight,
                                std::size_t Stride, PixelLayout Layout, bool KeepAlpha = false);
  // For a 32-bit raster with alpha in the fourth byte: every pixel blended
  // over `Background` (0x00RRGGBB), the fourth byte set back to 0.
  void BlendOver(std::uint32_t Background);

  // --- transforms (raster/cdib_transform.cpp) ---
  void Orientation(bool Rotate90, bool FlipH, bool FlipV);
  // Exchanges red and green; the fourth byte becomes 0 unless `KeepAlpha`
  // (32 bits only: other depths have none to keep).
  void SwapRG(bool KeepAlpha = false);
  bool SwapRGB_old();
  bool FlipDIB_old();

  // --- transfers (raster/cdib_transfer.cpp) ---
  std::int32_t LoadBlt(platform::HDC hSrcDC, std::int32_t x = 0, std::int32_t y = 0, std::int32_t nWidth = 0,
                       std::int32_t nHeight = 0);
  std::int32_t Paint(platform::HDC hDC, std::int32_t x = 0, std::int32_t y = 0,
                     std::int32_t ROP = static_cast<std::int32_t>(platform::kSrcCopy),
                     std::int32_t StretchBltMode = platform::kColorOnColor);
  std::int32_t Stretch(platform::HDC hDC, std::int32_t x, std::int32_t y, std::int32_t nWidth, std::int32_t nHeight,
                       std::int32_t xSrc = 0, std::int32_t ySrc = 0, std::int32_t nSrcWidth = 0,
                       std::int32_t nSrcHeight = 0, std::int32_t ROP = static_cast<std::int32_t>(platform::kSrcCopy),
                       std::int32_t StretchBltMode = platform::kColorOnColor);
  static void GetBestFitInfo(std::int32_t SrcW, std::int32_t SrcH, std::int32_t DstW, std::int32_t DstH,
                             std::int32_t& bfx, std::int32_t& bfy, std::int32_t& bfW, std::int32_t& bfH,
                             bool StretchFit = false);

  // --- export (raster/cdib_export.cpp) ---
  bool Save(std::string_view Filename) const;
  platform::HGLOBAL CopyToClipboard() const;
  platform::Picture Image() const;

 private:
  // Adopts a bitmap made elsewhere (file and resource imports): selects it into
  // a new memory context and fills the header as Create would. Returns BPP; on
  // failure (including bitmap 0) the bitmap is deleted, the raster left empty and 0 returned.
  std::int32_t AdoptBitmap(platform::HBITMAP bitmap);

  platform::BitmapInfoHeader header_{};
  platform::HDC hdc_ = 0;
  platform::HBITMAP hdib_ = 0;
  platform::HGDIOBJ previous_ = 0;
  std::uint8_t* bits_ = nullptr;
  std::vector<std::uint8_t> work1_;  // SwapRGB_old / FlipDIB_old buffers, kept until the object ends
  std::vector<std::uint8_t> work2_;
};

}  // namespace zoetra

ZOETRA_PUBLIC_END

#include "raster/cdib.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/base/arith.hpp"

namespace zoetra {

using namespace platform;

namespace {
// The drawing layer's row stride; a row longer than 32 bits can count raises
// overflow (6). Sizes that are not positive give 0: the drawing layer refuses
// them when the raster is made.
std::int32_t Stride(std::int32_t bpp, std::int32_t width) {
  if (bpp <= 0 || width <= 0) return 0;
  const std::int64_t stride = DibStride(width, bpp);
  if (stride < 0) RaiseOverflow();
  return static_cast<std::int32_t>(stride);
}
}  // namespace

cDIB::~cDIB() { Destroy(); }

std::int32_t cDIB::BytesPerScanline() const { return Stride(header_.bit_count, header_.width); }

bool cDIB::Create(std::int32_t NewWidth, std::int32_t NewHeight, std::int32_t NewBPP) {
  Destroy();
  BitmapInfoHeader h{};
  h.size = 40;
  h.planes = 1;
  h.bit_count = Narrow<std::int16_t>(NewBPP);
  h.width = NewWidth;
  h.height = NewHeight;
  h.size_image = static_cast<std::uint32_t>(Mul32(Stride(NewBPP, NewWidth), NewHeight));

  const HDC dc = CreateCompatibleDC(0);
  if (dc == 0) return false;
  std::uint8_t* bits = nullptr;
  const HBITMAP bitmap = CreateDIBSection(dc, h, {}, &bits);
  if (bitmap == 0) {
    DeleteDC(dc);
    return false;
  }
  header_ = h;
  hdc_ = dc;
  hdib_ = bitmap;
  bits_ = bits;
  previous_ = SelectObject(dc, bitmap);
  return true;
}

void cDIB::Exchange(cDIB& other) noexcept {
  std::swap(header_, other.header_);
  std::swap(hdc_, other.hdc_);
  std::swap(hdib_, other.hdib_);
  std::swap(previous_, other.previous_);
  std::swap(bits_, other.bits_);
}

std::int32_t cDIB::AdoptBitmap(HBITMAP bitmap) {
  Destroy();
  BitmapDesc desc{};
  const HDC dc = GetBitmapDesc(bitmap, &desc) ? CreateCompatibleDC(0) : 0;
  const HGDIOBJ previous = dc != 0 ? SelectObject(dc, bitmap) : 0;
  if (previous == 0) {
    if (dc != 0) DeleteDC(dc);
    if (bitmap != 0) DeleteObject(bitmap);
    return 0;
  }
  BitmapInfoHeader h{};
  h.size = 40;
  h.planes = 1;
  h.width = desc.width;
  h.height = desc.height;
  h.bit_count = static_cast<std::int16_t>(desc.bits_pixel);
  h.size_image = static_cast<std::uint32_t>(Mul32(Stride(h.bit_count, h.width), h.height));
  header_ = h;
  hdc_ = dc;
  hdib_ = bitmap;
  previous_ = previous;
  bits_ = desc.bits;
  return BPP();
}

void cDIB::Destroy() {
  if (hdc_ != 0) {
    if (hdib_ != 0) {
      SelectObject(hdc_, previous_);
      DeleteObject(hdib_);
    }
    DeleteDC(hdc_);
  }
  header_ = BitmapInfoHeader{};
  hdc_ = 0;
  hdib_ = 0;
  previous_ = 0;
  bits_ = nullptr;
}

void cDIB::Reset() {
  if (hdib_ == 0) return;
  std::memset(bits_, 0, header_.size_image);
}

void cDIB::Cls(std::uint32_t ColorRef) {
  if (hdib_ == 0) return;
  Rect r{};
  SetRect(&r, 0, 0, header_.width, header_.height);
  const HBRUSH brush = CreateSolidBrush(ColorRef);
  FillRect(hdc_, r, brush);
  DeleteObject(brush);
}

void cDIB::SetPalette(std::span<const std::uint8_t> Palette) {
  if (hdib_ == 0) return;
  const std::uint32_t n = static_cast<std::uint32_t>(Palette.size() / 4);
  if (n == 0) return;
  SetDIBColorTable(hdc_, 0, n, reinterpret_cast<const RGBQuad*>(Palette.data()));
}

void cDIB::GetPalette(std::span<std::uint8_t> Palette) const {
  if (hdib_ == 0 || header_.bit_count > 8) return;
  const std::uint32_t n = std::min<std::uint32_t>(1u << header_.bit_count,
                                                   static_cast<std::uint32_t>(Palette.size() / 4));
  GetDIBColorTable(hdc_, 0, n, reinterpret_cast<RGBQuad*>(Palette.data()));
}

std::int32_t cDIB::CloneTo(cDIB& oDIB) const {
  if (hdib_ == 0) return 0;
  if (&oDIB == this) return BPP();
  if (!oDIB.Create(Width(), Height(), BPP())) {
    // Nothing to copy into: report failure instead of writing through a missing buffer.
    return 0;
  }
  if (BPP() <= 8) {
    std::vector<std::uint8_t> table(static_cast<std::size_t>(4) << BPP());
    GetPalette(table);
    oDIB.SetPalette(table);
  }
  std::memcpy(oDIB.lpBits(), bits_, header_.size_image);
  return oDIB.BPP();
}

}  // namespace zoetra

// cDIB exports: bitmap files, the clipboard, picture objects.
//
// Save writes through an atomic file: the target is replaced only by a
// complete file, so a failed save leaves an existing file as it was and no
// partial file behind.
#include <cstring>
#include <vector>

#include "platform/base/arith.hpp"
#include "platform/drawing/clipboard.hpp"
#include "platform/base/files.hpp"
#include "raster/cdib.hpp"

namespace zoetra {

using namespace platform;

namespace {

constexpr std::int32_t kFileHeaderSize = 14;
constexpr std::int32_t kInfoHeaderSize = 40;
constexpr std::uint8_t kSignature[2] = {'B', 'M'};

void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The 40-byte header, little-endian, field by field.
void PutInfoHeader(std::uint8_t* p, const BitmapInfoHeader& h) {
  Put32(p + 0, h.size);
  Put32(p + 4, static_cast<std::uint32_t>(h.width));
  Put32(p + 8, static_cast<std::uint32_t>(h.height));
  Put16(p + 12, h.planes);
  Put16(p + 14, static_cast<std::uint16_t>(h.bit_count));
  Put32(p + 16, h.compression);
  Put32(p + 20, h.size_image);
  Put32(p + 24, static_cast<std::uint32_t>(h.x_pels_per_meter));
  Put32(p + 28, static_cast<std::uint32_t>(h.y_pels_per_meter));
  Put32(p + 32, h.clr_used);
  Put32(p + 36, h.clr_important);
}

}  // namespace

bool cDIB::Save(std::string_view Filename) const {
  if (hdib_ == 0) return false;
  const std::int32_t table_bytes = BPP() <= 8 ? Mul32(4, std::int32_t{1} << BPP()) : 0;
  const std::int32_t pixel_offset = Add32(kFileHeaderSize + kInfoHeaderSize, table_bytes);
  const std::int32_t file_size = Add32(pixel_offset, Size());

  std::uint8_t headers[kFileHeaderSize + kInfoHeaderSize] = {};
  std::memcpy(headers, kSignature, 2);
  Put32(headers + 2, static_cast<std::uint32_t>(file_size));
  Put32(headers + 10, static_cast<std::uint32_t>(pixel_offset));
  PutInfoHeader(headers + kFileHeaderSize, header_);
  std::vector<std::uint8_t> table(static_cast<std::size_t>(table_bytes));
  GetPalette(table);

  AtomicFile file;
  if (!file.Open(Filename)) return false;
  if (!file.Write(headers, sizeof headers)) return false;
  if (!table.empty() && !file.Write(table)) return false;
  if (!file.Write(bits_, header_.size_image)) return false;
  return file.Commit();
}

HGLOBAL cDIB::CopyToClipboard() const {
  if (hdib_ == 0) return 0;
  const std::int32_t table_bytes = BPP() <= 8 ? Mul32(4, std::int32_t{1} << BPP()) : 0;
  const std::int32_t total = Add32(Add32(kInfoHeaderSize, table_bytes), Size());

  if (!OpenClipboard(0)) return 0;
  const HGLOBAL block = GlobalAlloc(kGMemMoveable, static_cast<std::size_t>(total));
  std::uint8_t* p = block != 0 ? GlobalLock(block) : nullptr;
  if (p == nullptr) {
    if (block != 0) GlobalFree(block);
    CloseClipboard();
    return 0;
  }
  PutInfoHeader(p, header_);
  GetPalette(std::span(p + kInfoHeaderSize, static_cast<std::size_t>(table_bytes)));
  std::memcpy(p + kInfoHeaderSize + table_bytes, bits_, header_.size_image);
  GlobalUnlock(block);
  EmptyClipboard();
  const HGLOBAL placed = SetClipboardData(kCfDib, block);
  if (placed == 0) GlobalFree(block);  // not taken, so still ours
  CloseClipboard();
  return placed;
}

Picture cDIB::Image() const {
  if (hdib_ == 0) return nullptr;
  const HDC screen = GetDC(0);
  if (screen == 0) return nullptr;
  const HDC memory = CreateCompatibleDC(screen);
  const HBITMAP bitmap = memory != 0 ? CreateCompatibleBitmap(screen, Width(), Height()) : 0;
  const HGDIOBJ replaced = bitmap != 0 ? SelectObject(memory, bitmap) : 0;
  ReleaseDC(0, screen);
  if (replaced == 0) {
    if (bitmap != 0) DeleteObject(bitmap);
    if (memory != 0) DeleteDC(memory);
    return nullptr;
  }
  // Paint only reads this raster; it is declared non-const with the other transfers.
  const_cast<cDIB*>(this)->Paint(memory, 0, 0, static_cast<std::int32_t>(kSrcCopy), kColorOnColor);
  SelectObject(memory, replaced);
  DeleteDC(memory);

  PictDesc desc;
  desc.bitmap = bitmap;
  Picture picture = OleCreatePictureIndirect(desc, true);
  if (!picture) DeleteObject(bitmap);
  return picture;
}

}  // namespace zoetra

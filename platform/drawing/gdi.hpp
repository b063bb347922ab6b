// The drawing layer: memory device contexts, DIB sections, colour tables,
// transfers, brushes, logical palettes, global memory blocks.
//
// Handles are opaque 32-bit values checked on every call: a zero, unknown,
// deleted or wrong-kind handle makes the call fail the way the host's would
// (0, false or kClrInvalid), never undefined behaviour. All calls are safe from
// any thread; a surface is meant to be used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/base/export.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra::platform {

using Handle = std::uint32_t;
using HDC = Handle;
using HGDIOBJ = Handle;
using HBITMAP = Handle;
using HBRUSH = Handle;
using HPALETTE = Handle;
using HGLOBAL = Handle;
using HICON = Handle;
using HMETAFILE = Handle;
using ColorRef = std::uint32_t;  // 0x00BBGGRR

inline constexpr ColorRef kClrInvalid = 0xFFFFFFFFu;

// Object types reported by GetObjectType.
inline constexpr int kObjBrush = 2;
inline constexpr int kObjDC = 3;
inline constexpr int kObjPal = 5;
inline constexpr int kObjBitmap = 7;
inline constexpr int kObjMetafile = 9;
inline constexpr int kObjMemDC = 10;
inline constexpr int kObjEnhMetafile = 12;
inline constexpr int kObjIcon = 0;  // icons are not drawing-layer objects

// Raster operations and the stretch mode the system uses.
inline constexpr std::uint32_t kSrcCopy = 0xCC0020;
inline constexpr std::uint32_t kSrcAnd = 0x8800C6;
inline constexpr std::uint32_t kSrcPaint = 0xEE0086;
inline constexpr int kColorOnColor = 3;
inline constexpr std::uint32_t kDibRgbColors = 0;

#pragma pack(push, 1)
struct RGBQuad {
  std::uint8_t blue, green, red, reserved;
};
struct PaletteEntry {
  std::uint8_t red, green, blue, flags;
};
// The published 40-byte bitmap information header, little-endian.
struct BitmapInfoHeader {
  std::uint32_t size;
  std::int32_t width;
  std::int32_t height;
  std::uint16_t planes;
  std::int16_t bit_count;
  std::uint32_t compression;
  std::uint32_t size_image;
  std::int32_t x_pels_per_meter;
  std::int32_t y_pels_per_meter;
  std::uint32_t clr_used;
  std::uint32_t clr_important;
};
#pragma pack(pop)
static_assert(sizeof(RGBQuad) == 4 && sizeof(PaletteEntry) == 4 && sizeof(BitmapInfoHeader) == 40);

struct BitmapDesc {  // what GetObject reports for a bitmap
  std::int32_t width;
  std::int32_t height;
  std::int32_t width_bytes;
  std::uint16_t planes;
  std::uint16_t bits_pixel;
  std::uint8_t* bits;
};

struct Rect {
  std::int32_t left, top, right, bottom;
};

// Logical palette description: version 0x300, up to 256 entries.
struct LogPalette {
  std::uint16_t version;
  std::uint16_t num_entries;
  PaletteEntry entries[256];
};

// --- device contexts and objects -------------------------------------------
HDC GetDC(Handle window);                // the screen's context (window 0 only)
int ReleaseDC(Handle window, HDC dc);    // 1 on success
HDC CreateCompatibleDC(HDC dc);          // memory context holding a 1x1 stock bitmap
HGDIOBJ SelectObject(HDC dc, HGDIOBJ obj);  // previous object, 0 on failure
bool DeleteDC(HDC dc);
bool DeleteObject(HGDIOBJ obj);          // fails for a bitmap still selected somewhere
int GetObjectType(Handle h);             // 0 for an invalid handle
bool GetBitmapDesc(HBITMAP bitmap, BitmapDesc* desc);  // GetObject on a bitmap

// --- icons and metafiles -----------------------------------------------------
// Picture handles the layer keeps no pixels for: an icon's size, a metafile's
// kind. Both return 0 when memory is short.
HICON CreateIconHandle(std::int32_t width, std::int32_t height);
bool DestroyIcon(HICON icon);
HMETAFILE CreateMetafileHandle(bool enhanced);  // deleted by DeleteObject

// --- DIB sections and colour tables -----------------------------------------
// Creates a DIB section of 1, 4, 8, 16, 24 or 32 bits with zero-filled pixels.
// `colors` (may be empty) gives the first table entries; the rest are zero.
// Top-down (negative height) is refused. Returns 0 on failure.
HBITMAP CreateDIBSection(HDC dc, const BitmapInfoHeader& header, std::span<const RGBQuad> colors,
                         std::uint8_t** bits);
// A 32-bit surface of the given size, as the screen would make it.
HBITMAP CreateCompatibleBitmap(HDC dc, std::int32_t width, std::int32_t height);
std::uint32_t GetDIBColorTable(HDC dc, std::uint32_t start, std::uint32_t count, RGBQuad* colors);
std::uint32_t SetDIBColorTable(HDC dc, std::uint32_t start, std::uint32_t count, const RGBQuad* colors);
// Rows start..start+lines-1 of `bitmap` (memory order) converted to the layout of
// `header` (bottom-up, stride by the row formula) into `bits` (capacity bytes).
// For indexed layouts `colors` receives the bitmap's table when depths match;
// an indexed layout of another depth than the bitmap's is refused. Only whole
// rows that fit in `capacity` are written. Returns the number of rows delivered,
// 0 on failure.
int GetDIBits(HDC dc, HBITMAP bitmap, std::uint32_t start, std::uint32_t lines, std::uint8_t* bits,
              std::size_t capacity, const BitmapInfoHeader& header, RGBQuad* colors);

// --- transfers ---------------------------------------------------------------
// Device coordinates: point (x, y) of a DIB surface is pixel x of memory row
// height - 1 - y. Negative extents mirror. Pixels convert through their colours.
// Everything is clipped to both surfaces. Nonzero on success, also when nothing
// is left to draw (a zero extent, a rectangle wholly outside); 0 for a bad or
// screen context, an unknown raster operation or a lack of memory.
int BitBlt(HDC dst, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height, HDC src,
           std::int32_t x_src, std::int32_t y_src, std::uint32_t rop);
int StretchBlt(HDC dst, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height, HDC src,
               std::int32_t x_src, std::int32_t y_src, std::int32_t width_src, std::int32_t height_src,
               std::uint32_t rop);
int SetStretchBltMode(HDC dc, int mode);  // previous mode, 0 on failure
int GetStretchBltMode(HDC dc);

// --- brushes and rectangles --------------------------------------------------
HBRUSH CreateSolidBrush(ColorRef color);
bool FillRect(HDC dc, const Rect& rect, HBRUSH brush);
void SetRect(Rect* rect, std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom);

// --- logical palettes --------------------------------------------------------
HPALETTE CreatePalette(const LogPalette& palette);
// Over the palette's entries: the smallest squared distance dr^2 + dg^2 + db^2,
// lowest index on a tie. kClrInvalid for an invalid handle or an empty palette.
std::uint32_t GetNearestPaletteIndex(HPALETTE palette, ColorRef color);

// --- global memory blocks ----------------------------------------------------
inline constexpr std::uint32_t kGMemMoveable = 0x0002;
inline constexpr std::uint32_t kGMemZeroInit = 0x0040;
HGLOBAL GlobalAlloc(std::uint32_t flags, std::size_t bytes);
std::uint8_t* GlobalLock(HGLOBAL block);
bool GlobalUnlock(HGLOBAL block);
HGLOBAL GlobalFree(HGLOBAL block);  // 0 on success, the handle on failure
std::size_t GlobalSize(HGLOBAL block);

// Row stride of a DIB: ((bpp * width + 31) / 32) * 4 bytes, or -1 when it
// does not fit 32 bits (or bpp * width is negative).
inline std::int64_t DibStride(std::int64_t width, std::int64_t bpp) {
  const std::int64_t bits = bpp * width + 31;
  if (bits > 0x7FFFFFFF || bits < 0) return -1;
  return (bits / 32) * 4;
}

// Number of live objects of the drawing layer (for leak checks in tests).
std::size_t LiveObjectCount();

}  // namespace zoetra::platform

ZOETRA_PUBLIC_END

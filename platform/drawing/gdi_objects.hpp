// Internal to platform/: the objects behind drawing-layer handles, the handle
// table, and the pixel-format helpers shared by fills, transfers and loaders.
// Not part of the public interface; other subsystems use platform/drawing/gdi.hpp.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/drawing/dib_pixels.hpp"
#include "platform/drawing/gdi.hpp"

namespace zoetra::platform::detail {

enum class Kind : std::uint8_t { Bitmap, DC, Brush, Palette, Global, Icon, Metafile };

struct FreeDeleter {
  void operator()(std::uint8_t* p) const noexcept { std::free(p); }
};

// A DIB section: bottom-up rows of `stride` bytes, zero-filled on creation.
struct BitmapObject {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int16_t bpp = 0;
  std::int32_t stride = 0;
  std::size_t size = 0;
  std::unique_ptr<std::uint8_t[], FreeDeleter> memory;
  std::array<RGBQuad, 256> colors{};
  std::uint32_t color_count = 0;  // 2^bpp for indexed depths, else 0
  HDC selected_into = 0;
  bool stock = false;

  std::uint8_t* bits() const { return memory.get(); }
  std::uint8_t* row(std::int32_t r) const { return memory.get() + static_cast<std::size_t>(r) * stride; }
};

struct DCObject {
  HBITMAP bitmap = 0;  // selected bitmap (the stock bitmap for a fresh memory context)
  int stretch_mode = 1;
  bool screen = false;
};

struct BrushObject {
  ColorRef color = 0;
};

struct PaletteObject {
  std::vector<PaletteEntry> entries;
};

struct GlobalObject {
  std::vector<std::uint8_t> data;
  int lock_count = 0;
};

struct IconObject {
  std::int32_t width = 0;
  std::int32_t height = 0;
};

struct MetafileObject {
  bool enhanced = false;
};

// Handle table. Lookups return a shared reference so an object outlives a
// concurrent delete for the duration of a call.
Handle Register(Kind kind, std::shared_ptr<void> object);
bool Unregister(Handle h, Kind kind);
std::shared_ptr<void> LookupRaw(Handle h, Kind kind);

template <class T>
struct KindOf;
template <> struct KindOf<BitmapObject> { static constexpr Kind value = Kind::Bitmap; };
template <> struct KindOf<DCObject> { static constexpr Kind value = Kind::DC; };
template <> struct KindOf<BrushObject> { static constexpr Kind value = Kind::Brush; };
template <> struct KindOf<PaletteObject> { static constexpr Kind value = Kind::Palette; };
template <> struct KindOf<GlobalObject> { static constexpr Kind value = Kind::Global; };
template <> struct KindOf<IconObject> { static constexpr Kind value = Kind::Icon; };
template <> struct KindOf<MetafileObject> { static constexpr Kind value = Kind::Metafile; };

template <class T>
std::shared_ptr<T> Lookup(Handle h) {
  return std::static_pointer_cast<T>(LookupRaw(h, KindOf<T>::value));
}

// The bitmap selected into a memory context, or nullptr (invalid context,
// screen context, or the 1x1 stock bitmap).
std::shared_ptr<BitmapObject> SurfaceOf(HDC dc);

// Creates and registers a zero-filled DIB section; returns 0 when the depth or
// size is not acceptable or memory is short. `out` receives the object.
HBITMAP NewBitmap(std::int32_t width, std::int32_t height, int bpp, std::span<const RGBQuad> colors,
                  std::shared_ptr<BitmapObject>* out);


// --- pixel formats ------------------------------------------------------------

// Index of the nearest table entry (RGBQuad or PaletteEntry): smallest squared
// distance, lowest index on a tie.
template <class Entry>
std::uint32_t NearestIndex(const Entry* table, std::uint32_t count, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  std::uint32_t best = 0;
  std::int32_t best_d = 0x7FFFFFFF;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::int32_t dr = table[i].red - r;
    const std::int32_t dg = table[i].green - g;
    const std::int32_t db = table[i].blue - b;
    const std::int32_t d = dr * dr + dg * dg + db * db;
    if (d < best_d) {
      best_d = d;
      best = i;
      if (d == 0) break;
    }
  }
  return best;
}

// 5-bit channels widen as (v << 3) | (v >> 2).
inline std::uint8_t Widen5(std::uint32_t v) { return static_cast<std::uint8_t>((v << 3) | (v >> 2)); }

}  // namespace zoetra::platform::detail

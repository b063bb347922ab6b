// mDither8bpp: a 32-bit raster to an 8-bit frame with a 256-entry colour table.
//
// Palette modes: 0 colour cube (CreateHalftone(4), 216 entries), 1 optimal
// palette from the picture (CreateOptimal, 256 colours, 6 levels), 2 greys
// (CreateGreyScale(2)). Methods: 0 nearest level, 1 ordered 4x4 dither,
// 2 error diffusion (7/16 right, 5/16 below, 1/16 below right, 3/16 below left,
// scan order, no serpentine). Cube passes index the cube directly; the others
// go through ColorMap, a 16x16x16 grid of nearest palette entries built once
// per palette (4096 questions instead of one per pixel).
//
// State. Settings and tables live in a DitherState. Each thread has a default
// instance, and the functions without a state argument work on this thread's
// *current* state: the default one, or the one a ScopedDitherState made current.
// A host that re-enters a conversion on the same thread (from a message-loop
// yield between pictures) gives the inner conversion a state of its own:
//
//   mDither8bpp::DitherState mine;
//   mDither8bpp::ScopedDitherState use(mine);  // current until `use` ends
//   mDither8bpp::InitDither();                  // works on `mine`
//
// and the outer conversion finds its settings, ColorMap and PaletteCopy as it
// left them. Every function also exists with the state passed explicitly.
//
// DitherTo8bpp never changes the source (diffusion works on copies of two rows) and
// recreates the frame at the source's size. Throws zoetra::Error:
//   481 the source is not a 32-bit raster (checked once the palette is made);
//   7   the frame or the working copy cannot be created;
//   9   a pass would run before InitDither built the tables, or the palette has
//       no entry table;
// and whatever the palette operations raise (cPal8bpp).
#pragma once

#include <array>
#include <cstdint>

#include "platform/base/export.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra {

class cDIB;
class cPal8bpp;

namespace mDither8bpp {

// A table indexed from Lo to Hi inclusive.
template <class T, int Lo, int Hi>
struct OffsetTable {
  static constexpr int kLo = Lo;
  static constexpr int kHi = Hi;
  std::array<T, Hi - Lo + 1> data{};

  T operator[](int i) const { return data[static_cast<std::size_t>(i - Lo)]; }
  T& operator[](int i) { return data[static_cast<std::size_t>(i - Lo)]; }
  // Pointer to element 0, for pixel loops that index with known-good values.
  const T* Origin() const { return data.data() - Lo; }
};

struct DitherState {
  // Settings; both start at 0.
  std::int32_t PaletteMode = 0;   // 0 cube, 1 optimal, 2 greys
  std::int32_t DitherMethod = 0;  // 0 nearest, 1 ordered, 2 diffusion

  // Built by InitDither.
  bool TablesReady = false;
  OffsetTable<std::uint8_t, -51, 280> Level6;        // nearest of the cube levels 0, 51, ..., 255
  OffsetTable<std::uint8_t, -8, 262> Level16;        // nearest of the grid levels 0, 17, ..., 255
  std::array<std::uint8_t, 16> Bayer16{};            // threshold at (x mod 4) + 4 * (y mod 4)
  std::array<std::uint8_t, 16> Bayer51{};            // Bayer16 scaled to the cube step
  OffsetTable<std::int16_t, -255, 255> ErrorShare1;  // round(i * 1 / 16)
  OffsetTable<std::int16_t, -255, 255> ErrorShare3;
  OffsetTable<std::int16_t, -255, 255> ErrorShare5;
  OffsetTable<std::int16_t, -255, 255> ErrorShare7;

  // Palette index of grid cell r + 16 g + 256 b; built by BuildColorMap.
  std::array<std::uint8_t, 4096> ColorMap{};
  // The 256 entries of the palette of the last conversion (blue, green, red, 0).
  std::array<std::uint8_t, 1024> PaletteCopy{};
};

// This thread's current state (its default instance unless a ScopedDitherState
// says otherwise).
DitherState& CurrentState();

// Makes `state` current on this thread for the guard's lifetime and restores
// the previously current state afterwards. Guards nest; each must end on the
// thread that made it, in reverse order.
class ScopedDitherState {
 public:
  explicit ScopedDitherState(DitherState& state) noexcept;
  ~ScopedDitherState();
  ScopedDitherState(const ScopedDitherState&) = delete;
  ScopedDitherState& operator=(const ScopedDitherState&) = delete;

 private:
  DitherState* previous_;
};

// Builds Level6, Level16, Bayer16, Bayer51 and the error shares (same values
// every time); settings, ColorMap and PaletteCopy are left alone.
void InitDither(DitherState& state);
void SetPaletteMode(DitherState& state, std::int32_t mode);
void SetDitherMethod(DitherState& state, std::int32_t method);
// Makes the palette (unless reusePalette: then the palette and ColorMap stay
// as the last conversion left them), copies it to PaletteCopy, recreates
// `frame` as an 8-bit raster of the source's size with PaletteCopy as colour
// table, and maps every pixel, rows in buffer order, left to right. Pixel
// (x, y) of the source is at byte 4 (y Width + x), of the frame at
// y BytesPerScanline + x. A mode/method pair without a pass leaves the frame 0.
void DitherTo8bpp(DitherState& state, const cDIB& source, cDIB& frame, cPal8bpp& palette,
                  bool reusePalette);
// ColorMap cell (r, g, b) = the palette's ClosestIndex(17 r, 17 g, 17 b).
void BuildColorMap(DitherState& state, const cPal8bpp& palette);

// The same on this thread's current state.
void InitDither();
void SetPaletteMode(std::int32_t mode);
void SetDitherMethod(std::int32_t method);
void DitherTo8bpp(const cDIB& source, cDIB& frame, cPal8bpp& palette, bool reusePalette);
void BuildColorMap(const cPal8bpp& palette);
const std::array<std::uint8_t, 1024>& PaletteCopy();

}  // namespace mDither8bpp
}  // namespace zoetra

ZOETRA_PUBLIC_END

#include "colour/mdither8bpp.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "colour/cpal8bpp.hpp"
#include "platform/arith.hpp"
#include "platform/error.hpp"
#include "raster/cdib.hpp"

namespace zoetra::mDither8bpp {

namespace {

constexpr std::uint8_t kBayer16[16] = {1, 9, 3, 11, 13, 5, 15, 7, 4, 12, 2, 10, 16, 8, 14, 6};
// Offsets that centre the thresholds on a level step and keep lookups in range.
constexpr int kCubeOrderedOffset = 26;
constexpr int kGridOrderedOffset = 8;
// A pixel whose channel errors add up to this or less diffuses nothing.
constexpr int kDiffusionThreshold = 3;

constexpr std::int32_t kModeCube = 0;
constexpr std::int32_t kModeOptimal = 1;
constexpr std::int32_t kModeGrey = 2;
constexpr std::int32_t kMethodNearest = 0;
constexpr std::int32_t kMethodOrdered = 1;
constexpr std::int32_t kMethodDiffusion = 2;

thread_local DitherState t_default_state;
thread_local DitherState* t_current = nullptr;

// The twin passes differ in the level table and in how three levels make an
// index: the cube by r + 6g + 36b, the grid through ColorMap[r + 16g + 256b].
template <bool kCube>
struct Family {
  static constexpr int kGreenFactor = kCube ? 6 : 16;
  static constexpr int kBlueFactor = kCube ? 36 : 256;
  static constexpr int kOrderedOffset = kCube ? kCubeOrderedOffset : kGridOrderedOffset;

  const std::uint8_t* level;  // Level6 or Level16, from its element 0
  const std::uint8_t* bayer;  // Bayer51 or Bayer16
  const std::uint8_t* color_map;

  explicit Family(const DitherState& s)
      : level(kCube ? s.Level6.Origin() : s.Level16.Origin()),
        bayer(kCube ? s.Bayer51.data() : s.Bayer16.data()),
        color_map(s.ColorMap.data()) {}

  std::uint8_t Index(int cell) const {
    if constexpr (kCube) {
      return static_cast<std::uint8_t>(cell);
    } else {
      return color_map[cell];
    }
  }
  std::uint8_t Index(int r, int g, int b) const {
    return Index(r + kGreenFactor * g + kBlueFactor * b);
  }
};

struct Raster {
  const std::uint8_t* src;  // 4 bytes per pixel, rows of 4 * width
  std::uint8_t* dst;        // 1 byte per pixel, rows of stride
  std::int32_t width;
  std::int32_t height;
  std::size_t stride;
};

template <bool kCube>
void NearestPass(const DitherState& s, const Raster& img) {
  const Family<kCube> f(s);
  for (std::int32_t y = 0; y < img.height; ++y) {
    const std::uint8_t* p = img.src + static_cast<std::size_t>(y) * img.width * 4;
    std::uint8_t* out = img.dst + static_cast<std::size_t>(y) * img.stride;
    for (std::int32_t x = 0; x < img.width; ++x, p += 4) {
      out[x] = f.Index(f.level[p[2]], f.level[p[1]], f.level[p[0]]);
    }
  }
}

template <bool kCube>
void OrderedPass(const DitherState& s, const Raster& img) {
  const Family<kCube> f(s);
  for (std::int32_t y = 0; y < img.height; ++y) {
    const std::uint8_t* p = img.src + static_cast<std::size_t>(y) * img.width * 4;
    std::uint8_t* out = img.dst + static_cast<std::size_t>(y) * img.stride;
    const std::uint8_t* row_thresholds = f.bayer + 4 * (y & 3);
    for (std::int32_t x = 0; x < img.width; ++x, p += 4) {
      const int offset = Family<kCube>::kOrderedOffset - row_thresholds[x & 3];
      out[x] = f.Index(f.level[p[2] + offset], f.level[p[1] + offset], f.level[p[0] + offset]);
    }
  }
}

// Error diffusion is one long dependency chain: a pixel's index needs the
// push of the pixel before it. So the chain is kept short: the current pixel
// and the pixels waiting below stay in registers (every row-below pixel is read
// once and written once), one table load turns a cell into its index and
// colour, and the right share is loaded while the threshold is still being
// decided, then masked to 0 for a pixel under it instead of branching. The
// pushes below are off that chain and only need few instructions: their
// shares come from error 0 (all zero) under the threshold, and they clamp
// through a table. Each push still clamps on its own, in the order the rule
// applies them.
struct Shares {
  std::int16_t right, below, below_right, below_left;  // 7/16, 5/16, 1/16, 3/16
};
struct CellEntry {
  std::uint8_t index, blue, green, red;
};
struct DiffusionTables {
  std::uint16_t red_cell[256], green_cell[256], blue_cell[256];  // contributions to the cell number
  CellEntry cells[4096];
  Shares shares[511];  // by error + 255
};
struct Px {
  int b, g, r;
};
struct RowWindow {
  Px cur;         // (x, y), with everything pushed onto it so far
  Px below_prev;  // (x - 1, y + 1), waiting for its share from (x, y)
  Px below_cur;   // (x, y + 1)
};

inline Px LoadPx(const std::uint8_t* p) {
  return {p[0], p[1], p[2]};
}
inline void StorePx(std::uint8_t* p, const Px& v) {  // the fourth byte is left alone
  p[0] = static_cast<std::uint8_t>(v.b);
  p[1] = static_cast<std::uint8_t>(v.g);
  p[2] = static_cast<std::uint8_t>(v.r);
}
inline int Push(int v, int share) {
  return std::min(std::max(v + share, 0), 255);
}

// Byte clamp of a channel plus a share: channel 0..255, share at most
// round(255 * 7 / 16) = 112 either way.
constexpr int kClampBias = 128;
constexpr auto kClamp = [] {
  std::array<std::uint8_t, 256 + 2 * kClampBias> t{};
  for (int i = 0; i < static_cast<int>(t.size()); ++i)
    t[i] = static_cast<std::uint8_t>(std::clamp(i - kClampBias, 0, 255));
  return t;
}();
template <std::int16_t Shares::*kShare>
inline void PushOnto(Px& v, const Shares& b, const Shares& g, const Shares& r) {
  v.b = kClamp[static_cast<std::size_t>(v.b + b.*kShare + kClampBias)];
  v.g = kClamp[static_cast<std::size_t>(v.g + g.*kShare + kClampBias)];
  v.r = kClamp[static_cast<std::size_t>(v.r + r.*kShare + kClampBias)];
}

template <bool kBelow, bool kLeft, bool kRight>
inline void DiffusePixel(const DiffusionTables& t, const std::uint8_t* row, std::uint8_t* below,
                         std::uint8_t* out, std::int32_t x, RowWindow& w) {
  const CellEntry e = t.cells[t.red_cell[w.cur.r] + t.green_cell[w.cur.g] + t.blue_cell[w.cur.b]];
  out[x] = e.index;
  const int err_b = w.cur.b - e.blue, err_g = w.cur.g - e.green, err_r = w.cur.r - e.red;
  const Shares& sb = t.shares[err_b + 255];
  const Shares& sg = t.shares[err_g + 255];
  const Shares& sr = t.shares[err_r + 255];
  const bool push = std::abs(err_r) + std::abs(err_g) + std::abs(err_b) > kDiffusionThreshold;
  Px next{};
  if constexpr (kRight) {
    const int mask = -static_cast<int>(push);
    next = LoadPx(row + 4 * static_cast<std::size_t>(x + 1));
    next.b = Push(next.b, sb.right & mask);
    next.g = Push(next.g, sg.right & mask);
    next.r = Push(next.r, sr.right & mask);
  }
  if constexpr (kBelow) {
    const Shares& ob = t.shares[push ? err_b + 255 : 255];
    const Shares& og = t.shares[push ? err_g + 255 : 255];
    const Shares& orr = t.shares[push ? err_r + 255 : 255];
    if constexpr (kLeft) {
      PushOnto<&Shares::below_left>(w.below_prev, ob, og, orr);
      StorePx(below + 4 * static_cast<std::size_t>(x - 1),
              w.below_prev);  // nothing more reaches it
    }
    PushOnto<&Shares::below>(w.below_cur, ob, og, orr);
    if constexpr (kRight) {
      Px below_right = LoadPx(below + 4 * static_cast<std::size_t>(x + 1));
      PushOnto<&Shares::below_right>(below_right, ob, og, orr);
      w.below_prev = w.below_cur;
      w.below_cur = below_right;
    } else {
      StorePx(below + 4 * static_cast<std::size_t>(x), w.below_cur);
    }
  }
  w.cur = next;
}

template <bool kBelow>
void DiffuseRow(const DiffusionTables& t, const std::uint8_t* row, std::uint8_t* below,
                std::uint8_t* out, std::int32_t width) {
  RowWindow w{LoadPx(row), {}, {}};
  if constexpr (kBelow) w.below_cur = LoadPx(below);
  if (width == 1) {
    DiffusePixel<kBelow, false, false>(t, row, below, out, 0, w);
    return;
  }
  DiffusePixel<kBelow, false, true>(t, row, below, out, 0, w);
  for (std::int32_t x = 1; x < width - 1; ++x)
    DiffusePixel<kBelow, true, true>(t, row, below, out, x, w);
  DiffusePixel<kBelow, true, false>(t, row, below, out, width - 1, w);
}

template <bool kCube>
void DiffusionPass(const DitherState& s, std::uint8_t* work, const Raster& img) {
  const Family<kCube> f(s);
  DiffusionTables t;
  for (int v = 0; v < 256; ++v) {
    t.red_cell[v] = f.level[v];
    t.green_cell[v] = static_cast<std::uint16_t>(Family<kCube>::kGreenFactor * f.level[v]);
    t.blue_cell[v] = static_cast<std::uint16_t>(Family<kCube>::kBlueFactor * f.level[v]);
  }
  constexpr int kCells = kCube ? 216 : 4096;
  for (int c = 0; c < kCells; ++c) {
    const std::uint8_t index = f.Index(c);
    const std::uint8_t* e = s.PaletteCopy.data() + 4 * index;
    t.cells[c] = {index, e[0], e[1], e[2]};
  }
  for (int e = -255; e <= 255; ++e) {
    t.shares[e + 255] = {s.ErrorShare7[e], s.ErrorShare5[e], s.ErrorShare1[e], s.ErrorShare3[e]};
  }

  const std::size_t row_bytes = static_cast<std::size_t>(img.width) * 4;
  for (std::int32_t y = 0; y < img.height; ++y) {
    std::uint8_t* row = work + static_cast<std::size_t>(y) * row_bytes;
    std::uint8_t* out = img.dst + static_cast<std::size_t>(y) * img.stride;
    if (y + 1 < img.height) {
      DiffuseRow<true>(t, row, row + row_bytes, out, img.width);
    } else {
      DiffuseRow<false>(t, row, nullptr, out, img.width);
    }
  }
}

// Rounds i * n / 16 halves to even, for the error shares and Bayer51.
std::int16_t Sixteenths(int i, int n) {
  return RoundToInt16(i * n / 16.0);
}

}  // namespace

DitherState& CurrentState() {
  return t_current != nullptr ? *t_current : t_default_state;
}

ScopedDitherState::ScopedDitherState(DitherState& state) noexcept : previous_(t_current) {
  t_current = &state;
}
ScopedDitherState::~ScopedDitherState() {
  t_current = previous_;
}

void InitDither(DitherState& state) {
  for (int i = decltype(state.Level6)::kLo; i <= decltype(state.Level6)::kHi; ++i) {
    state.Level6[i] = static_cast<std::uint8_t>(std::clamp(RoundToInt32(i / 51.0), 0, 5));
  }
  for (int i = decltype(state.Level16)::kLo; i <= decltype(state.Level16)::kHi; ++i) {
    state.Level16[i] = static_cast<std::uint8_t>(std::clamp(RoundToInt32(i / 17.0), 0, 15));
  }
  for (int t = 0; t < 16; ++t) {
    state.Bayer16[t] = kBayer16[t];
    state.Bayer51[t] = static_cast<std::uint8_t>(Sixteenths(kBayer16[t], 51));
  }
  for (int i = -255; i <= 255; ++i) {
    state.ErrorShare1[i] = Sixteenths(i, 1);
    state.ErrorShare3[i] = Sixteenths(i, 3);
    state.ErrorShare5[i] = Sixteenths(i, 5);
    state.ErrorShare7[i] = Sixteenths(i, 7);
  }
  state.TablesReady = true;
}

void SetPaletteMode(DitherState& state, std::int32_t mode) {
  state.PaletteMode = mode;
}
void SetDitherMethod(DitherState& state, std::int32_t method) {
  state.DitherMethod = method;
}

void BuildColorMap(DitherState& state, const cPal8bpp& palette) {
  for (int b = 0; b < 16; ++b) {
    for (int g = 0; g < 16; ++g) {
      for (int r = 0; r < 16; ++r) {
        std::uint8_t index = 0;
        palette.ClosestIndex(static_cast<std::uint8_t>(17 * r), static_cast<std::uint8_t>(17 * g),
                             static_cast<std::uint8_t>(17 * b), index);
        state.ColorMap[static_cast<std::size_t>(r + 16 * g + 256 * b)] = index;
      }
    }
  }
}

void DitherTo8bpp(DitherState& state, const cDIB& source, cDIB& frame, cPal8bpp& palette,
                  bool reusePalette) {
  if (!reusePalette) {
    switch (state.PaletteMode) {
      case kModeCube:
        palette.CreateHalftone(4);
        break;
      case kModeOptimal:
        palette.CreateOptimal(source, 256, 6, 1.0f, 1.0f, 1.0f);
        BuildColorMap(state, palette);
        break;
      case kModeGrey:
        palette.CreateGreyScale(2);
        BuildColorMap(state, palette);
        break;
      default:
        break;
    }
  }
  std::memcpy(state.PaletteCopy.data(), palette.lpPalette(), state.PaletteCopy.size());

  // The passes read 4 bytes per pixel over Width x Height: anything but a live
  // 32-bit raster would be read past its end.
  if (source.hDIB() == 0 || source.BPP() != 32) RaiseError(kErrInvalidPicture, "Invalid picture");
  const std::int32_t width = source.Width();
  const std::int32_t height = source.Height();

  // Diffusion writes into a copy; so does any pass whose frame is the source
  // itself, since recreating the frame releases the source's pixels.
  cDIB work;
  const std::uint8_t* pixels = source.lpBits();
  if (state.DitherMethod == kMethodDiffusion || &frame == &source) {
    if (source.CloneTo(work) != 32) RaiseOutOfMemory();
    pixels = work.lpBits();
  }
  if (!frame.Create(width, height, 8)) RaiseOutOfMemory();
  frame.SetPalette(state.PaletteCopy);

  const bool cube = state.PaletteMode == kModeCube;
  const bool grid = state.PaletteMode == kModeOptimal || state.PaletteMode == kModeGrey;
  const std::int32_t method = state.DitherMethod;
  if ((!cube && !grid) || method < kMethodNearest || method > kMethodDiffusion) return;
  if (!state.TablesReady) RaiseSubscript();

  const Raster img{pixels, frame.lpBits(), width, height,
                   static_cast<std::size_t>(frame.BytesPerScanline())};
  switch (method) {
    case kMethodNearest:
      cube ? NearestPass<true>(state, img) : NearestPass<false>(state, img);
      break;
    case kMethodOrdered:
      cube ? OrderedPass<true>(state, img) : OrderedPass<false>(state, img);
      break;
    default:
      cube ? DiffusionPass<true>(state, work.lpBits(), img)
           : DiffusionPass<false>(state, work.lpBits(), img);
      break;
  }
}

void InitDither() {
  InitDither(CurrentState());
}
void SetPaletteMode(std::int32_t mode) {
  SetPaletteMode(CurrentState(), mode);
}
void SetDitherMethod(std::int32_t method) {
  SetDitherMethod(CurrentState(), method);
}
void DitherTo8bpp(const cDIB& source, cDIB& frame, cPal8bpp& palette, bool reusePalette) {
  DitherTo8bpp(CurrentState(), source, frame, palette, reusePalette);
}
void BuildColorMap(const cPal8bpp& palette) {
  BuildColorMap(CurrentState(), palette);
}
const std::array<std::uint8_t, 1024>& PaletteCopy() {
  return CurrentState().PaletteCopy;
}

}  // namespace zoetra::mDither8bpp

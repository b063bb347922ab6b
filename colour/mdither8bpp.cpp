#include "colour/mdither8bpp.hpp"

#if defined(__SSE2__) && !defined(ZOETRA_NO_SIMD)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "colour/cpal8bpp.hpp"
#include "platform/base/arith.hpp"
#include "platform/base/error.hpp"
#include "platform/base/yield.hpp"
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
    platform::CheckStop();  // a large picture takes seconds
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
    platform::CheckStop();  // a large picture takes seconds
    const std::uint8_t* p = img.src + static_cast<std::size_t>(y) * img.width * 4;
    std::uint8_t* out = img.dst + static_cast<std::size_t>(y) * img.stride;
    const std::uint8_t* row_thresholds = f.bayer + 4 * (y & 3);
    for (std::int32_t x = 0; x < img.width; ++x, p += 4) {
      const int offset = Family<kCube>::kOrderedOffset - row_thresholds[x & 3];
      out[x] = f.Index(f.level[p[2] + offset], f.level[p[1] + offset], f.level[p[0] + offset]);
    }
  }
}

// The four shares of one error value, side by side for one load per channel.
struct Shares {
  std::int16_t right, below, below_right, below_left;  // 7/16, 5/16, 1/16, 3/16
};

// What every diffusion pass looks up: per channel value its part of the cell
// number, per cell the palette entry it maps to (blue, green, red in bits
// 0..23, the index in bits 24..31), and per error value its four shares.
template <bool kCube>
struct DiffusionTables {
  static constexpr int kCells = kCube ? 216 : 4096;
  std::uint16_t red_cell[256], green_cell[256], blue_cell[256];
  std::uint32_t cell_entry[kCells];
  Shares shares_table[511];

  explicit DiffusionTables(const DitherState& s) {
    const Family<kCube> f(s);
    for (int v = 0; v < 256; ++v) {
      red_cell[v] = f.level[v];
      green_cell[v] = static_cast<std::uint16_t>(Family<kCube>::kGreenFactor * f.level[v]);
      blue_cell[v] = static_cast<std::uint16_t>(Family<kCube>::kBlueFactor * f.level[v]);
    }
    for (int cell = 0; cell < kCells; ++cell) {
      const std::uint8_t index = f.Index(cell);
      const std::uint8_t* e = s.PaletteCopy.data() + 4 * index;
      cell_entry[cell] = e[0] | (e[1] << 8) | (e[2] << 16) | (std::uint32_t{index} << 24);
    }
    for (int e = -255; e <= 255; ++e) {
      shares_table[e + 255] = {s.ErrorShare7[e], s.ErrorShare5[e], s.ErrorShare1[e],
                               s.ErrorShare3[e]};
    }
  }
  std::uint32_t Entry(int b, int g, int r) const {
    return cell_entry[red_cell[r] + green_cell[g] + blue_cell[b]];
  }
  const Shares& Share(int error) const { return shares_table[error + 255]; }
};

// Everything a DiffusionTables is built from.
bool SameTableInputs(const DitherState& a, const DitherState& b) {
  return a.Level6.data == b.Level6.data && a.Level16.data == b.Level16.data &&
         a.ErrorShare1.data == b.ErrorShare1.data && a.ErrorShare3.data == b.ErrorShare3.data &&
         a.ErrorShare5.data == b.ErrorShare5.data && a.ErrorShare7.data == b.ErrorShare7.data &&
         a.ColorMap == b.ColorMap && a.PaletteCopy == b.PaletteCopy;
}

// The tables for `s`, kept per thread while their inputs stay the same: all
// pictures after the first of a conversion map through one palette, and for
// small pictures rebuilding the 4096 cells each time costs more than the pass.
template <bool kCube>
const DiffusionTables<kCube>& TablesFor(const DitherState& s) {
  struct Cache {
    DitherState inputs;
    DiffusionTables<kCube> tables;
    explicit Cache(const DitherState& from) : inputs(from), tables(from) {}
  };
  thread_local std::unique_ptr<Cache> cache;
  if (!cache || !SameTableInputs(cache->inputs, s)) cache = std::make_unique<Cache>(s);
  return cache->tables;
}

inline std::uint32_t LoadPixel(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

#if defined(__SSE2__) && !defined(ZOETRA_NO_SIMD)

// Error diffusion over row buffers instead of a copy of the picture. The row
// being mapped is read as the previous row left it (the source itself for row
// 0); its pixel x+1 takes the right share in a register. The row below is
// written once per pixel: a two-pixel window [x-1 | x] in registers collects
// the shares in the same order as pushing them through memory would (x-1 gets
// its last share, below left, from pixel x), then pixel x-1 is stored and the
// window moves on. Every push adds and clamps each channel on its own, exactly
// as the plain loop does; the fourth byte receives nothing.
//
// Each pixel waits on the one before it, so rows go two at a time: the lower
// one follows a few pixels behind the upper one, and the processor works on
// both chains at once. Three buffers keep the lower row's writes away from
// what the upper one still reads.
template <bool kCube>
class DiffusionRows {
 public:
  DiffusionRows(const DitherState& s, const Raster& img) : t_(TablesFor<kCube>(s)), img_(img) {
    const std::size_t pixels =
        static_cast<std::size_t>(img.width) + 1;  // one spare pixel left of x = 0
    buffers_.assign(3 * pixels * 4, 0);
    row_pixels_ = pixels;
  }

  void Run() {
    std::int32_t y = 0;
    for (; y + 2 < img_.height; y += 2) {
      platform::CheckStop();  // a large picture takes seconds
      MapTwoRows<true>(y);
    }
    if (y + 1 < img_.height) {
      MapTwoRows<false>(y);
    } else if (y < img_.height) {
      Row row = Start<false>(y);
      while (row.x <= last_) Step<false>(row, last_);
    }
  }

 private:
  // One row on its way: where it reads and writes, and what passes from
  // pixel to pixel.
  struct Row {
    const std::uint8_t* cur;        // the row as the row above left it
    const std::uint8_t* src_below;  // the source row below
    std::uint8_t* below;            // receives the row below with the shares added
    std::uint8_t* out;
    std::int32_t x;  // the next pixel
    __m128i pixel;   // pixel x with the share from x-1
    __m128i window;  // the row below: low half pixel x-1, high half pixel x
  };

  static __m128i Widen(std::uint32_t pixel) {
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(pixel)), _mm_setzero_si128());
  }
  static __m128i Clamp(__m128i v) {
    return _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), _mm_set1_epi16(255));
  }
  static std::uint32_t Narrow(__m128i v) {
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(v, v)));
  }
  static void StorePixel(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

  // Pixel 0 of the buffer for image row y; pixel -1 is a spare that takes the
  // below-left share of x = 0.
  std::uint8_t* Buffer(std::int32_t y) {
    return buffers_.data() + (static_cast<std::size_t>(y % 3) * row_pixels_ + 1) * 4;
  }
  const std::uint8_t* Source(std::int32_t y) const {
    return img_.src + static_cast<std::size_t>(y) * static_cast<std::size_t>(img_.width) * 4;
  }

  // Row y before its first pixel; with kBelow, row y + 1 exists.
  template <bool kBelow>
  Row Start(std::int32_t y) {
    Row r{y == 0 ? img_.src : Buffer(y), kBelow ? Source(y + 1) : nullptr, kBelow ? Buffer(y + 1) : nullptr,
          img_.dst + static_cast<std::size_t>(y) * img_.stride, 0, _mm_setzero_si128(), _mm_setzero_si128()};
    r.pixel = Widen(LoadPixel(r.cur));
    if constexpr (kBelow) r.window = _mm_slli_si128(Widen(LoadPixel(r.src_below)), 8);
    return r;
  }

  // Rows y and y + 1; with kBelowSecond, row y + 2 exists. The lower row reads
  // what the upper one has finished: after the upper one's pixel x, its row
  // below is final up to x - 1.
  template <bool kBelowSecond>
  void MapTwoRows(std::int32_t y) {
    Row upper = Start<true>(y);
    while (upper.x <= last_ && upper.x < 3) Step<true>(upper, last_);
    if (upper.x > last_) StoreLast(upper);
    Row lower = Start<kBelowSecond>(y + 1);
    while (upper.x <= last_) {
      Step<true>(upper, last_);
      // Pixel x reads x + 1, and a run may look as far as the limit.
      if (lower.x + 3 <= upper.x) Step<kBelowSecond>(lower, upper.x - 3);
      if (upper.x > last_) StoreLast(upper);
    }
    while (lower.x <= last_) Step<kBelowSecond>(lower, last_);
    if constexpr (kBelowSecond) StoreLast(lower);
  }

  // The window's low half holds the last pixel of the row below once the row is done.
  static void StoreLast(const Row& r) {
    StorePixel(r.below + 4 * static_cast<std::size_t>(r.x - 1), Narrow(r.window));
  }

  // Maps pixel x of the row, and the run of its colour that follows when it
  // pushes nothing; the run is not looked for past `limit`.
  template <bool kBelow>
  void Step(Row& r, std::int32_t limit) const {
    const std::int32_t x = r.x;
    const std::int32_t last = last_;
    const std::uint32_t bgr = Narrow(r.pixel);
    const int b = static_cast<int>(bgr & 0xFF), g = static_cast<int>((bgr >> 8) & 0xFF),
              rd = static_cast<int>((bgr >> 16) & 0xFF);
    const std::uint32_t entry = t_.Entry(b, g, rd);
    r.out[x] = static_cast<std::uint8_t>(entry >> 24);
    const int err_b = b - static_cast<int>(entry & 0xFF);
    const int err_g = g - static_cast<int>((entry >> 8) & 0xFF);
    const int err_r = rd - static_cast<int>((entry >> 16) & 0xFF);
    const bool more = x < last;
    const std::uint32_t next_pixel = more ? LoadPixel(r.cur + 4 * static_cast<std::size_t>(x + 1)) : 0;
    const std::uint32_t next_below =
        kBelow && more ? LoadPixel(r.src_below + 4 * static_cast<std::size_t>(x + 1)) : 0;
    if (std::abs(err_r) + std::abs(err_g) + std::abs(err_b) <= kDiffusionThreshold) {
      r.pixel = Widen(next_pixel);
      if constexpr (kBelow) {
        StorePixel(r.below + 4 * static_cast<std::ptrdiff_t>(x - 1), Narrow(r.window));
        r.window = _mm_unpacklo_epi64(_mm_unpackhi_epi64(r.window, r.window), Widen(next_below));
      }
      // Following pixels of the same colour map to the same entry and push nothing either.
      std::int32_t run = 0;
      while (x + run < limit &&
             ((LoadPixel(r.cur + 4 * static_cast<std::size_t>(x + run + 1)) ^ bgr) & 0xFFFFFF) == 0) {
        ++run;
      }
      r.x = x + 1;
      if (run > 0) SkipRun<kBelow>(r, run, entry);
      return;
    }
    // Shares of blue, green and red side by side: [right | below] and [below right | below left].
    const __m128i sb = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&t_.Share(err_b)));
    const __m128i sg = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&t_.Share(err_g)));
    const __m128i sr = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&t_.Share(err_r)));
    const __m128i bg = _mm_unpacklo_epi16(sb, sg);
    const __m128i r0 = _mm_unpacklo_epi16(sr, _mm_setzero_si128());
    const __m128i right_below = _mm_unpacklo_epi32(bg, r0);
    const __m128i diagonals = _mm_unpackhi_epi32(bg, r0);
    r.pixel = Clamp(_mm_add_epi16(Widen(next_pixel), right_below));
    if constexpr (kBelow) {
      // x-1 gets below left, x gets below: then x-1 is complete.
      const __m128i window = Clamp(_mm_add_epi16(r.window, _mm_unpackhi_epi64(diagonals, right_below)));
      StorePixel(r.below + 4 * static_cast<std::ptrdiff_t>(x - 1), Narrow(window));
      const __m128i fresh = Clamp(_mm_add_epi16(Widen(next_below), diagonals));
      r.window = _mm_unpacklo_epi64(_mm_unpackhi_epi64(window, window), fresh);
    }
    r.x = x + 1;
  }

  // Pixels x .. x+run-1 (x = r.x) repeat the pixel before, which pushed
  // nothing: they take its index, and the row below gets nothing from them.
  // On entry the window holds [below x-1 (complete) | below x (as read)]; on
  // return everything is as if each had gone through Step.
  template <bool kBelow>
  void SkipRun(Row& r, std::int32_t run, std::uint32_t entry) const {
    const std::int32_t x = r.x - 1;  // the pixel that started the run
    const std::int32_t last = last_;
    std::memset(r.out + x + 1, static_cast<int>(entry >> 24), static_cast<std::size_t>(run));
    const std::int32_t end = x + run;
    if constexpr (kBelow) {
      StorePixel(r.below + 4 * static_cast<std::size_t>(x), Narrow(r.window));
      std::memcpy(r.below + 4 * static_cast<std::size_t>(x + 1), r.src_below + 4 * static_cast<std::size_t>(x + 1),
                  4 * static_cast<std::size_t>(run - 1));
      const std::uint32_t after = end < last ? LoadPixel(r.src_below + 4 * static_cast<std::size_t>(end + 1)) : 0;
      r.window = _mm_unpacklo_epi64(Widen(LoadPixel(r.src_below + 4 * static_cast<std::size_t>(end))), Widen(after));
    }
    r.x = end + 1;
    r.pixel = Widen(end < last ? LoadPixel(r.cur + 4 * static_cast<std::size_t>(end + 1)) : 0);
  }

  const DiffusionTables<kCube>& t_;
  const Raster& img_;
  const std::int32_t last_ = img_.width - 1;
  std::vector<std::uint8_t> buffers_;
  std::size_t row_pixels_ = 0;
};

template <bool kCube>
void DiffusionPass(const DitherState& s, const Raster& img) {
  DiffusionRows<kCube>(s, img).Run();
}

#else

inline std::uint8_t AddClamped(std::uint8_t v, int share) {
  return static_cast<std::uint8_t>(std::clamp(v + share, 0, 255));
}

template <bool kCube>
void DiffusionPass(const DitherState& s, const Raster& img) {
  const DiffusionTables<kCube>& t = TablesFor<kCube>(s);
  // The plain form: a working copy of the picture that the shares are pushed into.
  const std::size_t row_bytes = static_cast<std::size_t>(img.width) * 4;
  std::vector<std::uint8_t> copy(img.src,
                                 img.src + row_bytes * static_cast<std::size_t>(img.height));
  const std::int32_t last_x = img.width - 1;
  for (std::int32_t y = 0; y < img.height; ++y) {
    platform::CheckStop();  // a large picture takes seconds
    std::uint8_t* p = copy.data() + static_cast<std::size_t>(y) * row_bytes;
    std::uint8_t* below = y + 1 < img.height ? p + row_bytes : nullptr;
    std::uint8_t* out = img.dst + static_cast<std::size_t>(y) * img.stride;
    for (std::int32_t x = 0; x <= last_x; ++x, p += 4) {
      const std::uint8_t b = p[0], g = p[1], r = p[2];
      const std::uint32_t entry = t.Entry(b, g, r);
      out[x] = static_cast<std::uint8_t>(entry >> 24);
      const int err_b = b - static_cast<int>(entry & 0xFF);
      const int err_g = g - static_cast<int>((entry >> 8) & 0xFF);
      const int err_r = r - static_cast<int>((entry >> 16) & 0xFF);
      if (std::abs(err_r) + std::abs(err_g) + std::abs(err_b) <= kDiffusionThreshold) continue;
      const Shares& sb = t.Share(err_b);
      const Shares& sg = t.Share(err_g);
      const Shares& sr = t.Share(err_r);
      if (x < last_x) {
        p[4] = AddClamped(p[4], sb.right);
        p[5] = AddClamped(p[5], sg.right);
        p[6] = AddClamped(p[6], sr.right);
      }
      if (below != nullptr) {
        std::uint8_t* q = below + 4 * static_cast<std::size_t>(x);
        q[0] = AddClamped(q[0], sb.below);
        q[1] = AddClamped(q[1], sg.below);
        q[2] = AddClamped(q[2], sr.below);
        if (x < last_x) {
          q[4] = AddClamped(q[4], sb.below_right);
          q[5] = AddClamped(q[5], sg.below_right);
          q[6] = AddClamped(q[6], sr.below_right);
        }
        if (x > 0) {
          q[-4] = AddClamped(q[-4], sb.below_left);
          q[-3] = AddClamped(q[-3], sg.below_left);
          q[-2] = AddClamped(q[-2], sr.below_left);
        }
      }
    }
  }
}

#endif

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
  if (source.hDIB() == 0 || source.BPP() != 32) {
    RaiseError(kErrInvalidPicture, "Invalid picture (the source raster is empty or not 32-bit)");
  }
  const std::int32_t width = source.Width();
  const std::int32_t height = source.Height();

  // A pass whose frame is the source itself reads a copy, since recreating the
  // frame releases the source's pixels. (Diffusion never writes to the source.)
  cDIB work;
  const std::uint8_t* pixels = source.lpBits();
  if (&frame == &source) {
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
      try {
        cube ? DiffusionPass<true>(state, img) : DiffusionPass<false>(state, img);
      } catch (const std::bad_alloc&) {
        RaiseOutOfMemory();  // the working rows
      }
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

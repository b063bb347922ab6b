#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "platform/drawing/gdi.hpp"

namespace zoetra::platform {
namespace {

// A DIB section selected into its own memory context.
class Surface {
 public:
  Surface(int w, int h, int bpp, std::vector<RGBQuad> table = {}) : w_(w), h_(h), bpp_(bpp) {
    BitmapInfoHeader hdr{};
    hdr.size = 40;
    hdr.width = w;
    hdr.height = h;
    hdr.planes = 1;
    hdr.bit_count = static_cast<std::int16_t>(bpp);
    dc_ = CreateCompatibleDC(0);
    bmp_ = CreateDIBSection(dc_, hdr, table, &bits_);
    old_ = SelectObject(dc_, bmp_);
    stride_ = ((bpp * w + 31) / 32) * 4;
  }
  ~Surface() {
    SelectObject(dc_, old_);
    DeleteObject(bmp_);
    DeleteDC(dc_);
  }
  Surface(const Surface&) = delete;
  Surface& operator=(const Surface&) = delete;

  HDC dc() const { return dc_; }
  HBITMAP bmp() const { return bmp_; }
  std::uint8_t* row(int r) const { return bits_ + static_cast<std::size_t>(r) * stride_; }
  std::size_t size() const { return static_cast<std::size_t>(stride_) * h_; }

  // Raw pixel value at memory position (x, r): index, 5-5-5 word or 0x00RRGGBB (32: full word).
  std::uint32_t Get(int x, int r) const {
    const std::uint8_t* p = row(r);
    switch (bpp_) {
      case 1: return (p[x / 8] >> (7 - x % 8)) & 1;
      case 4: return x % 2 ? p[x / 2] & 0xF : p[x / 2] >> 4;
      case 8: return p[x];
      case 16: return p[2 * x] | (p[2 * x + 1] << 8);
      case 24: return p[3 * x] | (p[3 * x + 1] << 8) | (p[3 * x + 2] << 16);
      default: {
        std::uint32_t v;
        std::memcpy(&v, p + 4 * x, 4);
        return v;
      }
    }
  }
  void Set(int x, int r, std::uint32_t v) {
    std::uint8_t* p = row(r);
    switch (bpp_) {
      case 1: p[x / 8] = static_cast<std::uint8_t>((p[x / 8] & ~(0x80 >> x % 8)) | ((v & 1) << (7 - x % 8))); break;
      case 4:
        p[x / 2] = static_cast<std::uint8_t>(x % 2 ? (p[x / 2] & 0xF0) | (v & 0xF) : (p[x / 2] & 0x0F) | (v << 4));
        break;
      case 8: p[x] = static_cast<std::uint8_t>(v); break;
      case 16: p[2 * x] = static_cast<std::uint8_t>(v), p[2 * x + 1] = static_cast<std::uint8_t>(v >> 8); break;
      case 24:
        p[3 * x] = static_cast<std::uint8_t>(v), p[3 * x + 1] = static_cast<std::uint8_t>(v >> 8),
        p[3 * x + 2] = static_cast<std::uint8_t>(v >> 16);
        break;
      default: std::memcpy(p + 4 * x, &v, 4); break;
    }
  }

 private:
  int w_, h_, bpp_, stride_ = 0;
  HDC dc_ = 0;
  HBITMAP bmp_ = 0;
  HGDIOBJ old_ = 0;
  std::uint8_t* bits_ = nullptr;
};

struct Rgb {
  std::uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};

RGBQuad Quad(Rgb c) { return RGBQuad{c.b, c.g, c.r, 0}; }

// Colours exactly representable at every direct depth (5-bit channels widened).
const Rgb kBlack{0, 0, 0}, kWhite{255, 255, 255}, kRed{255, 0, 0}, kOdd{0x84, 0x42, 0x21};

std::uint32_t Encode(int bpp, Rgb c) {
  switch (bpp) {
    case 16: return ((c.r >> 3) << 10) | ((c.g >> 3) << 5) | (c.b >> 3);
    case 24:
    case 32: return (std::uint32_t{c.r} << 16) | (c.g << 8) | c.b;
    default: return 0;
  }
}

Rgb Decode(int bpp, std::uint32_t v) {
  if (bpp == 16) {
    auto w = [](std::uint32_t x) { return static_cast<std::uint8_t>((x << 3) | (x >> 2)); };
    return {w((v >> 10) & 31), w((v >> 5) & 31), w(v & 31)};
  }
  return {static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

struct DepthPair {
  int src, dst;
};

class DepthConversion : public ::testing::TestWithParam<DepthPair> {};

// Every source pixel arrives as the same colour; indexed destinations hold the
// colours at other positions than the source, so indices must be re-matched.
TEST_P(DepthConversion, PixelsKeepTheirColour) {
  const auto [sbpp, dbpp] = GetParam();
  const bool two = sbpp == 1 || dbpp == 1;
  const std::vector<Rgb> colours = two ? std::vector<Rgb>{kBlack, kWhite} : std::vector<Rgb>{kBlack, kWhite, kRed, kOdd};
  const int n = static_cast<int>(colours.size());
  const int w = 7, h = 3;  // odd width exercises sub-byte packing and row padding

  std::vector<RGBQuad> stable, dtable;
  if (sbpp <= 8) {
    stable.assign(std::size_t{1} << sbpp, RGBQuad{9, 9, 9, 0});
    for (int i = 0; i < n; ++i) stable[i] = Quad(colours[i]);
  }
  std::vector<int> dindex(n);
  if (dbpp <= 8) {
    const int size = 1 << dbpp;
    dtable.assign(size, RGBQuad{200, 10, 60, 0});
    for (int i = 0; i < n; ++i) {
      dindex[i] = size - 1 - i;  // reversed order
      dtable[dindex[i]] = Quad(colours[i]);
    }
  }
  Surface s(w, h, sbpp, stable), d(w, h, dbpp, dtable);
  for (int r = 0; r < h; ++r)
    for (int x = 0; x < w; ++x) {
      const int c = (x + r) % n;
      s.Set(x, r, sbpp <= 8 ? static_cast<std::uint32_t>(c) : Encode(sbpp, colours[c]));
    }
  ASSERT_NE(BitBlt(d.dc(), 0, 0, w, h, s.dc(), 0, 0, kSrcCopy), 0);
  for (int r = 0; r < h; ++r)
    for (int x = 0; x < w; ++x) {
      const int c = (x + r) % n;
      const std::uint32_t v = d.Get(x, r);
      if (dbpp <= 8) {
        EXPECT_EQ(v, static_cast<std::uint32_t>(dindex[c])) << sbpp << "->" << dbpp << " at " << x << "," << r;
      } else {
        EXPECT_EQ(Decode(dbpp, v), colours[c]) << sbpp << "->" << dbpp << " at " << x << "," << r;
        if (dbpp == 32 && sbpp != 32) { EXPECT_EQ(v >> 24, 0u); }
        if (dbpp == 16) { EXPECT_EQ(v >> 15, 0u); }
      }
    }
}

std::vector<DepthPair> AllPairs() {
  std::vector<DepthPair> out;
  for (int s : {1, 4, 8, 16, 24, 32})
    for (int d : {1, 4, 8, 16, 24, 32}) out.push_back({s, d});
  return out;
}
INSTANTIATE_TEST_SUITE_P(AllDepths, DepthConversion, ::testing::ValuesIn(AllPairs()),
                         [](const auto& info) {
                           return std::to_string(info.param.src) + "to" + std::to_string(info.param.dst);
                         });

TEST(BlitTest, SixteenBitChannelsWiden) {
  Surface s(3, 1, 16), d(3, 1, 32);
  s.Set(0, 0, 0x7C00);  // red 31
  s.Set(1, 0, 0x0001);  // blue 1
  s.Set(2, 0, 0x8000 | (16 << 5));  // green 16, unused bit set
  ASSERT_NE(BitBlt(d.dc(), 0, 0, 3, 1, s.dc(), 0, 0, kSrcCopy), 0);
  EXPECT_EQ(d.Get(0, 0), 0x00FF0000u);
  EXPECT_EQ(d.Get(1, 0), 0x00000008u);
  EXPECT_EQ(d.Get(2, 0), 0x00008400u);
}

TEST(BlitTest, ThirtyTwoBitCopyKeepsFourthByteConversionClearsIt) {
  Surface s(2, 1, 32), d32(2, 1, 32), d24(2, 1, 24), back(2, 1, 32);
  s.Set(0, 0, 0x99112233);
  s.Set(1, 0, 0x01445566);
  ASSERT_NE(BitBlt(d32.dc(), 0, 0, 2, 1, s.dc(), 0, 0, kSrcCopy), 0);
  EXPECT_EQ(d32.Get(0, 0), 0x99112233u);
  ASSERT_NE(BitBlt(d24.dc(), 0, 0, 2, 1, s.dc(), 0, 0, kSrcCopy), 0);
  ASSERT_NE(BitBlt(back.dc(), 0, 0, 2, 1, d24.dc(), 0, 0, kSrcCopy), 0);
  EXPECT_EQ(back.Get(0, 0), 0x00112233u);
  EXPECT_EQ(back.Get(1, 0), 0x00445566u);
}

TEST(BlitTest, IndexedDestinationTakesNearestLowestOnTie) {
  // Entries 1 and 2 are equally near to (100,100,100); 1 wins.
  std::vector<RGBQuad> table(256, RGBQuad{255, 255, 255, 0});
  table[0] = {0, 0, 0, 0};
  table[1] = {90, 90, 90, 0};
  table[2] = {110, 110, 110, 0};
  table[3] = {50, 60, 250, 0};  // red 250, green 60, blue 50
  Surface s(3, 1, 24), d(3, 1, 8, table);
  s.Set(0, 0, 0x646464);  // (100,100,100)
  s.Set(1, 0, 0xF03C32);  // (240,60,50) nearest entry 3
  s.Set(2, 0, 0x6E6E6E);  // exact entry 2
  ASSERT_NE(BitBlt(d.dc(), 0, 0, 3, 1, s.dc(), 0, 0, kSrcCopy), 0);
  EXPECT_EQ(d.Get(0, 0), 1u);
  EXPECT_EQ(d.Get(1, 0), 3u);
  EXPECT_EQ(d.Get(2, 0), 2u);
}

TEST(BlitTest, IdenticalTablesKeepIndicesEvenForDuplicateColours) {
  std::vector<RGBQuad> table(256, RGBQuad{0, 0, 0, 0});  // every entry black
  table[7] = {1, 2, 3, 0};
  Surface s(4, 1, 8, table), d(4, 1, 8, table);
  const std::uint32_t px[4] = {5, 200, 7, 0};
  for (int x = 0; x < 4; ++x) s.Set(x, 0, px[x]);
  ASSERT_NE(BitBlt(d.dc(), 0, 0, 4, 1, s.dc(), 0, 0, kSrcCopy), 0);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(d.Get(x, 0), px[x]);
  // Stretched: still the same table, still the same indices.
  Surface wide(8, 1, 8, table);
  ASSERT_NE(StretchBlt(wide.dc(), 0, 0, 8, 1, s.dc(), 0, 0, 4, 1, kSrcCopy), 0);
  for (int x = 0; x < 8; ++x) EXPECT_EQ(wide.Get(x, 0), px[x / 2]);
  // A different table (one entry changed) re-matches: duplicates go to the lowest index.
  table[255] = {9, 9, 9, 0};
  Surface other(4, 1, 8, table);
  ASSERT_NE(BitBlt(other.dc(), 0, 0, 4, 1, s.dc(), 0, 0, kSrcCopy), 0);
  EXPECT_EQ(other.Get(0, 0), 0u);
  EXPECT_EQ(other.Get(1, 0), 0u);
  EXPECT_EQ(other.Get(2, 0), 7u);
}

TEST(BlitTest, DeviceRowsCountFromLastMemoryRow) {
  Surface s(1, 1, 8), d(4, 5, 8);
  s.Set(0, 0, 42);
  ASSERT_NE(BitBlt(d.dc(), 2, 1, 1, 1, s.dc(), 0, 0, kSrcCopy), 0);
  for (int r = 0; r < 5; ++r)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(d.Get(x, r), (x == 2 && r == 3) ? 42u : 0u) << x << "," << r;
}

TEST(BlitTest, RasterOperationsCombineRawValues) {
  struct Case {
    int bpp;
    std::uint32_t rop, dst, src, want;
  };
  const Case cases[] = {
      {32, kSrcAnd, 0x00F0F0F0, 0x003C3C3C, 0x00303030}, {32, kSrcPaint, 0x00F00000, 0x0000000F, 0x00F0000F},
      {24, kSrcAnd, 0x00FF00FF, 0x00123456, 0x00120056}, {24, kSrcPaint, 0x00010000, 0x00000100, 0x00010100},
      {16, kSrcAnd, 0x7FFF, 0x03E0, 0x03E0},            {16, kSrcPaint, 0x001F, 0x7C00, 0x7C1F},
      {32, kSrcCopy, 0x00FFFFFF, 0x00000001, 0x00000001},
  };
  for (const Case& c : cases) {
    Surface s(1, 1, c.bpp), d(1, 1, c.bpp);
    s.Set(0, 0, c.src);
    d.Set(0, 0, c.dst);
    ASSERT_NE(BitBlt(d.dc(), 0, 0, 1, 1, s.dc(), 0, 0, c.rop), 0);
    EXPECT_EQ(d.Get(0, 0), c.want) << c.bpp << " rop " << std::hex << c.rop;
  }
}

TEST(BlitTest, RasterOperationsOnIndicesOfIndexedDestinations) {
  std::vector<RGBQuad> table(16);
  for (int i = 0; i < 16; ++i) table[i] = {static_cast<std::uint8_t>(i * 16), 0, 0, 0};
  Surface s(3, 1, 4, table), d(3, 1, 4, table);
  for (int x = 0; x < 3; ++x) s.Set(x, 0, 0x6), d.Set(x, 0, 0xC);
  ASSERT_NE(BitBlt(d.dc(), 0, 0, 2, 1, s.dc(), 0, 0, kSrcAnd), 0);
  EXPECT_EQ(d.Get(0, 0), 0x4u);
  EXPECT_EQ(d.Get(1, 0), 0x4u);
  EXPECT_EQ(d.Get(2, 0), 0xCu);  // outside the rectangle
  ASSERT_NE(BitBlt(d.dc(), 1, 0, 2, 1, s.dc(), 0, 0, kSrcPaint), 0);
  EXPECT_EQ(d.Get(1, 0), 0x6u);
  EXPECT_EQ(d.Get(2, 0), 0xEu);
}

TEST(BlitTest, MaskThenImageDrawsOnlyOpaquePixels) {
  // Mask 1 = transparent (white), image black where transparent.
  const std::vector<RGBQuad> bw = {{0, 0, 0, 0}, {255, 255, 255, 0}};
  Surface mask(2, 1, 1, bw), img(2, 1, 32), dst(2, 1, 32);
  mask.Set(0, 0, 1);
  img.Set(1, 0, 0x00112233);
  dst.Set(0, 0, 0x00ABCDEF);
  dst.Set(1, 0, 0x00ABCDEF);
  ASSERT_NE(BitBlt(dst.dc(), 0, 0, 2, 1, mask.dc(), 0, 0, kSrcAnd), 0);
  ASSERT_NE(BitBlt(dst.dc(), 0, 0, 2, 1, img.dc(), 0, 0, kSrcPaint), 0);
  EXPECT_EQ(dst.Get(0, 0), 0x00ABCDEFu);
  EXPECT_EQ(dst.Get(1, 0), 0x00112233u);
}

TEST(BlitTest, FailuresLeaveDestinationAlone) {
  Surface s(2, 2, 32), d(2, 2, 32);
  s.Set(0, 0, 1);
  const HDC screen = GetDC(0);
  EXPECT_EQ(BitBlt(d.dc(), 0, 0, 2, 2, s.dc(), 0, 0, 0x660046), 0);  // unknown raster operation
  EXPECT_EQ(d.Get(0, 0), 0u);
  EXPECT_EQ(BitBlt(screen, 0, 0, 2, 2, s.dc(), 0, 0, kSrcCopy), 0);
  EXPECT_EQ(BitBlt(d.dc(), 0, 0, 2, 2, screen, 0, 0, kSrcCopy), 0);
  EXPECT_EQ(BitBlt(d.dc(), 0, 0, 2, 2, 0, 0, 0, kSrcCopy), 0);
  EXPECT_EQ(StretchBlt(d.dc(), 0, 0, 2, 2, 0xDEADBEEF, 0, 0, 2, 2, kSrcCopy), 0);
  const HDC bare = CreateCompatibleDC(0);  // only the stock bitmap
  EXPECT_EQ(BitBlt(d.dc(), 0, 0, 1, 1, bare, 0, 0, kSrcCopy), 0);
  DeleteDC(bare);
  ReleaseDC(0, screen);
  // Nothing to draw is not a failure.
  EXPECT_NE(StretchBlt(d.dc(), 0, 0, 0, 2, s.dc(), 0, 0, 2, 2, kSrcCopy), 0);
  EXPECT_NE(StretchBlt(d.dc(), 0, 0, 2, 2, s.dc(), 0, 0, 2, 0, kSrcCopy), 0);
  EXPECT_NE(BitBlt(d.dc(), 5, 5, 2, 2, s.dc(), 0, 0, kSrcCopy), 0);
  for (int r = 0; r < 2; ++r)
    for (int x = 0; x < 2; ++x) EXPECT_EQ(d.Get(x, r), 0u);
}

TEST(BlitTest, StretchTakesFloorOfScaledOffset) {
  Surface s(7, 1, 8), d(7, 1, 8);
  for (int x = 0; x < 7; ++x) s.Set(x, 0, 10 + x);
  // 3 -> 7: i*3/7 = 0,0,0,1,1,2,2
  ASSERT_NE(StretchBlt(d.dc(), 0, 0, 7, 1, s.dc(), 0, 0, 3, 1, kSrcCopy), 0);
  const std::uint32_t up[7] = {10, 10, 10, 11, 11, 12, 12};
  for (int x = 0; x < 7; ++x) EXPECT_EQ(d.Get(x, 0), up[x]);
  // 7 -> 3: i*7/3 = 0,2,4
  ASSERT_NE(StretchBlt(d.dc(), 0, 0, 3, 1, s.dc(), 0, 0, 7, 1, kSrcCopy), 0);
  EXPECT_EQ(d.Get(0, 0), 10u);
  EXPECT_EQ(d.Get(1, 0), 12u);
  EXPECT_EQ(d.Get(2, 0), 14u);
  // Rows: 2 source rows onto 5; device row i takes source device row i*2/5 = 0,0,0,1,1.
  Surface sr(1, 2, 8), dr(1, 5, 8);
  sr.Set(0, 1, 1);  // device row 0
  sr.Set(0, 0, 2);  // device row 1
  ASSERT_NE(StretchBlt(dr.dc(), 0, 0, 1, 5, sr.dc(), 0, 0, 1, 2, kSrcCopy), 0);
  const std::uint32_t rows[5] = {1, 1, 1, 2, 2};  // by device row
  for (int y = 0; y < 5; ++y) EXPECT_EQ(dr.Get(0, 4 - y), rows[y]) << y;
}

// Independent per-pixel model of one transfer, for comparing against the
// clipped, fast-pathed implementation.
void Model(std::vector<std::uint32_t>& dst, int dw, int dh, const std::vector<std::uint32_t>& src, int sw, int sh,
           int x, int y, int w, int h, int xs, int ys, int ws, int hs) {
  if (w == 0 || h == 0 || ws == 0 || hs == 0) return;
  const std::vector<std::uint32_t> in = src;  // snapshot: source may be the destination
  const long long D = std::llabs(w), E = std::llabs(h), S = std::llabs(ws), T = std::llabs(hs);
  for (long long j = 0; j < E; ++j)
    for (long long i = 0; i < D; ++i) {
      const long long dx = x + (w < 0 ? -i : i), dy = y + (h < 0 ? -j : j);
      const long long sx = xs + (ws < 0 ? -1 : 1) * (i * S / D), sy = ys + (hs < 0 ? -1 : 1) * (j * T / E);
      if (dx < 0 || dx >= dw || dy < 0 || dy >= dh || sx < 0 || sx >= sw || sy < 0 || sy >= sh) continue;
      dst[(dh - 1 - dy) * dw + dx] = in[(sh - 1 - sy) * sw + sx];
    }
}

TEST(BlitTest, RandomTransfersMatchPixelModel) {
  std::mt19937 rng(1234);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int bpp : {8, 32, 4, 1, 24}) {
    for (int iter = 0; iter < 300; ++iter) {
      const int sw = pick(1, 9), sh = pick(1, 7), dw = pick(1, 9), dh = pick(1, 7);
      const bool same = iter % 4 == 0;
      std::vector<RGBQuad> table;
      if (bpp <= 8)
        for (int i = 0; i < (1 << bpp); ++i) table.push_back({static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i * 3), 1, 0});
      Surface s(sw, sh, bpp, table), dsurf(dw, dh, bpp, table);
      Surface& d = same ? s : dsurf;
      const int w_d = same ? sw : dw, h_d = same ? sh : dh;
      const std::uint32_t mask = bpp >= 24 ? 0xFFFFFF : (1u << bpp) - 1;
      std::vector<std::uint32_t> sm(sw * sh), dm(w_d * h_d);
      for (int r = 0; r < sh; ++r)
        for (int x = 0; x < sw; ++x) s.Set(x, r, sm[r * sw + x] = rng() & mask);
      if (!same)
        for (int r = 0; r < dh; ++r)
          for (int x = 0; x < dw; ++x) d.Set(x, r, dm[r * dw + x] = rng() & mask);
      else
        dm = sm;
      const int x = pick(-4, 10), y = pick(-4, 8), w = pick(-12, 12), h = pick(-9, 9);
      const int xs = pick(-4, 10), ys = pick(-4, 8), ws = pick(-12, 12), hs = pick(-9, 9);
      ASSERT_NE(StretchBlt(d.dc(), x, y, w, h, s.dc(), xs, ys, ws, hs, kSrcCopy), 0);
      Model(dm, w_d, h_d, sm, sw, sh, x, y, w, h, xs, ys, ws, hs);
      for (int r = 0; r < h_d; ++r)
        for (int c = 0; c < w_d; ++c)
          ASSERT_EQ(d.Get(c, r), dm[r * w_d + c])
              << "bpp " << bpp << " iter " << iter << " pixel " << c << "," << r << " blt " << x << "," << y << ","
              << w << "," << h << " from " << xs << "," << ys << "," << ws << "," << hs << (same ? " in place" : "");
    }
  }
}

TEST(BlitTest, ExtremeCoordinatesStayInsideBothSurfaces) {
  Surface s(5, 4, 32), d(6, 3, 32);
  for (int r = 0; r < 4; ++r)
    for (int x = 0; x < 5; ++x) s.Set(x, r, 0x010101u * (r * 5 + x + 1));
  const int big[] = {INT_MIN, INT_MIN + 1, -100000, -1, 0, 1, 100000, INT_MAX - 1, INT_MAX};
  for (int a : big)
    for (int b : big) {
      EXPECT_NE(StretchBlt(d.dc(), a, b, b, a, s.dc(), b, a, a, b, kSrcCopy), 0);
      EXPECT_NE(StretchBlt(d.dc(), 0, 0, a, b, s.dc(), 0, 0, 5, 4, kSrcCopy), 0);
      EXPECT_NE(StretchBlt(d.dc(), 5, 2, 6, 3, s.dc(), a, b, 5, 4, kSrcPaint), 0);
      EXPECT_NE(BitBlt(d.dc(), a, b, INT_MAX, INT_MAX, s.dc(), b, a, kSrcCopy), 0);
      EXPECT_NE(StretchBlt(s.dc(), a, 0, b, 4, s.dc(), 0, a, 5, b, kSrcCopy), 0);
    }
}

TEST(BlitTest, HugeStretchIsClippedNotIterated) {
  // Source 1x1 stretched over an enormous rectangle: only the surface's pixels are written.
  Surface s(1, 1, 32), d(3, 2, 32);
  s.Set(0, 0, 0x00ABCDEF);
  ASSERT_NE(StretchBlt(d.dc(), -1000000000, -1000000000, 2000000000, 2000000000, s.dc(), 0, 0, 1, 1, kSrcCopy), 0);
  for (int r = 0; r < 2; ++r)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(d.Get(x, r), 0x00ABCDEFu);
}

TEST(BlitTest, InPlaceMirrorsAtSubByteDepths) {
  for (int bpp : {1, 4, 8, 24}) {
    const int w = 11, h = 5;
    std::vector<RGBQuad> table;
    if (bpp <= 8) table.assign(std::size_t{1} << bpp, RGBQuad{1, 2, 3, 0});  // all alike: indices must survive
    Surface s(w, h, bpp, table);
    const std::uint32_t mask = bpp >= 24 ? 0xFFFFFF : (1u << bpp) - 1;
    std::vector<std::uint32_t> orig(w * h);
    for (int r = 0; r < h; ++r)
      for (int x = 0; x < w; ++x) s.Set(x, r, orig[r * w + x] = (x * 7 + r * 3 + 1) & mask);
    ASSERT_NE(StretchBlt(s.dc(), w - 1, 0, -w, h, s.dc(), 0, 0, w, h, kSrcCopy), 0);
    for (int r = 0; r < h; ++r)
      for (int x = 0; x < w; ++x) ASSERT_EQ(s.Get(x, r), orig[r * w + (w - 1 - x)]) << bpp << " h " << x << "," << r;
    ASSERT_NE(StretchBlt(s.dc(), 0, h - 1, w, -h, s.dc(), 0, 0, w, h, kSrcCopy), 0);
    for (int r = 0; r < h; ++r)
      for (int x = 0; x < w; ++x)
        ASSERT_EQ(s.Get(x, r), orig[(h - 1 - r) * w + (w - 1 - x)]) << bpp << " v " << x << "," << r;
  }
}

TEST(BlitTest, OverlappingInPlaceShift) {
  Surface s(4, 4, 32);
  for (int r = 0; r < 4; ++r)
    for (int x = 0; x < 4; ++x) s.Set(x, r, r * 4 + x + 1);
  // Move the top three device rows down by one (memory rows 3..1 -> 2..0).
  ASSERT_NE(BitBlt(s.dc(), 1, 1, 3, 3, s.dc(), 0, 0, kSrcCopy), 0);
  for (int r = 0; r < 3; ++r)
    for (int x = 1; x < 4; ++x) EXPECT_EQ(s.Get(x, r), static_cast<std::uint32_t>((r + 1) * 4 + (x - 1) + 1));
  EXPECT_EQ(s.Get(0, 0), 1u);
  EXPECT_EQ(s.Get(0, 3), 13u);
}

TEST(GetDIBitsTest, DeliversRowsInMemoryOrderConverted) {
  std::vector<RGBQuad> table(256);
  for (int i = 0; i < 256; ++i) table[i] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), 7, 0};
  Surface s(3, 4, 8, table);
  for (int r = 0; r < 4; ++r)
    for (int x = 0; x < 3; ++x) s.Set(x, r, r * 10 + x);
  BitmapInfoHeader hdr{40, 3, 4, 1, 32, 0, 0, 0, 0, 0, 0};
  std::vector<std::uint8_t> buf(3 * 4 * 2 + 4, 0xEE);
  const HDC dc = CreateCompatibleDC(0);
  // Rows 1..2 into a buffer with room for 2 rows only (plus a guard).
  ASSERT_EQ(GetDIBits(dc, s.bmp(), 1, 5, buf.data(), 24, hdr, nullptr), 2);
  for (int k = 0; k < 2; ++k)
    for (int x = 0; x < 3; ++x) {
      const std::uint8_t* p = buf.data() + k * 12 + x * 4;
      const int i = (k + 1) * 10 + x;
      EXPECT_EQ(p[0], i);
      EXPECT_EQ(p[1], 255 - i);
      EXPECT_EQ(p[2], 7);
      EXPECT_EQ(p[3], 0);
    }
  for (int g = 24; g < 28; ++g) EXPECT_EQ(buf[g], 0xEE);

  // Same depth: bytes and the colour table as they are.
  BitmapInfoHeader h8{40, 3, 4, 1, 8, 0, 0, 0, 0, 0, 0};
  std::vector<std::uint8_t> raw(16, 0xEE);
  std::vector<RGBQuad> out(256);
  ASSERT_EQ(GetDIBits(dc, s.bmp(), 0, 4, raw.data(), raw.size(), h8, out.data()), 4);
  for (int r = 0; r < 4; ++r)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(raw[r * 4 + x], r * 10 + x);
  EXPECT_EQ(std::memcmp(out.data(), table.data(), 1024), 0);

  // Refusals.
  EXPECT_EQ(GetDIBits(dc, s.bmp(), 4, 1, raw.data(), raw.size(), h8, nullptr), 0);  // past the last row
  EXPECT_EQ(GetDIBits(dc, s.bmp(), 0, 4, raw.data(), 3, h8, nullptr), 0);           // not one whole row
  BitmapInfoHeader h4 = h8;
  h4.bit_count = 4;
  EXPECT_EQ(GetDIBits(dc, s.bmp(), 0, 4, raw.data(), raw.size(), h4, nullptr), 0);  // other indexed depth
  BitmapInfoHeader bad = h8;
  bad.bit_count = 7;
  EXPECT_EQ(GetDIBits(dc, s.bmp(), 0, 4, raw.data(), raw.size(), bad, nullptr), 0);
  EXPECT_EQ(GetDIBits(dc, 0, 0, 4, raw.data(), raw.size(), h8, nullptr), 0);
  EXPECT_EQ(GetDIBits(0, s.bmp(), 0, 4, raw.data(), raw.size(), h8, nullptr), 0);
  DeleteDC(dc);
}

TEST(GetDIBitsTest, DirectColourLayouts) {
  Surface s(2, 1, 32);
  s.Set(0, 0, 0x00FF8040);
  s.Set(1, 0, 0x00081018);
  const HDC dc = CreateCompatibleDC(0);
  BitmapInfoHeader h24{40, 2, 1, 1, 24, 0, 0, 0, 0, 0, 0};
  std::uint8_t b24[8] = {};
  ASSERT_EQ(GetDIBits(dc, s.bmp(), 0, 1, b24, sizeof b24, h24, nullptr), 1);
  const std::uint8_t want24[6] = {0x40, 0x80, 0xFF, 0x18, 0x10, 0x08};
  EXPECT_EQ(std::memcmp(b24, want24, 6), 0);
  BitmapInfoHeader h16{40, 2, 1, 1, 16, 0, 0, 0, 0, 0, 0};
  std::uint8_t b16[4] = {};
  ASSERT_EQ(GetDIBits(dc, s.bmp(), 0, 1, b16, sizeof b16, h16, nullptr), 1);
  EXPECT_EQ(b16[0] | (b16[1] << 8), (31 << 10) | (16 << 5) | 8);
  EXPECT_EQ(b16[2] | (b16[3] << 8), (1 << 10) | (2 << 5) | 3);
  DeleteDC(dc);
}

}  // namespace
}  // namespace zoetra::platform

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "raster/cdib.hpp"
#include "support/raster_pixels.hpp"

namespace zoetra {
namespace {

using test::Px;
using test::SetPx;

// Pixels A..F are colours 0x0A0A0A..0x0F0F0F with a nonzero fourth byte.
std::uint32_t Letter(char c) { return 0x77000000u | (0x010101u * static_cast<std::uint32_t>(c - 'A' + 10)); }

// Memory rows as letters, e.g. "ABC|DEF"; fourth bytes must match `fourth`.
std::string Rows(const cDIB& d, std::uint32_t fourth) {
  std::string out;
  for (int r = 0; r < d.Height(); ++r) {
    if (r) out += '|';
    for (int x = 0; x < d.Width(); ++x) {
      const std::uint32_t v = Px(d, x, r);
      if ((v >> 24) != fourth) return "bad fourth byte";
      out += static_cast<char>('A' + static_cast<int>(v & 0xFF) - 10);
    }
  }
  return out;
}

struct OrientCase {
  bool rotate, flip_h, flip_v;
  const char* rows;
};

TEST(cDIBTransformTest, OrientationOfThreeByTwo) {
  const OrientCase cases[] = {
      {false, false, false, "ABC|DEF"}, {false, false, true, "DEF|ABC"}, {false, true, false, "CBA|FED"},
      {false, true, true, "FED|CBA"},   {true, false, false, "CF|BE|AD"}, {true, true, false, "FC|EB|DA"},
      {true, false, true, "AD|BE|CF"},  {true, true, true, "DA|EB|FC"},
  };
  for (const OrientCase& c : cases) {
    cDIB d;
    ASSERT_TRUE(d.Create(3, 2, 32));
    const char* letters = "ABCDEF";
    for (int i = 0; i < 6; ++i) SetPx(d, i % 3, i / 3, Letter(letters[i]));
    d.Orientation(c.rotate, c.flip_h, c.flip_v);
    EXPECT_EQ(d.BPP(), 32);
    // Mirrors move whole pixels; the turn keeps colour bytes only.
    EXPECT_EQ(Rows(d, c.rotate ? 0 : 0x77), c.rows) << c.rotate << c.flip_h << c.flip_v;
  }
}

TEST(cDIBTransformTest, QuarterTurnOfLargeOddRaster) {
  const int W = 45, H = 70;  // not multiples of the tile size
  cDIB d;
  ASSERT_TRUE(d.Create(W, H, 32));
  std::mt19937 rng(7);
  std::vector<std::uint32_t> orig(W * H);
  for (int r = 0; r < H; ++r)
    for (int x = 0; x < W; ++x) SetPx(d, x, r, orig[r * W + x] = rng());
  d.Orientation(true, false, false);
  ASSERT_EQ(d.Width(), H);
  ASSERT_EQ(d.Height(), W);
  // Drawn picture turned clockwise: drawn (c, row d from top) goes to drawn (H-1-d, c).
  for (int r = 0; r < H; ++r)
    for (int x = 0; x < W; ++x) {
      const int drawn_row = H - 1 - r;
      const int new_col = H - 1 - drawn_row, new_drawn_row = x;
      ASSERT_EQ(Px(d, new_col, W - 1 - new_drawn_row), orig[r * W + x] & 0x00FFFFFF) << x << "," << r;
    }
}

TEST(cDIBTransformTest, IndexedRasterMirrorsKeepDepthAndTable) {
  for (int bpp : {1, 4, 8}) {
    const int w = 11, h = 3;
    cDIB d;
    ASSERT_TRUE(d.Create(w, h, bpp));
    const int n = 1 << bpp;
    std::vector<std::uint8_t> table(4 * n, 0);  // all black: a colour match would collapse indices
    d.SetPalette(table);
    auto get = [&](int x, int r) {
      const std::uint8_t* row = d.lpBits() + r * d.BytesPerScanline();
      if (bpp == 8) return static_cast<int>(row[x]);
      if (bpp == 4) return x % 2 ? row[x / 2] & 0xF : row[x / 2] >> 4;
      return (row[x / 8] >> (7 - x % 8)) & 1;
    };
    auto set = [&](int x, int r, int v) {
      std::uint8_t* row = d.lpBits() + r * d.BytesPerScanline();
      if (bpp == 8) row[x] = static_cast<std::uint8_t>(v);
      else if (bpp == 4) row[x / 2] = static_cast<std::uint8_t>(x % 2 ? (row[x / 2] & 0xF0) | v : (row[x / 2] & 0x0F) | (v << 4));
      else if (v) row[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    };
    std::vector<int> orig(w * h);
    for (int r = 0; r < h; ++r)
      for (int x = 0; x < w; ++x) set(x, r, orig[r * w + x] = (x * 5 + r * 3 + 1) % n);
    d.Orientation(false, true, false);
    d.Orientation(false, false, true);
    EXPECT_EQ(d.BPP(), bpp);
    for (int r = 0; r < h; ++r)
      for (int x = 0; x < w; ++x)
        ASSERT_EQ(get(x, r), orig[(h - 1 - r) * w + (w - 1 - x)]) << bpp << " at " << x << "," << r;
    std::vector<std::uint8_t> after(4 * n, 0xEE);
    d.GetPalette(after);
    EXPECT_EQ(after, table);
  }
}

TEST(cDIBTransformTest, QuarterTurnResolvesColoursOfIndexedRaster) {
  cDIB d;
  ASSERT_TRUE(d.Create(2, 1, 8));
  std::vector<std::uint8_t> table(1024, 0);
  table[4 * 1 + 0] = 1, table[4 * 1 + 1] = 2, table[4 * 1 + 2] = 3, table[4 * 1 + 3] = 99;
  table[4 * 2 + 2] = 200;
  d.SetPalette(table);
  d.lpBits()[0] = 1;
  d.lpBits()[1] = 2;
  d.Orientation(true, false, false);
  ASSERT_EQ(d.BPP(), 32);
  ASSERT_EQ(d.Width(), 1);
  ASSERT_EQ(d.Height(), 2);
  EXPECT_EQ(Px(d, 0, 1), 0x00030201u);  // pixel 0 ends up on top
  EXPECT_EQ(Px(d, 0, 0), 0x00C80000u);
}

TEST(cDIBTransformTest, SwapRGExchangesRedAndGreen) {
  cDIB d;
  ASSERT_TRUE(d.Create(2, 2, 32));
  const std::uint8_t px[4] = {10, 20, 30, 99};
  std::memcpy(d.lpBits() + 4, px, 4);
  d.SwapRG();
  ASSERT_EQ(d.BPP(), 32);
  const std::uint8_t want[4] = {10, 30, 20, 0};
  EXPECT_EQ(std::memcmp(d.lpBits() + 4, want, 4), 0);
  EXPECT_EQ(Px(d, 0, 0), 0u);
  // Asked to, the fourth byte (alpha) stays.
  std::memcpy(d.lpBits() + 4, px, 4);
  d.SwapRG(true);
  const std::uint8_t kept[4] = {10, 30, 20, 99};
  EXPECT_EQ(std::memcmp(d.lpBits() + 4, kept, 4), 0);
}

TEST(cDIBTransformTest, SwapRGOnOtherDepthsGivesThirtyTwoBits) {
  cDIB d8;
  ASSERT_TRUE(d8.Create(3, 2, 8));
  std::vector<std::uint8_t> table(1024, 0);
  for (int i = 0; i < 256; ++i) table[4 * i] = static_cast<std::uint8_t>(i), table[4 * i + 1] = 7, table[4 * i + 2] = 200;
  d8.SetPalette(table);
  for (int r = 0; r < 2; ++r)
    for (int x = 0; x < 3; ++x) d8.lpBits()[r * 4 + x] = static_cast<std::uint8_t>(r * 3 + x + 40);
  d8.SwapRG();
  ASSERT_EQ(d8.BPP(), 32);
  ASSERT_EQ(d8.Width(), 3);
  ASSERT_EQ(d8.Height(), 2);
  for (int r = 0; r < 2; ++r)
    for (int x = 0; x < 3; ++x) {
      const std::uint32_t blue = r * 3 + x + 40;
      EXPECT_EQ(Px(d8, x, r), blue | (200u << 8) | (7u << 16));
    }
  cDIB d24;
  ASSERT_TRUE(d24.Create(1, 1, 24));
  d24.lpBits()[0] = 1, d24.lpBits()[1] = 2, d24.lpBits()[2] = 3;
  d24.SwapRG();
  ASSERT_EQ(d24.BPP(), 32);
  EXPECT_EQ(Px(d24, 0, 0), 0x00020301u);
}

TEST(cDIBTransformTest, LegacyOperations) {
  cDIB d;
  ASSERT_TRUE(d.Create(2, 3, 32));
  for (int r = 0; r < 3; ++r)
    for (int x = 0; x < 2; ++x) SetPx(d, x, r, 0x44332211u + static_cast<std::uint32_t>(r * 2 + x));
  EXPECT_FALSE(d.SwapRGB_old());
  EXPECT_EQ(Px(d, 1, 2), 0x44223316u);  // bytes 1 and 2 exchanged, fourth kept
  EXPECT_FALSE(d.FlipDIB_old());
  EXPECT_EQ(Px(d, 1, 0), 0x00223316u);  // rows reversed, fourth byte cleared
  EXPECT_EQ(Px(d, 0, 2), 0x00223311u);

  // On 24 bits the groups do not follow pixels: every fourth byte of a row is cleared.
  cDIB t;
  ASSERT_TRUE(t.Create(4, 2, 24));  // stride 12
  for (int i = 0; i < 24; ++i) t.lpBits()[i] = static_cast<std::uint8_t>(i + 1);
  EXPECT_FALSE(t.FlipDIB_old());
  const std::uint8_t want[24] = {13, 14, 15, 0, 17, 18, 19, 0, 21, 22, 23, 0,
                                 1,  2,  3,  0, 5,  6,  7,  0, 9,  10, 11, 0};
  EXPECT_EQ(std::memcmp(t.lpBits(), want, 24), 0);
}

TEST(cDIBTransformTest, EmptyRasterIsLeftAlone) {
  cDIB d;
  d.Orientation(true, true, true);
  d.SwapRG();
  EXPECT_FALSE(d.SwapRGB_old());
  EXPECT_FALSE(d.FlipDIB_old());
  EXPECT_EQ(d.hDIB(), 0u);
  EXPECT_EQ(d.Width(), 0);
}

}  // namespace
}  // namespace zoetra

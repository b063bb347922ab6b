#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "gif/cgif.hpp"
#include "platform/base/error.hpp"
#include "raster/cdib.hpp"
#include "support/caught.hpp"

namespace zoetra {
namespace {

int MaskBit(const cDIB& m, int x, int r) {
  return (m.lpBits()[static_cast<std::size_t>(r) * m.BytesPerScanline() + x / 8] >> (7 - x % 8)) & 1;
}

// Colour 0x00RRGGBB at device point (x, y) of a 32-bit raster.
std::uint32_t At(const cDIB& d, int x, int y) {
  std::uint32_t v;
  std::memcpy(&v, d.lpBits() + static_cast<std::size_t>(d.Height() - 1 - y) * d.BytesPerScanline() + 4 * x, 4);
  return v & 0x00FFFFFF;
}

// Frame palette entry i = (blue i, green 0x40, red 0x80); image pixel (x, r) = f(x, r).
template <class F>
void FillFrame(cGIF& g, std::int16_t n, F f) {
  std::uint8_t* pal = g.lpLocalPalette(n);
  for (int i = 0; i < 256; ++i) pal[4 * i] = static_cast<std::uint8_t>(i), pal[4 * i + 1] = 0x40, pal[4 * i + 2] = 0x80;
  cDIB& img = *g.FrameDIBXOR(n);
  for (int r = 0; r < img.Height(); ++r)
    for (int x = 0; x < img.Width(); ++x)
      img.lpBits()[static_cast<std::size_t>(r) * img.BytesPerScanline() + x] = static_cast<std::uint8_t>(f(x, r));
}
std::uint32_t ColourOf(int index) { return 0x804000u | static_cast<std::uint32_t>(index); }

TEST(cGIFMaskTest, OpaqueFrameGetsEmptyMaskAndItsOwnColours) {
  cGIF g;
  g.FrameInsert(1, 9, 2);
  FillFrame(g, 1, [](int, int) { return 7; });
  // A stale mask must be cleared.
  std::memset(g.FrameDIBAND(1)->lpBits(), 0xFF, g.FrameDIBAND(1)->Size());
  g.FrameMask(1, 7);
  const cDIB& m = *g.FrameDIBAND(1);
  for (int i = 0; i < m.Size(); ++i) EXPECT_EQ(m.lpBits()[i], 0) << i;
  std::vector<std::uint8_t> table(1024);
  g.FrameDIBXOR(1)->GetPalette(table);
  EXPECT_EQ(std::memcmp(table.data(), g.lpLocalPalette(1), 1024), 0);
}

TEST(cGIFMaskTest, TransparentIndexSetsMaskBitsAndBlackEntry) {
  cGIF g;
  g.FrameInsert(1, 2, 1);
  FillFrame(g, 1, [](int x, int) { return x == 0 ? 3 : 5; });
  g.FrameUseTransparentColor(1, -1);
  g.FrameMask(1, 5);
  EXPECT_EQ(MaskBit(*g.FrameDIBAND(1), 0, 0), 0);
  EXPECT_EQ(MaskBit(*g.FrameDIBAND(1), 1, 0), 1);
  std::vector<std::uint8_t> table(1024);
  g.FrameDIBXOR(1)->GetPalette(table);
  EXPECT_EQ(table[20], 0);
  EXPECT_EQ(table[21], 0);
  EXPECT_EQ(table[22], 0);
  EXPECT_EQ(table[12], 3);  // other entries untouched
  EXPECT_EQ(g.LocalPaletteRGBEntry(1, 5), 0x80 + 256 * 0x40 + 65536 * 5);
}

TEST(cGIFMaskTest, MaskFollowsIndicesEverywhere) {
  cGIF g;
  g.FrameInsert(1, 13, 5);  // odd width: partial last mask byte
  std::mt19937 rng(3);
  std::vector<int> px(13 * 5);
  for (int& p : px) p = static_cast<int>(rng() % 4);
  FillFrame(g, 1, [&](int x, int r) { return px[r * 13 + x]; });
  // Entry 2 shares its colour with entry 1: the mask must still follow the index, not the colour.
  std::memcpy(g.lpLocalPalette(1) + 8, g.lpLocalPalette(1) + 4, 4);
  g.FrameUseTransparentColor(1, 1);
  g.FrameMask(1, 2);
  for (int r = 0; r < 5; ++r)
    for (int x = 0; x < 13; ++x) EXPECT_EQ(MaskBit(*g.FrameDIBAND(1), x, r), px[r * 13 + x] == 2) << x << "," << r;
  EXPECT_THROW(g.FrameMask(2, 0), Error);
  EXPECT_THROW(g.FrameMask(0, 0), Error);
}

TEST(cGIFDrawTest, ScaledFrameFillsScaledRectangleUpright) {
  cGIF g;
  g.FrameInsert(1, 10, 10);
  g.FrameLeft(1, 3);
  g.FrameTop(1, 4);
  FillFrame(g, 1, [](int x, int r) { return r * 10 + x; });
  g.FrameMask(1, 0);
  cDIB dst;
  ASSERT_TRUE(dst.Create(40, 40, 32));
  dst.Cls(0x123456);
  g.FrameDraw(dst.hDC(), 1, 0, 0, 2.0f, false);
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 40; ++x) {
      const bool inside = x >= 6 && x < 26 && y >= 8 && y < 28;
      const std::uint32_t want = inside ? ColourOf((y - 8) / 2 * 10 + (x - 6) / 2) : 0x563412u;
      ASSERT_EQ(At(dst, x, y), want) << x << "," << y;
    }
}

TEST(cGIFDrawTest, PositionAndScaleRoundHalvesToEven) {
  cGIF g;
  g.FrameInsert(1, 5, 5);
  g.FrameLeft(1, 3);
  g.FrameTop(1, 1);
  FillFrame(g, 1, [](int, int) { return 9; });
  g.FrameMask(1, 0);
  cDIB dst;
  ASSERT_TRUE(dst.Create(10, 10, 32));
  // x = 1.5 -> 2, y = 0.5 -> 0, size 2.5 -> 2.
  g.FrameDraw(dst.hDC(), 1, 0, 0, 0.5f, false);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) {
      const bool inside = x >= 2 && x < 4 && y >= 0 && y < 2;
      EXPECT_EQ(At(dst, x, y), inside ? ColourOf(9) : 0u) << x << "," << y;
    }
}

TEST(cGIFDrawTest, ScreenCropCutsColumnsAndRows) {
  cGIF g;
  g.FrameInsert(1, 100, 100);  // sets the screen to 100 x 100
  g.FrameInsert(2, 30, 4);
  g.FrameInsert(3, 30, 4);
  g.FrameInsert(4, 6, 10);
  g.FrameLeft(2, 80);
  g.FrameLeft(3, 120);
  g.FrameTop(4, 95);
  for (std::int16_t n = 2; n <= 4; ++n) {
    FillFrame(g, n, [](int x, int r) { return 1 + r * 30 + x; });
    g.FrameMask(n, 0);
  }
  ASSERT_EQ(g.ScreenWidth(), 100);
  cDIB dst;
  ASSERT_TRUE(dst.Create(160, 120, 32));

  g.FrameDraw(dst.hDC(), 2, 0, 0, 1.0f, true);
  for (int x = 0; x < 160; ++x) {
    const bool inside = x >= 80 && x < 100;  // source columns 0..19
    EXPECT_EQ(At(dst, x, 0), inside ? ColourOf(1 + (x - 80)) : 0u) << x;
  }
  dst.Reset();
  g.FrameDraw(dst.hDC(), 3, 0, 0, 1.0f, true);  // starts right of the screen: width 0
  for (int i = 0; i < dst.Size(); ++i) ASSERT_EQ(dst.lpBits()[i], 0) << i;
  // Without cropping the same frame is drawn whole.
  g.FrameDraw(dst.hDC(), 3, 0, 0, 1.0f, false);
  EXPECT_EQ(At(dst, 149, 3), ColourOf(1 + 3 * 30 + 29));

  dst.Reset();
  g.FrameDraw(dst.hDC(), 4, 0, 0, 1.0f, true);  // 10 rows at top 95: top 5 rows, upright
  for (int y = 90; y < 110; ++y) {
    const bool inside = y >= 95 && y < 100;
    EXPECT_EQ(At(dst, 2, y), inside ? ColourOf(1 + (y - 95) * 30 + 2) : 0u) << y;
  }
}

TEST(cGIFDrawTest, TransparentFrameLeavesBackgroundVisible) {
  cGIF g;
  g.FrameInsert(1, 4, 3);
  FillFrame(g, 1, [](int x, int r) { return (x + r) % 2 ? 200 : 17; });
  g.FrameUseTransparentColor(1, -1);
  g.FrameTransparentColorIndex(1, 200);
  g.FrameMask(1, g.FrameTransparentColorIndex(1));
  cDIB dst;
  ASSERT_TRUE(dst.Create(8, 8, 32));
  dst.Cls(0x00AA55CC);  // red CC, green 55, blue AA
  g.FrameDraw(dst.hDC(), 1, 2, 2, 1.0f, false);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      const int fx = x - 2, fy = y - 2;
      const bool inside = fx >= 0 && fx < 4 && fy >= 0 && fy < 3;
      const bool opaque = inside && (fx + fy) % 2 == 0;
      EXPECT_EQ(At(dst, x, y), opaque ? ColourOf(17) : 0xCC55AAu) << x << "," << y;
    }
}

TEST(cGIFDrawTest, EmptyFramesAndMissingSlots) {
  cGIF g;
  g.FrameInsert(1, 0, 5);  // the rasters cannot exist
  cDIB dst;
  ASSERT_TRUE(dst.Create(4, 4, 32));
  g.FrameUseTransparentColor(1, -1);
  EXPECT_NO_THROW(g.FrameMask(1, 3));
  EXPECT_NO_THROW(g.FrameDraw(dst.hDC(), 1, 0, 0, 1.0f, true));
  EXPECT_NO_THROW(g.FrameDraw(dst.hDC(), 1, 0, 0, 1.0f, false));
  for (int i = 0; i < dst.Size(); ++i) ASSERT_EQ(dst.lpBits()[i], 0);
  EXPECT_THROW(g.FrameDraw(dst.hDC(), 2, 0, 0, 1.0f, false), Error);
  EXPECT_EQ(test::Caught([&] { g.FrameDraw(dst.hDC(), -1, 0, 0, 1.0f, false); }).number(), kErrSubscript);
}

}  // namespace
}  // namespace zoetra

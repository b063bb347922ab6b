#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/base/error.hpp"
#include "platform/drawing/gdi.hpp"
#include "raster/cdib.hpp"
#include "support/caught.hpp"
#include "support/raster_pixels.hpp"

namespace zoetra {
namespace {

using test::Px;
using test::SetPx;

struct FitCase {
  int sw, sh, dw, dh;
  bool stretch;
  int x, y, w, h;
};

TEST(cDIBTransferTest, GetBestFitInfo) {
  const FitCase cases[] = {
      {200, 100, 100, 100, false, 0, 25, 100, 50},
      {50, 50, 100, 80, false, 25, 15, 50, 50},  // fits: never enlarged
      {50, 50, 100, 80, true, 10, 0, 80, 80},
      {4, 3, 2, 2, false, 0, 0, 2, 2},           // 3 * 0.5 = 1.5 -> 2
      {4, 5, 2, 2, false, 0, 0, 2, 2},           // factors 0.5 / 0.4: height fills, 4 * 0.4 -> 2
      {4, 1, 2, 2, false, 0, 1, 2, 0},           // 0.5 -> 0
      {4, 5, 2, 10, false, 0, 4, 2, 2},          // 2.5 -> 2 (half to even)
      {4, 7, 2, 10, false, 0, 3, 2, 4},          // 3.5 -> 4
      {200, 100, 100, 50, false, 0, 0, 100, 50}, // equal factors take the height branch
      {10, 25, 1, 100, false, 0, 48, 1, 3},      // 25 * single(0.1) = 2.50000004 -> 3
      {3, 3, 3, 3, true, 0, 0, 3, 3},
      {10, 10, 5, 20, false, 0, 7, 5, 5},
  };
  for (const FitCase& c : cases) {
    std::int32_t x = -1, y = -1, w = -1, h = -1;
    cDIB::GetBestFitInfo(c.sw, c.sh, c.dw, c.dh, x, y, w, h, c.stretch);
    EXPECT_EQ(w, c.w) << c.sw << "x" << c.sh << " in " << c.dw << "x" << c.dh;
    EXPECT_EQ(h, c.h) << c.sw << "x" << c.sh << " in " << c.dw << "x" << c.dh;
    EXPECT_EQ(x, c.x) << c.sw << "x" << c.sh << " in " << c.dw << "x" << c.dh;
    EXPECT_EQ(y, c.y) << c.sw << "x" << c.sh << " in " << c.dw << "x" << c.dh;
  }
}

TEST(cDIBTransferTest, GetBestFitInfoFailures) {
  struct Bad {
    int sw, sh, dw, dh;
    bool stretch;
    int number;
  };
  const Bad cases[] = {{0, 5, 10, 10, true, kErrDivisionByZero}, {0, 5, 0, 10, true, kErrOverflow},
                       {10, 0, 5, 5, false, kErrDivisionByZero}, {10, 0, 5, 0, false, kErrOverflow}};
  for (const Bad& b : cases) {
    std::int32_t x, y, w, h;
    const Error e = test::Caught([&] { cDIB::GetBestFitInfo(b.sw, b.sh, b.dw, b.dh, x, y, w, h, b.stretch); });
    EXPECT_EQ(e.number(), b.number) << b.sw << "x" << b.sh << " in " << b.dw << "x" << b.dh;
  }
  // Not scaled: a zero source is fine.
  std::int32_t x, y, w, h;
  cDIB::GetBestFitInfo(0, 0, 10, 10, x, y, w, h, false);
  EXPECT_EQ(x, 5);
  EXPECT_EQ(w, 0);
  // The centring difference is checked.
  EXPECT_THROW(cDIB::GetBestFitInfo(-10, 1, 0x7FFFFFFF, 1, x, y, w, h, false), Error);
}

TEST(cDIBTransferTest, PaintMapsRowsFromTheTop) {
  cDIB src, dst;
  ASSERT_TRUE(src.Create(10, 10, 32));
  ASSERT_TRUE(dst.Create(20, 20, 32));
  for (int r = 0; r < 10; ++r)
    for (int x = 0; x < 10; ++x) SetPx(src, x, r, 0x010000u * (r + 1) + x + 1);
  ASSERT_NE(src.Paint(dst.hDC(), 5, 5, 0xCC0020, 3), 0);
  // Destination device row 5 is memory row 14; device row 14 is memory row 5.
  EXPECT_EQ(Px(dst, 5, 14), 0x0A0001u);  // source memory row 9, column 0
  EXPECT_EQ(Px(dst, 14, 5), 0x01000Au);  // source memory row 0, column 9
  for (int r = 0; r < 20; ++r)
    for (int x = 0; x < 20; ++x) {
      const bool inside = x >= 5 && x < 15 && r >= 5 && r < 15;
      EXPECT_EQ(Px(dst, x, r), inside ? 0x010000u * (r - 5 + 1) + (x - 5) + 1 : 0u) << x << "," << r;
    }
}

TEST(cDIBTransferTest, LoadBltDefaultsToWholeRasterFromTopLeft) {
  cDIB src, dst;
  ASSERT_TRUE(src.Create(6, 5, 32));
  ASSERT_TRUE(dst.Create(3, 2, 32));
  for (int r = 0; r < 5; ++r)
    for (int x = 0; x < 6; ++x) SetPx(src, x, r, r * 16 + x);
  ASSERT_NE(dst.LoadBlt(src.hDC(), 0, 0, 0, 0), 0);
  // Device row y of both is memory row height - 1 - y.
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(Px(dst, x, 1 - y), static_cast<std::uint32_t>((4 - y) * 16 + x));
  // An offset and an explicit size.
  dst.Reset();
  ASSERT_NE(dst.LoadBlt(src.hDC(), 2, 3, 1, 1), 0);
  EXPECT_EQ(Px(dst, 0, 1), static_cast<std::uint32_t>((4 - 3) * 16 + 2));
  EXPECT_EQ(Px(dst, 1, 1), 0u);
  EXPECT_EQ(Px(dst, 0, 0), 0u);
}

TEST(cDIBTransferTest, LoadBltResolvesColourTables) {
  cDIB src, dst;
  ASSERT_TRUE(src.Create(4, 1, 8));
  ASSERT_TRUE(dst.Create(4, 1, 4));
  std::vector<std::uint8_t> t8(1024, 0), t4(64, 0);
  t8[4 * 3 + 2] = 255;               // entry 3 red
  t8[4 * 9 + 0] = 255;               // entry 9 blue
  t4[4 * 14 + 2] = 255;              // entry 14 red
  t4[4 * 2 + 0] = 250;               // entry 2 nearly blue
  src.SetPalette(t8);
  dst.SetPalette(t4);
  const std::uint8_t px[4] = {3, 9, 0, 3};
  std::memcpy(src.lpBits(), px, 4);
  ASSERT_NE(dst.LoadBlt(src.hDC()), 0);
  EXPECT_EQ(dst.lpBits()[0], 0xE2);  // 14, 2
  EXPECT_EQ(dst.lpBits()[1], 0x0E);  // 0, 14
}

TEST(cDIBTransferTest, StretchRestoresModeAndHonoursDefaults) {
  cDIB src, dst, empty;
  ASSERT_TRUE(src.Create(2, 2, 32));
  ASSERT_TRUE(dst.Create(4, 4, 32));
  SetPx(src, 0, 1, 7);  // device (0, 0)
  ASSERT_NE(platform::SetStretchBltMode(dst.hDC(), 1), 0);
  // Source size 0 means the whole raster: 2x2 onto 4x4 doubles.
  ASSERT_NE(src.Stretch(dst.hDC(), 0, 0, 4, 4, 0, 0, 0, 0, 0xCC0020, 3), 0);
  EXPECT_EQ(platform::GetStretchBltMode(dst.hDC()), 1);
  EXPECT_EQ(Px(dst, 0, 3), 7u);
  EXPECT_EQ(Px(dst, 1, 2), 7u);
  EXPECT_EQ(Px(dst, 2, 3), 0u);
  // A failing transfer still gives the mode back.
  EXPECT_EQ(src.Stretch(dst.hDC(), 0, 0, 4, 4, 0, 0, 0, 0, 0x123456, 3), 0);
  EXPECT_EQ(platform::GetStretchBltMode(dst.hDC()), 1);
  // An empty raster draws nothing and leaves the mode alone.
  EXPECT_EQ(empty.Stretch(dst.hDC(), 0, 0, 4, 4, 0, 0, 0, 0, 0xCC0020, 4), 0);
  EXPECT_EQ(empty.Paint(dst.hDC()), 0);
  EXPECT_EQ(empty.LoadBlt(src.hDC()), 0);
  EXPECT_EQ(platform::GetStretchBltMode(dst.hDC()), 1);
  // The screen context has no surface.
  const platform::HDC screen = platform::GetDC(0);
  EXPECT_EQ(src.Paint(screen), 0);
  platform::ReleaseDC(0, screen);
}

}  // namespace
}  // namespace zoetra

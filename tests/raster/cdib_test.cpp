#include "raster/cdib.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/base/error.hpp"
#include "support/caught.hpp"

namespace zoetra {
namespace {

struct SizeCase {
  int w, h, bpp, stride, size;
};

TEST(cDIBTest, RowArithmetic) {
  const SizeCase cases[] = {{3, 2, 1, 4, 8}, {3, 2, 24, 12, 24}, {5, 1, 8, 8, 8}, {10, 10, 32, 40, 400},
                            {7, 3, 4, 4, 12}, {3, 1, 16, 8, 8}};
  for (const SizeCase& c : cases) {
    cDIB d;
    ASSERT_TRUE(d.Create(c.w, c.h, c.bpp)) << c.w << "x" << c.h << "x" << c.bpp;
    EXPECT_EQ(d.BytesPerScanline(), c.stride);
    EXPECT_EQ(d.Size(), c.size);
    EXPECT_NE(d.hDC(), 0u);
    EXPECT_NE(d.lpBits(), nullptr);
  }
}

TEST(cDIBTest, RefusedDepthsAndSizesLeaveEmptyRaster) {
  const int bad[][3] = {{3, 2, 2}, {3, 2, 7}, {0, 2, 8}, {2, 0, 8}, {-3, 2, 8}};
  for (const auto& b : bad) {
    cDIB d;
    EXPECT_FALSE(d.Create(b[0], b[1], b[2]));
    EXPECT_EQ(d.hDIB(), 0u);
    EXPECT_EQ(d.hDC(), 0u);
    EXPECT_EQ(d.Width(), 0);
    EXPECT_EQ(d.Height(), 0);
    EXPECT_EQ(d.BPP(), 0);
    EXPECT_EQ(d.Size(), 0);
    EXPECT_EQ(d.BytesPerScanline(), 0);
    EXPECT_EQ(d.lpBits(), nullptr);
  }
}

TEST(cDIBTest, OverflowRaisesAndLeavesNoRaster) {
  cDIB d;
  ASSERT_TRUE(d.Create(4, 4, 8));
  const Error e = test::Caught([&] { d.Create(0x7FFFFFFF, 1, 32); });
  EXPECT_EQ(e.number(), kErrOverflow);
  EXPECT_EQ(e.description(), "Overflow");
  EXPECT_EQ(e.source(), "ZoetraCom");
  EXPECT_EQ(d.hDIB(), 0u);
  EXPECT_THROW(d.Create(100000, 100000, 32), Error);
  EXPECT_THROW(d.Create(4, 4, 40000), Error);
  EXPECT_EQ(d.hDIB(), 0u);
  // Sizes that are not positive are refused, not raised.
  EXPECT_FALSE(d.Create(-4, 4, 8));
  EXPECT_FALSE(d.Create(4, 4, -8));
  EXPECT_EQ(d.hDIB(), 0u);
}

TEST(cDIBTest, FreshEightBitRasterIsZeroAndPaletteRoundTrips) {
  cDIB d;
  ASSERT_TRUE(d.Create(5, 3, 8));
  std::vector<std::uint8_t> table(1024, 0xEE);
  d.GetPalette(table);
  EXPECT_EQ(std::count(table.begin(), table.end(), 0), 1024);
  for (int i = 0; i < d.Size(); ++i) EXPECT_EQ(d.lpBits()[i], 0);

  const std::vector<std::uint8_t> ten = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  d.SetPalette(ten);
  d.GetPalette(table);
  EXPECT_EQ(std::vector<std::uint8_t>(table.begin(), table.begin() + 8), std::vector<std::uint8_t>(ten.begin(), ten.begin() + 8));
  EXPECT_EQ(table[8], 0);  // the last two bytes of a partial group are ignored
}

TEST(cDIBTest, ClsFillsThroughTheDrawingLayer) {
  cDIB d32;
  ASSERT_TRUE(d32.Create(3, 2, 32));
  d32.Cls(0x00102030);  // red 0x30, green 0x20, blue 0x10
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(d32.lpBits()[4 * i + 0], 0x10);
    EXPECT_EQ(d32.lpBits()[4 * i + 1], 0x20);
    EXPECT_EQ(d32.lpBits()[4 * i + 2], 0x30);
    EXPECT_EQ(d32.lpBits()[4 * i + 3], 0);
  }
  cDIB mask;
  ASSERT_TRUE(mask.Create(9, 2, 1));
  const std::uint8_t bw[8] = {0, 0, 0, 0, 255, 255, 255, 0};
  mask.SetPalette(bw);
  mask.Cls(0xFFFFFF);
  EXPECT_EQ(mask.lpBits()[0], 0xFF);
  EXPECT_EQ(mask.lpBits()[1], 0x80);  // pixel 8 only; padding untouched
  mask.Cls(0);
  for (int i = 0; i < mask.Size(); ++i) EXPECT_EQ(mask.lpBits()[i], 0);
}

TEST(cDIBTest, EmptyRasterOperationsDoNothing) {
  cDIB d;
  ASSERT_TRUE(d.Create(2, 2, 8));
  d.Destroy();
  std::vector<std::uint8_t> table(1024, 7);
  d.Reset();
  d.Cls(0xFFFFFF);
  d.SetPalette(table);
  d.GetPalette(table);
  EXPECT_EQ(table[0], 7);
  cDIB target;
  EXPECT_EQ(d.CloneTo(target), 0);
  EXPECT_EQ(target.hDIB(), 0u);
}

TEST(cDIBTest, RecreateReleasesPreviousObjects) {
  { cDIB warm_up; ASSERT_TRUE(warm_up.Create(1, 1, 1)); }  // the stock bitmap is made on first use
  const std::size_t before = platform::LiveObjectCount();
  {
    cDIB d;
    ASSERT_TRUE(d.Create(4, 4, 8));
    ASSERT_TRUE(d.Create(8, 8, 32));
    EXPECT_EQ(platform::LiveObjectCount(), before + 2);  // one context, one bitmap
  }
  EXPECT_EQ(platform::LiveObjectCount(), before);
}

TEST(cDIBTest, CloneCopiesTableAndPixelsIncludingPadding) {
  cDIB src;
  ASSERT_TRUE(src.Create(3, 2, 8));
  std::vector<std::uint8_t> table(1024);
  for (int i = 0; i < 1024; ++i) table[i] = static_cast<std::uint8_t>(i * 7);
  src.SetPalette(table);
  for (int i = 0; i < src.Size(); ++i) src.lpBits()[i] = static_cast<std::uint8_t>(i + 1);
  cDIB dst;
  EXPECT_EQ(src.CloneTo(dst), 8);
  std::vector<std::uint8_t> got(1024);
  dst.GetPalette(got);
  EXPECT_EQ(got, table);
  ASSERT_EQ(dst.Size(), src.Size());
  EXPECT_EQ(0, std::memcmp(dst.lpBits(), src.lpBits(), src.Size()));
  EXPECT_NE(dst.lpBits(), src.lpBits());
}

}  // namespace
}  // namespace zoetra

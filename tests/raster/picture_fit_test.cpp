#include "raster/picture_fit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/base/error.hpp"
#include "platform/base/yield.hpp"
#include "raster/cdib.hpp"
#include "support/caught.hpp"
#include "support/raster_pixels.hpp"
#include "support/stop_from_thread.hpp"

namespace zoetra {
namespace {

using test::Caught;
using test::Px;
using test::SetPx;

// Pixels in picture terms: y = 0 is the top row, the last memory row.
std::uint32_t At(const cDIB& d, int x, int y) { return Px(d, x, d.Height() - 1 - y); }
void Put(cDIB& d, int x, int y, std::uint32_t v) { SetPx(d, x, d.Height() - 1 - y, v); }

std::uint32_t Rgb(int r, int g, int b) {
  return static_cast<std::uint32_t>((r << 16) | (g << 8) | b);
}
int Channel(std::uint32_t v, int shift) { return static_cast<int>((v >> shift) & 0xFF); }

void MakePicture(cDIB& d, int w, int h, const std::function<std::uint32_t(int, int)>& colour) {
  ASSERT_TRUE(d.Create(w, h, 32));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) Put(d, x, y, colour(x, y));
}

struct PlacementCase {
  int w, h;          // the picture
  int box_w, box_h;  // the frame
  // Where the picture lands, in picture terms (top-left origin).
  int left, top, fit_w, fit_h;
};

// The expected places are worked out by hand from min(box_w / w, box_h / h),
// sides rounded to nearest (at least 1), spare columns and rows split with the
// odd one to the right and the bottom.
const PlacementCase kPlacements[] = {
    {40, 20, 30, 50, 0, 17, 30, 15},     // landscape into a portrait box, shrunk
    {20, 40, 50, 30, 17, 0, 15, 30},     // portrait into a landscape box, shrunk
    {16, 9, 64, 64, 0, 14, 64, 36},      // landscape enlarged
    {9, 16, 64, 64, 14, 0, 36, 64},      // portrait enlarged
    {3, 2, 10, 10, 0, 1, 10, 7},         // 6.67 rows round to 7; the odd spare row goes below
    {2, 3, 10, 10, 1, 0, 7, 10},         // the odd spare column goes right
    {7, 3, 8, 5, 0, 1, 8, 3},            // 3.43 rows round to 3
    {5, 5, 4, 4, 0, 0, 4, 4},            // square to square
    {1, 1000, 100, 100, 49, 0, 1, 100},  // 0.1 columns: at least one
    {1000, 1, 100, 100, 0, 49, 100, 1},  // 0.1 rows: at least one
    {300, 200, 301, 300, 0, 49, 301, 201},  // 200.67 rows round up to 201
};

TEST(FitPictureTest, PlacesScaledPictureCentredOnBackground) {
  // No pixel of the pictures is near magenta: the background shows only where
  // the picture is not.
  const std::uint32_t background = 0x00FF00FFu;
  for (const PlacementCase& c : kPlacements) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " into " + std::to_string(c.box_w) + "x" +
                 std::to_string(c.box_h));
    cDIB picture;
    MakePicture(picture, c.w, c.h, [&](int x, int y) {
      return 0x55000000u | Rgb(40 + 150 * x / c.w, 30 + 200 * y / c.h, 60 + 40 * (x + y) / (c.w + c.h));
    });
    cDIB out;
    FitPicture(picture, c.box_w, c.box_h, background, out);
    ASSERT_EQ(out.Width(), c.box_w);
    ASSERT_EQ(out.Height(), c.box_h);
    ASSERT_EQ(out.BPP(), 32);
    int mismatches = 0;
    for (int y = 0; y < c.box_h && mismatches < 5; ++y) {
      for (int x = 0; x < c.box_w && mismatches < 5; ++x) {
        const std::uint32_t v = At(out, x, y);
        const bool inside = x >= c.left && x < c.left + c.fit_w && y >= c.top && y < c.top + c.fit_h;
        if ((v >> 24) != 0) {
          ++mismatches;
          ADD_FAILURE() << "fourth byte set at " << x << "," << y;
        }
        if (inside && v == background) {
          ++mismatches;
          ADD_FAILURE() << "background inside the picture at " << x << "," << y;
        }
        if (!inside && v != background) {
          ++mismatches;
          ADD_FAILURE() << "padding " << std::hex << v << " at " << std::dec << x << "," << y;
        }
        // The picture's own range, with room for the filter's ringing at the edges.
        if (inside && (Channel(v, 16) < 25 || Channel(v, 16) > 205 || Channel(v, 8) < 15 || Channel(v, 8) > 245 ||
                       Channel(v, 0) < 45 || Channel(v, 0) > 115)) {
          ++mismatches;
          ADD_FAILURE() << "colour " << std::hex << v << " outside the picture's range at " << std::dec << x << ","
                        << y;
        }
      }
    }
  }
}

TEST(FitPictureTest, SameSizeCopiesColourBytesExactly) {
  std::mt19937 rng(11);
  for (const auto& [w, h] : std::vector<std::pair<int, int>>{{1, 1}, {7, 5}, {64, 3}, {3, 64}}) {
    cDIB picture;
    MakePicture(picture, w, h, [&](int, int) { return static_cast<std::uint32_t>(rng()) & 0x00FFFFFFu; });
    cDIB out;
    FitPicture(picture, w, h, 0x123456, out);
    ASSERT_EQ(out.Width(), w);
    ASSERT_EQ(out.Height(), h);
    ASSERT_EQ(out.Size(), picture.Size());
    EXPECT_EQ(std::memcmp(out.lpBits(), picture.lpBits(), static_cast<std::size_t>(out.Size())), 0) << w << "x" << h;

    // A fourth byte in the picture is not copied.
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) Put(picture, x, y, At(picture, x, y) | 0xA5000000u);
    FitPicture(picture, w, h, 0x123456, out);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) ASSERT_EQ(At(out, x, y), At(picture, x, y) & 0x00FFFFFFu);
  }
}

TEST(FitPictureTest, UpscalingTwoByTwoBlendsTheStoredValues) {
  // Corners chosen so every channel rises or falls across each axis.
  const std::uint32_t corners[2][2] = {{Rgb(10, 20, 30), Rgb(200, 40, 90)}, {Rgb(60, 220, 140), Rgb(250, 250, 250)}};
  cDIB picture;
  MakePicture(picture, 2, 2, [&](int x, int y) { return corners[y][x]; });
  cDIB out;
  FitPicture(picture, 8, 8, 0, out);
  ASSERT_EQ(out.Width(), 8);
  ASSERT_EQ(out.Height(), 8);
  for (const int shift : {0, 8, 16}) {
    SCOPED_TRACE("channel shift " + std::to_string(shift));
    int lo = 255, hi = 0;
    for (const auto& row : corners)
      for (const std::uint32_t c : row) lo = std::min(lo, Channel(c, shift)), hi = std::max(hi, Channel(c, shift));
    // The filter rings a little past a step (under a tenth of it), no more.
    const int ring = (hi - lo) / 10 + 1;
    std::set<int> levels;
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        const int v = Channel(At(out, x, y), shift);
        levels.insert(v);
        EXPECT_GE(v, lo - ring) << x << "," << y;
        EXPECT_LE(v, hi + ring) << x << "," << y;
        EXPECT_EQ(At(out, x, y) >> 24, 0u);
        // Monotone along rows and columns, the way the corners go.
        if (x > 0) {
          const int dir = Channel(corners[y < 4 ? 0 : 1][1], shift) - Channel(corners[y < 4 ? 0 : 1][0], shift);
          const int step = v - Channel(At(out, x - 1, y), shift);
          EXPECT_GE(step * (dir >= 0 ? 1 : -1), 0) << "row " << y << " at " << x;
        }
        if (y > 0) {
          const int dir = Channel(corners[1][x < 4 ? 0 : 1], shift) - Channel(corners[0][x < 4 ? 0 : 1], shift);
          const int step = v - Channel(At(out, x, y - 1), shift);
          EXPECT_GE(step * (dir >= 0 ? 1 : -1), 0) << "column " << x << " at " << y;
        }
      }
    }
    // Not four blocks: the colours blend across the middle.
    EXPECT_GE(levels.size(), 8u);
  }
  // The middle of the top row mixes the two top corners' stored values (10 and
  // 200 for the two pixels); in linear light it comes out far brighter (over 250).
  const int mid = Channel(At(out, 3, 0), 16) + Channel(At(out, 4, 0), 16);
  EXPECT_GT(mid, 190);
  EXPECT_LT(mid, 225);
}

TEST(FitPictureTest, LightDetailOnDarkKeepsItsWeight) {
  // Light lines on dark (text on a terminal), a half and a third of the
  // columns lit, shrunk to half and a third: the mean of the stored values
  // is kept, where linear light made such text bolder and brighter.
  struct Case {
    int period, lit, factor;
  };
  for (const Case c : {Case{2, 1, 2}, Case{3, 1, 3}, Case{4, 2, 2}}) {
    cDIB picture;
    MakePicture(picture, 96, 24, [&](int x, int) {
      return x % c.period < c.lit ? Rgb(212, 212, 212) : Rgb(30, 30, 30);
    });
    cDIB out;
    FitPicture(picture, 96 / c.factor, 24 / c.factor, 0, out);
    const int mean = (212 * c.lit + 30 * (c.period - c.lit)) / c.period;
    long long sum = 0;
    int n = 0;
    for (int y = 2; y < out.Height() - 2; ++y)
      for (int x = 4; x < out.Width() - 4; ++x) sum += Channel(At(out, x, y), 8), ++n;
    EXPECT_NEAR(static_cast<double>(sum) / n, mean, 4) << "period " << c.period << " into " << c.factor;
  }
}

TEST(FitPictureTest, FlatColourStaysExact) {
  // Every level of every channel, shrunk and enlarged: the sRGB round trip
  // must give the same bytes back.
  const int sizes[][4] = {{37, 23, 11, 7}, {5, 3, 29, 17}, {64, 64, 63, 63}, {10, 1, 100, 100}};
  for (int level = 0; level < 256; ++level) {
    const std::uint32_t colour = Rgb(level, 255 - level, (level * 7) % 256);
    for (const auto& s : sizes) {
      cDIB picture;
      MakePicture(picture, s[0], s[1], [&](int, int) { return colour; });
      cDIB out;
      FitPicture(picture, s[2], s[3], 0x00010203u, out);
      for (int r = 0; r < out.Height(); ++r)
        for (int x = 0; x < out.Width(); ++x) {
          const std::uint32_t v = Px(out, x, r);
          if (v != colour && v != 0x00010203u) {
            FAIL() << "level " << level << " " << s[0] << "x" << s[1] << " into " << s[2] << "x" << s[3] << ": "
                   << std::hex << v << " instead of " << colour;
          }
        }
      // The picture covers at least one whole axis of the box.
      EXPECT_EQ(At(out, s[2] / 2, s[3] / 2), colour);
    }
  }
}

TEST(FitPictureTest, KeepsOrientationOfQuadrants) {
  // Red top-left, green top-right, blue bottom-left, white bottom-right.
  const std::uint32_t quads[2][2] = {{Rgb(255, 0, 0), Rgb(0, 255, 0)}, {Rgb(0, 0, 255), Rgb(255, 255, 255)}};
  const int cases[][4] = {{40, 20, 16, 16}, {20, 40, 64, 64}, {30, 30, 30, 30}, {64, 48, 32, 24}};
  for (const auto& c : cases) {
    cDIB picture;
    MakePicture(picture, c[0], c[1],
                [&](int x, int y) { return quads[y < c[1] / 2 ? 0 : 1][x < c[0] / 2 ? 0 : 1]; });
    cDIB out;
    FitPicture(picture, c[2], c[3], 0, out);
    // Pixels a quarter of the way in from each corner of the picture area.
    const bool wide = c[0] * c[3] >= c[1] * c[2];
    const int fit_w = wide ? c[2] : c[3] * c[0] / c[1];
    const int fit_h = wide ? c[2] * c[1] / c[0] : c[3];
    const int left = (c[2] - fit_w) / 2, top = (c[3] - fit_h) / 2;
    for (int qy = 0; qy < 2; ++qy)
      for (int qx = 0; qx < 2; ++qx) {
        const int x = left + fit_w / 4 + qx * fit_w / 2;
        const int y = top + fit_h / 4 + qy * fit_h / 2;
        // Near the middle of its quadrant; shrinking may blend in a little of the next.
        const std::uint32_t v = At(out, x, y);
        for (const int shift : {0, 8, 16}) {
          EXPECT_LE(std::abs(Channel(v, shift) - Channel(quads[qy][qx], shift)), 24)
              << c[0] << "x" << c[1] << " into " << c[2] << "x" << c[3] << " quadrant " << qx << "," << qy;
        }
      }
  }
}

TEST(FitPictureTest, OneColumnIntoSquare) {
  // A one-pixel-wide strip with a red top half and a blue bottom half.
  cDIB picture;
  MakePicture(picture, 1, 1000, [](int, int y) { return y < 500 ? Rgb(255, 0, 0) : Rgb(0, 0, 255); });
  cDIB out;
  FitPicture(picture, 100, 100, 0x00FFFFFFu, out);
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 100; ++x) {
      const std::uint32_t v = At(out, x, y);
      if (x != 49) {
        ASSERT_EQ(v, 0x00FFFFFFu) << x << "," << y;
      } else if (y < 47) {  // the filter reaches 30 rows each way at a tenth
        ASSERT_EQ(v, Rgb(255, 0, 0)) << y;
      } else if (y > 52) {
        ASSERT_EQ(v, Rgb(0, 0, 255)) << y;
      } else {
        ASSERT_EQ(Channel(v, 8), 0) << y;  // the blend of red and blue has no green
      }
    }
  }
  // And the same strip lying down.
  cDIB row;
  MakePicture(row, 1000, 1, [](int x, int) { return x < 500 ? Rgb(255, 0, 0) : Rgb(0, 0, 255); });
  FitPicture(row, 100, 100, 0x00FFFFFFu, out);
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 100; ++x) {
      const std::uint32_t v = At(out, x, y);
      if (y != 49) {
        ASSERT_EQ(v, 0x00FFFFFFu) << x << "," << y;
      } else if (x < 47) {
        ASSERT_EQ(v, Rgb(255, 0, 0)) << x;
      } else if (x > 52) {
        ASSERT_EQ(v, Rgb(0, 0, 255)) << x;
      } else {
        ASSERT_EQ(Channel(v, 8), 0) << x;
      }
    }
  }
}

TEST(FitPictureTest, DeterministicAndInPlace) {
  std::mt19937 rng(3);
  cDIB picture;
  MakePicture(picture, 123, 77, [&](int, int) { return static_cast<std::uint32_t>(rng()); });
  cDIB a, b;
  FitPicture(picture, 50, 40, 0x808080, a);
  FitPicture(picture, 50, 40, 0x808080, b);
  ASSERT_EQ(a.Size(), b.Size());
  EXPECT_EQ(std::memcmp(a.lpBits(), b.lpBits(), static_cast<std::size_t>(a.Size())), 0);
  // Into itself: the same bytes as into another raster.
  FitPicture(picture, 50, 40, 0x808080, picture);
  ASSERT_EQ(picture.Width(), 50);
  ASSERT_EQ(picture.Height(), 40);
  EXPECT_EQ(std::memcmp(a.lpBits(), picture.lpBits(), static_cast<std::size_t>(a.Size())), 0);
}

TEST(FitPictureTest, OtherDepthsAreReadAsThirtyTwoBits) {
  cDIB indexed;
  ASSERT_TRUE(indexed.Create(4, 2, 8));
  std::vector<std::uint8_t> table(1024, 0);
  table[4 * 1 + 0] = 0x33, table[4 * 1 + 1] = 0x22, table[4 * 1 + 2] = 0x11;  // blue, green, red
  indexed.SetPalette(table);
  std::memset(indexed.lpBits(), 1, static_cast<std::size_t>(indexed.Size()));
  cDIB out;
  FitPicture(indexed, 8, 8, 0, out);
  EXPECT_EQ(out.BPP(), 32);
  EXPECT_EQ(At(out, 4, 4), 0x00112233u);
  EXPECT_EQ(At(out, 4, 0), 0u);  // the top two rows are padding
  EXPECT_EQ(At(out, 4, 2), 0x00112233u);
}

TEST(FitPictureTest, RefusesBadArguments) {
  cDIB picture;
  MakePicture(picture, 4, 4, [](int, int) { return 0u; });
  cDIB out;
  ASSERT_TRUE(out.Create(2, 2, 32));
  for (const auto& [w, h] : std::vector<std::pair<int, int>>{{0, 10}, {10, 0}, {-1, 5}, {5, INT32_MIN}}) {
    EXPECT_EQ(Caught([&] { FitPicture(picture, w, h, 0, out); }).number(), kErrInvalidArgument) << w << "x" << h;
  }
  cDIB empty;
  EXPECT_EQ(Caught([&] { FitPicture(empty, 10, 10, 0, out); }).number(), kErrInvalidArgument);
  // The raster given for the result is left as it was.
  EXPECT_EQ(out.Width(), 2);
}

TEST(FitPictureTest, HugeBoxesFailCleanly) {
  cDIB picture;
  MakePicture(picture, 3, 2, [](int, int) { return Rgb(1, 2, 3); });
  cDIB out;
  // Rows longer than 32-bit sizes can count: overflow, as cDIB::Create raises it.
  EXPECT_EQ(Caught([&] { FitPicture(picture, INT32_MAX, 2, 0, out); }).number(), kErrOverflow);
  const std::int32_t big = Caught([&] { FitPicture(picture, 60000, 60000, 0, out); }).number();
  EXPECT_TRUE(big == kErrOverflow || big == kErrOutOfMemory) << big;
  EXPECT_EQ(out.hDIB(), platform::HBITMAP{0});
  // A long side squeezed to one pixel: the resampler's coefficient tables
  // would be counted past its int; refused before it is called.
  cDIB strip;
  MakePicture(strip, 32767, 2, [](int x, int) { return Rgb(x % 256, 0, 0); });
  EXPECT_EQ(Caught([&] { FitPicture(strip, 1, 1, 0, out); }).number(), kErrOutOfMemory);
  // Shrunk a hundredfold it is scaled.
  FitPicture(strip, 327, 100, 0, out);
  EXPECT_EQ(out.Width(), 327);
}

TEST(FitPictureTest, AStopFromAnotherThreadEndsTheScaleBetweenRows) {
  cDIB picture;
  MakePicture(picture, 300, 200, [](int x, int y) { return Rgb(x % 256, y % 256, (x + y) % 256); });
  cDIB out;
  ASSERT_TRUE(out.Create(2, 2, 32));
  // A host thread stops the work once the scaler has asked ten times.
  {
    const test::StopFromAnotherThread host(10);
    EXPECT_EQ(Caught([&] { FitPicture(picture, 3000, 2000, 0, out); }).number(), kErrStopped);
    EXPECT_EQ(host.asked(), 10) << "rows went on after the stop";
  }
  EXPECT_EQ(out.Width(), 2);  // the raster given for the result is as it was

  // Without a stop the query costs nothing of the result: the same bytes as
  // with no query at all.
  cDIB plain, asked_along;
  FitPicture(picture, 700, 500, 0, plain);
  {
    const platform::StopQueryScope scope(std::make_shared<const platform::StopQuery>([] { return false; }));
    FitPicture(picture, 700, 500, 0, asked_along);
  }
  ASSERT_EQ(plain.Size(), asked_along.Size());
  EXPECT_EQ(std::memcmp(plain.lpBits(), asked_along.lpBits(), static_cast<std::size_t>(plain.Size())), 0);
}

// --- OrientPicture ---

// A 3 x 2 picture of distinct colours, cell (x, y) in picture terms.
std::uint32_t Cell(int x, int y) { return Rgb(0x10 + x, 0x20 + y, 0x30 + 3 * y + x); }

struct OrientExpectation {
  int orientation;
  int w, h;
  // Where the pixel shown at (x, y) of the result comes from, in the source:
  // worked out from what each orientation means, one at a time.
  std::function<std::pair<int, int>(int, int)> from;
};

TEST(OrientPictureTest, AllEightOrientationsOfThreeByTwo) {
  const int W = 3, H = 2;
  const OrientExpectation cases[] = {
      {1, 3, 2, [](int x, int y) { return std::pair{x, y}; }},
      // Mirrored left-right: column x shows source column W-1-x.
      {2, 3, 2, [](int x, int y) { return std::pair{W - 1 - x, y}; }},
      // Half turn: both reversed.
      {3, 3, 2, [](int x, int y) { return std::pair{W - 1 - x, H - 1 - y}; }},
      // Mirrored top-bottom.
      {4, 3, 2, [](int x, int y) { return std::pair{x, H - 1 - y}; }},
      // Transposed: rows become columns.
      {5, 2, 3, [](int x, int y) { return std::pair{y, x}; }},
      // Quarter clockwise: the left column becomes the top row, read right to left.
      {6, 2, 3, [](int x, int y) { return std::pair{y, H - 1 - x}; }},
      // The other diagonal.
      {7, 2, 3, [](int x, int y) { return std::pair{W - 1 - y, H - 1 - x}; }},
      // Quarter anticlockwise: the right column becomes the top row.
      {8, 2, 3, [](int x, int y) { return std::pair{W - 1 - y, x}; }},
  };
  for (const OrientExpectation& c : cases) {
    cDIB picture;
    MakePicture(picture, W, H, Cell);
    OrientPicture(picture, c.orientation);
    ASSERT_EQ(picture.Width(), c.w) << c.orientation;
    ASSERT_EQ(picture.Height(), c.h) << c.orientation;
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) {
        const auto [sx, sy] = c.from(x, y);
        EXPECT_EQ(At(picture, x, y), Cell(sx, sy)) << "orientation " << c.orientation << " at " << x << "," << y;
      }
  }
  // A turn clockwise on a known picture, spelled out: source rows
  //   A B C
  //   D E F
  // become D A / E B / F C.
  cDIB picture;
  MakePicture(picture, W, H, Cell);
  OrientPicture(picture, 6);
  EXPECT_EQ(At(picture, 0, 0), Cell(0, 1));
  EXPECT_EQ(At(picture, 1, 0), Cell(0, 0));
  EXPECT_EQ(At(picture, 0, 2), Cell(2, 1));
  EXPECT_EQ(At(picture, 1, 2), Cell(2, 0));
}

TEST(OrientPictureTest, OtherValuesLeaveThePicture) {
  for (const int orientation : {0, -1, 9, 1000}) {
    cDIB picture;
    MakePicture(picture, 3, 2, Cell);
    OrientPicture(picture, orientation);
    ASSERT_EQ(picture.Width(), 3);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x) EXPECT_EQ(At(picture, x, y), Cell(x, y)) << orientation;
  }
}

}  // namespace
}  // namespace zoetra

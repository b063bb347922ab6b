#include "pipeline/frame_diff.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/raster_pixels.hpp"

namespace zoetra::pipeline {
namespace {

constexpr int kW = 16, kH = 10;

// A prepared picture (memory row 0 at the top), and 8-bit indices; rasters
// cannot be copied, so each lives in a holder the test keeps.
struct Picture {
  cDIB raster;
  explicit Picture(const std::function<std::uint32_t(int, int)>& pixel) {
    EXPECT_TRUE(raster.Create(kW, kH, 32));
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) test::SetPx(raster, x, y, pixel(x, y));
  }
  operator const cDIB&() const { return raster; }
};

struct Indices {
  cDIB raster;
  explicit Indices(const std::function<int(int, int)>& index) {
    EXPECT_TRUE(raster.Create(kW, kH, 8));
    const frame_ops::Pixels px(raster);
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) px.row(y)[x] = static_cast<std::uint8_t>(index(x, y));
  }
  operator cDIB&() { return raster; }
  operator const cDIB&() const { return raster; }
};

std::uint8_t At(const cDIB& m, int x, int y) { return frame_ops::Pixels(m).row(y)[x]; }

// Entry i shows grey i.
frame_ops::ColourLut Greys() {
  frame_ops::ColourLut lut{};
  for (std::uint32_t i = 0; i < 256; ++i) lut[i] = i * 0x010101u;
  return lut;
}

std::uint32_t Source(int x, int y) { return static_cast<std::uint32_t>(x * 9 + y * 700); }
int Dither(int x, int y) { return (x * 7 + y * 3) % 50; }

bool InBlock(int x, int y) { return x >= 4 && x < 9 && y >= 2 && y < 6; }

TEST(FrameDiffTest, StillPixelsKeepWhatTheyShowAndOnlyWhatChangedIsWritten) {
  struct Case {
    const char* name;
    std::int32_t change;     // added to the block's source (red, green and blue each)
    std::int32_t tolerance;
    bool written;            // the block is written
  };
  const Case cases[] = {
      {"exact change", 1, 0, true},
      {"change within the tolerance", 2, 6, false},
      {"change past the tolerance", 3, 8, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Screen screen(kW, kH);
    Indices first(Dither);
    const Step one(screen, Picture(Source), false, first, Greys(), true, c.tolerance);
    EXPECT_EQ(one.rect.right - one.rect.left, kW);
    EXPECT_EQ(one.rect.bottom - one.rect.top, kH);
    // The second frame dithers everything anew; only the block's source changed.
    Indices second([](int x, int y) { return InBlock(x, y) ? 200 : Dither(x, y) + 1; });
    const Step two(screen,
                   Picture([&](int x, int y) { return Source(x, y) + (InBlock(x, y) ? c.change * 0x010101u : 0); }),
                   false, second, Greys(), true, c.tolerance);
    EXPECT_TRUE(two.stable);
    EXPECT_FALSE(two.needs_clear);
    if (c.written) {
      EXPECT_EQ(two.rect.left, 4);
      EXPECT_EQ(two.rect.top, 2);
      EXPECT_EQ(two.rect.right, 9);
      EXPECT_EQ(two.rect.bottom, 6);
      EXPECT_FALSE(two.any_unwritten);
    } else {
      EXPECT_TRUE(two.rect.Empty());
    }
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        const bool write = c.written && InBlock(x, y);
        ASSERT_EQ(At(second, x, y), write ? 200 : Dither(x, y)) << x << ", " << y;
        ASSERT_EQ(At(two.roles, x, y), write ? kWrite : kSame) << x << ", " << y;
      }
    }
  }
}

TEST(FrameDiffTest, AFrameWithFewStillPixelsIsWrittenWhereItsIndicesChanged) {
  Screen screen(kW, kH);
  Indices first(Dither);
  const Step one(screen, Picture(Source), false, first, Greys(), true, 0);
  // Every source pixel but one column changed; half the indices did.
  Indices second([](int x, int y) { return x < 8 ? Dither(x, y) : 100 + x; });
  const Step two(screen, Picture([](int x, int y) { return x == 0 ? Source(x, y) : Source(x, y) + 0x010101u; }),
                 false, second, Greys(), true, 0);
  EXPECT_FALSE(two.stable);
  EXPECT_EQ(two.rect.left, 8);
  EXPECT_EQ(two.rect.right, kW);
  for (int x = 0; x < kW; ++x) EXPECT_EQ(At(second, x, 3), x < 8 ? Dither(x, 3) : 100 + x);
  // The screen moved on: the same frame again changes nothing.
  Indices again([](int x, int y) { return x < 8 ? Dither(x, y) : 100 + x; });
  const Step three(screen, Picture([](int x, int y) { return x == 0 ? Source(x, y) : Source(x, y) + 0x010101u; }),
                   false, again, Greys(), true, 0);
  EXPECT_TRUE(three.rect.Empty());
}

TEST(FrameDiffTest, UncoveringAPixelClearsTheScreenAndRedrawsWhatShows) {
  Screen screen(kW, kH);
  Indices first(Dither);
  const Step one(screen, Picture(Source), false, first, Greys(), true, 0);
  EXPECT_FALSE(one.needs_clear);
  // Column 15 turns transparent; nothing else changes.
  const auto clear_column = [](int x, int y) {
    return x == kW - 1 ? std::uint32_t{kClearPixel} << 24 : Source(x, y);
  };
  Indices second(Dither);
  const Step two(screen, Picture(clear_column), true, second, Greys(), true, 0);
  EXPECT_TRUE(two.needs_clear);
  EXPECT_EQ(two.rect.left, 0);
  EXPECT_EQ(two.rect.right, kW - 1);
  EXPECT_EQ(two.rect.bottom - two.rect.top, kH);
  EXPECT_EQ(At(two.roles, kW - 1, 4), kStaysClear);
  EXPECT_EQ(two.opaque_after.right, kW - 1);
  // Once clear, it stays so without clearing again.
  Indices third(Dither);
  const Step three(screen, Picture(clear_column), true, third, Greys(), true, 0);
  EXPECT_FALSE(three.needs_clear);
  EXPECT_TRUE(three.rect.Empty());
}

TEST(FrameDiffTest, CutsWriteUnchangedPixelsPlainlyOrAsTransparencyThatKeepsRuns) {
  Screen screen(kW, kH);
  Indices first([](int, int) { return 5; });
  const Step one(screen, Picture(Source), false, first, Greys(), true, 0);
  // Row 4 changes at columns 2, 3 and 12 (to 9); everything else is still.
  const auto changed = [](int x, int y) { return y == 4 && (x == 2 || x == 3 || x == 12); };
  Indices second([&](int x, int y) { return changed(x, y) ? 9 : 5; });
  const Step two(screen, Picture([&](int x, int y) { return Source(x, y) + (changed(x, y) ? 0x10u : 0u); }), false,
                 second, Greys(), true, 0);
  ASSERT_EQ(two.rect.left, 2);
  ASSERT_EQ(two.rect.right, 13);
  ASSERT_EQ(two.unwritten, 8);
  cDIB plain, through;
  MakeCut(second, two, 250, false, plain);
  MakeCut(second, two, 250, true, through);
  ASSERT_EQ(plain.Width(), 11);
  ASSERT_EQ(plain.Height(), 1);
  const int want_plain[] = {9, 9, 5, 5, 5, 5, 5, 5, 5, 5, 9};
  // The still 5s after the 9s cannot go on with a run of 9: transparency.
  const int want_through[] = {9, 9, 250, 250, 250, 250, 250, 250, 250, 250, 9};
  for (int x = 0; x < 11; ++x) {
    EXPECT_EQ(At(plain, x, 0), want_plain[x]) << x;
    EXPECT_EQ(At(through, x, 0), want_through[x]) << x;
  }
  EXPECT_EQ(CountRuns(plain), 3);
  EXPECT_EQ(FreeIndex(second, two, 16), 0);
  EXPECT_EQ(FreeIndex(Indices([](int x, int) { return x == 2 ? 0 : (x == 3 ? 1 : 7); }), two, 2), -1);
}

TEST(FrameDiffTest, PickFrameWayEncodesTheWayWithFewerRunsAndKeepsTheSmaller) {
  const auto none = [](int, int) { return false; };
  const auto row4 = [](int x, int y) { return y == 4 && (x == 2 || x == 3 || x == 12); };
  const auto right_half = [](int x, int y) { return x >= 8 && !(x == 10 && y == 3); };
  const auto all_but_column0 = [](int x, int) { return x != 0; };
  struct Case {
    const char* name;
    std::function<bool(int, int)> repainted;  // index 5 becomes 9
    std::function<bool(int, int)> moved;      // the source changes
    int still_index;                          // the index of the other pixels in the second frame
    bool clear_pixel;                         // (12, 5) is clear in both frames; 15 is kept for it
    bool local;                               // a table of 16 entries of the frame's own, else the global
    std::size_t plain_size, through_size;     // what the encoder makes of each way
    FrameWay::Kind kind;
    std::int32_t transparent;
    const char* calls;  // the ways encoded, each with the size it must stay below
  };
  const Case cases[] = {
      {"nothing changed", none, none, 5, false, false, 80, 100, FrameWay::kMerged, -1, ""},
      {"small change, plain smaller", row4, row4, 5, false, false, 80, 100, FrameWay::kPlain, -1, "P0 T80 "},
      {"small change, transparency smaller", row4, row4, 5, false, false, 100, 80, FrameWay::kThrough, 0,
       "P0 T100 "},
      {"own table: an entry past it", row4, row4, 5, false, true, 100, 80, FrameWay::kThrough, 16, "P0 T100 "},
      {"written whole with a clear pixel: plain, naming transparency", right_half, all_but_column0, 5, true, false,
       80, 100, FrameWay::kPlain, 15, "P0 "},
      {"written whole: transparency does not pay", right_half, all_but_column0, 5, false, false, 100, 80,
       FrameWay::kPlain, -1, "P0 "},
      {"kept pixels: only transparency", row4, row4, 6, false, true, 80, 100, FrameWay::kThrough, 16, "T0 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto clear = [&](int x, int y) { return c.clear_pixel && x == 12 && y == 5; };
    const auto source = [&](int x, int y, bool second) {
      if (clear(x, y)) return std::uint32_t{kClearPixel} << 24;
      return Source(x, y) + (second && c.moved(x, y) ? 0x10u : 0u);
    };
    Screen screen(kW, kH);
    Indices first([](int, int) { return 5; });
    const Step one(screen, Picture([&](int x, int y) { return source(x, y, false); }), c.clear_pixel, first,
                   Greys(), !c.local, 0);
    Indices second([&](int x, int y) { return c.repainted(x, y) ? 9 : c.still_index; });
    const Step two(screen, Picture([&](int x, int y) { return source(x, y, true); }), c.clear_pixel, second,
                   Greys(), !c.local, 0);
    std::string calls;
    const WayEncoder encode = [&](cDIB&, const FrameWay& way, std::size_t below) -> std::optional<std::size_t> {
      calls += (way.kind == FrameWay::kThrough ? "T" : "P") + std::to_string(below) + " ";
      const std::size_t size = way.kind == FrameWay::kThrough ? c.through_size : c.plain_size;
      if (below > 0 && size >= below) return std::nullopt;
      return size;
    };
    cDIB cut;
    const FrameWay way = PickFrameWay(second, two, {16, c.local, c.clear_pixel ? 15 : -1, false}, 1, encode, cut);
    EXPECT_EQ(way.kind, c.kind);
    EXPECT_EQ(way.transparent, c.transparent);
    EXPECT_EQ(calls, c.calls);
    if (c.kind == FrameWay::kMerged) continue;
    EXPECT_EQ(way.disposal, 1);
    // The cut is the change's rectangle, as the picked way writes it.
    EXPECT_EQ(way.left, two.rect.left);
    EXPECT_EQ(way.top, two.rect.top);
    ASSERT_EQ(cut.Width(), two.rect.right - two.rect.left);
    ASSERT_EQ(cut.Height(), two.rect.bottom - two.rect.top);
    if (c.clear_pixel) {
      EXPECT_EQ(At(cut, 12 - way.left, 5 - way.top), c.transparent);
    }
    if (c.kind == FrameWay::kThrough) {
      EXPECT_EQ(At(cut, 4 - way.left, 4 - way.top), c.transparent);
    }
  }
}

TEST(FrameDiffTest, AlphaBecomesClearPixelsOrGoesWhenAllOpaque) {
  struct Case {
    std::uint32_t alpha;  // every pixel's
    bool marked, dropped;
  };
  const Case cases[] = {{0xFF, false, true}, {0x80, false, false}, {0x7F, true, false}, {0, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.alpha);
    Picture picture([&](int x, int) { return (x == 3 ? c.alpha : 0xFFu) << 24 | 0x123456u; });
    cDIB& p = picture.raster;
    cDIB q;
    ASSERT_NE(p.CloneTo(q), 0);
    EXPECT_EQ(DropOpaqueAlpha(q), c.dropped);
    EXPECT_EQ(MarkClearPixels(p), c.marked);
    EXPECT_EQ(test::Px(p, 3, 0), c.marked ? std::uint32_t{kClearPixel} << 24 : 0x123456u);
    EXPECT_EQ(test::Px(p, 4, 0), 0x123456u);
  }
}

}  // namespace
}  // namespace zoetra::pipeline

#include "pipeline/prepare.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "pipeline/frame_diff.hpp"
#include "platform/base/error.hpp"
#include "support/caught.hpp"
#include "support/limits_scope.hpp"
#include "support/raster_pixels.hpp"

namespace zoetra::pipeline {
namespace {

struct SizeCase {
  int w, h;            // the picture
  int to_w, to_h;      // asked (0: follows)
  int out_w, out_h;    // worked out by hand
};

// One side asked: the other is length * asked / other to the nearest even
// number, halves up; both: the limiting side exact, the other even inside the box.
const SizeCase kSizes[] = {
    {1920, 1080, 0, 480, 854, 480},    // 853.3 rounds to the even 854
    {1280, 720, 480, 0, 480, 270},
    {1280, 720, 0, 481, 856, 481},     // 855.1: 856 is the nearest even
    {6, 4, 0, 2, 4, 2},                // 3 is half way between 2 and 4: up
    {5, 3, 7, 0, 7, 4},                // 4.2
    {1000, 1, 100, 0, 100, 2},         // 0.1: at least 2
    {1280, 720, 480, 271, 480, 270},   // the width limits
    {720, 1280, 480, 480, 270, 480},   // the height limits
    {100, 100, 51, 51, 51, 51},        // the box's odd sides as they are
    {1280, 720, 20000, 480, 854, 480}, // 853.3 inside a wide box
    {640, 480, 1920, 0, 1920, 1440},   // enlarged
};

TEST(ScaledSizeTest, FollowingSidesRoundToEvenAndFitsStayInTheBox) {
  for (const SizeCase& c : kSizes) {
    std::int32_t w = 0, h = 0;
    ScaledSize(c.w, c.h, c.to_w, c.to_h, w, h);
    EXPECT_EQ(w, c.out_w) << c.w << "x" << c.h << " to " << c.to_w << "x" << c.to_h;
    EXPECT_EQ(h, c.out_h) << c.w << "x" << c.h << " to " << c.to_w << "x" << c.to_h;
  }
}

TEST(ScaledSizeTest, SizesOverTheLimitsAreRefusedNamingSizeAndLimit) {
  const test::LimitsScope restore;
  struct Refusal {
    int w, h, to_w, to_h;
    const char* says;
  };
  const Refusal refusals[] = {
      // 20000 x 11250 is 225 million pixels, over the 128 million a picture may have.
      {1280, 720, 20000, 20000, "20000 x 11250 pixels (225000000), over the limits of a picture: 32767 pixels a side"},
      // 100 x 100000: taller than a GIF can be.
      {1, 1000, 100, 0, "100 x 100000 pixels (10000000), over the 32767 pixels a side a GIF can have"},
      {1280, 720, 0, 32767, "58252 x 32767"},
  };
  for (const Refusal& r : refusals) {
    const Error e = test::Caught([&] {
      std::int32_t w = 0, h = 0;
      ScaledSize(r.w, r.h, r.to_w, r.to_h, w, h);
    });
    EXPECT_EQ(e.number(), kErrInvalidArgument);
    EXPECT_NE(e.description().find(r.says), std::string::npos) << e.description();
    EXPECT_NE(e.description().find(std::to_string(r.w) + " x " + std::to_string(r.h)), std::string::npos)
        << e.description();
  }
  // Just inside the limits passes; a host's lower limit is the one that counts.
  std::int32_t w = 0, h = 0;
  ScaledSize(1280, 720, 15000, 0, w, h);
  EXPECT_EQ(w * std::int64_t{h}, 15000 * 8438);
  platform::Limits lower = platform::GetLimits();
  lower.max_picture_side = 2000;
  platform::SetLimits(lower);
  const Error e = test::Caught([&] { ScaledSize(1280, 720, 2048, 0, w, h); });
  EXPECT_NE(e.description().find("2000 pixels a side (max_picture_side)"), std::string::npos) << e.description();
}

constexpr std::uint32_t kClear = std::uint32_t{kClearPixel} << 24;

// A picture as a source reads it: memory row 0 its bottom row; pixel(x, y)
// with y = 0 the top row, 0xAARRGGBB (alpha only when `alpha`).
void Read(Decoded& picture, int w, int h, bool alpha, const std::function<std::uint32_t(int, int)>& pixel) {
  ASSERT_TRUE(test::Filled(picture.raster, w, h, [&](int x, int r) { return pixel(x, h - 1 - r); }));
  picture.alpha = alpha;
}

// Whether alpha is read, blended over the background or kept as clear
// pixels, by the options; and what each pixel becomes, upright (memory row 0
// the top), red and green exchanged when asked.
TEST(PreparationTest, AlphaIsBlendedOverTheBackgroundOrKeptAsClearPixels) {
  struct Case {
    const char* what;
    PaletteMode mode;
    bool gray, swap_rg;
    std::optional<std::uint32_t> background;
    bool blends, keeps;
    std::uint32_t top_left, top_right, bottom_left, bottom_right;  // after Prepare
  };
  const std::uint32_t kBg = 0x204060;
  // Opaque red, clear green; blue at alpha 128, white at 127: (c * a + bg * (255 - a) + 127) / 255.
  const Case cases[] = {
      {"all", PaletteMode::All, false, false, std::nullopt, false, true, 0xFF0000, kClear, 0x0000FF, kClear},
      {"frame, swap", PaletteMode::Frame, false, true, std::nullopt, false, true, 0x00FF00, kClear, 0x0000FF, kClear},
      {"all over a background", PaletteMode::All, false, false, kBg, true, false, 0xFF0000, kBg, 0x1020B0, 0x8F9FAF},
      {"first over a background", PaletteMode::First, false, false, kBg, true, false, 0xFF0000, kBg, 0x1020B0,
       0x8F9FAF},
      {"gray over a background", PaletteMode::Frame, true, false, kBg, true, false, 0xFF0000, kBg, 0x1020B0, 0x8F9FAF},
      // Alpha is not read at all: the source drops it.
      {"first", PaletteMode::First, false, false, std::nullopt, false, false, 0, 0, 0, 0},
      {"gray", PaletteMode::All, true, false, std::nullopt, false, false, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BuilderOptions o;
    o.palette = c.mode;
    o.gray = c.gray;
    o.swap_rg = c.swap_rg;
    o.background = c.background;
    const Preparation prep(o, true);
    EXPECT_EQ(prep.BlendsAlpha(), c.blends);
    EXPECT_EQ(prep.KeepsClear(), c.keeps);
    EXPECT_EQ(prep.ReadsAlpha(), c.blends || c.keeps);
    if (!prep.ReadsAlpha()) continue;
    Decoded picture;
    Read(picture, 2, 2, true, [](int x, int y) {
      const std::uint32_t px[2][2] = {{0xFFFF0000, 0x0000FF00}, {0x800000FF, 0x7FFFFFFF}};
      return px[y][x];
    });
    bool clear = false;
    EXPECT_FALSE(prep.Prepare(picture, clear));
    EXPECT_EQ(clear, c.keeps);
    EXPECT_EQ(test::Px(picture.raster, 0, 0), c.top_left);
    EXPECT_EQ(test::Px(picture.raster, 1, 0), c.top_right);
    EXPECT_EQ(test::Px(picture.raster, 0, 1), c.bottom_left);
    EXPECT_EQ(test::Px(picture.raster, 1, 1), c.bottom_right);
  }
  // Alpha that is all opaque is read as none: the same frame as without it.
  BuilderOptions o;
  const Preparation prep(o, true);
  Decoded picture;
  Read(picture, 3, 2, true, [](int x, int) { return 0xFF000000 | static_cast<std::uint32_t>(x) * 0x112233; });
  bool clear = true;
  prep.Prepare(picture, clear);
  EXPECT_FALSE(clear);
  EXPECT_FALSE(picture.alpha);
  for (int x = 0; x < 3; ++x) EXPECT_EQ(test::Px(picture.raster, x, 1), static_cast<std::uint32_t>(x) * 0x112233);
}

// Pictures of another size than the first are fitted into what the first
// became (scaled when a width is asked), centred, the rest filled with the
// background, or clear when the picture has alpha and there is none; a
// fitting size asked for fits every picture and no first is waited for.
TEST(PreparationTest, PicturesAreFittedIntoTheFirstOrTheAskedSize) {
  struct Case {
    const char* what;
    std::int64_t width, fit_w, fit_h;
    std::optional<std::uint32_t> background;
    bool fit_to_first;
    int first_w, first_h;  // 0: the picture is the first
    int w, h;
    bool alpha;
    bool fits_to_first, refitted;
    int out_w, out_h;
    int pad_x, pad_y, in_x, in_y;  // a pixel of the fill and one of the picture, upright
    std::uint32_t fill;
  };
  const std::uint32_t kBg = 0x102030;
  const Case cases[] = {
      {"the first's size", 0, 0, 0, {}, true, 8, 4, 8, 4, false, true, false, 8, 4, -1, 0, 0, 0, 0},
      {"narrower", 0, 0, 0, {}, true, 8, 4, 4, 4, false, true, true, 8, 4, 0, 0, 2, 0, 0},
      {"taller, background", 0, 0, 0, kBg, true, 8, 4, 8, 8, false, true, true, 8, 4, 7, 3, 4, 2, kBg},
      {"narrower, alpha", 0, 0, 0, {}, true, 8, 4, 4, 4, true, true, true, 8, 4, 1, 2, 3, 2, kClear},
      {"not to the first", 0, 0, 0, {}, false, 8, 4, 4, 4, false, false, true, 8, 4, 0, 0, 2, 0, 0},
      {"scaled first", 4, 0, 0, {}, true, 0, 0, 8, 4, false, true, false, 4, 2, -1, 0, 0, 0, 0},
      {"scaled, the first's size", 4, 0, 0, {}, true, 8, 4, 8, 4, false, true, false, 4, 2, -1, 0, 3, 1, 0},
      {"scaled, taller", 4, 0, 0, kBg, true, 8, 4, 4, 4, false, true, true, 4, 2, 0, 1, 1, 1, kBg},
      {"a fitting size", 0, 6, 6, kBg, true, 0, 0, 8, 4, false, false, false, 6, 6, 2, 0, 2, 2, kBg},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BuilderOptions o;
    o.width = c.width;
    o.fit_width = c.fit_w;
    o.fit_height = c.fit_h;
    o.background = c.background;
    Preparation prep(o, c.fit_to_first);
    EXPECT_EQ(prep.FitsToFirst(), c.fits_to_first);
    if (c.first_w > 0) prep.FitInto(c.first_w, c.first_h);
    // One colour, so that scaling keeps it; with alpha, the top left pixel clear.
    constexpr std::uint32_t kColour = 0xC08040;
    Decoded picture;
    Read(picture, c.w, c.h, c.alpha, [&](int x, int y) {
      return x == 0 && y == 0 && c.alpha ? 0 : (c.alpha ? 0xFF000000 : 0) | kColour;
    });
    bool clear = false;
    EXPECT_EQ(prep.Prepare(picture, clear), c.refitted);
    ASSERT_EQ(picture.raster.Width(), c.out_w);
    ASSERT_EQ(picture.raster.Height(), c.out_h);
    EXPECT_EQ(test::Px(picture.raster, c.in_x, c.in_y), kColour);
    if (c.pad_x >= 0) {
      EXPECT_EQ(test::Px(picture.raster, c.pad_x, c.pad_y), c.fill);
    }
  }
}

}  // namespace
}  // namespace zoetra::pipeline

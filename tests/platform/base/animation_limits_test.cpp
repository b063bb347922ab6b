// The animation limits: each one refuses exactly past its bound, and the
// refusal names the limit it broke and the numbers behind it.
#include <gtest/gtest.h>

#include <string>

#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"
#include "support/limits_scope.hpp"

namespace zoetra::platform {
namespace {

TEST(AnimationLimitsTest, EachLimitRefusesJustPastItsBound) {
  const Limits d;  // the defaults
  const std::int64_t free_side = 4096, free_rows = 2048;  // 4096 x 2048 = max_free_canvas_pixels
  ASSERT_EQ(free_side * free_rows, d.max_free_canvas_pixels);
  const struct {
    const char* name;
    std::int64_t width, height, frames, bytes;
    const char* broken;  // the limit named, "" when within the limits
  } cases[] = {
      {"a side past max_picture_side", 32768, 1, 1, 1 << 30, "(max_picture_side)"},
      {"a side at max_picture_side", 32767, 1, 1, 100, ""},
      {"pixels past max_picture_pixels, though the file is large", 16384, 8193, 1, std::int64_t{1} << 40,
       "(max_picture_pixels)"},
      {"a free canvas from a tiny file", free_side, free_rows, 1, 10, ""},
      {"one row more than free, from a tiny file", free_side, free_rows + 1, 1, 10, "(max_free_canvas_pixels)"},
      {"one row more, a file of one byte per 8 pixels", free_side, free_rows + 1, 1,
       free_side * (free_rows + 1) / 8, ""},
      {"the same, a byte short", free_side, free_rows + 1, 1, free_side * (free_rows + 1) / 8 - 1,
       "(canvas_pixels_per_file_byte)"},
      {"frames that compose to the free work", 1024, 1024, 256, 10, ""},
      {"one frame more", 1024, 1024, 257, 10, "(the larger of max_free_composed_pixels"},
      {"one frame more from a file large enough", 1024, 1024, 257, 257 * 1024 * 1024 / 256, ""},
      {"the frame count not known yet", 1024, 1024, 0, 10, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string broken = AnimationOverLimits(d, c.width, c.height, c.frames, c.bytes);
    if (*c.broken == '\0') {
      EXPECT_EQ(broken, "");
    } else {
      EXPECT_NE(broken.find(c.broken), std::string::npos) << broken;
      EXPECT_EQ(broken.rfind("its canvas of " + std::to_string(c.width) + " x " + std::to_string(c.height) + " pixels", 0),
                0u)
          << broken;
    }
  }
  // A screen that is no picture of a conversion may be wider than a picture.
  EXPECT_EQ(AnimationOverLimits(d, 65535, 1, 1, 10, false), "");
  EXPECT_NE(AnimationOverLimits(d, 65535, 1, 1, 10).find("(max_picture_side)"), std::string::npos);
}

TEST(AnimationLimitsTest, CheckRaisesNamingTheFileAndHowToRaiseTheLimit) {
  test::LimitsScope restore;
  try {
    CheckAnimation("bomb.gif", 16384, 8192, 2, 89);
    FAIL() << "not refused";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kErrInvalidPicture);
    EXPECT_EQ(e.description(),
              "Invalid picture (bomb.gif: its canvas of 16384 x 8192 pixels is over 8388608 pixels "
              "(max_free_canvas_pixels) for a file of 89 bytes: a canvas that large needs a byte per 8 of its "
              "pixels (canvas_pixels_per_file_byte); a host raises the limit with SetLimits)");
  }
  // A host that raises the limit gets the canvas.
  Limits raised = GetLimits();
  raised.max_free_canvas_pixels = std::int64_t{16384} * 8192;
  SetLimits(raised);
  EXPECT_NO_THROW(CheckAnimation("bomb.gif", 16384, 8192, 2, 89));
}

}  // namespace
}  // namespace zoetra::platform

#include "pipeline/prepare.hpp"

#include <gtest/gtest.h>

#include <string>

#include "platform/base/error.hpp"
#include "support/caught.hpp"
#include "support/limits_scope.hpp"

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

}  // namespace
}  // namespace zoetra::pipeline

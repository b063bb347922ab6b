// --width / --height through the builder: sizes over the limits refused before
// any frame is scaled, and a host's stop heard inside a large scale or palette.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <zoetra/zoetra.hpp>
#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"
#include "platform/base/yield.hpp"
#include "support/caught.hpp"
#include "support/limits_scope.hpp"
#include "support/picture_files.hpp"
#include "support/stop_from_thread.hpp"
#include "support/temp_dir.hpp"
#include "support/yield_hook.hpp"

namespace zoetra {
namespace {

class ScalingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int seed : {1, 2}) {
      files_.push_back(dir_.Path("p" + std::to_string(seed) + ".png"));
      test::WriteAll(files_.back(), test::PngFileBytes(64, 48, seed));
    }
  }
  std::vector<PictureSource> Sources() const { return {files_.begin(), files_.end()}; }
  test::TempDir dir_;
  std::vector<std::string> files_;
};

TEST_F(ScalingTest, SizesOverTheLimitsAreRefusedBeforeAnyFrameIsMade) {
  const test::LimitsScope restore;
  platform::Limits limits = platform::GetLimits();
  limits.max_picture_side = 3000;
  limits.max_picture_pixels = 4000000;
  platform::SetLimits(limits);
  struct Case {
    std::int64_t width, height;
    const char* says;
  };
  const Case cases[] = {
      // A side over the limit is known from the options alone.
      {3001, 0, "the size 3001 x 0 to scale to is over the limits of a picture: 3000 pixels a side"},
      // The other side only once the first picture is read: 2800 x 2100 is over 4 million pixels.
      {2800, 0, "64 x 48 pixels, scaled to a width of 2800 is 2800 x 2100 pixels (5880000), over the limits"},
      {0, 2500, "scaled to a height of 2500 is 3334 x 2500"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    BuilderOptions o;
    o.width = c.width;
    o.height = c.height;
    int frames = 0;
    const test::HookScope hook([&](const platform::YieldInfo& i) {
      if (i.stage == platform::YieldStage::Dither) ++frames;
    });
    const Error e = test::Caught([&] { Zoetra().CreateToBuffer(Sources(), o); });
    EXPECT_EQ(e.number(), kErrInvalidArgument);
    EXPECT_NE(e.description().find(c.says), std::string::npos) << e.description();
    EXPECT_EQ(frames, 0);
  }
}

// The host stops from another thread while a worker scales or maps a frame
// far larger than any yield would wait for: the stop error reaches the caller.
TEST_F(ScalingTest, AStopFromAnotherThreadReachesTheScalerAndThePalette) {
  for (const int stop_at : {3, 600, 2500}) {  // in the first frame's scale, later frames, their palette work
    SCOPED_TRACE(stop_at);
    const test::StopFromAnotherThread host(stop_at);
    BuilderOptions o;
    o.width = 1200;  // 1200 x 900, 900 rows each
    o.threads = 2;
    const Error e = test::Caught([&] { Zoetra().CreateToBuffer(Sources(), o); });
    EXPECT_EQ(e.number(), kErrStopped) << e.description();
  }
}

}  // namespace
}  // namespace zoetra

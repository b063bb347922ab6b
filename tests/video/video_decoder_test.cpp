// Frames made into rasters by the decoder itself, pixel by pixel: tiny frames
// of odd sizes, where libswscale's whole-vector writes run past a narrow row.
// The clips and their facts are in tests/data/clips/ (README.md).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "video/video_decoder.hpp"

namespace zoetra::video {
namespace {

std::string Clip(const std::string& name) { return std::string(ZOETRA_SOURCE_DIR) + "/tests/data/clips/" + name; }

struct Bgra {
  int b, g, r, a;
};

Bgra PixelAt(const cDIB& raster, int x, int y) {  // y from the top; the raster keeps its bottom row first
  const std::uint8_t* p = raster.lpBits() +
                          static_cast<std::size_t>(raster.Height() - 1 - y) * raster.BytesPerScanline() +
                          static_cast<std::size_t>(x) * 4;
  return {p[0], p[1], p[2], p[3]};
}

TEST(VideoDecoderTest, TinyFramesOfOddSizesComeOutWholeAndExact) {
  const struct {
    const char* file;
    int width, height;
    bool pattern;  // (8x, 8y, 40 + 60n) exactly; else flat (200, 50, 20)
  } cases[] = {
      {"tiny_2x2.mkv", 2, 2, false},       {"tiny_3x5.mkv", 3, 5, false},   {"tiny_7x7.mkv", 7, 7, false},
      {"tiny_8x8.mkv", 8, 8, false},       {"tiny_30x30.mkv", 30, 30, false}, {"tiny_2x2.mp4", 2, 2, false},
      {"tiny_3x5.mp4", 3, 5, false},       {"tiny_7x7.mp4", 7, 7, false},   {"tiny_8x8.mp4", 8, 8, false},
      {"tiny_30x30.mp4", 30, 30, false},   {"pattern_3x5.mkv", 3, 5, true}, {"pattern_30x30.mkv", 30, 30, true},
  };
  if (!VideoSupported()) GTEST_SKIP() << "built without FFmpeg's libraries";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    VideoDecoder decoder(Clip(c.file), 1);
    std::int64_t pts = 0, length = 0;
    Shot shot;
    int n = 0;
    for (; decoder.Next(pts, length, shot); ++n) {
      cDIB raster;
      bool alpha = true;
      shot->ToRaster(raster, false, alpha);
      ASSERT_EQ(raster.Width(), c.width);
      ASSERT_EQ(raster.Height(), c.height);
      EXPECT_FALSE(alpha);
      int wrong = 0;
      for (int y = 0; y < c.height; ++y) {
        for (int x = 0; x < c.width; ++x) {
          const Bgra p = PixelAt(raster, x, y);
          const Bgra want = c.pattern ? Bgra{40 + 60 * n, 8 * y, 8 * x, 0} : Bgra{20, 50, 200, 0};
          const int tolerance = c.pattern ? 0 : 3;
          if (std::abs(p.b - want.b) > tolerance || std::abs(p.g - want.g) > tolerance ||
              std::abs(p.r - want.r) > tolerance || p.a != 0) {
            if (++wrong <= 3) {
              ADD_FAILURE() << "frame " << n << " (" << x << ", " << y << "): " << p.r << ", " << p.g << ", " << p.b
                            << ", " << p.a << " for " << want.r << ", " << want.g << ", " << want.b;
            }
          }
        }
      }
    }
    EXPECT_EQ(n, 3);
  }
}

}  // namespace
}  // namespace zoetra::video

// GIF files as input pictures meet the picture limits: only the first image is
// read, and its size is refused before its rasters are made.
#include <gtest/gtest.h>

#include "gif/cgif.hpp"
#include "gif/gif_builders.hpp"
#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"
#include "platform/codecs/picture_loader.hpp"
#include "support/caught.hpp"

namespace zoetra {
namespace {

using test::Bytes;
using test::GifBuilder;

// Frames of the given sizes, each a single clear + end code (pixels stay 0).
Bytes GifOfFrames(std::initializer_list<std::pair<std::uint16_t, std::uint16_t>> sizes) {
  GifBuilder g;
  g.Header().Screen(1, 1, 0x80).ColourTable(2);
  for (const auto& [w, h] : sizes) g.Image(0, 0, w, h, 0).ImageData(2, Bytes{0x2C});
  return g.Trailer().bytes();
}

class GifPictureLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterGifPictures(); }
  void TearDown() override { platform::SetLimits(saved_); }
  platform::Limits saved_ = platform::GetLimits();
};

TEST_F(GifPictureLimitsTest, FirstImageOverThePictureLimitsIsRefusedBySize) {
  // 20000 x 20000 is over the default pixel limits of a picture and of a document.
  const Error e = test::Caught([&] { platform::LoadPictureFromMemory(GifOfFrames({{20000, 20000}})); });
  EXPECT_EQ(e.number(), kErrInvalidPicture);
  EXPECT_NE(e.description().find("picture of 20000 x 20000 pixels exceeds the size limit"), std::string::npos)
      << e.description();
  platform::Limits limits = saved_;
  limits.max_picture_side = 9;
  platform::SetLimits(limits);
  EXPECT_THROW(platform::LoadPictureFromMemory(GifOfFrames({{10, 2}})), Error);
  EXPECT_TRUE(platform::LoadPictureFromMemory(GifOfFrames({{9, 2}})));
}

TEST_F(GifPictureLimitsTest, LaterImagesAreNeitherReadNorCounted) {
  platform::Limits limits = saved_;
  limits.max_picture_pixels = 100;
  platform::SetLimits(limits);
  const Bytes file = GifOfFrames({{10, 10}, {300, 300}, {4, 4}});
  cGIF first;
  ASSERT_TRUE(first.LoadFirstImage(file));
  EXPECT_EQ(first.FramesCount(), 1);
  const platform::Picture picture = platform::LoadPictureFromMemory(file);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->Width(), 10);
  // The whole document still reads every frame.
  cGIF all;
  ASSERT_TRUE(all.LoadFromStream(file));
  EXPECT_EQ(all.FramesCount(), 3);
}

}  // namespace
}  // namespace zoetra

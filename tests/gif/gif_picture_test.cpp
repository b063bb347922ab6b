#include <gtest/gtest.h>

#include <cstring>

#include "gif/cgif.hpp"
#include "platform/error.hpp"
#include "platform/picture_loader.hpp"
#include "raster/cdib.hpp"
#include "support/caught.hpp"

namespace zoetra {
namespace {

// A 3 x 2 two-frame GIF: frame 1 is the picture a loader must deliver.
std::vector<std::uint8_t> TwoFrameGif(bool transparent) {
  cGIF doc;
  doc.Destroy();
  doc.FrameInsert(1, 3, 2);
  doc.FrameInsert(2, 3, 2);
  doc.GlobalPaletteExists(-1);
  doc.GlobalPaletteEntries(4);
  const std::uint8_t palette[16] = {0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 9, 9, 9, 0};  // red, green, blue, grey
  std::memcpy(doc.lpGlobalPalette(), palette, sizeof palette);
  const std::uint8_t rows[2][3] = {{0, 1, 2}, {3, 2, 1}};  // row 0 is the top row
  cDIB& image = *doc.FrameDIBXOR(1);
  for (int y = 0; y < 2; ++y) std::memcpy(image.lpBits() + y * image.BytesPerScanline(), rows[y], 3);
  if (transparent) {
    doc.FrameUseTransparentColor(1, -1);
    doc.FrameTransparentColorIndex(1, 1);
  }
  std::vector<std::uint8_t> bytes;
  EXPECT_TRUE(doc.SaveToBuffer(bytes));
  return bytes;
}

TEST(GifPictureTest, FirstFrameBecomesAnUprightBitmapPicture) {
  RegisterGifPictures();
  for (const bool transparent : {false, true}) {
    const platform::Picture picture = platform::LoadPictureFromMemory(TwoFrameGif(transparent));
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->Type(), platform::PictureType::Bitmap);
    cDIB raster;
    ASSERT_EQ(raster.CreateFromStdPicture(picture, true), 32);
    ASSERT_EQ(raster.Width(), 3);
    ASSERT_EQ(raster.Height(), 2);
    // Bottom-up: memory row 1 is the picture's top row.
    const std::uint8_t* top = raster.lpBits() + raster.BytesPerScanline();
    const std::uint8_t* bottom = raster.lpBits();
    EXPECT_EQ(top[2], 255);  // red, pixel 0
    EXPECT_EQ(top[4 + 1], transparent ? 0 : 255);  // green, or black where transparent
    EXPECT_EQ(top[8 + 0], 255);  // blue
    EXPECT_EQ(bottom[0], 9);     // grey
  }
}

TEST(GifPictureTest, DamagedGifsAreInvalidPictures) {
  RegisterGifPictures();
  const std::vector<std::vector<std::uint8_t>> bad = {
      {'G', 'I', 'F', '8', '9', 'a'},                                  // no screen, no image
      {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, 0x3B},       // no image
  };
  for (const auto& file : bad) {
    EXPECT_EQ(test::Caught([&] { platform::LoadPictureFromMemory(file); }).number(), kErrInvalidPicture);
  }
}

}  // namespace
}  // namespace zoetra

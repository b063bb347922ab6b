#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include <zoetra/zoetra.hpp>
#include "gif/cgif.hpp"
#include "platform/base/error.hpp"
#include "platform/codecs/picture_loader.hpp"
#include "raster/cdib.hpp"
#include "support/caught.hpp"
#include "support/picture_files.hpp"
#include "support/temp_dir.hpp"

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

// The loader reads GIFs only once the decoder is registered; making documents
// does not install it. Each case starts without a decoder, whatever earlier
// tests in this process did, and puts back what was there.
class GifDecoderRegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = platform::GetGifPictureDecoder();
    platform::SetGifPictureDecoder(nullptr);
  }
  void TearDown() override { platform::SetGifPictureDecoder(saved_); }

 private:
  platform::GifPictureDecoder saved_ = nullptr;
};

TEST_F(GifDecoderRegistrationTest, LoaderRefusesGifsUntilRegistered) {
  const std::vector<std::uint8_t> gif = TwoFrameGif(false);  // made through a cGIF
  const cGIF another;
  try {
    platform::LoadPictureFromMemory(gif);
    ADD_FAILURE() << "a GIF loaded before the decoder was registered";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kErrInvalidPicture);
    EXPECT_EQ(e.description(), "Invalid picture (no GIF decoder is installed)");
  }
  RegisterGifPictures();
  const platform::GifPictureDecoder installed = platform::GetGifPictureDecoder();
  ASSERT_NE(installed, nullptr);
  RegisterGifPictures();
  EXPECT_EQ(platform::GetGifPictureDecoder(), installed);
  const platform::Picture picture = platform::LoadPictureFromMemory(gif);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->Width(), 3);
}

// Hosts may register from several threads at start-up (ThreadSanitizer watches this).
TEST_F(GifDecoderRegistrationTest, ConcurrentRegistrationsAllSucceed) {
  const std::vector<std::uint8_t> gif = TwoFrameGif(false);
  std::vector<int> widths(4, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < widths.size(); ++t) {
    threads.emplace_back([&gif, &widths, t] {
      RegisterGifPictures();
      widths[t] = platform::LoadPictureFromMemory(gif)->Width();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(widths, std::vector<int>(4, 3));
}

// A host that never registered still converts GIF inputs: the component does it.
TEST_F(GifDecoderRegistrationTest, ConversionsRegisterTheDecoderThemselves) {
  const test::TempDir dir;
  test::WriteAll(dir.Path("in.gif"), TwoFrameGif(false));
  Zoetra component;
  const std::vector<std::uint8_t> out = component.CreateZoetraToBuffer({dir.Path("in.gif")});
  cGIF back;
  ASSERT_TRUE(back.LoadFromStream(out));
  EXPECT_EQ(back.FramesCount(), 1);
  EXPECT_NE(platform::GetGifPictureDecoder(), nullptr);
}

}  // namespace
}  // namespace zoetra

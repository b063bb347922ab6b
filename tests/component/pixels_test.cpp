// Pictures in memory: the same pixels give the same bytes as the same picture
// in a PNG file, in every layout, with rows padded or packed, mixed with files,
// in every palette mode; bad pictures are refused before any work.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <zoetra/zoetra.h>
#include <zoetra/zoetra.hpp>
#include "support/caught.hpp"
#include "support/limits_scope.hpp"
#include "support/picture_files.hpp"
#include "support/temp_dir.hpp"

namespace zoetra {
namespace {

// One picture as RGBA rows (top first) with uneven alpha, as a PNG file, and
// as one without alpha (what RGB pixels are).
struct Sample {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgba;
  std::string png, opaque_png;
};

Sample MakeSample(const test::TempDir& dir, int width, int height, int seed) {
  Sample s{width, height, {}, dir.Path("s" + std::to_string(seed) + ".png"),
           dir.Path("o" + std::to_string(seed) + ".png")};
  s.rgba.resize(static_cast<std::size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &s.rgba[(static_cast<std::size_t>(y) * width + x) * 4];
      for (int c = 0; c < 3; ++c) p[c] = test::PatternByte(x, y, c, seed);
      p[3] = static_cast<std::uint8_t>((x * 37 + y * 11 + seed) & 0xFF);
    }
  }
  test::WriteAll(s.png, test::PngFileBytes(width, height, s.rgba));
  std::vector<std::uint8_t> opaque = s.rgba;
  for (std::size_t i = 3; i < opaque.size(); i += 4) opaque[i] = 0xFF;
  test::WriteAll(s.opaque_png, test::PngFileBytes(width, height, opaque));
  return s;
}

// The sample's pixels in `layout`, each row followed by `pad` bytes of noise.
struct Laid {
  std::vector<std::uint8_t> bytes;
  PicturePixels shape;  // all but the data pointer, so copies stay valid
  PicturePixels pixels() const {
    PicturePixels p = shape;
    p.data = bytes.data();
    return p;
  }
};

Laid Lay(const Sample& s, PixelLayout layout, std::size_t pad) {
  const std::size_t channels = layout == PixelLayout::RGB ? 3 : 4;
  const std::size_t stride = static_cast<std::size_t>(s.width) * channels + pad;
  Laid out;
  out.bytes.assign(stride * static_cast<std::size_t>(s.height), 0xA5);
  for (int y = 0; y < s.height; ++y) {
    for (int x = 0; x < s.width; ++x) {
      const std::uint8_t* from = &s.rgba[(static_cast<std::size_t>(y) * s.width + x) * 4];
      std::uint8_t* to = &out.bytes[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * channels];
      const bool bgr = layout == PixelLayout::BGRA;
      to[0] = from[bgr ? 2 : 0];
      to[1] = from[1];
      to[2] = from[bgr ? 0 : 2];
      if (channels == 4) to[3] = from[3];
    }
  }
  out.shape = {nullptr, s.width, s.height, pad == 0 ? 0 : stride, layout};
  return out;
}

class PixelsTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

TEST_F(PixelsTest, SameBytesAsThePngInEveryLayoutModeAndMix) {
  // Sizes whose rows need padding in the raster, and one that does not.
  const std::vector<Sample> samples = {MakeSample(dir_, 37, 23, 1), MakeSample(dir_, 40, 23, 2),
                                       MakeSample(dir_, 37, 23, 3)};
  std::vector<std::string> files, opaque_files;
  for (const Sample& s : samples) {
    files.push_back(s.png);
    opaque_files.push_back(s.opaque_png);
  }
  struct Case {
    PixelLayout layout;
    std::size_t pad;
  };
  const Case cases[] = {{PixelLayout::RGB, 0}, {PixelLayout::RGBA, 0}, {PixelLayout::BGRA, 0},
                        {PixelLayout::RGB, 5}, {PixelLayout::BGRA, 12}};
  for (const PaletteMode mode : {PaletteMode::First, PaletteMode::All, PaletteMode::Frame}) {
    for (const bool optimize : {false, true}) {
      BuilderOptions o;
      o.palette = mode;
      o.optimize = optimize;
      const std::vector<std::uint8_t> with_alpha = Zoetra().CreateZoetraToBuffer(files, o);
      const std::vector<std::uint8_t> opaque = Zoetra().CreateZoetraToBuffer(opaque_files, o);
      for (const Case& c : cases) {
        const bool rgb = c.layout == PixelLayout::RGB;
        const std::vector<std::uint8_t>& want = rgb ? opaque : with_alpha;
        SCOPED_TRACE(testing::Message() << "mode " << int(mode) << " optimize " << optimize << " layout "
                                        << int(c.layout) << " pad " << c.pad);
        std::vector<Laid> laid;
        for (const Sample& s : samples) laid.push_back(Lay(s, c.layout, c.pad));
        // All in memory, and the middle one in memory between two files.
        const std::vector<PictureSource> memory = {laid[0].pixels(), laid[1].pixels(), laid[2].pixels()};
        const auto& from = rgb ? opaque_files : files;
        const std::vector<PictureSource> mixed = {from[0], laid[1].pixels(), from[2]};
        EXPECT_EQ(Zoetra().CreateToBuffer(memory, o), want);
        EXPECT_EQ(Zoetra().CreateToBuffer(mixed, o), want);
      }
    }
  }
  // To a file, with the builder's own result text.
  const std::vector<Laid> laid = {Lay(samples[0], PixelLayout::RGB, 0), Lay(samples[1], PixelLayout::RGB, 0)};
  const std::string out = dir_.Path("out.gif");
  const std::string text = Zoetra().Create({laid[0].pixels(), laid[1].pixels()}, out, BuilderOptions{});
  EXPECT_EQ(text, "OK, Animated GIF: " + out + " created with 2 frames");
  EXPECT_EQ(test::ReadAll(out), [&] {
    const auto bytes = Zoetra().CreateZoetraToBuffer({opaque_files[0], opaque_files[1]}, BuilderOptions{});
    return std::string(bytes.begin(), bytes.end());
  }());
}

TEST_F(PixelsTest, BadPicturesAreRefusedBeforeAnyWork) {
  const Sample s = MakeSample(dir_, 8, 6, 4);
  const Laid good = Lay(s, PixelLayout::RGB, 0);
  struct Case {
    const char* name;
    PicturePixels pixels;
    const char* says;
  };
  const Case cases[] = {
      {"no pixels", {nullptr, 8, 6, 0, PixelLayout::RGB}, "picture 2 (in memory) has no pixels"},
      {"zero width", {good.bytes.data(), 0, 6, 0, PixelLayout::RGB}, "picture 2 (in memory) is 0 x 6 pixels"},
      {"negative height", {good.bytes.data(), 8, -6, 0, PixelLayout::RGB}, "is 8 x -6 pixels"},
      {"short stride", {good.bytes.data(), 8, 6, 23, PixelLayout::RGB}, "rows 23 bytes apart, fewer than the 24"},
      {"short stride RGBA", {good.bytes.data(), 8, 6, 31, PixelLayout::RGBA}, "fewer than the 32 bytes"},
      {"unknown layout", {good.bytes.data(), 8, 6, 0, static_cast<PixelLayout>(7)}, "unknown pixel layout"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The missing file first: the bad picture is found before it is read.
    const std::vector<PictureSource> list = {dir_.Path("missing.png"), c.pixels};
    const Error e = test::Caught([&] { Zoetra().CreateToBuffer(list, BuilderOptions{}); });
    EXPECT_EQ(e.number(), kErrInvalidArgument);
    EXPECT_NE(e.description().find(c.says), std::string::npos) << e.description();
  }
  // Over the host's picture limits: refused as a file of that size would be.
  const test::LimitsScope scope;
  platform::Limits limits = scope.saved();
  limits.max_picture_side = 7;
  platform::SetLimits(limits);
  const Error e = test::Caught([&] { Zoetra().CreateToBuffer({good.pixels()}, BuilderOptions{}); });
  EXPECT_EQ(e.number(), kErrInvalidPicture);
}

TEST_F(PixelsTest, CInterfaceTakesMixedLists) {
  const Sample a = MakeSample(dir_, 20, 10, 5), b = MakeSample(dir_, 20, 10, 6);
  const Laid laid = Lay(b, PixelLayout::BGRA, 3);
  ZoetraInstance* z = zoetra_new();
  ASSERT_NE(z, nullptr);
  char text[256];
  size_t length = 0;
  const std::string from_files = dir_.Path("files.gif"), from_mixed = dir_.Path("mixed.gif");
  const char* names[] = {a.png.c_str(), b.png.c_str()};
  ASSERT_EQ(zoetra_create(z, names, 2, from_files.c_str(), nullptr, text, sizeof text, &length), 0);
  ZoetraPicture pictures[2] = {};
  pictures[0].file = a.png.c_str();
  pictures[1].pixels = laid.bytes.data();
  pictures[1].width = b.width;
  pictures[1].height = b.height;
  pictures[1].stride = laid.shape.stride;
  pictures[1].layout = ZOETRA_PIXELS_BGRA;
  ASSERT_EQ(zoetra_create_pictures(z, pictures, 2, from_mixed.c_str(), nullptr, text, sizeof text, &length), 0)
      << zoetra_error_description(z);
  EXPECT_NE(std::string(text).find("mixed.gif created with 2 frames"), std::string::npos) << text;
  EXPECT_EQ(test::ReadAll(from_mixed), test::ReadAll(from_files));

  pictures[1].layout = 3;
  EXPECT_NE(zoetra_create_pictures(z, pictures, 2, from_mixed.c_str(), nullptr, text, sizeof text, &length), 0);
  EXPECT_EQ(zoetra_error_number(z), kErrInvalidArgument);
  EXPECT_NE(std::string(zoetra_error_description(z)).find("picture 2 has an unknown pixel layout"), std::string::npos);
  EXPECT_NE(zoetra_create_pictures(z, nullptr, 1, from_mixed.c_str(), nullptr, text, sizeof text, &length), 0);
  EXPECT_EQ(zoetra_error_number(z), kErrInvalidArgument);
  zoetra_release(z);
}

}  // namespace
}  // namespace zoetra

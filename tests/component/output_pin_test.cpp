// Pinned because the default path's output bytes are fixed and must never change by accident.
// Whole conversions are pinned byte for byte. Speed work on the decoder, the colour tree, the dithering, compaction, cropping and the encoder must leave
// every output byte as it was; any change to what the builder writes shows up
// here first. The pinned values are SHA-256 digests (the same as `sha256sum`
// of the file the command writes), except for one small file pinned in full.
// They were taken from the builder before any of that speed work; when the
// example pictures are regenerated, take them anew from a trusted build.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <zoetra/zoetra.hpp>
#include "raster/cdib.hpp"
#include "support/temp_dir.hpp"

namespace zoetra {
namespace {

// SHA-256 of a byte string as 64 lowercase hex digits.
std::string Sha256(const std::vector<std::uint8_t>& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
    ADD_FAILURE() << "EVP_Digest failed";
    return {};
  }
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    char part[3];
    std::snprintf(part, sizeof part, "%02x", digest[i]);
    hex += part;
  }
  return hex;
}

std::vector<std::uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

std::vector<std::string> ExamplePictures() {
  std::vector<std::string> files;
  for (int n = 1; n <= 12; ++n) {
    char name[64];
    std::snprintf(name, sizeof name, "%s/examples/frame%02d.png", ZOETRA_SOURCE_DIR, n);
    files.emplace_back(name);
  }
  return files;
}

TEST(OutputPinTest, ExamplePicturesWithEverySwitch) {
  struct Case {
    std::int16_t delay, gray, optimize, swap_rg;
    const char* sha256;
  };
  const Case cases[] = {
      {350, 0, 0, 0, "b78dd4577ccc610ed236eed50058f3e9c9ce540531c68b161c2d425b95acdc21"},
      {350, 0, 1, 0, "1ef5818c1604e7b9c92e431a998091608640cd611f40b743d53a8a96fc09c884"},
      {350, 1, 0, 0, "a2afa9892894e8d8c54ea86cda43c2dd5762e51b38e2830d425ad222d10aba4e"},
      {350, 0, 0, 1, "1499047d84598d23c321c2ef01075bd983de88338b86e085f626e95ce5c8e399"},
      {350, 1, 1, 1, "42fc206952978c823df04b5dc770d1d931700ecc4e2074261e2adcf9a870d0cf"},
      {25, 0, 0, 0, "9680aa10822afcdd85209230a9b4541d9551cd248c5e55264f3ee7a72c3fbf56"},
  };
  const std::vector<std::string> files = ExamplePictures();
  Zoetra z;
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> gif =
        z.CreateZoetraToBuffer(files, c.delay, c.gray, c.optimize, c.swap_rg);
    EXPECT_EQ(Sha256(gif), c.sha256) << "delay " << c.delay << " gray " << c.gray << " optimize "
                                     << c.optimize << " swap " << c.swap_rg;
  }
}

// Pictures of several sizes (odd widths, so frame rows carry padding) with
// smooth ramps, hard edges and noise: every kind of pixel the dithering and
// the encoder meet. Written as 24-bit bitmap files.
std::vector<std::string> SyntheticPictures(const test::TempDir& dir) {
  struct Size {
    int w, h;
  };
  const Size sizes[] = {{37, 29}, {37, 29}, {64, 9}, {1, 5}, {37, 29}};
  std::vector<std::string> files;
  std::uint32_t seed = 12345;
  for (int n = 0; n < 5; ++n) {
    const Size s = sizes[n];
    cDIB picture;
    EXPECT_TRUE(picture.Create(s.w, s.h, 24));
    for (int y = 0; y < s.h; ++y) {
      std::uint8_t* row =
          picture.lpBits() + static_cast<std::size_t>(y) * picture.BytesPerScanline();
      for (int x = 0; x < s.w; ++x) {
        seed = seed * 1103515245u + 12345u;
        const int noise = static_cast<int>((seed >> 16) % 41) - 20;
        const bool edge = (x + 3 * n) % 11 < 4;
        row[3 * x] =
            static_cast<std::uint8_t>(std::clamp(x * 255 / std::max(s.w - 1, 1) + noise, 0, 255));
        row[3 * x + 1] = static_cast<std::uint8_t>(edge ? 250 : std::clamp(y * 9 + noise, 0, 255));
        row[3 * x + 2] = static_cast<std::uint8_t>(std::clamp(128 + (x - y) * 5 + n * 20, 0, 255));
      }
    }
    char name[16];
    std::snprintf(name, sizeof name, "p%d.bmp", n);
    files.push_back(dir.Path(name));
    EXPECT_TRUE(picture.Save(files.back()));
  }
  return files;
}

// The palette modes at the best quality without optimize: their bytes before
// the quality knob came are kept (taken from that build's command).
TEST(OutputPinTest, PaletteModesAtFullQualityWithoutOptimize) {
  struct Case {
    PaletteMode mode;
    bool gray;
    const char* sha256;
  };
  const Case cases[] = {
      {PaletteMode::All, false, "6b60bb6d5c9afe5890800de9023e85a1ebf6d9cde937231455addfc397021182"},
      {PaletteMode::Frame, false, "4d7d5242c886afe96b91c73d3d54b2187871d1f6a8abed8dcfbb4f1b2120ab80"},
      {PaletteMode::All, true, "dbaf46e6816af505043be7608884bcea4562b3139152c317b974f39a70b6be1e"},
  };
  for (const Case& c : cases) {
    BuilderOptions o;
    o.palette = c.mode;
    o.gray = c.gray;
    o.quality = 100;
    EXPECT_EQ(Sha256(Zoetra().CreateZoetraToBuffer(ExamplePictures(), o)), c.sha256)
        << "mode " << static_cast<int>(c.mode) << (c.gray ? " gray" : "");
  }
}

TEST(OutputPinTest, SyntheticPicturesOfMixedSizes) {
  const test::TempDir dir;
  const std::vector<std::string> files = SyntheticPictures(dir);
  Zoetra z;
  EXPECT_EQ(Sha256(z.CreateZoetraToBuffer(files, 350, 0, 0, 0)),
            "a430ececbaba3e53fe6b683beb0a278fe9db51c8d67cd3cf671dc7b20fdbe8cd");
  EXPECT_EQ(Sha256(z.CreateZoetraToBuffer(files, 120, 1, 1, 1)),
            "cff569de406251a15e8062232dd9f64f958c654d7e290f885be010a75e9ccc8c");
  // The file the component writes holds the same bytes.
  const std::string out = dir.Path("out.gif");
  EXPECT_EQ(z.CreateZoetra(files, out), "OK, Animated GIF: " + out + " created with 5 frames");
  EXPECT_EQ(Sha256(Bytes(test::ReadAll(out))), Sha256(z.CreateZoetraToBuffer(files, 350, 0, 0, 0)));
}

TEST(OutputPinTest, SmallConversionInFull) {
  const test::TempDir dir;
  std::vector<std::string> files = SyntheticPictures(dir);
  files = {files[3], files[3], files[2]};
  Zoetra z;
  const std::vector<std::uint8_t> gif = z.CreateZoetraToBuffer(files, 350, 0, 1, 0);
  std::string hex;
  for (std::uint8_t b : gif) {
    char part[3];
    std::snprintf(part, sizeof part, "%02x", b);
    hex += part;
  }
  // Three frames of 1 x 5, 1 x 5 and 64 x 9 against the palette of the first
  // picture's few colours: a table of 8 entries, frames of different sizes
  // left uncropped.
  EXPECT_EQ(hex,
            "47494638396140000900a20031a83410ad0e00b20500b71c13bc0d0d00000000000000000021ff0b4e4554"
            "5343415045322e30030100000021f9040c230000002c0000000001000500020304082143090021f9040c"
            "230000002c0000000001000500020304082143090021f9040c230000002c000000004000090002034508"
            "badcd360bce8a4ad76aeaca1ff60288e64699e68aaae63874aec17809757432e96473013cc9f4cf0b611"
            "e2883ce4ef7734169d0a8e4baaeb2996400655cba94ebb5c6802003b");
}

}  // namespace
}  // namespace zoetra

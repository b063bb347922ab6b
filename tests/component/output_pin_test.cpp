// Pins the exact bytes of whole conversions. Speed work on the decoder, the
// colour tree, the dithering, compaction, cropping and the encoder must leave
// every output byte as it was; any change to what the builder writes shows up
// here first. The pinned values are SHA-256 digests (the same as `sha256sum`
// of the file the command writes), except for one small file pinned in full.
// They were taken from the builder before any of that speed work; when the
// example pictures are regenerated, take them anew from a trusted build.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "component/zoetra.hpp"
#include "raster/cdib.hpp"
#include "support/temp_dir.hpp"

namespace zoetra {
namespace {

// SHA-256 of a byte string as 64 lowercase hex digits.
std::string Sha256(const std::vector<std::uint8_t>& data) {
  static constexpr std::uint32_t kK[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
      0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
      0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
      0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
      0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
      0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
      0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
      0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
      0xc67178f2};
  std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::vector<std::uint8_t> m = data;
  const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 7; i >= 0; --i) m.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  const auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  for (std::size_t block = 0; block < m.size(); block += 64) {
    std::uint32_t w[64];
    for (int t = 0; t < 16; ++t) {
      const std::uint8_t* p = &m[block + 4 * static_cast<std::size_t>(t)];
      w[t] = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
             (std::uint32_t{p[2]} << 8) | p[3];
    }
    for (int t = 16; t < 64; ++t) {
      const std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int t = 0; t < 64; ++t) {
      const std::uint32_t t1 =
          k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kK[t] + w[t];
      const std::uint32_t t2 =
          (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      k = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += k;
  }
  std::string hex;
  for (std::uint32_t v : h) {
    char part[9];
    std::snprintf(part, sizeof part, "%08x", v);
    hex += part;
  }
  return hex;
}

std::vector<std::uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

TEST(OutputPinTest, DigestIsSha256) {
  EXPECT_EQ(Sha256({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256(Bytes("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Two blocks of padding.
  EXPECT_EQ(Sha256(Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
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

// Animated pictures that claim far more than their bytes hold: each command
// refuses them at once, naming the file and the limit, before any decoder
// allocates the canvas; and a GIF of more frames than a document holds is a
// source and a description like any other.
#include <string>

#include "cli/cli_support.hpp"
#include "gif/gif_builders.hpp"

namespace zoetra::clitest {
namespace {

std::string Clip(const std::string& name) { return std::string(ZOETRA_SOURCE_DIR) + "/tests/data/clips/" + name; }

std::uint32_t Crc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) {
    crc ^= static_cast<std::uint8_t>(c);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutBigEndian(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// The animated WebP of the test clips with the canvas its VP8X chunk declares changed.
std::string WebpWithCanvas(std::uint32_t width, std::uint32_t height) {
  std::string s = ReadAll(Clip("anim.webp"));
  const std::size_t chunk = s.find("VP8X");
  EXPECT_NE(chunk, std::string::npos);
  for (int i = 0; i < 3; ++i) {
    s[chunk + 12 + i] = static_cast<char>((width - 1) >> (8 * i));
    s[chunk + 15 + i] = static_cast<char>((height - 1) >> (8 * i));
  }
  return s;
}

// The animated PNG of the test clips with the size its IHDR chunk declares changed.
std::string PngWithCanvas(std::uint32_t width, std::uint32_t height) {
  std::string s = ReadAll(Clip("anim.png"));
  EXPECT_EQ(s.substr(12, 4), "IHDR");
  PutBigEndian(s, 16, width);
  PutBigEndian(s, 20, height);
  PutBigEndian(s, 29, Crc32(s.substr(12, 17)));
  return s;
}

// An 85-byte GIF whose screen is 16384 x 8192: two frames of one pixel.
std::string GifScreenBomb() {
  test::GifBuilder g;
  g.Header().Screen(16384, 8192, 0x80).Raw({0, 0, 0, 255, 255, 255}).Netscape(0, 0);
  for (int f = 0; f < 2; ++f) g.Gce(0x04, 10, 0).Image(0, 0, 1, 1, 0).ImageData(2, {0x44, 0x01});
  const test::Bytes b = g.Trailer().bytes();
  return {b.begin(), b.end()};
}

TEST(AnimationLimitsCommandTest, BombsAreRefusedNamingTheFileAndTheLimit) {
  TempDir dir;
  const struct {
    const char* name;
    std::string bytes;
    const char* limit;
  } cases[] = {
      {"bomb.gif", GifScreenBomb(), "its canvas of 16384 x 8192 pixels is over 8388608 pixels (max_free_canvas_pixels)"},
      {"bomb.webp", WebpWithCanvas(11585, 11585),
       "its canvas of 11585 x 11585 pixels is over 8388608 pixels (max_free_canvas_pixels)"},
      // Under 32767 a side: the pixel limit is the one it breaks, and the one named.
      {"big.webp", WebpWithCanvas(16384, 16384),
       "its canvas of 16384 x 16384 pixels is over the limit of 134217728 pixels (max_picture_pixels)"},
      {"bomb.png", PngWithCanvas(8192, 8192),
       "its canvas of 8192 x 8192 pixels is over 8388608 pixels (max_free_canvas_pixels)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir.Path(c.name);
    WriteAll(file, c.bytes);
    for (const bool optimize : {false, true}) {
      std::vector<std::string> args = {"create", "-q", "-o", dir.Path("out.gif"), file};
      if (optimize) args.push_back("--optimize");
      const RunResult r = Zoetra(args);
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find("Invalid picture (" + file + ": " + c.limit), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("a host raises the limit with SetLimits"), std::string::npos) << r.err;
      EXPECT_FALSE(std::filesystem::exists(dir.Path("out.gif")));
    }
  }
  // The command names the file before the reason.
  const RunResult frames = Zoetra({"frames", "-o", dir.Path("frames"), dir.Path("bomb.gif")});
  EXPECT_EQ(frames.status, 1);
  EXPECT_EQ(frames.err.rfind("zoetra: " + dir.Path("bomb.gif") + ": Invalid picture (" + cases[0].limit, 0), 0u)
      << frames.err;
  EXPECT_FALSE(std::filesystem::exists(dir.Path("frames")));
  // Describing it needs no pixels.
  const RunResult info = Zoetra({"info", dir.Path("bomb.gif")});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("screen 16384 x 8192, 2 frames"), std::string::npos) << info.out;
}

// More frames than a document holds (32767): described whole, and taken
// whole as a source.
TEST(AnimationLimitsCommandTest, AGifOfMoreFramesThanADocumentHolds) {
  constexpr int kFrames = 33000;
  TempDir dir;
  test::GifBuilder g;
  g.Header().Screen(2, 1, 0x80).Raw({255, 0, 0, 0, 0, 255}).Netscape(0, 0);
  for (int f = 0; f < kFrames; ++f) {
    g.Gce(0x04, 2, 0).Image(static_cast<std::uint16_t>(f % 2), 0, 1, 1, 0).ImageData(2, {0x44, 0x01});
  }
  const test::Bytes b = g.Trailer().bytes();
  WriteAll(dir.Path("long.gif"), std::string(b.begin(), b.end()));

  const RunResult info = Zoetra({"info", "--json", dir.Path("long.gif")});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(info.err, "");
  EXPECT_NE(info.out.find("\"frame_count\": 33000,"), std::string::npos);
  EXPECT_NE(info.out.find("{\"index\": 33000, \"left\": 1,"), std::string::npos);

  const RunResult create = Zoetra({"create", "-q", "-o", dir.Path("out.gif"), dir.Path("long.gif")});
  EXPECT_EQ(create.status, 0) << create.err;
  const RunResult made = Zoetra({"info", "--json", dir.Path("out.gif")});
  EXPECT_NE(made.out.find("\"duration_ms\": 660000,"), std::string::npos) << made.out.substr(0, 300);
}

}  // namespace
}  // namespace zoetra::clitest

// zoetra create for slideshows: timing and looping as another decoder reads
// them, picture order and lists, fitting, EXIF orientation and transparency,
// each through the command as a user runs it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_support.hpp"

namespace zoetra::clitest {
namespace {

class SlideshowTest : public ::testing::Test {
 protected:
  // A flat picture of one colour.
  std::string Flat(const std::string& name, int w, int h, std::uint32_t rgb) {
    Picture p(w, h);
    p.Fill(0, 0, w, h, rgb);
    const std::string path = dir_.Path(name);
    EXPECT_TRUE(WritePng(path, p));
    return path;
  }

  RunResult Create(std::vector<std::string> args, const RunOptions& options = {}) {
    args.insert(args.begin(), "create");
    return Zoetra(args, options);
  }

  // The frames as `zoetra frames` composes them.
  std::vector<RgbFrame> Frames(const std::string& gif) {
    const std::string dir = dir_.Path("frames-" + std::to_string(++frames_dirs_));
    return ZoetraFrames(gif, dir).value_or(std::vector<RgbFrame>{});
  }

  TempDir dir_;
  int frames_dirs_ = 0;
};

TEST_F(SlideshowTest, TimingAndLoopingAsPillowReadsThem) {
  if (PillowPython().empty()) GTEST_SKIP() << "Pillow is not installed";
  const std::string a = Flat("a.png", 8, 8, 0xFF0000), b = Flat("b.png", 8, 8, 0x0000FF);
  const struct {
    std::vector<std::string> args;
    const char* pillow;  // loop (None without a loop block) and each frame's duration
  } cases[] = {
      {{}, "0 [350, 350]"},
      {{"--fps", "10"}, "0 [100, 100]"},
      {{"--fps", "30"}, "0 [30, 30]"},  // 33 ms kept in hundredths
      {{"--fps", "2.5", "--loop", "3"}, "3 [400, 400]"},
      {{"--loop", "65535"}, "65535 [350, 350]"},
      {{"--no-loop", "-d", "120"}, "None [120, 120]"},
  };
  const std::string read =
      "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\nd = []\n"
      "for n in range(im.n_frames):\n    im.seek(n)\n    d.append(im.info['duration'])\n"
      "print(im.info.get('loop'), d)\n";
  for (const auto& c : cases) {
    std::string name;
    for (const std::string& s : c.args) name += s + " ";
    SCOPED_TRACE(name);
    const std::string out = dir_.Path("t.gif");
    std::vector<std::string> args = {"-q", "-o", out, a, b};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ASSERT_EQ(Create(args).status, 0);
    const RunResult r = RunProgram({PillowPython(), "-c", read, out});
    EXPECT_EQ(r.out, std::string(c.pillow) + "\n") << r.err;
  }
}

TEST_F(SlideshowTest, UsageErrorsAndTheShortDelayWarning) {
  const std::string a = Flat("a.png", 4, 4, 0x808080);
  const std::string out = dir_.Path("u.gif");
  const struct {
    std::vector<std::string> args;
    int status;
    const char* says;  // on standard error
  } cases[] = {
      {{"--fps", "10", "-d", "100"}, 2, "excludes"},
      {{"--fps", "0"}, 2, "the frame rate 0 is not a number of frames per second"},
      {{"--fps", "nan"}, 2, "the frame rate nan"},
      {{"--fps", "0.0305"}, 2, "the frame rate 0.0305"},
      {{"-d", "-100"}, 2, "the frame delay -100 ms is not 0 to 32767 ms"},
      {{"-j", "-1"}, 2, "the thread count -1"},
      {{"--loop", "2", "--no-loop"}, 2, "excludes"},
      {{"--loop", "65536"}, 2, "the loop count 65536 is not"},
      {{"--fit", "160"}, 2, "--fit takes WxH"},
      {{"--fit", "0x10"}, 2, "the fitting size 0 x 10 is not 1 to 32767"},
      {{"--fit", "32767x32767"}, 2, "over the limits of a picture"},
      {{"--background", "#12345"}, 2, "--background takes a colour"},
      {{"--sort", "size"}, 2, "--sort"},
      {{"-d", "10"}, 0, "frames of 10 ms are kept as 10 ms; browsers show frames under 20 ms"},
      {{"-d", "5"}, 0, "frames of 5 ms are kept as 0 ms (GIF delays are whole hundredths of a second)"},
      {{"--fps", "60"}, 0, "frames of 17 ms, kept as 20 ms (GIF delays are whole hundredths of a second): "
                           "the animation plays at 50 frames per second"},
      {{"--fps", "100"}, 0, "browsers show frames under 20 ms"},
      {{"-d", "20"}, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    std::vector<std::string> args = {"-o", out, a};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = Create(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (*c.says == '\0') {
      EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    } else {
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
  }
  const RunResult none = Create({"-o", out});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("PICTURE is required (or --list FILE)"), std::string::npos) << none.err;
}

TEST_F(SlideshowTest, NaturalOrderAndListsGiveTheSameFile) {
  // Colours by number, so the frames tell the order. p010 and p10 hold the
  // same number: their bytes decide.
  const std::string p1 = Flat("p1.png", 6, 6, 0x100000), p2 = Flat("p2.png", 6, 6, 0x002000),
                    p10 = Flat("p10.png", 6, 6, 0x000030), p010 = Flat("p010.png", 6, 6, 0x404040);
  const std::string want = dir_.Path("want.gif"), got = dir_.Path("got.gif");
  ASSERT_EQ(Create({"-q", "-o", want, "--palette", "all", p1, p2, p010, p10}).status, 0);

  ASSERT_EQ(Create({"-q", "-o", got, "--palette", "all", "--sort", "natural", p010, p10, p2, p1}).status, 0);
  EXPECT_EQ(ReadAll(got), ReadAll(want)) << "p1 < p2 < p010 < p10";
  ASSERT_EQ(Create({"-q", "-o", got, "--palette", "all", p10, p2, p1, p010}).status, 0);
  EXPECT_NE(ReadAll(got), ReadAll(want)) << "without --sort the order given stays";

  // A list with CR LF ends and blank lines, from a file and from standard input,
  // after the pictures named on the command line.
  const std::string list = dir_.Path("list.txt");
  WriteAll(list, p2 + "\r\n\n" + p010 + "\r\n" + p10 + "\n\n");
  ASSERT_EQ(Create({"-q", "-o", got, "--palette", "all", "--list", list, p1}).status, 0);
  EXPECT_EQ(ReadAll(got), ReadAll(want));
  RunOptions piped;
  piped.input = ReadAll(list);
  ASSERT_EQ(Create({"-q", "-o", got, "--palette", "all", "--list", "-", p1}, piped).status, 0);
  EXPECT_EQ(ReadAll(got), ReadAll(want));
  WriteAll(list, p10 + "\n" + p1 + "\n" + p010 + "\n" + p2 + "\n");
  ASSERT_EQ(Create({"-q", "-o", got, "--palette", "all", "--list", list, "--sort", "natural"}).status, 0);
  EXPECT_EQ(ReadAll(got), ReadAll(want));

  const RunResult missing = Create({"-q", "-o", got, "--list", dir_.Path("nope.txt")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot read the list of pictures"), std::string::npos) << missing.err;
  WriteAll(list, "\n\n");
  const RunResult empty = Create({"-q", "-o", got, "--list", list});
  EXPECT_EQ(empty.status, 1);
  EXPECT_NE(empty.err.find("no pictures were given"), std::string::npos) << empty.err;
}

TEST_F(SlideshowTest, FitScalesEveryPictureIntoOneScreenOnTheBackground) {
  const std::string wide = Flat("wide.png", 320, 120, 0xC00000), tall = Flat("tall.png", 60, 240, 0x00C000),
                    small = Flat("small.png", 40, 30, 0x0000C0);
  const std::string out = dir_.Path("fit.gif");
  // Without --fit the sizes stay, and the command says how to make them one.
  const RunResult mixed = Create({"-o", out, wide, tall, small});
  ASSERT_EQ(mixed.status, 0) << mixed.err;
  EXPECT_NE(mixed.err.find("picture 2 (" + tall + ") is not the size of picture 1"), std::string::npos) << mixed.err;
  EXPECT_NE(mixed.err.find("--fit WxH"), std::string::npos);
  const RunResult alike = Create({"-o", out, small, small});
  EXPECT_EQ(alike.err.find("--fit"), std::string::npos) << alike.err;

  const RunResult fitted =
      Create({"-o", out, "--fit", "160x120", "--background", "#336699", "--palette", "all", wide, tall, small});
  ASSERT_EQ(fitted.status, 0) << fitted.err;
  EXPECT_EQ(fitted.err.find("--fit"), std::string::npos) << fitted.err;
  const RunResult info = Zoetra({"info", out});
  EXPECT_NE(info.out.find("screen 160 x 120"), std::string::npos) << info.out;
  const std::vector<RgbFrame> frames = Frames(out);
  ASSERT_EQ(frames.size(), 3u);
  // Where each picture lands: 320 x 120 becomes 160 x 60 at y 30; 60 x 240
  // becomes 30 x 120 at x 65; 40 x 30 becomes 160 x 120, the whole screen.
  const struct {
    int x, y;
    std::uint32_t colour;
  } probes[3][4] = {
      {{80, 60, 0xC00000}, {80, 10, 0x336699}, {80, 110, 0x336699}, {2, 31, 0xC00000}},
      {{80, 60, 0x00C000}, {20, 60, 0x336699}, {140, 60, 0x336699}, {66, 2, 0x00C000}},
      {{80, 60, 0x0000C0}, {0, 0, 0x0000C0}, {159, 119, 0x0000C0}, {159, 0, 0x0000C0}},
  };
  for (int f = 0; f < 3; ++f) {
    ASSERT_EQ(frames[f].width, 160);
    ASSERT_EQ(frames[f].height, 120);
    for (const auto& p : probes[f]) {
      EXPECT_EQ(frames[f].at(p.x, p.y), p.colour) << "frame " << f + 1 << " at " << p.x << ", " << p.y;
    }
  }
}

// The bytes of a JPEG with an EXIF block saying `orientation`, put right after
// the start marker, as cameras write it.
std::string WithOrientation(const std::string& jpeg, int orientation, bool big_endian) {
  std::string tiff = big_endian ? std::string("MM\0*\0\0\0\x08", 8) : std::string("II*\0\x08\0\0\0", 8);
  const auto u16 = [&](int v) {
    return big_endian ? std::string{char(v >> 8), char(v & 0xFF)} : std::string{char(v & 0xFF), char(v >> 8)};
  };
  const auto u32 = [&](int v) { return big_endian ? u16(0) + u16(v) : u16(v) + u16(0); };
  tiff += u16(1) + u16(0x0112) + u16(3) + u32(1) + u16(orientation) + u16(0) + u32(0);
  const std::string body = std::string("Exif\0\0", 6) + tiff;
  const std::string app1 = std::string("\xFF\xE1") + char((body.size() + 2) >> 8) + char((body.size() + 2) & 0xFF) + body;
  return jpeg.substr(0, 2) + app1 + jpeg.substr(2);
}

TEST_F(SlideshowTest, AutoOrientTurnsEveryExifOrientationUpright) {
  // Upright: 48 x 32, quadrants red, green / blue, white. Each file stores the
  // picture as a camera held that way would, and says how to turn it back.
  const std::uint32_t tl = 0xFF0000, tr = 0x00FF00, bl = 0x0000FF, br = 0xFFFFFF;
  Picture upright(48, 32);
  upright.Fill(0, 0, 24, 16, tl);
  upright.Fill(24, 0, 48, 16, tr);
  upright.Fill(0, 16, 24, 32, bl);
  upright.Fill(24, 16, 48, 32, br);
  // Stored pixel (x, y) for each orientation: the inverse of the turn a viewer applies.
  const auto stored = [&](int orientation) {
    const bool swap = orientation >= 5;
    Picture p(swap ? 32 : 48, swap ? 48 : 32);
    for (int y = 0; y < p.height; ++y) {
      for (int x = 0; x < p.width; ++x) {
        int ux = x, uy = y;  // the upright pixel shown at stored (x, y)
        switch (orientation) {
          case 2: ux = 47 - x; break;
          case 3: ux = 47 - x, uy = 31 - y; break;
          case 4: uy = 31 - y; break;
          case 5: ux = y, uy = x; break;
          case 6: ux = 47 - y, uy = x; break;  // row 0 is the right side
          case 7: ux = 47 - y, uy = 31 - x; break;
          case 8: ux = y, uy = 31 - x; break;  // row 0 is the left side
          default: break;
        }
        p.Set(x, y, upright.Rgb(ux, uy));
      }
    }
    return p;
  };
  for (int orientation = 1; orientation <= 8; ++orientation) {
    for (const bool big_endian : {false, true}) {
      SCOPED_TRACE("orientation " + std::to_string(orientation) + (big_endian ? " big-endian" : ""));
      const std::string plain = dir_.Path("plain.jpg"), tagged = dir_.Path("tagged.jpg"), out = dir_.Path("o.gif");
      ASSERT_TRUE(WriteJpeg(plain, stored(orientation)));
      WriteAll(tagged, WithOrientation(ReadAll(plain), orientation, big_endian));
      ASSERT_EQ(Create({"-q", "-o", out, "--auto-orient", "--palette", "all", tagged}).status, 0);
      const std::vector<RgbFrame> frames = Frames(out);
      ASSERT_EQ(frames.size(), 1u);
      ASSERT_EQ(frames[0].width, 48);
      ASSERT_EQ(frames[0].height, 32);
      // Quadrant centres, with room for the JPEG's rounding.
      const struct {
        int x, y;
        std::uint32_t rgb;
      } centres[] = {{12, 8, tl}, {36, 8, tr}, {12, 24, bl}, {36, 24, br}};
      for (const auto& c : centres) {
        const std::uint32_t got = frames[0].at(c.x, c.y);
        for (int shift : {16, 8, 0}) {
          const int d = static_cast<int>((got >> shift) & 0xFF) - static_cast<int>((c.rgb >> shift) & 0xFF);
          EXPECT_LE(std::abs(d), 24) << std::hex << "at " << std::dec << c.x << ", " << c.y << ": " << std::hex << got;
        }
      }
      // Without the switch the file shows as stored.
      ASSERT_EQ(Create({"-q", "-o", out, tagged}).status, 0);
      const RunResult info = Zoetra({"info", "--json", out});
      EXPECT_NE(info.out.find(orientation >= 5 ? "\"width\": 32, \"height\": 48" : "\"width\": 48, \"height\": 32"),
                std::string::npos)
          << info.out;
    }
  }
}

TEST_F(SlideshowTest, TransparentPixelsTakeTheBackground) {
  // Left half clear (hiding bright green), right half half-transparent blue.
  Picture p(20, 10);
  p.Fill(0, 0, 10, 10, 0x00FF00, 0);
  p.Fill(10, 0, 20, 10, 0x0000FF, 128);
  const std::string png = dir_.Path("alpha.png"), out = dir_.Path("a.gif");
  ASSERT_TRUE(WritePng(png, p));
  ASSERT_EQ(Create({"-q", "-o", out, "--palette", "all", "--background", "#FF8000", png}).status, 0);
  std::vector<RgbFrame> frames = Frames(out);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].at(3, 3), 0xFF8000u);
  // (0 * 128 + 255 * 127) / 255 = 127 red, (0 + 128 * 127) / 255 = 64 green, 128 blue.
  EXPECT_EQ(frames[0].at(15, 3), 0x7F4080u);
  // Without a background, what is less than half opaque stays transparent
  // and the rest keeps its colour.
  ASSERT_EQ(Create({"-q", "-o", out, "--palette", "all", png}).status, 0);
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromFile(out));
  ASSERT_EQ(gif.FramesCount(), 1);
  ASSERT_NE(gif.FrameUseTransparentColor(1), 0);
  const cDIB& image = *gif.FrameDIBXOR(1);
  const auto index = [&](int x, int y) { return image.lpBits()[static_cast<std::size_t>(y) * image.BytesPerScanline() + x]; };
  EXPECT_EQ(index(3, 3), gif.FrameTransparentColorIndex(1));
  EXPECT_NE(index(15, 3), gif.FrameTransparentColorIndex(1));
  EXPECT_EQ(static_cast<std::uint32_t>(gif.LocalPaletteRGBEntry(1, index(15, 3))), 0xFF0000u);  // blue, as 0xBBGGRR
}

}  // namespace
}  // namespace zoetra::clitest

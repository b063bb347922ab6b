// Interoperability: GIF files written by `zoetra create` decode to the same
// frames in giflib, Pillow and ffmpeg; GIF files written by other programs
// load and `zoetra frames` composes them as giflib (through our own small
// compositor) and Pillow do; bitmap files written by cDIB::Save open in Pillow.
//
// What is compared: the reference is giflib's decoding composed by the GIF89a
// rules (support/composed_frames.hpp), compared pixel for pixel with our frames
// (cGIFComposer for our files, `zoetra frames` for the other programs' files).
// Pillow and ffmpeg are compared on what is well defined: every pixel that a
// frame painted must be opaque and equal. Pixels that a disposal to the
// background cleared are compared where the other decoder shows them opaque,
// unless the disposed frame has a transparent colour: then Pillow clears them
// to transparency, which its RGB frames show as opaque black, where we show
// the background colour. Pixels that no frame has painted yet are not
// compared (the other decoders start from transparency or palette entry 0, we
// from the background colour).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cli_support.hpp"
#include "gif/cgif.hpp"
#include "platform/codecs/picture_loader.hpp"
#include "raster/cdib.hpp"

namespace zoetra::clitest {
namespace {

#ifdef ZOETRA_HAVE_GIFLIB

// ---------------------------------------------------------------- decoders

std::optional<std::vector<RgbaFrame>> PillowFrames(const std::string& gif, const std::string& dump) {
  const RunResult r = RunProgram({PillowPython(), HelperScript("pillow_frames.py"), gif, dump});
  if (r.status != 0) {
    ADD_FAILURE() << "Pillow could not read " << gif << ": " << r.err;
    return std::nullopt;
  }
  return ReadRgbaDump(dump);
}

std::optional<std::vector<RgbaFrame>> FfmpegFrames(const std::string& ffmpeg, const std::string& gif, int w, int h) {
  // Every frame as decoded, none dropped or repeated for a constant rate.
  RunResult r = RunProgram({ffmpeg, "-v", "error", "-i", gif, "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt",
                     "rgba", "pipe:1"});
  if (r.status != 0) {  // versions before -fps_mode
    r = RunProgram({ffmpeg, "-v", "error", "-i", gif, "-vsync", "passthrough", "-f", "rawvideo", "-pix_fmt", "rgba", "pipe:1"});
  }
  if (r.status != 0) {
    ADD_FAILURE() << "ffmpeg could not read " << gif << ": " << r.err;
    return std::nullopt;
  }
  const std::size_t bytes = static_cast<std::size_t>(w) * h * 4;
  if (bytes == 0 || r.out.size() % bytes != 0) {
    ADD_FAILURE() << "ffmpeg gave " << r.out.size() << " bytes, not whole " << w << " x " << h << " frames";
    return std::nullopt;
  }
  std::vector<RgbaFrame> frames(r.out.size() / bytes);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    frames[i].width = w, frames[i].height = h;
    frames[i].rgba.assign(r.out.begin() + static_cast<std::ptrdiff_t>(i * bytes),
                          r.out.begin() + static_cast<std::ptrdiff_t>((i + 1) * bytes));
  }
  return frames;
}

// ---------------------------------------------------------------- comparisons

// Our composed frames against another decoder's, on the well-defined pixels.
// Returns the number of pixels compared.
std::size_t ExpectSameWhereDefined(const char* decoder, const std::vector<RgbFrame>& ours,
                                   const std::vector<ComposedFrame>& reference, const std::vector<RgbaFrame>& theirs) {
  std::size_t compared = 0;
  EXPECT_EQ(theirs.size(), ours.size()) << decoder << " frame count";
  for (std::size_t i = 0; i < std::min(ours.size(), theirs.size()); ++i) {
    const RgbFrame& a = ours[i];
    const RgbaFrame& b = theirs[i];
    if (a.width != b.width || a.height != b.height) {
      ADD_FAILURE() << decoder << " frame " << i + 1 << " is " << b.width << " x " << b.height;
      return compared;
    }
    for (int y = 0; y < a.height; ++y) {
      for (int x = 0; x < a.width; ++x) {
        const std::size_t at = static_cast<std::size_t>(y) * a.width + x;
        const std::uint8_t* p = &b.rgba[at * 4];
        const std::uint32_t other = std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
        const Origin origin = reference[i].origin[at];
        if (origin == Origin::Untouched || origin == Origin::DisposedTransparent ||
            (origin == Origin::Disposed && p[3] != 255)) {
          continue;
        }
        ++compared;
        if (p[3] != 255 || other != a.at(x, y)) {
          ADD_FAILURE() << decoder << " frame " << i + 1 << " pixel (" << x << ", " << y << "): ours "
                        << Hex(a.at(x, y)) << ", " << decoder << " " << Hex(other) << " alpha " << int{p[3]}
                        << (origin == Origin::Painted ? " (painted by a frame)" : " (disposed to the background)");
          return compared;
        }
      }
    }
  }
  return compared;
}

// ---------------------------------------------------------------- our files

// 48 x 40 pictures with smooth gradients, so that dithering spreads colours,
// and a disc that moves, so that frames differ in part.
Picture Scene(int step) {
  Picture p(48, 40);
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      const int r = x * 255 / 47, g = y * 255 / 39, b = 255 - (x + y) * 255 / 86;
      p.Set(x, y, static_cast<std::uint32_t>(r << 16 | g << 8 | b));
      const int dx = x - (10 + 9 * step), dy = y - 20;
      if (dx * dx + dy * dy < 49) p.Set(x, y, static_cast<std::uint32_t>(0xF0E020 - step * 0x300000));
    }
  }
  return p;
}

double MeanDifference(const RgbFrame& f, const Picture& p) {
  double sum = 0;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      for (int s = 0; s < 24; s += 8) {
        sum += std::abs(static_cast<int>((f.at(x, y) >> s) & 0xFF) - static_cast<int>((p.Rgb(x, y) >> s) & 0xFF));
      }
    }
  }
  return sum / (3.0 * p.width * p.height);
}

class OurGifsTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(OurGifsTest, DecodeToTheBuilderFramesInEveryDecoder) {
  const std::vector<std::string>& switches = GetParam();
  TempDir dir;
  std::vector<std::string> pictures;
  for (int i = 0; i < 4; ++i) {
    pictures.push_back(dir.Path("scene" + std::to_string(i) + ".png"));
    ASSERT_TRUE(WritePng(pictures.back(), Scene(i)));
  }
  auto create = [&](const std::string& out, bool optimize) {
    std::vector<std::string> args = {"create", "-q", "-o", out};
    for (const auto& s : switches) {
      if (s != "--optimize" || optimize) args.push_back(s);
    }
    args.insert(args.end(), pictures.begin(), pictures.end());
    const RunResult r = Zoetra(args);
    EXPECT_EQ(r.status, 0) << r.err;
  };
  const bool optimized = std::find(switches.begin(), switches.end(), "--optimize") != switches.end();
  const std::string gif = dir.Path("ours.gif"), plain = dir.Path("plain.gif");
  create(gif, true);
  create(plain, false);

  cGIF made;
  ASSERT_TRUE(made.LoadFromFile(gif));
  const auto ours = ComposedPictures(made);
  ASSERT_TRUE(ours.has_value());
  ASSERT_EQ(ours->size(), 4u);

  // The frames the builder defines: frame n of the un-optimised document, each
  // pixel its palette colour. The optimised file shows the same pictures,
  // except that a pixel whose picture did not change keeps what it showed
  // (and a palette per frame keeps an entry free, so its colours differ).
  const bool own_palettes = std::find(switches.begin(), switches.end(), "frame") != switches.end();
  const bool lossy = std::find(switches.begin(), switches.end(), "--quality") != switches.end();
  cGIF doc;
  ASSERT_TRUE(doc.LoadFromFile(plain));
  ASSERT_EQ(doc.FramesCount(), 4);
  for (std::int16_t n = 1; n <= 4; ++n) {
    const cDIB& image = *doc.FrameDIBXOR(n);
    ASSERT_EQ(image.Width(), 48);
    const RgbFrame& shown = (*ours)[static_cast<std::size_t>(n - 1)];
    for (int y = 0; y < 40; ++y) {
      for (int x = 0; x < 48; ++x) {
        const auto v = static_cast<std::uint32_t>(
            doc.LocalPaletteRGBEntry(n, image.lpBits()[static_cast<std::size_t>(y) * image.BytesPerScanline() + x]));
        const std::uint32_t want = (v & 0xFF) << 16 | (v & 0xFF00) | (v >> 16 & 0xFF);
        const bool still = n > 1 && Scene(n - 1).Rgb(x, y) == Scene(n - 2).Rgb(x, y);
        if (lossy) continue;  // what lossy LZW bends depends on the cut
        if (optimized && still) {
          ASSERT_EQ(shown.at(x, y), (*ours)[static_cast<std::size_t>(n - 2)].at(x, y))
              << "frame " << n << " (" << x << ", " << y << ") changed where its picture did not";
        } else if (!optimized || !own_palettes) {
          ASSERT_EQ(shown.at(x, y), want) << "frame " << n << " (" << x << ", " << y << ")";
        }
      }
    }
    // And they are the pictures, up to the dithering (colour runs only).
    if (std::find(switches.begin(), switches.end(), "--gray") == switches.end()) {
      Picture want = Scene(n - 1);
      if (std::find(switches.begin(), switches.end(), "--swap-rg") != switches.end()) {
        for (std::size_t i = 0; i < want.rgba.size(); i += 4) std::swap(want.rgba[i], want.rgba[i + 1]);
      }
      EXPECT_LT(MeanDifference(shown, want), 24.0) << "frame " << n;
    }
  }
  if (optimized) {
    cGIF opt;
    ASSERT_TRUE(opt.LoadFromFile(gif));
    EXPECT_LT(opt.FrameDIBXOR(2)->Width(), 48) << "the optimisation should have cut frame 2";
  }

  const auto reference = GiflibCompose(gif);
  ASSERT_TRUE(reference.has_value()) << "giflib cannot read our file";
  ExpectSameAsReference(*ours, *reference);

  if (!PillowPython().empty()) {
    const auto pillow = PillowFrames(gif, dir.Path("pillow.rgba"));
    ASSERT_TRUE(pillow.has_value());
    EXPECT_EQ(ExpectSameWhereDefined("Pillow", *ours, *reference, *pillow), std::size_t{4} * 48 * 40);
  }
  const std::string ffmpeg = FindTool({"ffmpeg"});
  if (!ffmpeg.empty()) {
    const auto frames = FfmpegFrames(ffmpeg, gif, 48, 40);
    ASSERT_TRUE(frames.has_value());
    EXPECT_EQ(ExpectSameWhereDefined("ffmpeg", *ours, *reference, *frames), std::size_t{4} * 48 * 40);
  }
  if (PillowPython().empty() || ffmpeg.empty()) {
    GTEST_SKIP() << "giflib agrees; not checked with" << (PillowPython().empty() ? " Pillow" : "")
                 << (ffmpeg.empty() ? " ffmpeg" : "") << " (not installed)";
  }
}

INSTANTIATE_TEST_SUITE_P(Switches, OurGifsTest,
                         ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"--optimize"},
                                           std::vector<std::string>{"--gray"},
                                           std::vector<std::string>{"--gray", "--optimize"},
                                           std::vector<std::string>{"--swap-rg", "--optimize", "-d", "40"},
                                           std::vector<std::string>{"--palette", "all"},
                                           std::vector<std::string>{"--optimize", "--quality", "60"},
                                           std::vector<std::string>{"--palette", "frame", "--optimize", "--quality", "70"},
                                           std::vector<std::string>{"--palette", "all", "--optimize"},
                                           std::vector<std::string>{"--palette", "frame"},
                                           std::vector<std::string>{"--palette", "frame", "--optimize"}),
                         [](const auto& info) {
                           std::string name;
                           for (const auto& s : info.param) {
                             for (char c : s) {
                               if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                             }
                           }
                           return name.empty() ? std::string("plain") : name;
                         });

// ---------------------------------------------------------------- other programs' files

// Source pictures for the other programs, 40 x 30: an opaque scene, sprites
// with transparent surroundings, and opaque pictures in unrelated colours (so
// that per-frame palettes differ).
void WriteSources(const TempDir& dir) {
  Picture bg(40, 30);
  bg.Fill(0, 0, 40, 20, 0x1E5AA0);
  bg.Fill(0, 20, 40, 30, 0x28A028);
  bg.Fill(30, 3, 36, 9, 0xF0F0F0);
  ASSERT_TRUE(WritePng(dir.Path("bg.png"), bg));
  for (int i = 0; i < 3; ++i) {
    Picture sprite(40, 30);
    sprite.Fill(0, 0, 40, 30, 0, 0);
    sprite.Fill(2 + 10 * i, 4, 14 + 10 * i, 16, static_cast<std::uint32_t>(0xFAC814 - 0x003C00 * i));
    sprite.Fill(5 + 10 * i, 7, 11 + 10 * i, 13, 0x000000, 0);  // a hole
    ASSERT_TRUE(WritePng(dir.Path("s" + std::to_string(i) + ".png"), sprite));
    Picture c(40, 30);
    c.Fill(0, 0, 40, 30, static_cast<std::uint32_t>((255 - 80 * i) << 16 | (100 * i) << 8 | 50));
    c.Fill(5, 5, 21 + 5 * i, 26, static_cast<std::uint32_t>((90 * i) << 16 | 0xFF00 | (255 - 70 * i)));
    ASSERT_TRUE(WritePng(dir.Path("c" + std::to_string(i) + ".png"), c));
    // Over a thousand colours each, in unrelated ranges.
    Picture g(40, 30);
    for (int y = 0; y < 30; ++y) {
      for (int x = 0; x < 40; ++x) {
        g.Set(x, y, static_cast<std::uint32_t>(((x * 6 + 85 * i) & 255) << 16 | (y * 8) << 8 | ((x * y + 40 * i) & 255)));
      }
    }
    ASSERT_TRUE(WritePng(dir.Path("g" + std::to_string(i) + ".png"), g));
  }
}

constexpr const char* kPillowMaker = R"PY(
import sys
from PIL import Image
d, out = sys.argv[1], sys.argv[2]
frames = []
for i in range(4):
    im = Image.new("P", (40, 30), 0)
    # A different palette per frame: the writer gives frames 2-4 local tables.
    pal = []
    for k in range(256):
        pal += [(k * (3 + i)) % 256, (k * 7 + 40 * i) % 256, (255 - k * (i + 1)) % 256]
    im.putpalette(pal)
    im.paste(1 + i, (0, 0, 40, 30))
    im.paste(9, (4 + 8 * i, 6, 16 + 8 * i, 20))
    im.paste(0, (8 + 8 * i, 10, 12 + 8 * i, 14))
    frames.append(im)
frames[0].save(out, save_all=True, append_images=frames[1:], duration=[50, 60, 70, 80], loop=0,
               disposal=[1, 2, 3, 1], transparency=0, interlace=True, optimize=False)
)PY";

struct Maker {
  const char* name;
  std::vector<const char*> tools;      // the first one found runs
  std::vector<std::string> args;       // "{d}" is the scratch directory, "{out}" the file made
  // What the file must contain for the case to test what it claims.
  bool transparency;
  bool local_palettes;
  bool interlaced;
  std::set<int> disposals;
};

void PrintTo(const Maker& maker, std::ostream* os) { *os << maker.name; }

const std::vector<Maker>& Makers() {
  static const std::vector<Maker> makers = {
      {"imagemagick-disposals", {"magick", "convert-im6.q16", "convert-im6", "convert"},
       {"-delay", "10", "-dispose", "None", "{d}/bg.png", "-dispose", "Background", "{d}/s0.png", "-dispose",
        "Previous", "{d}/s1.png", "-dispose", "None", "{d}/s2.png", "{out}"},
       true, false, false, {1, 2, 3}},
      {"imagemagick-interlaced-local", {"magick", "convert-im6.q16", "convert-im6", "convert"},
       {"-delay", "10", "{d}/c0.png", "{d}/c1.png", "{d}/c2.png", "-interlace", "GIF", "{out}"},
       false, true, true, {}},
      {"imagemagick-optimized", {"magick", "convert-im6.q16", "convert-im6", "convert"},
       {"-delay", "10", "{d}/bg.png", "{d}/s0.png", "{d}/s1.png", "{d}/s2.png", "-layers", "Optimize", "{out}"},
       true, false, false, {}},
      {"graphicsmagick-background", {"gm"},
       {"convert", "-delay", "10", "-dispose", "2", "{d}/c0.png", "{d}/c1.png", "{d}/c2.png", "{out}"},
       false, true, false, {2}},
      {"graphicsmagick-previous", {"gm"},
       {"convert", "-delay", "10", "{d}/bg.png", "-dispose", "3", "{d}/s0.png", "{d}/s1.png", "{out}"},
       true, true, false, {3}},
      {"ffmpeg-testsrc", {"ffmpeg"},
       {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=48x36:rate=5", "-frames:v", "4", "{out}"},
       true, false, false, {}},
      {"ffmpeg-pictures", {"ffmpeg"},
       {"-v", "error", "-y", "-framerate", "5", "-i", "{d}/c%d.png", "{out}"},
       true, false, false, {}},
      {"gifsicle-interlaced-background", {"gifsicle"},
       {"-i", "--disposal=background", "-d", "10", "{d}/base.gif", "-o", "{out}"},
       false, false, true, {2}},
      {"gifsicle-optimized", {"gifsicle"}, {"-O3", "{d}/scene.gif", "-o", "{out}"}, true, false, false, {}},
      {"gifsicle-previous-local", {"gifsicle"},
       {"--disposal=previous", "-d", "10", "{d}/local.gif", "-o", "{out}"},
       false, true, false, {3}},
      // Pillow 9 writes the frames of an animation without interlacing.
      {"pillow", {"python3-with-pillow"}, {"{d}/make.py", "{d}", "{out}"}, true, true, false, {1, 2, 3}},
  };
  return makers;
}

// What giflib sees in a file: transparency, local tables, interlaced frames
// taller than 4 rows, disposal methods.
struct Features {
  bool transparency = false, local_palettes = false, interlaced = false;
  std::set<int> disposals;
  int frames = 0;
};

Features Inspect(const std::string& path) {
  Features f;
  int error = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
  if (gif == nullptr) return f;
  if (DGifSlurp(gif) == GIF_OK) {
    f.frames = gif->ImageCount;
    for (int i = 0; i < gif->ImageCount; ++i) {
      GraphicsControlBlock gcb{};
      gcb.TransparentColor = NO_TRANSPARENT_COLOR;
      if (DGifSavedExtensionToGCB(gif, i, &gcb) == GIF_OK) {
        f.disposals.insert(gcb.DisposalMode);
        f.transparency |= gcb.TransparentColor != NO_TRANSPARENT_COLOR;
      }
      const GifImageDesc& d = gif->SavedImages[i].ImageDesc;
      f.local_palettes |= d.ColorMap != nullptr;
      f.interlaced |= d.Interlace && d.Height > 4;
    }
  }
  DGifCloseFile(gif, &error);
  return f;
}

class ForeignGifsTest : public ::testing::TestWithParam<Maker> {};

TEST_P(ForeignGifsTest, LoadAndComposeAsOtherDecodersDo) {
  const Maker& maker = GetParam();
  std::string tool;
  if (std::string(maker.tools[0]) == "python3-with-pillow") {
    tool = PillowPython();
  } else {
    for (const char* name : maker.tools) {
      tool = FindTool({name});
      if (!tool.empty()) break;
    }
  }
  if (tool.empty()) GTEST_SKIP() << maker.tools[0] << " is not installed: files of " << maker.name << " not checked";

  TempDir dir;
  WriteSources(dir);
  WriteAll(dir.Path("make.py"), kPillowMaker);
  const std::string local = dir.Path("local.gif");
  if (maker.tools[0] == std::string("gifsicle")) {
    // gifsicle works on GIF input: our own files give it something to rearrange.
    ASSERT_EQ(Zoetra({"create", "-q", "-o", dir.Path("base.gif"), dir.Path("bg.png"), dir.Path("c0.png"),
                      dir.Path("c1.png")})
                  .status,
              0);
    std::vector<std::string> scene = {"create", "-q", "-o", dir.Path("scene.gif")};
    for (int i = 0; i < 4; ++i) {
      scene.push_back(dir.Path("scene" + std::to_string(i) + ".png"));
      ASSERT_TRUE(WritePng(scene.back(), Scene(i)));
    }
    ASSERT_EQ(Zoetra(scene).status, 0);
    // Three one-frame files of 256 colours each, from unrelated ranges: more
    // than one table can hold, so the merged file keeps local tables.
    std::vector<std::string> parts;
    for (int i = 0; i < 3; ++i) {
      parts.push_back(dir.Path("one" + std::to_string(i) + ".gif"));
      ASSERT_EQ(Zoetra({"create", "-q", "-o", parts.back(), dir.Path("g" + std::to_string(i) + ".png")}).status, 0);
    }
    std::vector<std::string> merge = {tool, "--merge", "--no-loopcount"};
    merge.insert(merge.end(), parts.begin(), parts.end());
    merge.insert(merge.end(), {"-o", local});
    ASSERT_EQ(RunProgram(merge).status, 0);
  }

  const std::string out = dir.Path(std::string(maker.name) + ".gif");
  std::vector<std::string> argv = {tool};
  for (std::string a : maker.args) {
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"{d}", dir.path()}, {"{out}", out}}) {
      for (std::size_t at; (at = a.find(key)) != std::string::npos;) a.replace(at, key.size(), value);
    }
    argv.push_back(a);
  }
  const RunResult made = RunProgram(argv);
  ASSERT_EQ(made.status, 0) << tool << " failed: " << made.err;

  const Features features = Inspect(out);
  ASSERT_GT(features.frames, 1) << "giflib cannot read the file, or it is not animated";
  if (maker.transparency) {
    EXPECT_TRUE(features.transparency) << "no transparent colour in the file";
  }
  if (maker.local_palettes) {
    EXPECT_TRUE(features.local_palettes) << "no local colour table in the file";
  }
  if (maker.interlaced) {
    EXPECT_TRUE(features.interlaced) << "no interlaced frame taller than 4 rows";
  }
  for (const int d : maker.disposals) EXPECT_TRUE(features.disposals.count(d)) << "no disposal " << d;

  cGIF doc;
  ASSERT_TRUE(doc.LoadFromFile(out));
  EXPECT_EQ(doc.FramesCount(), features.frames);

  const auto reference = GiflibCompose(out);
  ASSERT_TRUE(reference.has_value());
  const auto ours = ZoetraFrames(out, dir.Path("frames"));
  ASSERT_TRUE(ours.has_value());
  ExpectSameAsReference(*ours, *reference);

  if (PillowPython().empty()) GTEST_SKIP() << "giflib agrees; Pillow is not installed for the second check";
  const auto pillow = PillowFrames(out, dir.Path("pillow.rgba"));
  ASSERT_TRUE(pillow.has_value());
  const std::size_t compared = ExpectSameWhereDefined("Pillow", *ours, *reference, *pillow);
  std::size_t painted = 0;
  for (const auto& f : *reference) painted += static_cast<std::size_t>(std::count(f.origin.begin(), f.origin.end(), Origin::Painted));
  EXPECT_GE(compared, painted);
}

INSTANTIATE_TEST_SUITE_P(Makers, ForeignGifsTest, ::testing::ValuesIn(Makers()), [](const auto& info) {
  std::string name;
  for (const char* c = info.param.name; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  return name;
});

// What a composed frame shows against the sticker: its alpha exactly, and its
// opaque pixels near the picture's colours.
void ExpectSticker(const char* decoder, const std::vector<std::uint8_t>& rgba, int frame) {
  const Picture want = Sticker(frame);
  std::string first;
  EXPECT_EQ(AlphaMismatches(rgba, want, first), 0u) << decoder << " frame " << frame + 1 << ": " << first;
  double difference = 0;
  int opaque = 0;
  for (int y = 0; y < want.height; ++y) {
    for (int x = 0; x < want.width; ++x) {
      const std::uint8_t* p = want.at(x, y);
      if (p[3] < 128 || rgba.size() != want.rgba.size()) continue;
      const std::uint8_t* q = &rgba[(static_cast<std::size_t>(y) * want.width + x) * 4];
      for (int c = 0; c < 3; ++c) difference += std::abs(int{p[c]} - int{q[c]});
      ++opaque;
    }
  }
  EXPECT_LT(difference / (3.0 * std::max(opaque, 1)), 24.0) << decoder << " frame " << frame + 1;
}

TEST(StickerTest, TransparentExactlyWhereThePicturesAreInPillow) {
  if (PillowPython().empty()) GTEST_SKIP() << "Pillow is not installed";
  // From a transparent first frame, and from an opaque one: the later frames'
  // transparency shows only if the first frame names an index for it, which
  // one palette for all frames keeps (a frame's own palette has none to name).
  for (const int first : {0, -1}) {
    for (const std::vector<std::string>& switches : StickerSwitches()) {
      if (first < 0 && std::find(switches.begin(), switches.end(), "frame") != switches.end()) continue;
      std::string named = first < 0 ? "opaque first; " : "";
      for (const std::string& s : switches) named += s + " ";
      SCOPED_TRACE(named);
      TempDir dir;
      const std::string gif = dir.Path("sticker.gif");
      ASSERT_TRUE(MakeSticker(dir, switches, gif, 6, first));
      const auto frames = PillowFrames(gif, dir.Path("pillow.rgba"));
      ASSERT_TRUE(frames.has_value());
      ASSERT_EQ(frames->size(), 6u);
      for (int i = 0; i < 6; ++i) ExpectSticker("Pillow", (*frames)[static_cast<std::size_t>(i)].rgba, first + i);
    }
  }
}

#else
TEST(InteropTest, NeedsGiflib) { GTEST_SKIP() << "giflib is not available: the decoder comparisons are not built"; }
#endif  // ZOETRA_HAVE_GIFLIB

// ---------------------------------------------------------------- bitmap files

// cDIB::Save writes memory rows in order under a positive height, so a bitmap
// viewer shows memory row 0 at the bottom: a raster whose row 0 is the top row
// of the picture (as the builder leaves pictures) appears upside down.
TEST(BitmapFilesTest, SavedRastersOpenInPillowWithTheirPixels) {
  if (PillowPython().empty()) GTEST_SKIP() << "python3 with Pillow is not available";
  TempDir dir;
  Picture source(7, 5);
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 7; ++x) source.Set(x, y, static_cast<std::uint32_t>((x * 36) << 16 | (y * 60) << 8 | 200));
  }
  ASSERT_TRUE(WritePng(dir.Path("src.png"), source));
  for (const bool flipped : {false, true}) {
    for (const int bpp : {8, 24, 32}) {
      SCOPED_TRACE(std::string(flipped ? "row 0 on top, " : "as imported, ") + std::to_string(bpp) + " bits");
      cDIB raster;
      ASSERT_NE(raster.CreateFromStdPicture(platform::LoadPicture(dir.Path("src.png")), true), 0);
      if (flipped) raster.Orientation(false, false, true);
      cDIB saved;
      if (bpp == 32) {
        ASSERT_GT(raster.CloneTo(saved), 0);
      } else {
        // Same pixels at another depth, through the raster's own transfer.
        ASSERT_TRUE(saved.Create(7, 5, bpp));
        if (bpp == 8) {
          std::vector<std::uint8_t> table(1024, 0);
          for (int i = 0; i < 35; ++i) {
            const std::uint32_t rgb = source.Rgb(i % 7, i / 7);
            table[4 * i] = rgb & 0xFF, table[4 * i + 1] = (rgb >> 8) & 0xFF, table[4 * i + 2] = (rgb >> 16) & 0xFF;
          }
          saved.SetPalette(table);
        }
        ASSERT_NE(raster.Paint(saved.hDC()), 0);
      }
      const std::string file = dir.Path("saved.bmp");
      ASSERT_TRUE(saved.Save(file));
      const RunResult r = RunProgram({PillowPython(), HelperScript("pillow_bitmap.py"), file});
      ASSERT_EQ(r.status, 0) << r.err;
      std::string expect = "7 5\n";
      for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 7; ++x) expect += (x ? " " : "") + Hex(source.Rgb(x, flipped ? 4 - y : y)).substr(0, 6);
        expect += "\n";
      }
      std::string lower;
      for (char c : expect) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      EXPECT_EQ(r.out, lower);
    }
  }
}

}  // namespace
}  // namespace zoetra::clitest

// The zoetra command as a user runs it: exit statuses, messages, every switch,
// every input format, standard output, info and frames.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cli_support.hpp"
#include <zoetra/zoetra.hpp>
#include "gif/cgif.hpp"
#include "gif/gif_builders.hpp"

namespace zoetra::clitest {
namespace {

constexpr std::uint32_t kWhite = 0xFFFFFF, kBlack = 0x000000, kRed = 0xFF0000, kGreen = 0x00FF00,
                        kBlue = 0x0000FF;

// 24 x 16: white with red, green and blue blocks and a black square that moves
// with `step`. Five colours, all present at every step, so every format holds
// the picture exactly and the palette built from the first picture covers all.
Picture Blocks(int step) {
  Picture p(24, 16);
  p.Fill(0, 0, 24, 16, kWhite);
  p.Fill(0, 0, 8, 6, kRed);
  p.Fill(8, 0, 16, 6, kGreen);
  p.Fill(16, 0, 24, 6, kBlue);
  p.Fill(2 + 4 * step, 8, 6 + 4 * step, 14, kBlack);
  return p;
}

// Black and white only, for 1-bit files.
Picture TwoTone() {
  Picture p(24, 16);
  p.Fill(0, 0, 24, 16, kWhite);
  p.Fill(3, 2, 11, 13, kBlack);
  return p;
}

// The colour value the document reports (red in the low byte) as 0xRRGGBB.
std::uint32_t FromColourValue(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  return (u & 0xFF) << 16 | (u & 0xFF00) | (u >> 16 & 0xFF);
}

// Frame n of a loaded document as 0xRRGGBB values, rows top-down.
RgbFrame FramePixels(const cGIF& gif, std::int16_t n) {
  const cDIB& image = *gif.FrameDIBXOR(n);
  RgbFrame f;
  f.width = image.Width(), f.height = image.Height();
  for (int y = 0; y < f.height; ++y) {
    for (int x = 0; x < f.width; ++x) {
      const std::uint8_t index = image.lpBits()[static_cast<std::size_t>(y) * image.BytesPerScanline() + x];
      f.rgb.push_back(FromColourValue(gif.LocalPaletteRGBEntry(n, index)));
    }
  }
  return f;
}

// Mean absolute channel difference between a frame and a picture of the same size.
double MeanDifference(const RgbFrame& f, const Picture& p) {
  if (f.width != p.width || f.height != p.height) return 1e9;
  double sum = 0;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      const std::uint32_t a = f.at(x, y), b = p.Rgb(x, y);
      for (int s = 0; s < 24; s += 8) sum += std::abs(static_cast<int>((a >> s) & 0xFF) - static_cast<int>((b >> s) & 0xFF));
    }
  }
  return sum / (3.0 * p.width * p.height);
}

bool SameAsPicture(const RgbFrame& f, const Picture& p) {
  if (f.width != p.width || f.height != p.height) return false;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      if (f.at(x, y) != p.Rgb(x, y)) {
        ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << f.at(x, y) << ", want " << p.Rgb(x, y);
        return false;
      }
    }
  }
  return true;
}

class CommandTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_.Path(name); }
  // Writes Blocks(step) as a PNG and returns its path.
  std::string Png(const std::string& name, int step) {
    const std::string path = Path(name);
    EXPECT_TRUE(WritePng(path, Blocks(step)));
    return path;
  }
  TempDir dir_;
};

// ------------------------------------------------------------------ usage

TEST(UsageTest, UsageErrorsExitTwoWithAHintAndWriteNothing) {
  TempDir dir;
  const std::string out = dir.Path("x.gif");
  const std::string pic = dir.Path("p.png");
  ASSERT_TRUE(WritePng(pic, Blocks(0)));
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"bogus"},
      {"--frobnicate"},
      {"create"},
      {"create", "-o", out},                                  // an empty list of pictures
      {"create", pic},                                        // no output
      {"create", "-o", out, "--delay", "-1", pic},
      {"create", "-o", out, "--delay", "abc", pic},
      {"create", "-o", out, "--delay", "40000", pic},
      {"create", "-o", out, "--frobnicate", pic},
      {"create", "-o", out, "-dash.png"},                     // names starting with '-' need --
      {"create", "-o", out, "--start", "1:75", pic},
      {"create", "-o", out, "--duration", "1", "--end", "2", pic},
      {"create", "-o", out, "--width", "-5", pic},
      {"create", "-o", out, "--quality", "0", pic},
      {"create", "-o", out, "--quality", "high", pic},
      // What the first picture's palette cannot do is a conflict of options too.
      {"create", "-o", out, "--palette", "first", "--quality", "50", pic},
      {"create", "-o", out, "--palette", "first", "--width", "20", pic},
      {"create", "-o", out, "--palette", "first", "--start", "1", pic},
      {"info"},
      {"info", pic, pic},
      {"frames", pic},
      {"frames", "-o", dir.Path("d")},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    SCOPED_TRACE(shown);
    const RunResult r = Zoetra(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("zoetra: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
  }
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"p.png"});
}

TEST(ClipCommandTest, DamagedAndForeignClipsAreNamed) {
  TempDir dir;
  const std::string clips = std::string(ZOETRA_SOURCE_DIR) + "/tests/data/clips/";
  const std::string out = dir.Path("x.gif");
  const RunResult cut = Zoetra({"create", "-q", "-o", out, clips + "truncated.mp4"});
  EXPECT_EQ(cut.status, 0) << cut.err;
  EXPECT_NE(cut.err.find("warning: " + clips + "truncated.mp4: the clip ends at"), std::string::npos) << cut.err;
  const RunResult foreign = Zoetra({"create", "-q", "-o", dir.Path("y.gif"), clips + "random.mp4"});
  EXPECT_EQ(foreign.status, 1);
  EXPECT_EQ(foreign.err.rfind("zoetra: Invalid picture (" + clips + "random.mp4: ", 0), 0u) << foreign.err;
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"x.gif"});
}

// FFmpeg's libraries are mapped by the first clip, not at every start; the
// loader's trace (LD_DEBUG=files, on standard error) lists what is mapped.
// Where a library the loader finds is broken, the clip fails naming it.
TEST(ClipCommandTest, FFmpegIsLoadedForClipsOnly) {
  TempDir dir;
  const std::string clip = std::string(ZOETRA_SOURCE_DIR) + "/tests/data/clips/h264_25.mp4";
  const std::string png = dir.Path("p.png");
  ASSERT_TRUE(WritePng(png, Blocks(0)));
  const auto run = [&](const std::string& input, const std::string& library_path = "") {
    std::vector<std::string> args = {"env", "LD_DEBUG=files"};
    if (!library_path.empty()) args.push_back("LD_LIBRARY_PATH=" + library_path);
    args.insert(args.end(), {ZoetraPath(), "create", "-q", "-o", dir.Path("out.gif"), input, input});
    return RunProgram(args);
  };
  const RunResult pictures = run(png);
  EXPECT_EQ(pictures.status, 0) << pictures.err;
  EXPECT_NE(pictures.err.find("file=libspng"), std::string::npos) << "no loader trace:\n" << pictures.err;
  for (const char* library : {"file=libavformat", "file=libavcodec", "file=libswscale", "file=libavutil"}) {
    EXPECT_EQ(pictures.err.find(library), std::string::npos) << library << " loaded for pictures";
  }
  const RunResult clips = run(clip);
  ASSERT_EQ(clips.status, 0) << clips.err;
  EXPECT_GT(ReadAll(dir.Path("out.gif")).size(), 1000u);
  // The first library opened, its name as the loader wrote it.
  const std::size_t at = clips.err.find("file=libavutil.so.");
  ASSERT_NE(at, std::string::npos) << clips.err;
  const std::string soname = clips.err.substr(at + 5, clips.err.find_first_of(" \t", at) - at - 5);

  WriteAll(dir.Path(soname), "");  // no library at all, where the loader looks first
  const RunResult broken = run(clip, dir.path());
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.err.find("zoetra: Invalid picture (" + clip + ": video needs FFmpeg's " + soname +
                            ", which cannot be loaded: " + dir.Path(soname) + ": "),
            std::string::npos)
      << broken.err;
}

TEST(UsageTest, HelpAndVersionGoToStandardOutputAndExitZero) {
  const struct {
    std::vector<std::string> args;
    const char* expect;
  } cases[] = {
      {{"--help"}, "Usage: zoetra [OPTIONS] SUBCOMMAND"},
      {{"--help"}, "clips"},  // a newcomer learns that clips are taken too
      {{"-h"}, "Exit status: 0"},
      {{"create", "--help"}, "Usage: zoetra create [OPTIONS] [PICTURE...]"},
      {{"create", "--help"}, "--fit WxH"},
      {{"create", "--help"}, "--raise-errors"},
      {{"info", "--help"}, "--json"},
      {{"frames", "--help"}, "disposal"},
      {{"--version"}, "zoetra "},
      {{"-V"}, "zoetra "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    const RunResult r = Zoetra(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(c.expect), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(Zoetra({"--version"}).out, "zoetra " + std::string(zoetra::Version()) + "\n");
}

// ------------------------------------------------------------------ create

TEST_F(CommandTest, EveryInputFormatBecomesItsFrame) {
  const struct {
    const char* name;
    std::function<bool(const std::string&, const Picture&)> write;
    bool two_tone;
    double tolerance;  // mean channel difference allowed (JPEG smears the sharp colour edges)
  } formats[] = {
      {"p.png", WritePng, false, 0},
      {"p.jpg", [](const std::string& f, const Picture& p) { return WriteJpeg(f, p); }, false, 12},
      {"p1.bmp", [](const std::string& f, const Picture& p) { return WriteBmp(f, p, 1); }, true, 0},
      {"p4.bmp", [](const std::string& f, const Picture& p) { return WriteBmp(f, p, 4); }, false, 0},
      {"p8.bmp", [](const std::string& f, const Picture& p) { return WriteBmp(f, p, 8); }, false, 0},
      {"p24.bmp", [](const std::string& f, const Picture& p) { return WriteBmp(f, p, 24); }, false, 0},
      {"p32.bmp", [](const std::string& f, const Picture& p) { return WriteBmp(f, p, 32); }, false, 0},
      {"p.gif", WriteGif, false, 0},
  };
  std::vector<std::string> all;
  for (const auto& f : formats) {
    SCOPED_TRACE(f.name);
    const Picture picture = f.two_tone ? TwoTone() : Blocks(1);
    const std::string in = Path(f.name), out = Path(std::string(f.name) + ".out.gif");
    ASSERT_TRUE(f.write(in, picture));
    all.push_back(in);
    const RunResult r = Zoetra({"create", "-o", out, in});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "OK, Animated GIF: " + out + " created with 1 frame\n");
    EXPECT_EQ(r.err, "");
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromFile(out));
    ASSERT_EQ(gif.FramesCount(), 1);
    const RgbFrame frame = FramePixels(gif, 1);
    if (f.tolerance == 0) {
      EXPECT_TRUE(SameAsPicture(frame, picture));
    } else {
      EXPECT_LT(MeanDifference(frame, picture), f.tolerance);
    }
  }
  // All of them in one animation; the screen takes the last picture's size.
  all.insert(all.begin(), "create");
  all.insert(all.begin() + 1, {"-o", Path("all.gif")});
  const RunResult r = Zoetra(all);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("created with 8 frames"), std::string::npos);
}

TEST_F(CommandTest, DelaySwitch) {
  const std::string a = Png("a.png", 0), b = Png("b.png", 1);
  const struct {
    std::vector<std::string> delay;
    int stored;
  } cases[] = {{{}, 35}, {{"--delay", "120"}, 12}, {{"-d", "25"}, 2}, {{"-d", "15"}, 2}, {{"--delay=5"}, 0},
               {{"-d", "0"}, 0}, {{"-d", "32767"}, 3277}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    std::vector<std::string> args = {"create", "-q", "-o", Path("d.gif")};
    args.insert(args.end(), c.delay.begin(), c.delay.end());
    args.insert(args.end(), {a, b});
    ASSERT_EQ(Zoetra(args).status, 0);
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromFile(Path("d.gif")));
    ASSERT_EQ(gif.FramesCount(), 2);
    EXPECT_EQ(gif.FrameDelay(1), c.stored);
    EXPECT_EQ(gif.FrameDelay(2), c.stored);
  }
}

TEST_F(CommandTest, GraySwapAndOptimizeSwitches) {
  const std::string a = Png("a.png", 0), b = Png("b.png", 1), c = Png("c.png", 2);
  // --gray: every colour of the file is a grey; white and black stay.
  ASSERT_EQ(Zoetra({"create", "-q", "--gray", "-o", Path("gray.gif"), a, b}).status, 0);
  cGIF gray;
  ASSERT_TRUE(gray.LoadFromFile(Path("gray.gif")));
  for (int i = 0; i < gray.GlobalPaletteEntries(); ++i) {
    const std::uint32_t v = FromColourValue(gray.GlobalPaletteRGBEntry(static_cast<std::uint8_t>(i)));
    EXPECT_TRUE((v >> 16) == (v & 0xFF) && ((v >> 8) & 0xFF) == (v & 0xFF)) << std::hex << v;
  }
  const RgbFrame g = FramePixels(gray, 1);
  EXPECT_EQ(g.at(23, 15), kWhite);
  EXPECT_EQ(g.at(3, 10), kBlack);

  // --swap-rg: the red block turns green and the green block red; blue stays.
  ASSERT_EQ(Zoetra({"create", "-q", "--swap-rg", "-o", Path("swap.gif"), a}).status, 0);
  cGIF swap;
  ASSERT_TRUE(swap.LoadFromFile(Path("swap.gif")));
  const RgbFrame s = FramePixels(swap, 1);
  EXPECT_EQ(s.at(1, 1), kGreen);
  EXPECT_EQ(s.at(9, 1), kRed);
  EXPECT_EQ(s.at(17, 1), kBlue);

  // --optimize: frame 1 whole, later frames cut to what changed, nothing disposed;
  // a repeated picture is merged into the frame before it. Without it every frame
  // is whole and restores the previous picture.
  ASSERT_EQ(Zoetra({"create", "-q", "--optimize", "-o", Path("opt.gif"), a, b, b, c}).status, 0);
  ASSERT_EQ(Zoetra({"create", "-q", "-o", Path("plain.gif"), a, b, b, c}).status, 0);
  cGIF opt, plain;
  ASSERT_TRUE(opt.LoadFromFile(Path("opt.gif")));
  ASSERT_TRUE(plain.LoadFromFile(Path("plain.gif")));
  ASSERT_EQ(plain.FramesCount(), 4);
  ASSERT_EQ(opt.FramesCount(), 3);
  EXPECT_EQ(opt.FrameDelay(2), 70);
  EXPECT_EQ(opt.FrameDIBXOR(1)->Width(), 24);
  for (std::int16_t n = 1; n <= 3; ++n) EXPECT_EQ(opt.FrameDisposalMethod(n), 1);
  // The black square moves by 4 columns: columns 2..9 change, rows 8..13.
  EXPECT_EQ(opt.FrameLeft(2), 2);
  EXPECT_EQ(opt.FrameTop(2), 8);
  EXPECT_EQ(opt.FrameDIBXOR(2)->Width(), 8);
  EXPECT_EQ(opt.FrameDIBXOR(2)->Height(), 6);
  for (std::int16_t n = 1; n <= 4; ++n) {
    EXPECT_EQ(plain.FrameDisposalMethod(n), 3);
    EXPECT_EQ(plain.FrameDIBXOR(n)->Width(), 24);
  }
  // Both show the same pictures.
  const auto opt_frames = ComposedPictures(opt);
  ASSERT_TRUE(opt_frames.has_value());
  ASSERT_EQ(opt_frames->size(), 3u);
  EXPECT_TRUE(SameAsPicture((*opt_frames)[0], Blocks(0)));
  EXPECT_TRUE(SameAsPicture((*opt_frames)[1], Blocks(1)));
  EXPECT_TRUE(SameAsPicture((*opt_frames)[2], Blocks(2)));

  // Every switch at once, --raise-errors included, succeeds the same way.
  const RunResult all =
      Zoetra({"create", "--gray", "--optimize", "--swap-rg", "--raise-errors", "-d", "90", "-o", Path("all.gif"), a, b, c});
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(all.out, "OK, Animated GIF: " + Path("all.gif") + " created with 3 frames\n");
  const RunResult same = Zoetra({"create", "--gray", "--optimize", "--swap-rg", "-d", "90", "-o", Path("all2.gif"), a, b, c});
  ASSERT_EQ(same.status, 0);
  EXPECT_EQ(ReadAll(Path("all.gif")), ReadAll(Path("all2.gif")));
}

TEST_F(CommandTest, DashWritesTheGifToStandardOutputAndNothingElse) {
  const std::string a = Png("a.png", 0), b = Png("b.png", 1), c = Png("c.png", 2);
  for (const std::vector<std::string>& switches :
       {std::vector<std::string>{}, {"--optimize"}, {"--gray", "--swap-rg", "-d", "70"}, {"--raise-errors"}}) {
    std::vector<std::string> to_file = {"create", "-o", Path("file.gif")}, to_stdout = {"create", "-o", "-"};
    for (auto* args : {&to_file, &to_stdout}) {
      args->insert(args->end(), switches.begin(), switches.end());
      args->insert(args->end(), {a, b, c});
    }
    ASSERT_EQ(Zoetra(to_file).status, 0);
    const RunResult r = Zoetra(to_stdout);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, ReadAll(Path("file.gif")));
  }
  // A failure writes nothing there.
  const RunResult bad = Zoetra({"create", "-o", "-", a, Path("missing.png")});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err, "zoetra: File not found: " + Path("missing.png") + " (error 53)\n");
}

TEST_F(CommandTest, DoubleDashEndsTheOptions) {
  ASSERT_TRUE(WritePng(Path("-d.png"), Blocks(0)));
  // Run from the scratch directory so that the picture's name starts with '-'.
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  const RunResult r = Zoetra({"create", "-o", "out.gif", "--", "-d.png"});
  const RunResult as_option = Zoetra({"create", "-o", "out2.gif", "-d.png"});
  std::filesystem::current_path(cwd);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "OK, Animated GIF: out.gif created with 1 frame\n");
  EXPECT_EQ(as_option.status, 2);
}

TEST_F(CommandTest, FailuresExitOneNameTheFileAndKeepTheExistingOutput) {
  const std::string a = Png("a.png", 0);
  const std::string out = Path("out.gif");
  WriteAll(out, "an older file");
  std::string png = ReadAll(a);
  WriteAll(Path("truncated.png"), png.substr(0, png.size() / 2));
  WriteAll(Path("garbage.png"), "this is not a picture at all");
  WriteAll(Path("empty.bmp"), "");
  WriteIcon(Path("icon.ico"));
  std::filesystem::create_directory(Path("folder.png"));
  const struct {
    std::string picture;
    std::string message;  // expected on standard error after "zoetra: "
  } cases[] = {
      {Path("missing.png"), "File not found: " + Path("missing.png") + " (error 53)"},
      {Path("truncated.png"), Path("truncated.png") + ": Invalid picture"},
      {Path("garbage.png"), Path("garbage.png") + ": Invalid picture (not a PNG file: it starts "
                                                  "with text \"this is not a picture at...\") "
                                                  "(error 481)"},
      {Path("empty.bmp"), Path("empty.bmp") + ": Invalid picture (the file is empty) (error 481)"},
      {Path("icon.ico"), "Invalid picture"},
      {Path("folder.png"), "Path/File access error: " + Path("folder.png")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.picture);
    const RunResult r = Zoetra({"create", "-o", out, a, c.picture});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("zoetra: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.picture), std::string::npos) << "the message names the picture: " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(ReadAll(out), "an older file");
  }
  // --raise-errors: the component's error around the report, in readable lines.
  const RunResult raised = Zoetra({"create", "--raise-errors", "-o", out, Path("missing.png")});
  EXPECT_EQ(raised.status, 1);
  EXPECT_EQ(raised.err, "zoetra: Basic Error: Error Code: 0x35\n  Error Description: File not found: " +
                            Path("missing.png") +
                            "\n  Error Source: ZoetraCom (error 0x800403E9, source Basic Component)\n");
  EXPECT_EQ(ReadAll(out), "an older file");
  // Nothing but the files made above: no temporary files left behind.
  EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"a.png", "empty.bmp", "folder.png", "garbage.png", "icon.ico",
                                                      "out.gif", "truncated.png"}));
}

TEST_F(CommandTest, AnOutputThatCannotBeWrittenIsAFailure) {
  const std::string a = Png("a.png", 0);
  std::filesystem::create_directory(Path("taken"));
  const struct {
    std::string output;
    bool raise;
    std::string message;
  } cases[] = {
      {Path("taken"), false,
       "zoetra: Path/File access error: " + Path("taken") + " (cannot save the GIF: Is a directory) (error 75)\n"},
      {Path("no/such/dir.gif"), false, "(cannot save the GIF: No such file or directory) (error 75)"},
      {Path("taken"), true, "(error 0x800403E9, source Basic Component)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    std::vector<std::string> args = {"create", "-o", c.output, a};
    if (c.raise) args.push_back("--raise-errors");
    const RunResult r = Zoetra(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_TRUE(std::filesystem::is_directory(Path("taken")));
  EXPECT_TRUE(std::filesystem::is_empty(Path("taken")));
}

TEST_F(CommandTest, ProgressBarOnlyWhenStandardErrorIsATerminal) {
  const std::string a = Png("a.png", 0), b = Png("b.png", 1);
  RunOptions terminal;
  terminal.stderr_is_terminal = true;
  const RunResult shown = Zoetra({"create", "-o", Path("t.gif"), a, b}, terminal);
  ASSERT_EQ(shown.status, 0);
  EXPECT_NE(shown.err.find("2/2"), std::string::npos) << shown.err;
  EXPECT_NE(shown.err.find('\r'), std::string::npos);
  EXPECT_EQ(shown.out, "OK, Animated GIF: " + Path("t.gif") + " created with 2 frames\n");
  const RunResult quiet = Zoetra({"create", "-q", "-o", Path("q.gif"), a, b}, terminal);
  ASSERT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(quiet.out, "");
  const RunResult piped = Zoetra({"create", "-o", Path("p.gif"), a, b});
  ASSERT_EQ(piped.status, 0);
  EXPECT_EQ(piped.err, "");
}

// ------------------------------------------------------------------ info

// Runs a Python program on `input` and returns what it prints, or skips.
std::string Python(const std::string& program, const std::string& input) {
  const RunResult r = RunProgram({"python3", "-c", program}, RunOptions{input, false});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

TEST_F(CommandTest, InfoJsonIsValidAndDescribesTheFile) {
  if (FindTool({"python3"}).empty()) GTEST_SKIP() << "python3 is not available to check the JSON";
  const std::string a = Png("a.png", 0), b = Png("b.png", 1), c = Png("c.png", 2);
  ASSERT_EQ(Zoetra({"create", "-q", "--optimize", "-d", "120", "-o", Path("anim.gif"), a, b, c}).status, 0);
  const RunResult r = Zoetra({"info", "--json", Path("anim.gif")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string fields = Python(
      "import json, sys\n"
      "d = json.load(sys.stdin)\n"
      "f = d['frames']\n"
      "print(d['file'], d['version'], d['width'], d['height'], d['loop'], d['duration_ms'], "
      "d['truncated'],\n"
      "      d['frame_count'], len(f), d['global_palette'] > 0, d['background_index'])\n"
      "for x in f: print(x['index'], x['left'], x['top'], x['width'], x['height'], x['delay_cs'], "
      "x['disposal'],\n"
      "                  x['transparent_index'], x['interlaced'], x['local_palette'])\n",
      r.out);
  EXPECT_EQ(fields, Path("anim.gif") +
                        " GIF89a 24 16 forever 360 False 3 3 True 0\n"
                        "1 0 0 24 16 12 1 None False 0\n"
                        "2 2 8 8 6 12 1 None False 0\n"
                        "3 6 8 8 6 12 1 None False 0\n");

  // Awkward names stay valid JSON: quotes, backslashes, control and non-UTF-8 bytes.
  const std::string odd = Path("a\"b\\c\x01\xff\xc3\xa9.gif");
  std::filesystem::copy_file(Path("anim.gif"), odd);
  const RunResult o = Zoetra({"info", "--json", odd});
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(Python("import json, sys; print(ascii(json.load(sys.stdin)['file'][-12:]))", o.out),
            "'a\"b\\\\c\\x01\\ufffd\\xe9.gif'\n");

  // Standard input gives the same description.
  const RunResult piped = Zoetra({"info", "--json", "-"}, RunOptions{ReadAll(Path("anim.gif")), false});
  ASSERT_EQ(piped.status, 0);
  EXPECT_EQ(Python("import json, sys; d = json.load(sys.stdin); print(d['file'], d['frame_count'])", piped.out),
            "- 3\n");
}

TEST_F(CommandTest, InfoTextAndFailures) {
  const std::string a = Png("a.png", 0);
  ASSERT_EQ(Zoetra({"create", "-q", "-o", Path("one.gif"), a}).status, 0);
  const RunResult r = Zoetra({"info", Path("one.gif")});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind(Path("one.gif") + ": GIF89a, screen 24 x 16, 1 frame\n"
                                          "  loops forever (loop count 0)\n"
                                          "  duration: 350 ms\n",
                        0),
            0u)
      << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("frame 1: 24 x 16 at (0, 0), delay 35 cs, disposal 3 (previous), opaque"), std::string::npos);

  const struct {
    std::string file;
    std::string message;
  } bad[] = {
      {Path("missing.gif"), "zoetra: " + Path("missing.gif") + ": No such file or directory\n"},
      {dir_.path(), "zoetra: " + dir_.path() + ": Is a directory\n"},
      {a, "zoetra: " + a + ": not a GIF file\n"},
  };
  for (const auto& c : bad) {
    for (const char* command : {"info", "frames"}) {
      SCOPED_TRACE(std::string(command) + " " + c.file);
      const RunResult f = std::string(command) == "info" ? Zoetra({"info", c.file})
                                                         : Zoetra({"frames", "-o", Path("frames"), c.file});
      EXPECT_EQ(f.status, 1);
      EXPECT_EQ(f.out, "");
      EXPECT_EQ(f.err, c.message);
    }
  }
  const RunResult short_input = Zoetra({"info", "-"}, RunOptions{"GIF8", false});
  EXPECT_EQ(short_input.status, 1);
  EXPECT_EQ(short_input.err, "zoetra: standard input: not a GIF file\n");
}

// The three looping cases a viewer tells apart, a file cut before its
// trailer, and the running time, in text and in JSON.
TEST_F(CommandTest, InfoTellsLoopingAndTruncationApart) {
  ASSERT_EQ(Zoetra({"create", "-q", "-d", "120", "-o", Path("base.gif"), Png("a.png", 0),
                    Png("b.png", 1)})
                .status,
            0);
  const std::string base = ReadAll(Path("base.gif"));
  // The looping block: 21 FF 0B "NETSCAPE2.0" 03 01 <count, little-endian> 00.
  const std::size_t block = base.find("NETSCAPE2.0");
  ASSERT_NE(block, std::string::npos);
  const auto with_count = [&](int count) {
    std::string f = base;
    f[block + 13] = static_cast<char>(count & 0xFF);
    f[block + 14] = static_cast<char>(count >> 8);
    return f;
  };
  const struct {
    const char* name;
    std::string bytes;
    const char* text;  // the loop line
    const char* loop;  // the JSON value
    bool truncated;
  } cases[] = {
      {"forever.gif", base, "loops forever (loop count 0)", "\"forever\"", false},
      {"three.gif", with_count(3), "repeats 3 times (loop count 3)", "3", false},
      {"once_more.gif", with_count(1), "repeats 1 time (loop count 1)", "1", false},
      {"many.gif", with_count(40000), "repeats 40000 times (loop count 40000)", "40000", false},
      {"no_block.gif", std::string(base).erase(block - 3, 19), "plays once (no loop block)", "null",
       false},
      {"cut.gif", base.substr(0, base.size() - 1), "loops forever (loop count 0)", "\"forever\"",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(Path(c.name), c.bytes);
    const std::string warning =
        c.truncated ? "zoetra: " + Path(c.name) +
                          ": warning: the file ends before its trailer (truncated); 2 frames read\n"
                    : "";
    const RunResult text = Zoetra({"info", Path(c.name)});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find(std::string("\n  ") + c.text + "\n  duration: 240 ms\n"),
              std::string::npos)
        << text.out;
    EXPECT_EQ(text.err, warning);
    const RunResult json = Zoetra({"info", "--json", Path(c.name)});
    EXPECT_EQ(json.status, 0);
    EXPECT_NE(json.out.find(std::string("\"loop\": ") + c.loop +
                            ", \"duration_ms\": 240, \"truncated\": " +
                            (c.truncated ? "true" : "false") + ","),
              std::string::npos)
        << json.out;
    EXPECT_EQ(json.err, warning);
  }
}

// The largest document: info reaches frame 32767 in text and JSON.
TEST_F(CommandTest, InfoDescribesEveryFrameOfTheLargestDocument) {
  Picture dot(1, 1);
  dot.Fill(0, 0, 1, 1, kRed);
  ASSERT_TRUE(WriteBmp(Path("dot.bmp"), dot, 24));
  ::zoetra::Zoetra component;
  ASSERT_EQ(component.CreateZoetra(std::vector<std::string>(cGIF::kMaxFrames, Path("dot.bmp")),
                                   Path("long.gif"), 10),
            "OK, Animated GIF: " + Path("long.gif") + " created with 32767 frames");
  const RunResult text = Zoetra({"info", Path("long.gif")});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_NE(
      text.out.find(", 32767 frames\n  loops forever (loop count 0)\n  duration: 327670 ms\n"),
      std::string::npos);
  EXPECT_NE(text.out.find("\n  frame 32767: 1 x 1 at (0, 0), delay 1 cs"), std::string::npos);
  const RunResult json = Zoetra({"info", "--json", Path("long.gif")});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find("\"frame_count\": 32767,"), std::string::npos);
  EXPECT_NE(json.out.find("{\"index\": 32767, "), std::string::npos);
}

// What the reader passed over reaches the user as warnings (exit 0), in text
// and in JSON; sizes and positions read as the file's unsigned 16 bits.
TEST_F(CommandTest, InfoPassesOnTheReadersWarnings) {
  using test::GifBuilder;
  // One 1 x 1 frame at (left, top) after `blocks`.
  const auto file = [](std::uint16_t w, std::uint16_t h, const test::Bytes& blocks,
                       std::uint16_t left = 0, std::uint16_t top = 0) {
    GifBuilder g;
    g.Header().Screen(w, h).Raw(blocks).Image(left, top, 1, 1, 0).ImageData(2, {0x44, 0x01});
    return g.Trailer().bytes();
  };
  const struct {
    const char* name;
    test::Bytes bytes;
    std::string warning;  // "" for none
    std::string text;     // a part of the description
    std::string json;     // a part of the JSON
  } cases[] = {
      {"gce3.gif", file(1, 1, {0x21, 0xF9, 3, 0x04, 9, 0, 0}),
       "graphic control block at byte 13: 3 bytes, 4 needed; ignored", ", 1 frame\n",
       "\"frame_count\": 1,"},
      // Read from the blocks, no frame is held to the document's limits.
      {"huge.gif", file(2, 2, GifBuilder().Image(0, 0, 65535, 65535, 0).Raw({2, 0}).bytes()), "",
       ", 2 frames\n", "{\"index\": 1, \"left\": 0, \"top\": 0, \"width\": 65535, \"height\": 65535,"},
      {"animexts.gif", file(1, 1, GifBuilder().AppExt("ANIMEXTS1.0", {1, 0, 0}).bytes()), "",
       "\n  loops forever (loop count 0)\n", "\"loop\": \"forever\","},
      {"wide.gif", file(40000, 3, {}), "", "screen 40000 x 3, 1 frame\n",
       "\"width\": 40000, \"height\": 3,"},
      {"far.gif", file(1, 1, {}, 65535, 40000), "", "frame 1: 1 x 1 at (65535, 40000)",
       "\"left\": 65535, \"top\": 40000,"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(Path(c.name), std::string(c.bytes.begin(), c.bytes.end()));
    const std::string err =
        c.warning.empty() ? "" : "zoetra: " + Path(c.name) + ": warning: " + c.warning + "\n";
    const RunResult text = Zoetra({"info", Path(c.name)});
    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(text.err, err);
    EXPECT_NE(text.out.find(c.text), std::string::npos) << text.out;
    const RunResult json = Zoetra({"info", "--json", Path(c.name)});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.err, err);
    EXPECT_NE(json.out.find(c.json), std::string::npos) << json.out;
    EXPECT_NE(
        json.out.find("\"warnings\": [" + (c.warning.empty() ? "" : "\"" + c.warning + "\"") + "]"),
        std::string::npos)
        << json.out;
  }
}

// Standard input is read up to the file limit, then refused: endless input
// does not take endless memory.
TEST_F(CommandTest, StandardInputStopsAtTheFileLimit) {
  for (const std::string& command : {std::string("info -"), "frames -o " + Path("out") + " -"}) {
    SCOPED_TRACE(command);
    const RunResult r = RunProgram(
        {"sh", "-c", "exec timeout 120 " + ZoetraPath() + " " + command + " </dev/zero"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(
        r.err,
        "zoetra: standard input: larger than the limit of 1073741824 bytes (max_file_bytes)\n");
  }
  EXPECT_FALSE(std::filesystem::exists(Path("out")));
}

// ------------------------------------------------------------------ frames

// The logical screen is held to the picture limit before it is made; up to
// it, a screen 65535 wide composes.
TEST_F(CommandTest, FramesHoldsTheScreenToThePixelLimit) {
  // Red 1 x 1 frames at (left, 0) over a white screen.
  const auto file = [](std::uint16_t w, std::uint16_t h,
                       std::initializer_list<std::uint16_t> lefts) {
    test::GifBuilder g;
    g.Header().Screen(w, h, 0x80).Raw({255, 255, 255, 255, 0, 0});
    for (std::uint16_t left : lefts) g.Image(left, 0, 1, 1, 0).ImageData(2, {0x4C, 0x01});
    const test::Bytes b = g.Trailer().bytes();
    return std::string(b.begin(), b.end());
  };
  // 74 bytes: before, 4 GiB of bitmap files.
  WriteAll(Path("big.gif"), file(16384, 16384, {0, 1, 2, 3}));
  const RunResult refused = Zoetra({"frames", "-o", Path("big"), Path("big.gif")});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err,
            "zoetra: " + Path("big.gif") +
                ": Invalid picture (its canvas of 16384 x 16384 pixels is over the limit of 134217728 "
                "pixels (max_picture_pixels); a host raises the limit with SetLimits) (error 481)\n");
  EXPECT_FALSE(std::filesystem::exists(Path("big")));

  WriteAll(Path("wide.gif"), file(65535, 1, {65534}));
  const auto frames = ZoetraFrames(Path("wide.gif"), Path("out"));
  ASSERT_TRUE(frames.has_value());
  ASSERT_EQ(frames->size(), 1u);
  ASSERT_EQ(frames->front().width, 65535);
  EXPECT_EQ(frames->front().at(0, 0), kWhite);
  EXPECT_EQ(frames->front().at(65534, 0), kRed);
}

TEST_F(CommandTest, FramesWritesEveryFrameUprightAsBitmapFiles) {
  const std::string a = Png("a.png", 0), b = Png("b.png", 1), c = Png("c.png", 2);
  ASSERT_EQ(Zoetra({"create", "-q", "-o", Path("anim.gif"), a, b, c}).status, 0);
  const RunResult r = Zoetra({"frames", "-o", Path("out"), Path("anim.gif")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "3 frames written to " + Path("out") + "\n");
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> names = {"frame-0001.bmp", "frame-0002.bmp", "frame-0003.bmp"};
  std::vector<std::string> found;
  for (const auto& e : std::filesystem::directory_iterator(Path("out"))) found.push_back(e.path().filename());
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, names);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(names[static_cast<std::size_t>(i)]);
    // Upright: the file's first row as a viewer shows it is the picture's top row.
    const auto frame = ReadBmp(Path("out/" + names[static_cast<std::size_t>(i)]));
    ASSERT_TRUE(frame.has_value());
    EXPECT_TRUE(SameAsPicture(*frame, Blocks(i)));
  }
  // An existing directory is reused; a file in the way is an error.
  EXPECT_EQ(Zoetra({"frames", "-o", Path("out"), Path("anim.gif")}).status, 0);
  const RunResult blocked = Zoetra({"frames", "-o", a, Path("anim.gif")});
  EXPECT_EQ(blocked.status, 1);
  EXPECT_EQ(blocked.err, "zoetra: " + a + ": Not a directory\n");
  // Missing parents are made too; a file in the way of one is an error.
  const RunResult nested = Zoetra({"frames", "-o", Path("x/y/z"), Path("anim.gif")});
  EXPECT_EQ(nested.status, 0) << nested.err;
  EXPECT_TRUE(std::filesystem::exists(Path("x/y/z/frame-0003.bmp")));
  const RunResult under_file = Zoetra({"frames", "-o", a + "/sub", Path("anim.gif")});
  EXPECT_EQ(under_file.status, 1);
  EXPECT_EQ(under_file.err.rfind("zoetra: " + a + "/sub: cannot create the directory: ", 0), 0u)
      << under_file.err;
}

// The command writes the frames the library composes, whatever their disposal,
// transparency and placement.
TEST_F(CommandTest, FramesWritesWhatTheComposerShows) {
  struct Frame {
    std::int16_t left, top, width, height;
    std::int32_t disposal;
    bool transparent;  // index 0
  };
  const Frame frames[] = {{0, 0, 6, 4, 1, false}, {1, 1, 3, 2, 2, true}, {4, 2, 4, 3, 3, false},
                          {0, 0, 2, 2, 0, true},  {2, 0, 2, 4, 5, false}};
  cGIF doc;
  std::int16_t n = 0;
  for (const Frame& f : frames) {
    ++n;
    doc.FrameInsert(n, f.width, f.height);
    doc.FrameLeft(n, f.left);
    doc.FrameTop(n, f.top);
    doc.FrameDisposalMethod(n, f.disposal);
    doc.FrameUseTransparentColor(n, f.transparent ? -1 : 0);
    const auto image = doc.FrameDIBXOR(n);
    for (int y = 0; y < f.height; ++y) {
      for (int x = 0; x < f.width; ++x) {
        image->lpBits()[static_cast<std::size_t>(y) * image->BytesPerScanline() + x] =
            static_cast<std::uint8_t>((x + 2 * y + n) % 4);
      }
    }
  }
  doc.GlobalPaletteExists(-1);
  doc.GlobalPaletteEntries(4);
  const std::uint32_t colours[] = {kRed, kGreen, kBlue, kWhite};  // as 0xRRGGBB; the table is blue, green, red
  for (int i = 0; i < 4; ++i) {
    for (int k = 0; k < 3; ++k) doc.lpGlobalPalette()[4 * i + k] = static_cast<std::uint8_t>(colours[i] >> (8 * k));
  }
  doc.ScreenBackgroundColorIndex(2);
  ASSERT_TRUE(doc.Save(Path("layers.gif")));

  cGIF loaded;
  ASSERT_TRUE(loaded.LoadFromFile(Path("layers.gif")));
  const auto composed = ComposedPictures(loaded);
  ASSERT_TRUE(composed.has_value());
  const auto written = ZoetraFrames(Path("layers.gif"), Path("out"));
  ASSERT_TRUE(written.has_value());
  ASSERT_EQ(written->size(), std::size(frames));
  ASSERT_EQ(composed->size(), std::size(frames));
  for (std::size_t i = 0; i < composed->size(); ++i) {
    EXPECT_EQ((*written)[i].width, 6);
    EXPECT_EQ((*written)[i].height, 4);
    EXPECT_EQ((*written)[i].rgb, (*composed)[i].rgb) << "frame " << i + 1;
  }
}

}  // namespace
}  // namespace zoetra::clitest

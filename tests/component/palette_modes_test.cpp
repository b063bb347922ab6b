// The palette modes all and frame of the builder, and its options.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <zoetra/zoetra.h>
#include <zoetra/zoetra.hpp>
#include "gif/cgif.hpp"
#include "support/caught.hpp"
#include "support/pictures.hpp"
#include "support/temp_dir.hpp"

namespace zoetra {
namespace {

using test::Rgb;

class PaletteModesTest : public ::testing::Test {
 protected:
  std::string Picture(int w, int h, const std::function<Rgb(int, int)>& colour) {
    const std::string path = dir_.Path("p" + std::to_string(count_++) + ".bmp");
    test::WriteBmp(path, w, h, colour);
    return path;
  }

  static std::vector<std::uint8_t> Convert(const std::vector<std::string>& files, PaletteMode mode,
                                           bool optimize = false, unsigned threads = 1, int quality = 100) {
    BuilderOptions o;
    o.palette = mode;
    o.optimize = optimize;
    o.threads = threads;
    o.quality = quality;
    return Zoetra().CreateZoetraToBuffer(files, o);
  }

  // The colour frame n shows at (x, y), from the table the frame uses.
  static std::uint32_t Shown(const cGIF& doc, std::int16_t n, int x, int y) {
    const cDIB& image = *doc.FrameDIBXOR(n);
    const std::uint8_t index = image.lpBits()[static_cast<std::size_t>(y) * image.BytesPerScanline() + x];
    return static_cast<std::uint32_t>(doc.LocalPaletteUsed(n) != 0 ? doc.LocalPaletteRGBEntry(n, index)
                                                                    : doc.GlobalPaletteRGBEntry(index));
  }

  test::TempDir dir_;
  int count_ = 0;
};

// Picture k (of three) in 80 colours of its own; 240 in all, none of them in picture 1.
Rgb Distinct(int k, int x, int y) {
  const int i = (x + 3 * y) % 80;
  return Rgb{static_cast<std::uint8_t>(k * 80 + i), static_cast<std::uint8_t>(255 - i * 3), static_cast<std::uint8_t>(k * 60)};
}

TEST_F(PaletteModesTest, AllAndFrameAreLosslessWhenThePicturesHoldFewColours) {
  std::vector<std::string> files;
  for (int k = 0; k < 3; ++k) files.push_back(Picture(33, 17, [k](int x, int y) { return Distinct(k, x, y); }));
  for (PaletteMode mode : {PaletteMode::All, PaletteMode::Frame}) {
    const std::vector<std::uint8_t> bytes = Convert(files, mode);
    cGIF doc;
    ASSERT_TRUE(doc.LoadFromStream(bytes));
    ASSERT_EQ(doc.FramesCount(), 3);
    for (std::int16_t n = 1; n <= 3; ++n) {
      EXPECT_EQ(doc.LocalPaletteUsed(n) != 0, mode == PaletteMode::Frame) << "frame " << n;
      for (int y = 0; y < 17; ++y) {
        for (int x = 0; x < 33; ++x) {
          const Rgb want = Distinct(n - 1, x, y);
          // Entries read back as red + 256 green + 65536 blue.
          ASSERT_EQ(Shown(doc, n, x, y), want.r | want.g << 8 | want.b << 16u)
              << "mode " << static_cast<int>(mode) << " frame " << n << " (" << x << ", " << y << ")";
        }
      }
    }
    if (mode == PaletteMode::Frame) {
      EXPECT_EQ(doc.GlobalPaletteExists(), 0);
      EXPECT_EQ(doc.LocalPaletteEntries(2), 128) << "a frame's 80 colours fit a table of 128";
    }
  }
  // The first picture's palette cannot show the others' colours.
  cGIF first;
  ASSERT_TRUE(first.LoadFromStream(Convert(files, PaletteMode::First)));
  EXPECT_NE(Shown(first, 3, 0, 0), static_cast<std::uint32_t>(Distinct(2, 0, 0).r | Distinct(2, 0, 0).g << 8 | Distinct(2, 0, 0).b << 16u));
}

TEST_F(PaletteModesTest, BytesDoNotDependOnTheThreadCount) {
  std::vector<std::string> files;
  for (int k = 0; k < 7; ++k) {
    // The bottom rows stay still, so that optimize keeps what they show.
    files.push_back(Picture(40, 24, [k](int x, int y) {
      const int t = y < 16 ? k : 0;
      return Rgb{static_cast<std::uint8_t>(x * 6 + t * 9), static_cast<std::uint8_t>(y * 10), static_cast<std::uint8_t>((x * y + t * 30) & 0xFF)};
    }));
  }
  for (PaletteMode mode : {PaletteMode::All, PaletteMode::Frame}) {
    for (bool optimize : {false, true}) {
      for (int quality : {100, 40}) {
        const std::vector<std::uint8_t> one = Convert(files, mode, optimize, 1, quality);
        for (unsigned threads : {2u, 3u, 8u}) {
          EXPECT_EQ(Convert(files, mode, optimize, threads, quality), one)
              << "mode " << static_cast<int>(mode) << (optimize ? " optimised" : "") << " quality " << quality << ", "
              << threads << " threads";
        }
      }
    }
  }
}

TEST_F(PaletteModesTest, FrameModeMergesOnlyFramesThatShowTheSameColours) {
  // b has a's layout in other colours: the same indices, different pictures.
  const auto two = [](Rgb on, Rgb off) {
    return [=](int x, int y) { return (x / 4 + y / 4) % 2 == 0 ? on : off; };
  };
  const std::string a = Picture(16, 16, two({200, 10, 10}, {10, 10, 200}));
  const std::string a_again = Picture(16, 16, two({200, 10, 10}, {10, 10, 200}));
  const std::string b = Picture(16, 16, two({10, 200, 10}, {250, 250, 0}));
  cGIF doc;
  ASSERT_TRUE(doc.LoadFromStream(Convert({a, a_again, b}, PaletteMode::Frame, true)));
  ASSERT_EQ(doc.FramesCount(), 2) << "the repeated picture merges, the recoloured one stays";
  EXPECT_EQ(doc.FrameDelay(1), 70);
  EXPECT_EQ(Shown(doc, 2, 0, 0), 10u | 200u << 8 | 10u << 16);
}

TEST_F(PaletteModesTest, FirstGivesTheClassicBytesAllIsTheDefaultAndGreyWinsOverTheMode) {
  std::vector<std::string> files;
  for (int k = 0; k < 3; ++k) files.push_back(Picture(20, 12, [k](int x, int y) { return Distinct(k, x, y); }));
  Zoetra z;
  BuilderOptions first, all;
  first.palette = PaletteMode::First;
  all.palette = PaletteMode::All;
  EXPECT_EQ(z.CreateZoetraToBuffer(files, first), z.CreateZoetraToBuffer(files));
  EXPECT_EQ(z.CreateZoetraToBuffer(files, BuilderOptions{}), z.CreateZoetraToBuffer(files, all));
  EXPECT_NE(z.CreateZoetraToBuffer(files, BuilderOptions{}), z.CreateZoetraToBuffer(files));
  // Grey in a streaming mode shows the classic grey picture, every pixel,
  // through the whole 256-grey table (no frame can compact it while streaming).
  cGIF classic;
  ASSERT_TRUE(classic.LoadFromStream(z.CreateZoetraToBuffer(files, 350, 1)));
  for (const PaletteMode mode : {PaletteMode::All, PaletteMode::Frame}) {
    BuilderOptions grey;
    grey.gray = true;
    grey.palette = mode;
    cGIF streamed;
    ASSERT_TRUE(streamed.LoadFromStream(z.CreateZoetraToBuffer(files, grey)));
    EXPECT_EQ(streamed.GlobalPaletteEntries(), 256);
    ASSERT_EQ(streamed.FramesCount(), classic.FramesCount());
    for (std::int16_t n = 1; n <= classic.FramesCount(); ++n) {
      for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 20; ++x) ASSERT_EQ(Shown(streamed, n, x, y), Shown(classic, n, x, y)) << n << " " << x << "," << y;
      }
    }
  }
}

TEST_F(PaletteModesTest, ReportFlagsALaterPictureTheFirstPaletteMisses) {
  const auto warm = [](int x, int y) { return Rgb{static_cast<std::uint8_t>(150 + x), static_cast<std::uint8_t>(60 + y), 20}; };
  const auto cold = [](int x, int y) { return Rgb{10, static_cast<std::uint8_t>(40 + y), static_cast<std::uint8_t>(150 + x)}; };
  const std::string w1 = Picture(64, 48, warm), w2 = Picture(64, 48, warm), c = Picture(64, 48, cold);
  Zoetra z;
  BuilderReport report;
  BuilderOptions o;
  o.palette = PaletteMode::First;
  o.report = &report;
  z.CreateZoetraToBuffer({w1, w2}, o);
  EXPECT_LT(report.worst_fit_error, kPoorPaletteFit);
  z.CreateZoetraToBuffer({w1, w2, c}, o);
  EXPECT_GT(report.worst_fit_error, kPoorPaletteFit);
  EXPECT_EQ(report.worst_fit_picture, 3);
  EXPECT_EQ(report.frames, 3);
}

TEST_F(PaletteModesTest, EmptyListSaysSoInEveryModeAndTheClassicCallKeepsItsError) {
  for (PaletteMode mode : {PaletteMode::First, PaletteMode::All, PaletteMode::Frame}) {
    const Error e = test::Caught([&] { Convert({}, mode); });
    EXPECT_EQ(e.number(), kErrInvalidArgument);
    EXPECT_NE(e.description().find("no pictures were given"), std::string::npos) << e.description();
  }
  EXPECT_EQ(test::Caught([&] { Zoetra().CreateZoetraToBuffer({}); }).number(), kErrSubscript);
}

TEST_F(PaletteModesTest, CInterfaceTakesTheOptions) {
  std::vector<std::string> files;
  for (int k = 0; k < 2; ++k) files.push_back(Picture(20, 12, [k](int x, int y) { return Distinct(k, x, y); }));
  const char* names[] = {files[0].c_str(), files[1].c_str()};
  ZoetraInstance* z = zoetra_new();
  ZoetraOptions o;
  zoetra_options_init(&o);
  EXPECT_EQ(o.delay_ms, 350);
  o.palette = ZOETRA_PALETTE_FRAME;
  const std::string out = dir_.Path("c.gif");
  char text[256];
  size_t length = 0;
  ASSERT_EQ(zoetra_create(z, names, 2, out.c_str(), &o, text, sizeof text, &length), 0) << zoetra_error_description(z);
  EXPECT_EQ(std::string(text), "OK, Animated GIF: " + dir_.Path("c") + ".gif created with 2 frames");
  const std::vector<std::uint8_t> want = Convert(files, PaletteMode::Frame);
  EXPECT_EQ(test::ReadAll(out), std::string(want.begin(), want.end()));

  o.palette = 3;
  EXPECT_NE(zoetra_create(z, names, 2, out.c_str(), &o, text, sizeof text, &length), 0);
  EXPECT_EQ(zoetra_error_number(z), ZOETRA_E_INVALID_ARGUMENT);
  ZoetraOptions old = o;
  old.palette = ZOETRA_PALETTE_ALL;
  old.struct_size = 4;
  EXPECT_NE(zoetra_create(z, names, 2, out.c_str(), &old, text, sizeof text, &length), 0);
  EXPECT_EQ(zoetra_error_number(z), ZOETRA_E_INVALID_ARGUMENT);
  zoetra_release(z);
}

}  // namespace
}  // namespace zoetra

#include "gif/gif_compose.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "gif/cgif.hpp"
#include "gif/gif_builders.hpp"
#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"
#include "support/caught.hpp"
#include "support/composed_frames.hpp"
#include "support/limits_scope.hpp"
#include "support/temp_dir.hpp"

namespace zoetra {
namespace {

using test::Bytes;
using test::ComposedPictures;
using test::GifBuilder;
using test::LzwReference;
using test::RgbFrame;

// The colours of the hand-made files, one letter each; a letter's position is its index.
constexpr char kLetters[] = "KWRGBY";
constexpr std::uint32_t kColours[] = {0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00};
constexpr std::uint8_t kTableSize = 0x02;  // 8 entries

Bytes Table() {
  Bytes t(8 * 3, 0);
  for (std::size_t i = 0; i < std::size(kColours); ++i) {
    t[3 * i] = static_cast<std::uint8_t>(kColours[i] >> 16);
    t[3 * i + 1] = static_cast<std::uint8_t>(kColours[i] >> 8);
    t[3 * i + 2] = static_cast<std::uint8_t>(kColours[i]);
  }
  return t;
}

std::uint8_t IndexOf(char letter) { return static_cast<std::uint8_t>(std::string(kLetters).find(letter)); }

// A shown picture as rows of letters; '?' for a colour that has none.
std::vector<std::string> Letters(const RgbFrame& f) {
  std::vector<std::string> rows;
  for (int y = 0; y < f.height; ++y) {
    std::string row;
    for (int x = 0; x < f.width; ++x) {
      const auto* at = std::find(std::begin(kColours), std::end(kColours), f.at(x, y));
      row += at == std::end(kColours) ? '?' : kLetters[at - std::begin(kColours)];
    }
    rows.push_back(row);
  }
  return rows;
}

struct FramePlan {
  int left, top, width, height;
  std::string pixels;  // letters, rows top-down
  int disposal;
  bool black_transparent = false;  // K is the transparent index
};

// A 3 x 2 screen in the reader's hands: global table (or none), background index, frames.
Bytes BuildFile(bool global_table, char background, const std::vector<FramePlan>& frames) {
  GifBuilder g;
  g.Header().Screen(3, 2, global_table ? 0x80 | kTableSize : 0, IndexOf(background));
  if (global_table) g.Raw(Table());
  for (const FramePlan& f : frames) {
    std::vector<std::uint8_t> indices;
    for (char c : f.pixels) indices.push_back(IndexOf(c));
    g.Gce(static_cast<std::uint8_t>(f.disposal << 2 | (f.black_transparent ? 1 : 0)), 10, IndexOf('K'));
    g.Image(static_cast<std::uint16_t>(f.left), static_cast<std::uint16_t>(f.top),
            static_cast<std::uint16_t>(f.width), static_cast<std::uint16_t>(f.height),
            global_table ? 0 : 0x80 | kTableSize);
    if (!global_table) g.Raw(Table());
    g.ImageData(3, LzwReference(indices, 3));
  }
  return g.Trailer().bytes();
}

TEST(cGIFComposerTest, ShowsFramesAsAViewerDoes) {
  struct Case {
    const char* name;
    char background;
    std::vector<FramePlan> frames;
    std::vector<std::vector<std::string>> shown;  // per frame, rows top-down
    bool global_table = true;
  };
  const std::string full_red = "RRRRRR";
  const Case cases[] = {
      {"the screen starts in the background colour", 'W', {{1, 0, 1, 1, "R", 0}}, {{"WRW", "WWW"}}},
      {"disposal 1 keeps the picture for the next frame",
       'W',
       {{0, 0, 3, 2, full_red, 1}, {2, 1, 1, 1, "G", 1}},
       {{"RRR", "RRR"}, {"RRR", "RRG"}}},
      {"disposal 0 keeps it too",
       'W',
       {{0, 0, 2, 1, "GB", 0}, {1, 1, 1, 1, "Y", 0}},
       {{"GBW", "WWW"}, {"GBW", "WYW"}}},
      {"disposal 2 fills the frame's rectangle with the background",
       'Y',
       {{0, 0, 3, 2, full_red, 1}, {0, 1, 2, 1, "GG", 2}, {2, 0, 1, 1, "B", 0}},
       {{"RRR", "RRR"}, {"RRR", "GGR"}, {"RRB", "YYR"}}},
      {"disposal 3 brings back the picture from before the frame",
       'W',
       {{0, 0, 3, 2, full_red, 1}, {1, 0, 2, 2, "GGGG", 3}, {0, 0, 1, 1, "B", 0}},
       {{"RRR", "RRR"}, {"RGG", "RGG"}, {"BRR", "RRR"}}},
      {"disposal 3 after disposal 3",
       'W',
       {{0, 0, 3, 2, full_red, 3}, {0, 0, 1, 1, "G", 3}, {2, 1, 1, 1, "B", 0}},
       {{"RRR", "RRR"}, {"GWW", "WWW"}, {"WWW", "WWB"}}},
      {"transparent pixels show what lies beneath",
       'W',
       {{0, 0, 3, 2, full_red, 1}, {0, 0, 3, 2, "GKGKGK", 1, true}},
       {{"RRR", "RRR"}, {"GRG", "RGR"}}},
      {"disposal 2 clears transparent pixels of the rectangle too",
       'W',
       {{0, 0, 3, 2, full_red, 1}, {0, 0, 2, 1, "KG", 2, true}, {2, 1, 1, 1, "B", 0}},
       {{"RRR", "RRR"}, {"RGR", "RRR"}, {"WWR", "RRB"}}},
      {"reserved disposals keep the picture",
       'W',
       {{0, 0, 3, 2, full_red, 4}, {1, 1, 1, 1, "G", 7}, {0, 0, 1, 1, "B", 5}},
       {{"RRR", "RRR"}, {"RRR", "RGR"}, {"BRR", "RGR"}}},
      {"frames are cut at the screen's edges, and so is their disposal",
       'W',
       {{0, 0, 3, 2, full_red, 1}, {2, 1, 2, 2, "GBYB", 2}, {0, 0, 1, 1, "B", 0}},
       {{"RRR", "RRR"}, {"RRR", "RRG"}, {"BRR", "RRW"}}},
      {"positions are unsigned 16 bits: frames at 65535 lie past the screen, their disposal too",
       'W',
       {{0, 0, 3, 2, full_red, 1}, {65535, 0, 2, 1, "GG", 2}, {0, 65535, 1, 2, "BB", 2}},
       {{"RRR", "RRR"}, {"RRR", "RRR"}, {"RRR", "RRR"}}},
      {"a frame 40000 wide is cut at the screen's edge",
       'W',
       {{0, 1, 40000, 1, std::string(40000, 'G'), 2}, {1, 0, 1, 1, "B", 0}},
       {{"WWW", "GGG"}, {"WBW", "WWW"}}},
      {"without a global table the background is black",
       'W',
       {{0, 0, 1, 1, "R", 2}, {1, 1, 1, 1, "G", 0}},
       {{"RKK", "KKK"}, {"KKK", "KGK"}},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(BuildFile(c.global_table, c.background, c.frames)));
    ASSERT_EQ(gif.FramesCount(), static_cast<int>(c.frames.size()));
    const auto shown = ComposedPictures(gif);
    ASSERT_TRUE(shown.has_value());
    ASSERT_EQ(shown->size(), c.shown.size());
    for (std::size_t i = 0; i < shown->size(); ++i) EXPECT_EQ(Letters((*shown)[i]), c.shown[i]) << "frame " << i + 1;
  }
}

TEST(cGIFComposerTest, StepsThroughTheFramesAndStartsAgain) {
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(
      BuildFile(true, 'W', {{0, 0, 3, 2, "RRRRRR", 2}, {1, 0, 1, 1, "G", 3}, {0, 1, 1, 1, "B", 1}})));
  cGIFComposer composer(gif);
  EXPECT_EQ(composer.Next(), cGIFComposer::kEnd) << "not started";
  EXPECT_EQ(composer.Frame(), 0);
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass == 0 ? "first pass" : "started again");
    ASSERT_TRUE(composer.Start());
    EXPECT_EQ(composer.Frame(), 0);
    EXPECT_EQ(composer.Screen().Width(), 3);
    EXPECT_EQ(composer.Screen().Height(), 2);
    EXPECT_EQ(composer.Screen().BPP(), 32);
    EXPECT_EQ(Letters(test::ScreenPicture(composer.Screen())), (std::vector<std::string>{"WWW", "WWW"}));
    const std::vector<std::vector<std::string>> want = {{"RRR", "RRR"}, {"WGW", "WWW"}, {"WWW", "BWW"}};
    for (std::size_t i = 0; i < want.size(); ++i) {
      ASSERT_EQ(composer.Next(), cGIFComposer::kShown);
      EXPECT_EQ(composer.Frame(), static_cast<int>(i + 1));
      EXPECT_EQ(Letters(test::ScreenPicture(composer.Screen())), want[i]);
    }
    EXPECT_EQ(composer.Next(), cGIFComposer::kEnd);
    EXPECT_EQ(composer.Frame(), 3);
  }
}

TEST(cGIFComposerTest, EmptyScreensAndDocuments) {
  struct Case {
    const char* name;
    std::uint16_t width, height;
    bool starts;
  };
  const Case cases[] = {{"no width", 0, 4, false},
                        {"no height", 4, 0, false},
                        {"32768 wide", 0x8000, 4, true},
                        {"no frames", 2, 2, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(GifBuilder().Header().Screen(c.width, c.height).Trailer().bytes()));
    cGIFComposer composer(gif);
    EXPECT_EQ(composer.Start(), c.starts);
    EXPECT_EQ(composer.Screen().hDIB() != 0, c.starts);
    EXPECT_EQ(composer.Next(), cGIFComposer::kEnd);
  }
}

// The screen is held to the picture limit before it is made: a few bytes of
// file cannot make the composer take gigabytes.
TEST(cGIFComposerTest, ScreenWithinThePixelLimit) {
  test::LimitsScope limits_scope;
  const std::int64_t by_default = limits_scope.saved().max_picture_pixels;
  struct Case {
    std::uint16_t width, height;
    std::int64_t max_pixels;
    bool starts;
  };
  const Case cases[] = {{16384, 16384, by_default, false},
                        {40000, 40000, by_default, false},
                        {65535, 1, by_default, true},
                        {1, 65535, by_default, true},
                        {10, 10, 100, true},
                        {10, 11, 100, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.width << " x " << c.height << ", limit " << c.max_pixels);
    platform::Limits limits = limits_scope.saved();
    limits.max_picture_pixels = c.max_pixels;
    platform::SetLimits(limits);
    // One green pixel in the screen's last corner.
    GifBuilder g;
    g.Header().Screen(c.width, c.height, 0x80 | kTableSize, IndexOf('W')).Raw(Table());
    g.Image(c.width - 1, c.height - 1, 1, 1, 0)
        .ImageData(3, LzwReference({IndexOf('G')}, 3))
        .Trailer();
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(g.bytes()));
    cGIFComposer composer(gif);
    if (!c.starts) {
      const Error e = test::Caught([&] { composer.Start(); });
      EXPECT_EQ(e.number(), kErrInvalidPicture);
      EXPECT_EQ(e.description(), "Invalid picture (the logical screen of " +
                                     std::to_string(c.width) + " x " + std::to_string(c.height) +
                                     " pixels is over the limit of " +
                                     std::to_string(c.max_pixels) +
                                     " pixels (max_picture_pixels); a host raises it with "
                                     "zoetra::platform::SetLimits)");
      EXPECT_EQ(composer.Screen().hDIB(), 0u);
      continue;
    }
    ASSERT_TRUE(composer.Start());
    ASSERT_EQ(composer.Next(), cGIFComposer::kShown);
    const RgbFrame shown = test::ScreenPicture(composer.Screen());
    ASSERT_EQ(shown.width, c.width);
    ASSERT_EQ(shown.height, c.height);
    EXPECT_EQ(shown.at(c.width - 1, c.height - 1), kColours[IndexOf('G')]);
    EXPECT_EQ(shown.at(0, 0),
              c.width * c.height > 1 ? kColours[IndexOf('W')] : kColours[IndexOf('G')]);
  }
}

#ifdef ZOETRA_HAVE_GIFLIB
// Random documents through the writer and the reader, composed here and by the
// independent compositor on giflib's decoding: every pixel agrees.
TEST(cGIFComposerTest, AgreesWithGiflibOnRandomDocuments) {
  std::mt19937 rng(77);
  auto pick = [&](int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1)); };
  test::TempDir dir;
  for (int doc = 0; doc < 40; ++doc) {
    SCOPED_TRACE(doc);
    cGIF g;
    const bool global = doc % 5 != 0;
    const int global_entries = pick(2, 256);
    const int frames = pick(1, 8);
    for (int f = 1; f <= frames; ++f) {
      const auto n = static_cast<std::int16_t>(f);
      const int w = pick(1, 14), h = pick(1, 12);
      g.FrameInsert(n, static_cast<std::int16_t>(w), static_cast<std::int16_t>(h));
      // Some frames reach past the screen's right and bottom edges.
      g.FrameLeft(n, static_cast<std::int16_t>(pick(0, 18)));
      g.FrameTop(n, static_cast<std::int16_t>(pick(0, 14)));
      g.FrameDisposalMethod(n, pick(0, 7));
      const bool local = !global || pick(0, 3) == 0;
      const int entries = local ? pick(2, 256) : global_entries;
      if (local) {
        g.LocalPaletteUsed(n, -1);
        g.LocalPaletteEntries(n, static_cast<std::int16_t>(entries));
        for (int i = 0; i < 4 * entries; ++i) g.lpLocalPalette(n)[i] = i % 4 == 3 ? 0 : static_cast<std::uint8_t>(rng());
      }
      if (pick(0, 1) == 1) {
        g.FrameUseTransparentColor(n, -1);
        g.FrameTransparentColorIndex(n, static_cast<std::uint8_t>(pick(0, entries - 1)));
      }
      const auto image = g.FrameDIBXOR(n);
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
          // Few colours, so the transparent one is common.
          image->lpBits()[static_cast<std::size_t>(y) * image->BytesPerScanline() + x] =
              static_cast<std::uint8_t>(pick(0, std::min(entries - 1, 3)));
        }
      }
    }
    g.ScreenWidth(static_cast<std::int16_t>(pick(1, 20)));
    g.ScreenHeight(static_cast<std::int16_t>(pick(1, 16)));
    g.ScreenBackgroundColorIndex(static_cast<std::uint8_t>(pick(0, global_entries - 1)));
    g.GlobalPaletteExists(global ? -1 : 0);
    if (global) {
      g.GlobalPaletteEntries(static_cast<std::int16_t>(global_entries));
      for (int i = 0; i < 4 * global_entries; ++i) g.lpGlobalPalette()[i] = i % 4 == 3 ? 0 : static_cast<std::uint8_t>(rng());
    }
    const std::string path = dir.Path("random.gif");
    ASSERT_TRUE(g.Save(path));

    cGIF loaded;
    ASSERT_TRUE(loaded.LoadFromFile(path));
    const auto ours = ComposedPictures(loaded);
    ASSERT_TRUE(ours.has_value());
    const auto reference = test::GiflibCompose(path);
    ASSERT_TRUE(reference.has_value()) << "giflib cannot read the file";
    test::ExpectSameAsReference(*ours, *reference);
  }
}
#endif

}  // namespace
}  // namespace zoetra

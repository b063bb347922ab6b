#include "colour/cpal8bpp.hpp"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

#include "platform/base/error.hpp"
#include "platform/drawing/gdi.hpp"
#include "tests/colour/colour_test_util.hpp"

namespace zoetra {
namespace {

using namespace colour_test;

Rgb EntryOf(const cPal8bpp& pal, int i) {
  const std::uint8_t* e = pal.lpPalette() + 4 * i;
  EXPECT_EQ(e[3], 0) << "reserved byte of entry " << i;
  return {e[2], e[1], e[0]};
}

TEST(cPal8bppTest, NewObjectHasNoTable) {
  cPal8bpp pal;
  EXPECT_EQ(pal.Entries(), 0);
  EXPECT_EQ(pal.hPal(), 0u);
  EXPECT_FALSE(pal.IsGreyScale());
  ExpectErrorNumber([&] { (void)pal.lpPalette(); }, kErrSubscript);
  ExpectErrorNumber([&] { (void)pal.rgbR(0); }, kErrSubscript);
  ExpectErrorNumber([&] { pal.rgbB(255, 1); }, kErrSubscript);
  ExpectErrorNumber([&] { pal.BuildLogicalPalette(); }, kErrSubscript);
  std::uint8_t r, g, b;
  ExpectErrorNumber([&] { pal.ClosestColor(1, 2, 3, r, g, b); }, kErrSubscript);
  std::uint8_t index = 77;
  pal.ClosestIndex(1, 2, 3, index);
  EXPECT_EQ(index, 0);
  pal.Entries(3);  // stored without a table; reading entries then fails
  EXPECT_EQ(pal.Entries(), 3);
  ExpectErrorNumber([&] { (void)pal.IsGreyScale(); }, kErrSubscript);
}

TEST(cPal8bppTest, InitializeGivesBlackTableWithoutLogicalPalette) {
  cPal8bpp pal;
  pal.CreateEGA();
  pal.Initialize(5);
  EXPECT_EQ(pal.Entries(), 5);
  EXPECT_EQ(pal.hPal(), 0u);
  for (int i = 0; i < cPal8bpp::kTableBytes; ++i) ASSERT_EQ(pal.lpPalette()[i], 0) << i;
  for (const Rgb c : {Rgb{0, 0, 0}, Rgb{255, 255, 255}, Rgb{12, 200, 7}}) {
    std::uint8_t index = 99;
    pal.ClosestIndex(c.r, c.g, c.b, index);
    EXPECT_EQ(index, 0);
  }
  std::uint8_t r, g, b;
  ExpectErrorNumber([&] { pal.ClosestColor(0, 0, 0, r, g, b); }, kErrSubscript);
  EXPECT_TRUE(pal.IsGreyScale());  // five black entries
}

TEST(cPal8bppTest, GreyScalePresets) {
  struct Case {
    int level, entries, step;
  };
  for (const Case c : {Case{0, 2, 255}, Case{1, 16, 17}, Case{2, 256, 1}}) {
    cPal8bpp pal;
    pal.CreateGreyScale(c.level);
    EXPECT_EQ(pal.Entries(), c.entries) << c.level;
    EXPECT_NE(pal.hPal(), 0u);
    EXPECT_TRUE(pal.IsGreyScale());
    for (int i = 0; i < 256; ++i) {
      const int v = i < c.entries ? i * c.step : 0;
      ASSERT_EQ(EntryOf(pal, i), (Rgb{v, v, v})) << "level " << c.level << " entry " << i;
    }
  }
}

TEST(cPal8bppTest, StandardColours) {
  const std::array<Rgb, 16> expected = {{{0, 0, 0},
                                         {128, 0, 0},
                                         {0, 128, 0},
                                         {128, 128, 0},
                                         {0, 0, 128},
                                         {128, 0, 128},
                                         {0, 128, 128},
                                         {192, 192, 192},
                                         {128, 128, 128},
                                         {255, 0, 0},
                                         {0, 255, 0},
                                         {255, 255, 0},
                                         {0, 0, 255},
                                         {255, 0, 255},
                                         {0, 255, 255},
                                         {255, 255, 255}}};
  cPal8bpp pal;
  pal.CreateEGA();
  EXPECT_EQ(pal.Entries(), 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(EntryOf(pal, i), expected[i]) << i;
  for (int i = 16; i < 256; ++i) ASSERT_EQ(EntryOf(pal, i), (Rgb{0, 0, 0})) << i;
  EXPECT_FALSE(pal.IsGreyScale());
  pal.Initialize(0);
  EXPECT_FALSE(pal.IsGreyScale());
}

TEST(cPal8bppTest, HalftoneCubes) {
  struct Case {
    int level;
    std::vector<int> values;
  };
  const Case cases[] = {{0, {0, 255}},
                        {1, {0, 128, 255}},
                        {2, {0, 85, 170, 255}},
                        {3, {0, 64, 128, 192, 255}},
                        {4, {0, 51, 102, 153, 204, 255}}};
  for (const Case& c : cases) {
    cPal8bpp pal;
    pal.CreateHalftone(c.level);
    const int n = static_cast<int>(c.values.size());
    ASSERT_EQ(pal.Entries(), n * n * n) << c.level;
    EXPECT_NE(pal.hPal(), 0u);
    for (int b = 0; b < n; ++b)
      for (int g = 0; g < n; ++g)
        for (int r = 0; r < n; ++r)
          ASSERT_EQ(EntryOf(pal, r + n * g + n * n * b),
                    (Rgb{c.values[r], c.values[g], c.values[b]}))
              << "level " << c.level;
  }
  cPal8bpp pal;
  pal.CreateHalftone(2);
  EXPECT_EQ(EntryOf(pal, 1), (Rgb{85, 0, 0}));
  EXPECT_EQ(EntryOf(pal, 4), (Rgb{0, 85, 0}));
  EXPECT_EQ(EntryOf(pal, 16), (Rgb{0, 0, 85}));
  EXPECT_EQ(EntryOf(pal, 63), (Rgb{255, 255, 255}));
  pal.CreateHalftone(4);
  EXPECT_EQ(EntryOf(pal, 0), (Rgb{0, 0, 0}));
  EXPECT_EQ(EntryOf(pal, 215), (Rgb{255, 255, 255}));
  EXPECT_EQ(EntryOf(pal, 5), (Rgb{255, 0, 0}));
  EXPECT_EQ(EntryOf(pal, 30), (Rgb{0, 255, 0}));
  EXPECT_EQ(EntryOf(pal, 180), (Rgb{0, 0, 255}));
}

TEST(cPal8bppTest, Websafe) {
  cPal8bpp pal;
  pal.CreateWebsafe();
  EXPECT_EQ(pal.Entries(), 256);
  const std::pair<int, Rgb> spots[] = {
      {0, {0, 0, 0}},         {7, {192, 192, 192}}, {8, {51, 0, 0}},       {9, {102, 0, 0}},
      {215, {204, 255, 255}}, {216, {0, 0, 0}},     {217, {8, 8, 8}},      {247, {248, 248, 248}},
      {248, {128, 128, 128}}, {249, {255, 0, 0}},   {255, {255, 255, 255}}};
  for (const auto& [i, c] : spots) EXPECT_EQ(EntryOf(pal, i), c) << i;
  // Entries 8..215: the cube without its corners, red fastest.
  int k = 8;
  for (int b = 0; b <= 255; b += 51)
    for (int g = 0; g <= 255; g += 51)
      for (int r = 0; r <= 255; r += 51) {
        const auto edge = [](int v) { return v == 0 || v == 255; };
        if (edge(r) && edge(g) && edge(b)) continue;
        ASSERT_EQ(EntryOf(pal, k), (Rgb{r, g, b})) << k;
        ++k;
      }
  EXPECT_EQ(k, 216);
}

TEST(cPal8bppTest, BadPresetLevelsFailWithEmptyTable) {
  struct Case {
    std::function<void(cPal8bpp&)> make;
    std::int32_t error;
  };
  const Case cases[] = {{[](cPal8bpp& p) { p.CreateGreyScale(3); }, kErrDivisionByZero},
                        {[](cPal8bpp& p) { p.CreateGreyScale(-1); }, kErrDivisionByZero},
                        {[](cPal8bpp& p) { p.CreateHalftone(5); }, kErrSubscript},
                        {[](cPal8bpp& p) { p.CreateHalftone(-1); }, kErrSubscript}};
  for (const Case& c : cases) {
    cPal8bpp pal;
    pal.CreateWebsafe();
    const std::size_t live = platform::LiveObjectCount();
    ExpectErrorNumber([&] { c.make(pal); }, c.error);
    EXPECT_EQ(pal.Entries(), 0);
    EXPECT_EQ(pal.hPal(), 0u);
    EXPECT_EQ(platform::LiveObjectCount(), live - 1);  // the old logical palette was released
    for (int i = 0; i < cPal8bpp::kTableBytes; ++i) ASSERT_EQ(pal.lpPalette()[i], 0);
  }
}

TEST(cPal8bppTest, ClosestIndexComparesLikeChannels) {
  // Red and blue sit in swapped slots of the logical palette; the query is
  // packed the same way round, so a reddish colour still finds the red entry.
  cPal8bpp pal;
  pal.Initialize(3);
  pal.rgbR(1, 255);
  pal.rgbB(2, 255);
  pal.BuildLogicalPalette();
  struct Case {
    Rgb query;
    int index;
  };
  const Case cases[] = {
      {{250, 0, 0}, 1}, {{0, 0, 250}, 2}, {{200, 40, 0}, 1}, {{10, 0, 160}, 2}, {{20, 20, 20}, 0}};
  for (const Case& c : cases) {
    std::uint8_t index = 0, r = 0, g = 0, b = 0;
    pal.ClosestIndex(c.query.r, c.query.g, c.query.b, index);
    EXPECT_EQ(index, c.index) << c.query;
    pal.ClosestColor(c.query.r, c.query.g, c.query.b, r, g, b);
    EXPECT_EQ((Rgb{r, g, b}), EntryOf(pal, c.index)) << c.query;
  }
}

TEST(cPal8bppTest, ClosestIndexNearestAndTies) {
  cPal8bpp pal;
  pal.CreateEGA();
  struct Case {
    Rgb query;
    int index;
  };
  const Case cases[] = {
      {{200, 10, 10}, 9},    // (255, 0, 0) is nearer than (128, 0, 0)
      {{192, 192, 192}, 7},  // exact match
      {{64, 64, 64}, 0},     // tie between black and (128, 128, 128) at 3 * 64^2: lowest index
      {{100, 100, 100}, 8},
  };
  for (const Case& c : cases) {
    std::uint8_t index = 0;
    pal.ClosestIndex(c.query.r, c.query.g, c.query.b, index);
    EXPECT_EQ(index, c.index) << c.query;
  }
  // Every entry in use is found exactly, for every preset.
  for (int preset = 0; preset < 4; ++preset) {
    if (preset == 0) pal.CreateGreyScale(2);
    if (preset == 1) pal.CreateHalftone(4);
    if (preset == 2) pal.CreateWebsafe();
    if (preset == 3) pal.CreateHalftone(0);
    for (int i = 0; i < pal.Entries(); ++i) {
      const Rgb e = EntryOf(pal, i);
      std::uint8_t index = 0;
      pal.ClosestIndex(e.r, e.g, e.b, index);
      ASSERT_EQ(EntryOf(pal, index), e) << "preset " << preset << " entry " << i;
    }
  }
}

TEST(cPal8bppTest, EditsDoNotReachLogicalPaletteUntilRebuilt) {
  cPal8bpp pal;
  pal.CreateEGA();
  pal.rgbG(3, 0);  // entry 3: (128, 128, 0) -> (128, 0, 0), same as entry 1
  EXPECT_EQ(pal.rgbG(3), 0);
  EXPECT_EQ(pal.rgbR(3), 128);
  std::uint8_t index = 0;
  pal.ClosestIndex(128, 128, 0, index);
  EXPECT_EQ(index, 3);  // the logical palette still holds the old colour
  pal.BuildLogicalPalette();
  pal.ClosestIndex(128, 128, 0, index);
  EXPECT_NE(index, 3);
  pal.ClosestIndex(128, 0, 0, index);
  EXPECT_EQ(index, 1);  // equal colours: the lower index wins
}

TEST(cPal8bppTest, EntriesOutsideTheTableAreClampedForTheLogicalPalette) {
  cPal8bpp pal;
  pal.CreateGreyScale(2);
  pal.Entries(1000);
  pal.BuildLogicalPalette();
  EXPECT_EQ(pal.Entries(), 1000);
  EXPECT_NE(pal.hPal(), 0u);
  std::uint8_t index = 0;
  pal.ClosestIndex(254, 254, 254, index);
  EXPECT_EQ(index, 254);
  // Every entry is grey, so the walk reaches entry 256 and fails there.
  ExpectErrorNumber([&] { (void)pal.IsGreyScale(); }, kErrSubscript);
  pal.rgbR(10, 1);
  EXPECT_FALSE(pal.IsGreyScale());  // decided before the end of the table

  pal.Entries(-4);
  pal.BuildLogicalPalette();
  EXPECT_NE(pal.hPal(), 0u);
  pal.ClosestIndex(200, 200, 200, index);
  EXPECT_EQ(index, 0);  // an empty logical palette answers nothing
  std::uint8_t r, g, b;
  ExpectErrorNumber([&] { pal.ClosestColor(200, 200, 200, r, g, b); }, kErrSubscript);
  EXPECT_FALSE(pal.IsGreyScale());
}

TEST(cPal8bppTest, OwnsItsLogicalPalette) {
  const std::size_t before = platform::LiveObjectCount();
  {
    cPal8bpp pal;
    pal.CreateWebsafe();
    EXPECT_EQ(platform::LiveObjectCount(), before + 1);
    const platform::HPALETTE first = pal.hPal();
    pal.BuildLogicalPalette();
    pal.CreateHalftone(1);
    pal.CreateGreyScale(0);
    EXPECT_EQ(platform::LiveObjectCount(), before + 1);
    EXPECT_EQ(platform::GetObjectType(first), 0);  // released
    pal.Destroy();
    EXPECT_EQ(pal.hPal(), 0u);
    EXPECT_EQ(pal.Entries(), 0);
    EXPECT_EQ(platform::LiveObjectCount(), before);
    ExpectErrorNumber([&] { (void)pal.lpPalette(); }, kErrSubscript);
    pal.CreateEGA();
  }
  EXPECT_EQ(platform::LiveObjectCount(), before);
}

}  // namespace
}  // namespace zoetra

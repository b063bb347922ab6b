#include "pipeline/palette.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "colour/mquantize.hpp"
#include "pipeline/frame_diff.hpp"
#include "support/raster_pixels.hpp"

namespace zoetra::pipeline {
namespace {

constexpr std::uint32_t kClear = std::uint32_t{kClearPixel} << 24;  // a clear pixel as MarkClearPixels leaves it

BuilderOptions Options(PaletteMode mode, std::int64_t quality = 100, bool optimize = false, bool gray = false) {
  BuilderOptions o;
  o.palette = mode;
  o.quality = quality;
  o.optimize = optimize;
  o.gray = gray;
  return o;
}

// Distinct colours for distinct n below 2^24 (an odd multiplier is a
// bijection modulo 2^24), scattered over the whole cube.
std::uint32_t Scattered(std::uint32_t n) { return (n * 0x9E3779B1u) & 0xFFFFFFu; }

std::uint32_t Entry(const Table& table, int index) {
  std::uint32_t bgr0;
  std::memcpy(&bgr0, table.data() + 4 * index, 4);
  return bgr0 & 0xFFFFFFu;
}

// Counts `pictures` the way the conversion does when the strategy asks for
// it (each histogram in `split` counts the pictures it lists, in that order;
// the histograms are added in `split`'s order), then seals for `workers`.
void Ready(PaletteStrategy& strategy, const std::vector<const cDIB*>& pictures, const std::vector<bool>& clear,
           const std::vector<std::vector<int>>& split, unsigned workers) {
  if (strategy.CountsFirst()) {
    std::vector<mQuantize::ColourHistogram> counts(split.size());
    for (std::size_t h = 0; h < split.size(); ++h) {
      for (int p : split[h]) strategy.Count(*pictures[p], clear[p], counts[h]);
    }
    for (const auto& counted : counts) strategy.Add(counted);
  }
  strategy.Seal(workers);
}

// What each set of options makes of a picture of 300 colours (a few of its
// pixels clear, or none): the table a frame is written with, its size and the
// index kept for transparency; every index within that table, clear pixels
// and only they on the transparent index.
TEST(PaletteStrategyTest, OptionsGiveTheirTablesAndEveryIndexIsInItsTable) {
  struct Case {
    const char* what;
    BuilderOptions options;
    bool clear;                 // pixels on the diagonal clear
    bool counts_first;
    std::int32_t global;        // global entries (0: each frame its own)
    std::int32_t local;         // the frame's own entries
    std::int32_t transparent;   // -1: none
  };
  const Case cases[] = {
      {"all", Options(PaletteMode::All), false, true, 256, 0, -1},
      // Lossless frames need no transparency of their own, so no entry is kept.
      {"all, optimize", Options(PaletteMode::All, 100, true), false, true, 256, 0, -1},
      {"all, optimize, 90", Options(PaletteMode::All, 90, true), false, true, 147, 0, 146},
      {"all, 90", Options(PaletteMode::All, 90), false, true, 147, 0, -1},
      {"all, clear", Options(PaletteMode::All), true, true, 256, 0, 255},
      {"all, 50, clear", Options(PaletteMode::All, 50), true, true, 16, 0, 15},
      {"frame", Options(PaletteMode::Frame), false, false, 0, 256, -1},
      {"frame, optimize", Options(PaletteMode::Frame, 100, true), false, false, 0, 255, -1},
      {"frame, clear", Options(PaletteMode::Frame), true, false, 0, 256, 255},
      {"frame, 50", Options(PaletteMode::Frame, 50), false, false, 0, 16, -1},
      {"frame, 50, optimize, clear", Options(PaletteMode::Frame, 50, true), true, false, 0, 16, 15},
      {"gray over frame", Options(PaletteMode::Frame, 50, true, true), false, false, 256, 0, -1},
  };
  constexpr int kW = 20, kH = 15;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    cDIB picture;
    ASSERT_TRUE(test::Filled(picture, kW, kH, [&](int x, int r) {
      return c.clear && x == r ? kClear : Scattered(static_cast<std::uint32_t>(r * kW + x));
    }));
    const std::unique_ptr<PaletteStrategy> strategy = MakePaletteStrategy(c.options);
    EXPECT_EQ(strategy->CountsFirst(), c.counts_first);
    Ready(*strategy, {&picture}, {c.clear}, {{0}}, 1);
    EXPECT_EQ(strategy->GlobalEntries(), c.global);
    Mapped out;
    strategy->Map(picture, c.clear, 0, out);
    EXPECT_EQ(out.entries, c.local);
    EXPECT_EQ(out.transparent, c.transparent);
    if (c.global > 0) {
      EXPECT_EQ(strategy->GlobalTransparent(), c.transparent);
    }
    ASSERT_EQ(out.pixels.BPP(), 8);
    ASSERT_EQ(out.pixels.Width(), kW);
    ASSERT_EQ(out.pixels.Height(), kH);
    const std::int32_t entries = c.global > 0 ? c.global : c.local;
    for (int r = 0; r < kH; ++r) {
      for (int x = 0; x < kW; ++x) {
        const int index = test::Index8(out.pixels, x, r);
        ASSERT_LT(index, entries) << x << ", " << r;
        ASSERT_EQ(index == c.transparent, c.clear && x == r) << x << ", " << r << ": index " << index;
      }
    }
  }
}

// While the pictures have no more colours than a table holds, the tables are
// exactly their colours (clear pixels take none) and every pixel is mapped to
// its own colour: one table for both pictures with all, one each with frame.
TEST(PaletteStrategyTest, FewColoursMapExactly) {
  constexpr int kW = 8, kH = 5;
  cDIB pictures[2];
  std::set<std::uint32_t> colours[2];
  for (int p = 0; p < 2; ++p) {
    ASSERT_TRUE(test::Filled(pictures[p], kW, kH, [&](int x, int r) {
      // No opaque black: clear pixels, black too, would bring it in were they counted.
      if (p == 1 && x == 0) return kClear;
      const std::uint32_t rgb = Scattered(static_cast<std::uint32_t>(p * 100 + r * kW + x + 1));
      colours[p].insert(rgb);
      return rgb;
    }));
  }
  const std::vector<bool> clear = {false, true};
  for (PaletteMode mode : {PaletteMode::All, PaletteMode::Frame}) {
    SCOPED_TRACE(mode == PaletteMode::All ? "all" : "frame");
    const std::unique_ptr<PaletteStrategy> strategy = MakePaletteStrategy(Options(mode));
    Ready(*strategy, {&pictures[0], &pictures[1]}, clear, {{0, 1}}, 1);
    for (int p = 0; p < 2; ++p) {
      Mapped out;
      strategy->Map(pictures[p], clear[p], 0, out);
      const bool global = mode == PaletteMode::All;
      const Table& table = global ? strategy->GlobalTable() : out.table;
      const std::int32_t entries = global ? strategy->GlobalEntries() : out.entries;
      std::set<std::uint32_t> expected = colours[p];
      if (global) expected.insert(colours[1 - p].begin(), colours[1 - p].end());
      std::set<std::uint32_t> in_table;
      for (int i = 0; i < entries; ++i) {
        if (i != out.transparent) in_table.insert(Entry(table, i));
      }
      EXPECT_EQ(in_table, expected) << "picture " << p + 1;
      EXPECT_EQ(entries - (out.transparent >= 0 ? 1 : 0), static_cast<std::int32_t>(expected.size()));
      for (int r = 0; r < kH; ++r) {
        for (int x = 0; x < kW; ++x) {
          const std::uint32_t pixel = test::Px(pictures[p], x, r);
          const int index = test::Index8(out.pixels, x, r);
          if (pixel == kClear) {
            EXPECT_EQ(index, out.transparent);
          } else {
            ASSERT_EQ(Entry(table, index), pixel) << "picture " << p + 1 << " at " << x << ", " << r;
          }
        }
      }
    }
  }
}

// Workers count pictures into histograms of their own, whichever picture
// comes to whichever worker, and the palette is refined by as many threads as
// there are workers: none of it may change the table or a frame. 36864
// colours, past what a histogram keeps exact, so that it coarsens too.
TEST(PaletteStrategyTest, TheGlobalTableDoesNotDependOnHowPicturesWereCounted) {
  constexpr int kPictures = 6, kW = 96, kH = 64;
  cDIB pictures[kPictures];
  std::vector<const cDIB*> list;
  for (int p = 0; p < kPictures; ++p) {
    ASSERT_TRUE(test::Filled(pictures[p], kW, kH, [&](int x, int r) {
      return Scattered(static_cast<std::uint32_t>((p * kH + r) * kW + x));
    }));
    list.push_back(&pictures[p]);
  }
  const std::vector<bool> clear(kPictures, false);
  struct Split {
    std::vector<std::vector<int>> histograms;
    unsigned workers;
  };
  const Split splits[] = {
      {{{0, 1, 2, 3, 4, 5}}, 1},
      {{{0, 2, 4}, {1, 3, 5}}, 2},
      {{{5, 2}, {4, 1}, {3, 0}}, 3},
      {{{3}, {0}, {5, 1, 4}, {2}}, 4},
      {{{5, 4, 3, 2, 1, 0}, {}}, 2},
  };
  for (const BuilderOptions& options : {Options(PaletteMode::All), Options(PaletteMode::All, 60, true)}) {
    SCOPED_TRACE(options.quality);
    Table first_table{};
    std::int32_t first_entries = 0;
    std::vector<std::uint8_t> first_frame;
    for (const Split& split : splits) {
      SCOPED_TRACE(split.workers);
      const std::unique_ptr<PaletteStrategy> strategy = MakePaletteStrategy(options);
      Ready(*strategy, list, clear, split.histograms, split.workers);
      Mapped out;
      strategy->Map(pictures[3], false, split.workers - 1, out);
      const std::vector<std::uint8_t> frame(out.pixels.lpBits(),
                                            out.pixels.lpBits() + out.pixels.BytesPerScanline() * kH);
      if (first_entries == 0) {
        first_table = strategy->GlobalTable();
        first_entries = strategy->GlobalEntries();
        first_frame = frame;
        EXPECT_EQ(first_entries, options.quality == 100 ? 256 : 28);
        continue;
      }
      EXPECT_EQ(strategy->GlobalEntries(), first_entries);
      EXPECT_TRUE(strategy->GlobalTable() == first_table);
      EXPECT_TRUE(frame == first_frame);
    }
  }
}

// Map runs on every worker at once: each thread's frame is what one thread
// alone makes of the same picture (the greys keep a diffusion state per worker).
TEST(PaletteStrategyTest, WorkersMapAtOnceAsOneAlone) {
  constexpr int kWorkers = 3, kW = 64, kH = 48;
  cDIB pictures[kWorkers];
  for (int p = 0; p < kWorkers; ++p) {
    ASSERT_TRUE(test::Filled(pictures[p], kW, kH, [&](int x, int r) {
      return Scattered(static_cast<std::uint32_t>((p * kH + r) * kW + x) * 7u);
    }));
  }
  const std::vector<bool> clear(kWorkers, false);
  for (const BuilderOptions& options :
       {Options(PaletteMode::All), Options(PaletteMode::Frame, 70), Options(PaletteMode::All, 100, false, true)}) {
    const std::unique_ptr<PaletteStrategy> strategy = MakePaletteStrategy(options);
    Ready(*strategy, {&pictures[0], &pictures[1], &pictures[2]}, clear, {{0, 1, 2}}, kWorkers);
    Mapped alone[kWorkers], together[kWorkers];
    for (int p = 0; p < kWorkers; ++p) strategy->Map(pictures[p], false, 0, alone[p]);
    std::vector<std::thread> threads;
    for (int p = 0; p < kWorkers; ++p) {
      threads.emplace_back([&, p] { strategy->Map(pictures[p], false, static_cast<unsigned>(p), together[p]); });
    }
    for (std::thread& t : threads) t.join();
    for (int p = 0; p < kWorkers; ++p) {
      const std::size_t bytes = static_cast<std::size_t>(alone[p].pixels.BytesPerScanline()) * kH;
      EXPECT_EQ(std::memcmp(alone[p].pixels.lpBits(), together[p].pixels.lpBits(), bytes), 0)
          << "picture " << p + 1 << (options.gray ? ", gray" : "");
      EXPECT_TRUE(alone[p].table == together[p].table);
    }
  }
}

// Gray: a table of 256 greys, entry i grey i, whatever the palette mode.
// Diffusion, as the classic conversion does it, steps between every
// seventeenth grey: those map to themselves, and a flat grey between them
// keeps its mean, each pixel within a step of it.
TEST(PaletteStrategyTest, GrayIsTheTwoHundredFiftySixGreysDiffused) {
  constexpr int kSide = 32;
  for (PaletteMode mode : {PaletteMode::All, PaletteMode::Frame}) {
    const std::unique_ptr<PaletteStrategy> strategy = MakePaletteStrategy(Options(mode, 40, true, true));
    ASSERT_FALSE(strategy->CountsFirst());
    strategy->Seal(2);
    ASSERT_EQ(strategy->GlobalEntries(), 256);
    EXPECT_EQ(strategy->GlobalTransparent(), -1);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(Entry(strategy->GlobalTable(), i), static_cast<std::uint32_t>(i) * 0x010101u);
    for (int grey : {0, 17, 136, 255, 8, 100, 201}) {
      SCOPED_TRACE(grey);
      cDIB picture;
      ASSERT_TRUE(test::Filled(picture, kSide, kSide, [&](int, int) { return static_cast<std::uint32_t>(grey) * 0x010101u; }));
      Mapped out;
      strategy->Map(picture, false, 1, out);
      EXPECT_EQ(out.entries, 0);
      double sum = 0;
      for (int r = 0; r < kSide; ++r) {
        for (int x = 0; x < kSide; ++x) {
          const int index = test::Index8(out.pixels, x, r);
          if (grey % 17 == 0) {
            ASSERT_EQ(index, grey) << x << ", " << r;
          }
          ASSERT_LE(std::abs(index - grey), 17) << x << ", " << r;
          sum += index;
        }
      }
      EXPECT_NEAR(sum / (kSide * kSide), grey, 1.0);
    }
  }
}

}  // namespace
}  // namespace zoetra::pipeline

#include "colour/mquantize.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "platform/base/error.hpp"
#include "platform/base/yield.hpp"
#include "raster/cdib.hpp"

namespace zoetra::mQuantize {
namespace {

std::uint32_t Rgb(int r, int g, int b) {
  return static_cast<std::uint32_t>(r) << 16 | static_cast<std::uint32_t>(g) << 8 | static_cast<std::uint32_t>(b);
}

// A 32-bit raster whose pixel i (rows in memory order) is colours[i % size].
void Fill(cDIB& raster, int w, int h, const std::vector<std::uint32_t>& colours) {
  ASSERT_TRUE(raster.Create(w, h, 32));
  for (int i = 0; i < w * h; ++i) {
    const std::uint32_t c = colours[static_cast<std::size_t>(i) % colours.size()];
    std::memcpy(raster.lpBits() + static_cast<std::size_t>(i) * 4, &c, 4);
  }
}

std::uint32_t EntryRgb(const Palette& p, int e) {
  const std::uint8_t* t = p.table.data() + static_cast<std::size_t>(e) * 4;
  return Rgb(t[2], t[1], t[0]);
}

Palette PaletteOf(const std::vector<std::uint32_t>& colours) {
  Palette p;
  for (std::uint32_t c : colours) {
    std::uint8_t* t = p.table.data() + static_cast<std::size_t>(p.entries++) * 4;
    t[0] = c & 0xFF;
    t[1] = c >> 8 & 0xFF;
    t[2] = c >> 16 & 0xFF;
  }
  return p;
}

TEST(ColourHistogramTest, CountsExactlyUntilFullThenKeepsTheMeans) {
  ColourHistogram h;
  std::vector<std::uint8_t> px;
  const auto add = [&](std::uint32_t rgb, int n) {
    for (int i = 0; i < n; ++i) px.insert(px.end(), {std::uint8_t(rgb), std::uint8_t(rgb >> 8), std::uint8_t(rgb >> 16), 0});
  };
  add(Rgb(10, 20, 30), 3);
  add(Rgb(11, 20, 30), 1);
  h.AddPixels(px.data(), px.size() / 4);
  ASSERT_EQ(h.shift(), 0);
  const auto exact = h.Buckets();
  ASSERT_EQ(exact.size(), 2u);
  EXPECT_EQ(exact[0].key, Rgb(10, 20, 30));
  EXPECT_EQ(exact[0].count, 3u);

  // One more colour than the table holds: it coarsens, and sums survive.
  std::vector<std::uint8_t> many;
  for (std::size_t i = 0; i <= kMaxHistogramColours; ++i) {
    const auto v = static_cast<std::uint32_t>(i * 2654435761u) & 0xFFFFFF;
    many.insert(many.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), 0});
  }
  h.AddPixels(many.data(), many.size() / 4);
  EXPECT_GT(h.shift(), 0);
  EXPECT_LE(h.colours(), kMaxHistogramColours);
  std::uint64_t count = 0, red = 0;
  for (const auto& b : h.Buckets()) {
    count += b.count;
    red += b.sum[0];
  }
  std::uint64_t want_red = 3 * 10 + 11;
  for (std::size_t i = 0; i < many.size(); i += 4) want_red += many[i + 2];
  EXPECT_EQ(count, h.pixels());
  EXPECT_EQ(red, want_red);
}

// Counting pictures apart and merging gives what counting them together gives,
// whichever of them had to coarsen on its own.
TEST(ColourHistogramTest, MergingEqualsCountingTogether) {
  std::mt19937 rng(3);
  const auto pixels = [&](std::size_t n, std::uint32_t mask) {
    std::vector<std::uint8_t> px;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t v = static_cast<std::uint32_t>(rng()) & mask;
      px.insert(px.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), 0});
    }
    return px;
  };
  // Few colours, many colours (coarsens alone), and a middle one that only the union pushes over.
  const std::vector<std::vector<std::uint8_t>> parts = {pixels(500, 0x0F0F0F), pixels(3 * kMaxHistogramColours, 0xFFFFFF),
                                                        pixels(kMaxHistogramColours / 2, 0x3F3F3F)};
  for (const auto& order : std::vector<std::vector<int>>{{0, 1, 2}, {2, 0, 1}, {0, 2}}) {
    ColourHistogram together, merged;
    for (int k : order) {
      together.AddPixels(parts[static_cast<std::size_t>(k)].data(), parts[static_cast<std::size_t>(k)].size() / 4);
      ColourHistogram alone;
      alone.AddPixels(parts[static_cast<std::size_t>(k)].data(), parts[static_cast<std::size_t>(k)].size() / 4);
      merged.Merge(alone);
    }
    EXPECT_EQ(merged.shift(), together.shift());
    EXPECT_EQ(merged.pixels(), together.pixels());
    const auto a = merged.Buckets(), b = together.Buckets();
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
      ASSERT_EQ(a[i].key, b[i].key);
      ASSERT_EQ(a[i].count, b[i].count);
      ASSERT_EQ(a[i].sum[0] + a[i].sum[1] * 3 + a[i].sum[2] * 7, b[i].sum[0] + b[i].sum[1] * 3 + b[i].sum[2] * 7);
    }
  }
}

TEST(BuildPaletteTest, FewColoursAreKeptExactly) {
  ColourHistogram h;
  std::vector<std::uint32_t> colours;
  for (int i = 0; i < 256; ++i) colours.push_back(Rgb(i, 255 - i, (i * 7) & 0xFF));
  cDIB raster;
  Fill(raster, 64, 8, colours);
  h.AddPicture(raster);
  const Palette p = BuildPalette(h);
  ASSERT_EQ(p.entries, 256);
  EXPECT_TRUE(p.exact);
  std::set<std::uint32_t> got;
  for (int e = 0; e < p.entries; ++e) got.insert(EntryRgb(p, e));
  EXPECT_EQ(got, std::set<std::uint32_t>(colours.begin(), colours.end()));
}

TEST(BuildPaletteTest, ManyColoursGiveAFullDeterministicPaletteCloseToThePixels) {
  std::mt19937 rng(7);
  std::vector<std::uint32_t> colours;
  // Three clusters: the palette must spend its entries where the pixels are.
  for (int i = 0; i < 3000; ++i) {
    const int base = (i % 3) * 100;
    colours.push_back(Rgb(base + static_cast<int>(rng() % 40), base / 2 + static_cast<int>(rng() % 40),
                          static_cast<int>(rng() % 40)));
  }
  cDIB raster;
  Fill(raster, 100, 30, colours);
  ColourHistogram h;
  h.AddPicture(raster);
  const Palette a = BuildPalette(h), b = BuildPalette(h, 256, 3);
  EXPECT_EQ(a.entries, 256);
  EXPECT_FALSE(a.exact);
  EXPECT_EQ(a.table, b.table) << "the same palette on one thread and on three";
  PaletteMapper mapper(a);
  cDIB frame;
  EXPECT_LT(mapper.Map(raster, frame, false, true), 12.0) << "nearest-entry error per channel of clustered colours";
  EXPECT_EQ(BuildPalette(ColourHistogram()).entries, 1);
}

// The cell search against the plain search over every entry, on palettes
// that stress it: dense clusters, far-apart entries, duplicates, one entry.
TEST(PaletteMapperTest, LookupAgreesWithTheFullSearchEverywhere) {
  std::mt19937 rng(11);
  std::vector<std::vector<std::uint32_t>> palettes;
  std::vector<std::uint32_t> dense, sparse, dup;
  for (int i = 0; i < 256; ++i) dense.push_back(Rgb(100 + static_cast<int>(rng() % 24), 90 + static_cast<int>(rng() % 24), 80 + static_cast<int>(rng() % 24)));
  for (int i = 0; i < 9; ++i) sparse.push_back(Rgb((i * 97) & 0xFF, (i * 53) & 0xFF, (i * 181) & 0xFF));
  for (int i = 0; i < 40; ++i) dup.push_back(Rgb(i % 5 * 60, 128, i % 5 * 60));  // each colour eight times
  palettes = {dense, sparse, dup, {Rgb(1, 2, 3)}};
  for (const auto& colours : palettes) {
    PaletteMapper mapper(PaletteOf(colours));
    for (int k = 0; k < 15000; ++k) {
      const auto c = static_cast<std::uint32_t>(rng()) & 0xFFFFFF;
      const std::uint8_t want = mapper.Nearest(static_cast<int>(c >> 16), static_cast<int>(c >> 8 & 0xFF),
                                               static_cast<int>(c & 0xFF));
      ASSERT_EQ(mapper.Lookup(c), want) << "colour " << std::hex << c << ", palette of " << std::dec << colours.size();
    }
  }
}

TEST(PaletteMapperTest, PicturesOfPaletteColoursMapLosslesslyWithOrWithoutDiffusion) {
  std::vector<std::uint32_t> colours;
  for (int i = 0; i < 200; ++i) colours.push_back(Rgb(i, i / 2, 3));  // neighbours one level apart
  cDIB raster;
  Fill(raster, 37, 11, colours);
  const Palette palette = PaletteOf(colours);
  for (bool diffuse : {false, true}) {
    PaletteMapper mapper(palette);
    cDIB frame;
    EXPECT_EQ(mapper.Map(raster, frame, diffuse, true), 0.0);
    ASSERT_EQ(frame.BPP(), 8);
    for (int i = 0; i < 37 * 11; ++i) {
      const int x = i % 37, y = i / 37;
      const std::uint8_t index = frame.lpBits()[static_cast<std::size_t>(y) * frame.BytesPerScanline() + x];
      ASSERT_EQ(EntryRgb(palette, index), colours[static_cast<std::size_t>(i) % colours.size()]) << "pixel " << i;
    }
  }
}

TEST(PaletteMapperTest, ThreadsSharingAMapperGetWhatOneThreadGets) {
  std::mt19937 rng(5);
  std::vector<std::uint32_t> colours;
  for (int i = 0; i < 256; ++i) colours.push_back(static_cast<std::uint32_t>(rng()) & 0xFFFFFF);
  const Palette palette = PaletteOf(colours);
  std::vector<cDIB> pictures(6);
  for (auto& p : pictures) {
    std::vector<std::uint32_t> noise;
    for (int i = 0; i < 997; ++i) noise.push_back(static_cast<std::uint32_t>(rng()) & 0xFFFFFF);
    Fill(p, 61, 47, noise);
  }
  const auto bytes = [](const cDIB& frame) {
    return std::vector<std::uint8_t>(frame.lpBits(), frame.lpBits() + frame.Size());
  };
  std::vector<std::vector<std::uint8_t>> alone;
  for (const auto& p : pictures) {
    PaletteMapper own(palette);
    cDIB frame;
    own.Map(p, frame, true);
    alone.push_back(bytes(frame));
  }
  const PaletteMapper shared(palette);
  std::vector<std::vector<std::uint8_t>> together(pictures.size());
  std::vector<std::thread> threads;
  for (std::size_t k = 0; k < pictures.size(); ++k) {
    threads.emplace_back([&, k] {
      cDIB frame;
      shared.Map(pictures[k], frame, true);
      together[k] = bytes(frame);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(together, alone);
}

TEST(PaletteMapperTest, DiffusionKeepsTheMeanColourOfAGradient) {
  // A gentle ramp between two entries: nearest mapping bands it, diffusion
  // mixes the two so that the average over a row follows the ramp.
  cDIB raster;
  ASSERT_TRUE(raster.Create(256, 16, 32));
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 256; ++x) {
      const std::uint32_t c = Rgb(100 + x * 40 / 256, 100 + x * 40 / 256, 100 + x * 40 / 256);
      std::memcpy(raster.lpBits() + (static_cast<std::size_t>(y) * 256 + x) * 4, &c, 4);
    }
  const Palette palette = PaletteOf({Rgb(100, 100, 100), Rgb(140, 140, 140)});
  PaletteMapper mapper(palette);
  cDIB frame;
  mapper.Map(raster, frame, true);
  // Over the middle quarter the source averages about 120: diffusion must use both entries there.
  int high = 0;
  for (int y = 0; y < 16; ++y)
    for (int x = 96; x < 160; ++x) high += frame.lpBits()[static_cast<std::size_t>(y) * frame.BytesPerScanline() + x];
  EXPECT_GT(high, 16 * 64 / 4);
  EXPECT_LT(high, 16 * 64 * 3 / 4);
}

// Diffusion written out plainly: serpentine rows, 7/16 of the pushed error to
// the next pixel, 3, 5 and 1 sixteenths to the row below; a pushed error is
// ten sixteenths of the pixel's error, truncated, at most 16 levels, and none
// where the pixel differs from the one before it by more than 12.
std::vector<std::uint8_t> PlainDiffusion(const cDIB& raster, const PaletteMapper& mapper, const Palette& palette) {
  const int w = raster.Width(), h = raster.Height();
  std::vector<std::uint8_t> out(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  std::vector<std::array<int, 3>> carry(static_cast<std::size_t>(w)), next(static_cast<std::size_t>(w));
  for (int y = 0; y < h; ++y) {
    const int dir = y % 2 == 0 ? 1 : -1;
    std::fill(next.begin(), next.end(), std::array<int, 3>{0, 0, 0});
    std::array<int, 3> ahead{0, 0, 0};
    const std::uint8_t* prev = nullptr;
    for (int k = 0; k < w; ++k) {
      const int x = dir > 0 ? k : w - 1 - k;
      const std::uint8_t* px = raster.lpBits() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)) * 4;
      std::array<int, 3> v{};  // blue, green, red
      for (int c = 0; c < 3; ++c)
        v[static_cast<std::size_t>(c)] = std::clamp(px[c] + ((carry[static_cast<std::size_t>(x)][static_cast<std::size_t>(c)] + ahead[static_cast<std::size_t>(c)] + 8) >> 4), 0, 255);
      const std::uint8_t index = mapper.Nearest(v[2], v[1], v[0]);
      out[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)] = index;
      const bool busy = prev != nullptr && std::abs(px[0] - prev[0]) + std::abs(px[1] - prev[1]) + std::abs(px[2] - prev[2]) > 12;
      prev = px;
      for (int c = 0; c < 3; ++c) {
        const int error = v[static_cast<std::size_t>(c)] - palette.table[static_cast<std::size_t>(index) * 4 + static_cast<std::size_t>(c)];
        const int e = busy ? 0 : std::clamp(error * 10 / 16, -16, 16);
        ahead[static_cast<std::size_t>(c)] = 7 * e;
        const auto push = [&](int at, int share) {
          if (at >= 0 && at < w) next[static_cast<std::size_t>(at)][static_cast<std::size_t>(c)] += share * e;
        };
        push(x - dir, 3);
        push(x, 5);
        push(x + dir, 1);
      }
    }
    carry.swap(next);
  }
  return out;
}

TEST(PaletteMapperTest, DiffusionDoesWhatThePlainLoopDoes) {
  std::mt19937 rng(23);
  struct Case {
    int w, h;
    int entries;  // 0: the picture's own palette
  };
  for (const Case& c : {Case{1, 5, 0}, Case{7, 1, 3}, Case{64, 48, 0}, Case{61, 33, 2}, Case{33, 20, 256}}) {
    cDIB raster;
    ASSERT_TRUE(raster.Create(c.w, c.h, 32));
    for (int y = 0; y < c.h; ++y) {
      for (int x = 0; x < c.w; ++x) {
        std::uint8_t* p = raster.lpBits() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(c.w) + static_cast<std::size_t>(x)) * 4;
        const int region = (x * 3 / std::max(c.w, 1)) + 3 * (y * 2 / std::max(c.h, 1));
        for (int ch = 0; ch < 3; ++ch) {
          int v;
          switch (region % 4) {
            case 0: v = (x * 255 / std::max(c.w - 1, 1) + ch * 40) % 256; break;        // ramps
            case 1: v = 120 + ch * 30; break;                                            // flat
            case 2: v = static_cast<int>(rng() % 256); break;                            // busy
            default: v = std::clamp(200 + ch * 20 + static_cast<int>(rng() % 9) - 4, 0, 255);  // near the top, noisy
          }
          p[ch] = static_cast<std::uint8_t>(v);
        }
        p[3] = static_cast<std::uint8_t>(rng());  // the fourth byte is not a channel
      }
    }
    Palette palette;
    if (c.entries == 0) {
      ColourHistogram histogram;
      histogram.AddPicture(raster);
      palette = BuildPalette(histogram, 16);
    } else {
      std::vector<std::uint32_t> colours;
      for (int i = 0; i < c.entries; ++i) colours.push_back(static_cast<std::uint32_t>(rng()) & 0xFFFFFF);
      colours[0] = 0;
      palette = PaletteOf(colours);
    }
    const PaletteMapper mapper(palette);
    cDIB frame;
    mapper.Map(raster, frame, true);
    const std::vector<std::uint8_t> want = PlainDiffusion(raster, mapper, palette);
    for (int y = 0; y < c.h; ++y) {
      for (int x = 0; x < c.w; ++x) {
        ASSERT_EQ(frame.lpBits()[static_cast<std::size_t>(y) * static_cast<std::size_t>(frame.BytesPerScanline()) + static_cast<std::size_t>(x)],
                  want[static_cast<std::size_t>(y) * static_cast<std::size_t>(c.w) + static_cast<std::size_t>(x)])
            << c.w << " x " << c.h << ", pixel " << x << ", " << y;
      }
    }
  }
}

// Counting and mapping a large picture hear a stop between stretches of it:
// each ends with the stop error after the query first says stop, having asked
// no more after that, long before the picture's end.
TEST(StopTest, CountingAndMappingEndBetweenRowsWhenTheHostStops) {
  cDIB raster;
  Fill(raster, 1024, 3072, {Rgb(10, 20, 30), Rgb(200, 100, 50), Rgb(90, 90, 250), Rgb(5, 250, 5)});
  ColourHistogram counted;
  counted.AddPicture(raster);
  const Palette palette = BuildPalette(counted, 3);  // fewer entries than colours: the diffusion runs
  const PaletteMapper mapper(palette);
  struct Case {
    const char* what;
    int stop_at;  // the query says stop the nth time it is asked
    std::function<void()> run;
  };
  cDIB frame;
  ColourHistogram histogram;
  const Case cases[] = {
      {"counting", 2, [&] { histogram.AddPicture(raster); }},
      {"mapping", 5, [&] { mapper.Map(raster, frame, false); }},
      {"mapping with diffusion", 5, [&] { mapper.Map(raster, frame, true); }},
  };
  for (const Case& c : cases) {
    std::atomic<int> asked{0};
    const platform::StopQueryScope scope(
        std::make_shared<const platform::StopQuery>([&] { return ++asked >= c.stop_at; }));
    std::int32_t number = 0;
    try {
      c.run();
    } catch (const Error& e) {
      number = e.number();
    }
    EXPECT_EQ(number, kErrStopped) << c.what;
    EXPECT_EQ(asked.load(), c.stop_at) << c.what;
  }
}

}  // namespace
}  // namespace zoetra::mQuantize

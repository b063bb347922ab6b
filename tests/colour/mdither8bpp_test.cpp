#include "colour/mdither8bpp.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "colour/cpal8bpp.hpp"
#include "platform/base/error.hpp"
#include "raster/cdib.hpp"
#include "tests/colour/colour_test_util.hpp"

namespace zoetra {
namespace {

namespace md = mDither8bpp;

using namespace colour_test;

std::uint8_t FramePixel(const cDIB& frame, int x, int y) {
  return frame.lpBits()[static_cast<std::size_t>(y) * frame.BytesPerScanline() + x];
}

// The mapping written from the rules, one formula per step and no tables: the
// grid's nearest entries by brute force over the entries in use.
std::vector<std::uint8_t> ReferenceDither(const std::vector<Rgb>& pixels, int w, int h, int mode,
                                          int method, const std::uint8_t* palette, int entries) {
  static constexpr int kBayer16[16] = {1, 9, 3, 11, 13, 5, 15, 7, 4, 12, 2, 10, 16, 8, 14, 6};
  static constexpr int kBayer51[16] = {3,  29, 10, 35, 41, 16, 48, 22,
                                       13, 38, 6,  32, 51, 26, 45, 19};
  const bool cube = mode == 0;
  auto level = [&](int v) {
    return cube ? std::clamp(RoundHalfEven(v / 51.0), 0, 5)
                : std::clamp(RoundHalfEven(v / 17.0), 0, 15);
  };
  auto nearest = [&](int r, int g, int b) {
    int best = 0, best_d = 1 << 30;
    for (int i = 0; i < entries; ++i) {
      const std::uint8_t* e = palette + 4 * i;
      const int d = (e[2] - r) * (e[2] - r) + (e[1] - g) * (e[1] - g) + (e[0] - b) * (e[0] - b);
      if (d < best_d) {
        best_d = d;
        best = i;
      }
    }
    return best;
  };
  auto index = [&](int lr, int lg, int lb) {
    return cube ? lr + 6 * lg + 36 * lb : nearest(17 * lr, 17 * lg, 17 * lb);
  };
  std::vector<Rgb> work = pixels;
  std::vector<std::uint8_t> out(pixels.size());
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const Rgb p = work[static_cast<std::size_t>(y) * w + x];
      int i = 0;
      if (method == 1) {
        const int t = x % 4 + 4 * (y % 4);
        const int off = cube ? 26 - kBayer51[t] : 8 - kBayer16[t];
        i = index(level(p.r + off), level(p.g + off), level(p.b + off));
      } else {
        i = index(level(p.r), level(p.g), level(p.b));
      }
      out[static_cast<std::size_t>(y) * w + x] = static_cast<std::uint8_t>(i);
      if (method != 2) continue;
      const std::uint8_t* e = palette + 4 * i;
      const int er = p.r - e[2], eg = p.g - e[1], eb = p.b - e[0];
      if (std::abs(er) + std::abs(eg) + std::abs(eb) <= 3) continue;
      const int push[4][3] = {{1, 0, 7}, {0, 1, 5}, {1, 1, 1}, {-1, 1, 3}};
      for (const auto& n : push) {
        const int nx = x + n[0], ny = y + n[1];
        if (nx < 0 || nx >= w || ny >= h) continue;
        Rgb& q = work[static_cast<std::size_t>(ny) * w + nx];
        q.r = std::clamp(q.r + RoundHalfEven(er * n[2] / 16.0), 0, 255);
        q.g = std::clamp(q.g + RoundHalfEven(eg * n[2] / 16.0), 0, 255);
        q.b = std::clamp(q.b + RoundHalfEven(eb * n[2] / 16.0), 0, 255);
      }
    }
  }
  return out;
}

std::vector<std::uint8_t> FrameIndices(const cDIB& frame) {
  std::vector<std::uint8_t> out;
  for (int y = 0; y < frame.Height(); ++y)
    for (int x = 0; x < frame.Width(); ++x) out.push_back(FramePixel(frame, x, y));
  return out;
}

// A photographic-ish picture: gradients, noise, and some pixels at the extremes.
std::vector<Rgb> RandomPicture(std::mt19937& rng, int w, int h) {
  std::vector<Rgb> px;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int noise = static_cast<int>(rng() % 61) - 30;
      auto ch = [&](int base) {
        return std::clamp(base + noise + static_cast<int>(rng() % 9) - 4, 0, 255);
      };
      Rgb c{ch(x * 255 / std::max(w - 1, 1)), ch(y * 255 / std::max(h - 1, 1)),
            ch(128 + (x - y) * 3)};
      if (rng() % 23 == 0)
        c = {static_cast<int>(rng() % 2) * 255, 255, static_cast<int>(rng() % 4)};
      px.push_back(c);
    }
  return px;
}

TEST(mDither8bppTest, InitDitherBuildsTheTables) {
  md::DitherState s;
  s.PaletteMode = 2;
  s.DitherMethod = 1;
  s.ColorMap[5] = 9;
  s.PaletteCopy[7] = 3;
  md::InitDither(s);
  EXPECT_EQ(s.PaletteMode, 2);
  EXPECT_EQ(s.DitherMethod, 1);
  EXPECT_EQ(s.ColorMap[5], 9);
  EXPECT_EQ(s.PaletteCopy[7], 3);

  const std::pair<int, int> level6[] = {{-51, 0}, {-26, 0}, {0, 0},   {25, 0},  {26, 1}, {76, 1},
                                        {77, 2},  {229, 4}, {230, 5}, {255, 5}, {280, 5}};
  for (const auto& [i, v] : level6) EXPECT_EQ(s.Level6[i], v) << i;
  const std::pair<int, int> level16[] = {{-8, 0}, {8, 0},    {9, 1},    {25, 1},
                                         {26, 2}, {246, 14}, {247, 15}, {262, 15}};
  for (const auto& [i, v] : level16) EXPECT_EQ(s.Level16[i], v) << i;
  const std::array<std::uint8_t, 16> bayer16 = {1, 9,  3, 11, 13, 5, 15, 7,
                                                4, 12, 2, 10, 16, 8, 14, 6};
  const std::array<std::uint8_t, 16> bayer51 = {3,  29, 10, 35, 41, 16, 48, 22,
                                                13, 38, 6,  32, 51, 26, 45, 19};
  EXPECT_EQ(s.Bayer16, bayer16);
  EXPECT_EQ(s.Bayer51, bayer51);
  struct Share {
    int i, s1, s3, s5, s7;
  };
  const Share shares[] = {
      {0, 0, 0, 0, 0},     {1, 0, 0, 0, 0},   {2, 0, 0, 1, 1},        {8, 0, 2, 2, 4},
      {-8, 0, -2, -2, -4}, {24, 2, 4, 8, 10}, {255, 16, 48, 80, 112}, {-255, -16, -48, -80, -112}};
  for (const Share& c : shares) {
    EXPECT_EQ(s.ErrorShare1[c.i], c.s1) << c.i;
    EXPECT_EQ(s.ErrorShare3[c.i], c.s3) << c.i;
    EXPECT_EQ(s.ErrorShare5[c.i], c.s5) << c.i;
    EXPECT_EQ(s.ErrorShare7[c.i], c.s7) << c.i;
  }
  md::DitherState again;
  md::InitDither(again);
  md::InitDither(again);
  EXPECT_EQ(again.Level6.data, s.Level6.data);
  EXPECT_EQ(again.Level16.data, s.Level16.data);
  EXPECT_EQ(again.ErrorShare1.data, s.ErrorShare1.data);
  EXPECT_EQ(again.ErrorShare3.data, s.ErrorShare3.data);
  EXPECT_EQ(again.ErrorShare5.data, s.ErrorShare5.data);
  EXPECT_EQ(again.ErrorShare7.data, s.ErrorShare7.data);
}

TEST(mDither8bppTest, GreyRampIsMappedExactly) {
  // 16 rows, row k grey 17k: every error is 0, so every method keeps the grey.
  std::vector<Rgb> px;
  for (int k = 0; k < 16; ++k)
    for (int x = 0; x < 13; ++x) px.push_back({17 * k, 17 * k, 17 * k});
  cDIB src;
  Fill(src, 13, 16, px);
  for (int method = 0; method < 3; ++method) {
    md::DitherState s;
    md::InitDither(s);
    md::SetPaletteMode(s, 2);
    md::SetDitherMethod(s, method);
    cPal8bpp pal;
    cDIB frame;
    md::DitherTo8bpp(s, src, frame, pal, false);
    EXPECT_EQ(pal.Entries(), 256);
    ASSERT_EQ(frame.BPP(), 8);
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 13; ++x)
        ASSERT_EQ(FramePixel(frame, x, y), 17 * y) << "method " << method;
    std::vector<std::uint8_t> table(1024);
    frame.GetPalette(table);
    EXPECT_EQ(std::memcmp(table.data(), pal.lpPalette(), 1024), 0);
  }
}

TEST(mDither8bppTest, CubeLevelsMapToTheirOwnEntry) {
  std::mt19937 rng(3);
  std::vector<Rgb> px;
  for (int i = 0; i < 9 * 7; ++i) {
    px.push_back({51 * static_cast<int>(rng() % 6), 51 * static_cast<int>(rng() % 6),
                  51 * static_cast<int>(rng() % 6)});
  }
  cDIB src;
  Fill(src, 9, 7, px);
  for (int method = 0; method < 3; ++method) {
    md::DitherState s;
    md::InitDither(s);
    md::SetDitherMethod(s, method);
    cPal8bpp pal;
    cDIB frame;
    md::DitherTo8bpp(s, src, frame, pal, false);
    EXPECT_EQ(pal.Entries(), 216);
    for (int y = 0; y < 7; ++y)
      for (int x = 0; x < 9; ++x) {
        const Rgb c = px[static_cast<std::size_t>(y) * 9 + x];
        ASSERT_EQ(FramePixel(frame, x, y), c.r / 51 + 6 * (c.g / 51) + 36 * (c.b / 51))
            << "method " << method;
      }
  }
}

TEST(mDither8bppTest, OrderedCubeThresholds) {
  // 25 + 26 - Bayer51: 0 where the threshold is 51, 48 (level 1) where it is 3.
  cDIB src;
  Fill(src, 4, 4, std::vector<Rgb>(16, Rgb{25, 25, 25}));
  md::DitherState s;
  md::InitDither(s);
  md::SetDitherMethod(s, 1);
  cPal8bpp pal;
  cDIB frame;
  md::DitherTo8bpp(s, src, frame, pal, false);
  EXPECT_EQ(FramePixel(frame, 0, 3), 0);           // Bayer51 51: 0
  EXPECT_EQ(FramePixel(frame, 0, 0), 1 + 6 + 36);  // Bayer51 3: 48
  EXPECT_EQ(FramePixel(frame, 1, 1), 1 + 6 + 36);  // Bayer51 16: 35
  EXPECT_EQ(FramePixel(frame, 1, 3), 0);           // Bayer51 26: 25 is still nearer to 0
  EXPECT_EQ(FramePixel(frame, 2, 1), 0);           // Bayer51 48: 3
}

// Diffusion probes on a 3 x 2 picture, cube pass with a hand-made palette.
// Pixel (1, 0) carries error `err`; every other pixel is error-free as long as
// it gains exactly what the rule says. Each neighbour channel starts `gain`
// below a level boundary (26 - gain: must reach level 1) or one further
// (25 - gain: must stay at level 0), which pins every gain exactly.
struct Gains {
  Rgb right, below, below_right, below_left;
};

void ProbeDiffusion(const Rgb& err, const Gains& gains) {
  cPal8bpp pal;
  pal.Initialize(216);
  for (int a = 0; a < 2; ++a)
    for (int b = 0; b < 2; ++b)
      for (int c = 0; c < 2; ++c) {
        const int i = a + 6 * b + 36 * c;
        pal.rgbR(static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(25 + a));
        pal.rgbG(static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(25 + b));
        pal.rgbB(static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(25 + c));
      }
  constexpr int kCentre = 153;  // cube level 3 in every channel: entry 129
  pal.rgbR(129, static_cast<std::uint8_t>(kCentre - err.r));
  pal.rgbG(129, static_cast<std::uint8_t>(kCentre - err.g));
  pal.rgbB(129, static_cast<std::uint8_t>(kCentre - err.b));

  for (const int level : {1, 0}) {
    auto start = [&](const Rgb& g) {
      return Rgb{25 + level - g.r, 25 + level - g.g, 25 + level - g.b};
    };
    const std::vector<Rgb> px = {{25, 25, 25},       {kCentre, kCentre, kCentre},
                                 start(gains.right), start(gains.below_left),
                                 start(gains.below), start(gains.below_right)};
    cDIB src;
    Fill(src, 3, 2, px);
    md::DitherState s;
    md::InitDither(s);
    md::SetDitherMethod(s, 2);
    cDIB frame;
    md::DitherTo8bpp(s, src, frame, pal, true);
    const int want = level * (1 + 6 + 36);
    SCOPED_TRACE(::testing::Message()
                 << "error (" << err.r << ", " << err.g << ", " << err.b << "), level " << level);
    EXPECT_EQ(FramePixel(frame, 0, 0), 0);
    EXPECT_EQ(FramePixel(frame, 1, 0), 129);
    EXPECT_EQ(FramePixel(frame, 2, 0), want) << "right";
    EXPECT_EQ(FramePixel(frame, 0, 1), want) << "below left";
    EXPECT_EQ(FramePixel(frame, 1, 1), want) << "below";
    EXPECT_EQ(FramePixel(frame, 2, 1), want) << "below right";
  }
}

TEST(mDither8bppTest, DiffusionShares) {
  const Rgb none{0, 0, 0};
  struct Case {
    Rgb err;
    Gains gains;
  };
  const Case cases[] = {
      {{1, 1, 1}, {none, none, none, none}},
      {{3, 0, 0}, {none, none, none, none}},  // total 3: kept, though 7/16 of 3 would round to 1
      {{-3, 0, 0}, {none, none, none, none}},
      {{2, 1, 1}, {{1, 0, 0}, {1, 0, 0}, none, none}},
      {{3, 1, 0}, {{1, 0, 0}, {1, 0, 0}, none, {1, 0, 0}}},
      {{8, 0, 0}, {{4, 0, 0}, {2, 0, 0}, {0, 0, 0}, {2, 0, 0}}},
      {{8, -8, 8}, {{4, -4, 4}, {2, -2, 2}, none, {2, -2, 2}}},
      {{-100, 24, 0}, {{-44, 10, 0}, {-31, 8, 0}, {-6, 2, 0}, {-19, 4, 0}}},
  };
  for (const Case& c : cases) ProbeDiffusion(c.err, c.gains);
}

TEST(mDither8bppTest, DiffusionClampsInsteadOfWrapping) {
  // Right neighbour at 254 gains 4 (255, level 5); at 2 it loses 4 (0, level 0).
  struct Case {
    int err, neighbour, want_level;
  };
  for (const Case c : {Case{8, 254, 5}, Case{-8, 2, 0}}) {
    cPal8bpp pal;
    pal.CreateHalftone(4);
    pal.rgbR(129, static_cast<std::uint8_t>(153 - c.err));
    cDIB src;
    Fill(src, 2, 1, {{153, 153, 153}, {c.neighbour, 0, 0}});
    md::DitherState s;
    md::InitDither(s);
    md::SetDitherMethod(s, 2);
    cDIB frame;
    md::DitherTo8bpp(s, src, frame, pal, true);
    EXPECT_EQ(FramePixel(frame, 1, 0), c.want_level) << c.err;
  }
}

TEST(mDither8bppTest, MatchesPlainMappingOnRandomPictures) {
  struct Size {
    int w, h;
  };
  const Size sizes[] = {{1, 1}, {1, 9}, {9, 1}, {2, 2}, {37, 23}, {64, 48}};
  std::mt19937 rng(99);
  for (int mode = 0; mode < 3; ++mode) {
    for (int method = 0; method < 3; ++method) {
      for (const Size sz : sizes) {
        const std::vector<Rgb> px = RandomPicture(rng, sz.w, sz.h);
        cDIB src;
        Fill(src, sz.w, sz.h, px);
        std::vector<std::uint8_t> before(src.lpBits(), src.lpBits() + src.Size());
        md::DitherState s;
        md::InitDither(s);
        md::SetPaletteMode(s, mode);
        md::SetDitherMethod(s, method);
        cPal8bpp pal;
        cDIB frame;
        md::DitherTo8bpp(s, src, frame, pal, false);
        ASSERT_EQ(frame.Width(), sz.w);
        ASSERT_EQ(frame.Height(), sz.h);
        const int entries = mode == 0 ? 216 : pal.Entries();
        EXPECT_EQ(FrameIndices(frame),
                  ReferenceDither(px, sz.w, sz.h, mode, method, pal.lpPalette(), entries))
            << "mode " << mode << " method " << method << " size " << sz.w << "x" << sz.h;
        EXPECT_TRUE(std::equal(before.begin(), before.end(), src.lpBits())) << "source changed";
        for (int y = 0; y < sz.h; ++y)  // row padding stays 0
          for (int x = sz.w; x < frame.BytesPerScanline(); ++x)
            ASSERT_EQ(FramePixel(frame, x, y), 0);
      }
    }
  }
}

// Rows of runs: lengths 1 to 12, colours from a few flat ones (some exactly
// on the palette, some between entries) or single noisy pixels.
std::vector<Rgb> RunsPicture(std::mt19937& rng, int w, int h) {
  const Rgb flat[] = {{255, 0, 0},    {0, 255, 0},     {0, 0, 255},  {255, 255, 255}, {0, 0, 0},
                      {51, 102, 153}, {100, 100, 100}, {17, 34, 51}, {200, 30, 90}};
  std::vector<Rgb> px;
  while (px.size() < static_cast<std::size_t>(w * h)) {
    const int len = 1 + static_cast<int>(rng() % 12);
    Rgb c = flat[rng() % std::size(flat)];
    if (rng() % 4 == 0)
      c = {static_cast<int>(rng() % 256), static_cast<int>(rng() % 256),
           static_cast<int>(rng() % 256)};
    for (int i = 0; i < len; ++i) px.push_back(c);
  }
  px.resize(static_cast<std::size_t>(w * h));
  return px;
}

// Error diffusion of `px` in palette mode `mode` gives what the plain rule gives.
void ExpectDiffusionAsThePlainRule(const std::vector<Rgb>& px, int w, int h, int mode) {
  cDIB src;
  Fill(src, w, h, px);
  md::DitherState s;
  md::InitDither(s);
  md::SetPaletteMode(s, mode);
  md::SetDitherMethod(s, 2);
  cPal8bpp pal;
  cDIB frame;
  md::DitherTo8bpp(s, src, frame, pal, false);
  const int entries = mode == 0 ? 216 : pal.Entries();
  EXPECT_EQ(FrameIndices(frame), ReferenceDither(px, w, h, mode, 2, pal.lpPalette(), entries));
}

// Error diffusion on pictures made of runs of one colour (flat areas, bars,
// cartoons) next to noise, at every position in a row.
TEST(mDither8bppRunsTest, RunsMatchThePlainRule) {
  struct Size {
    int w, h;
  };
  const Size sizes[] = {{1, 1}, {1, 6}, {2, 3}, {3, 3}, {13, 7}, {40, 9}, {64, 2}};
  std::mt19937 rng(321);
  for (int mode = 0; mode < 3; ++mode) {
    for (const Size sz : sizes) {
      for (int picture = 0; picture < 4; ++picture) {
        SCOPED_TRACE(::testing::Message() << "mode " << mode << " size " << sz.w << "x" << sz.h << " picture "
                                          << picture);
        const std::vector<Rgb> px = RunsPicture(rng, sz.w, sz.h);
        ExpectDiffusionAsThePlainRule(px, sz.w, sz.h, mode);
      }
    }
  }
}

TEST(mDither8bppRunsTest, WholeRowsOfOneColour) {
  // Rows that are one run from end to end, alternating with rows that push
  // into them, so a run starts with shares already added from above.
  const int w = 23, h = 6;
  std::vector<Rgb> px;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) px.push_back(y % 2 == 0 ? Rgb{204, 51, 0} : Rgb{30 + x, 140, 77});
  for (int mode : {0, 2}) {
    SCOPED_TRACE(::testing::Message() << "mode " << mode);
    ExpectDiffusionAsThePlainRule(px, w, h, mode);
  }
}

TEST(mDither8bppTest, LaterPicturesReuseTheFirstPaletteAndMap) {
  std::mt19937 rng(5);
  std::vector<Rgb> greys;
  for (int i = 0; i < 40 * 30; ++i) {
    const int v = static_cast<int>(rng() % 256);
    greys.push_back({v, v, v});
  }
  const std::vector<Rgb> others = RandomPicture(rng, 23, 17);
  cDIB first, second;
  Fill(first, 40, 30, greys);
  Fill(second, 23, 17, others);
  md::DitherState s;
  md::InitDither(s);
  md::SetPaletteMode(s, 1);
  md::SetDitherMethod(s, 2);
  cPal8bpp pal;
  cDIB f1, f2;
  md::DitherTo8bpp(s, first, f1, pal, false);
  const std::vector<std::uint8_t> palette_after_first(pal.lpPalette(), pal.lpPalette() + 1024);
  const std::int16_t entries = pal.Entries();
  const platform::HPALETTE h = pal.hPal();
  md::DitherTo8bpp(s, second, f2, pal, true);
  EXPECT_EQ(pal.Entries(), entries);
  EXPECT_EQ(pal.hPal(), h);
  EXPECT_TRUE(std::equal(palette_after_first.begin(), palette_after_first.end(), pal.lpPalette()));
  std::vector<std::uint8_t> t1(1024), t2(1024);
  f1.GetPalette(t1);
  f2.GetPalette(t2);
  EXPECT_EQ(t1, t2);
  EXPECT_EQ(FrameIndices(f2),
            ReferenceDither(others, 23, 17, 1, 2, palette_after_first.data(), entries));
}

TEST(mDither8bppTest, FrameMayBeTheSourceItself) {
  std::mt19937 rng(11);
  const std::vector<Rgb> px = RandomPicture(rng, 21, 13);
  for (int method = 0; method < 3; ++method) {
    cDIB frame;
    Fill(frame, 21, 13, px);
    md::DitherState s;
    md::InitDither(s);
    md::SetPaletteMode(s, 2);
    md::SetDitherMethod(s, method);
    cPal8bpp pal;
    md::DitherTo8bpp(s, frame, frame, pal, false);
    ASSERT_EQ(frame.BPP(), 8);
    EXPECT_EQ(FrameIndices(frame), ReferenceDither(px, 21, 13, 2, method, pal.lpPalette(), 256))
        << method;
  }
}

TEST(mDither8bppTest, Failures) {
  cDIB rgb24, empty, ok;
  ASSERT_TRUE(rgb24.Create(5, 5, 24));
  Fill(ok, 3, 3, std::vector<Rgb>(9, Rgb{1, 2, 3}));
  struct Case {
    const char* name;
    const cDIB* source;
    int mode, method;
    bool prepared_palette, init;
    std::int32_t error;
  };
  const Case cases[] = {
      {"24-bit source", &rgb24, 0, 2, false, true, kErrInvalidPicture},
      {"empty source", &empty, 2, 0, false, true, kErrInvalidPicture},
      {"24-bit source, optimal, fresh palette", &rgb24, 1, 2, false, true, kErrSubscript},
      {"24-bit source, optimal, old palette", &rgb24, 1, 2, true, true, kErrInvalidPicture},
      {"tables never built", &ok, 0, 0, false, false, kErrSubscript},
      {"no palette at all", &ok, 7, 0, false, true, kErrSubscript},
  };
  for (const Case& c : cases) {
    md::DitherState s;
    if (c.init) md::InitDither(s);
    md::SetPaletteMode(s, c.mode);
    md::SetDitherMethod(s, c.method);
    cPal8bpp pal;
    if (c.prepared_palette) pal.CreateEGA();
    cDIB frame;
    SCOPED_TRACE(c.name);
    ExpectErrorNumber([&] { md::DitherTo8bpp(s, *c.source, frame, pal, false); }, c.error);
  }
}

TEST(mDither8bppTest, CombinationsWithoutAPassLeaveTheFrameZero) {
  cDIB src;
  Fill(src, 6, 4, std::vector<Rgb>(24, Rgb{200, 100, 50}));
  const std::pair<int, int> combos[] = {{3, 0}, {-1, 2}, {0, 3}, {2, -1}};
  for (const auto& [mode, method] : combos) {
    md::DitherState s;  // tables not needed when nothing is mapped
    md::SetPaletteMode(s, mode);
    md::SetDitherMethod(s, method);
    cPal8bpp pal;
    pal.CreateWebsafe();
    cDIB frame;
    md::DitherTo8bpp(s, src, frame, pal, false);
    ASSERT_EQ(frame.BPP(), 8);
    EXPECT_EQ(FrameIndices(frame), std::vector<std::uint8_t>(24, 0)) << mode << "/" << method;
    std::vector<std::uint8_t> table(1024);
    frame.GetPalette(table);
    EXPECT_EQ(std::memcmp(table.data(), pal.lpPalette(), 1024), 0);
  }
}

TEST(mDither8bppTest, ScopedStateShieldsAReenteredConversion) {
  std::mt19937 rng(17);
  cDIB a, b, c;
  Fill(a, 30, 20, RandomPicture(rng, 30, 20));
  Fill(b, 25, 15, RandomPicture(rng, 25, 15));
  Fill(c, 18, 12, RandomPicture(rng, 18, 12));

  // Undisturbed: picture a builds the palette, picture b reuses it.
  md::DitherState control;
  md::InitDither(control);
  md::SetPaletteMode(control, 1);
  md::SetDitherMethod(control, 2);
  cPal8bpp control_pal;
  cDIB control_frame;
  md::DitherTo8bpp(control, a, control_frame, control_pal, false);
  md::DitherTo8bpp(control, b, control_frame, control_pal, true);

  // The same on this thread's current state, with another conversion entering
  // in between under a guard (and a nested one inside it).
  md::DitherState& outer = md::CurrentState();
  md::InitDither();
  md::SetPaletteMode(1);
  md::SetDitherMethod(2);
  cPal8bpp pal;
  cDIB frame;
  md::DitherTo8bpp(a, frame, pal, false);
  {
    md::DitherState inner;
    md::ScopedDitherState use(inner);
    EXPECT_EQ(&md::CurrentState(), &inner);
    md::InitDither();
    md::SetPaletteMode(2);
    md::SetDitherMethod(0);
    cPal8bpp inner_pal;
    cDIB inner_frame;
    md::DitherTo8bpp(c, inner_frame, inner_pal, false);
    {
      md::DitherState innermost;
      md::ScopedDitherState use2(innermost);
      md::InitDither();
      md::SetPaletteMode(0);
      md::DitherTo8bpp(c, inner_frame, inner_pal, false);
    }
    EXPECT_EQ(&md::CurrentState(), &inner);
    EXPECT_EQ(inner.PaletteMode, 2);
    EXPECT_EQ(inner.PaletteCopy[4 * 216], 216);  // the innermost cube did not reach it
  }
  EXPECT_EQ(&md::CurrentState(), &outer);
  EXPECT_EQ(outer.PaletteMode, 1);
  EXPECT_EQ(outer.DitherMethod, 2);
  md::DitherTo8bpp(b, frame, pal, true);
  EXPECT_EQ(FrameIndices(frame), FrameIndices(control_frame));
  EXPECT_EQ(outer.ColorMap, control.ColorMap);
  EXPECT_EQ(outer.PaletteCopy, control.PaletteCopy);
}

TEST(mDither8bppTest, EachThreadHasItsOwnState) {
  md::SetPaletteMode(1);
  md::DitherState* main_state = &md::CurrentState();
  md::DitherState* other_state = nullptr;
  int other_mode = -1;
  std::thread t([&] {
    other_mode = md::CurrentState().PaletteMode;
    md::SetPaletteMode(2);
    other_state = &md::CurrentState();
  });
  t.join();
  EXPECT_EQ(other_mode, 0);  // a new thread starts from the defaults
  EXPECT_NE(other_state, main_state);
  EXPECT_EQ(md::CurrentState().PaletteMode, 1);
}

}  // namespace
}  // namespace zoetra

// Error diffusion on pictures made of runs of one colour (flat areas, bars,
// cartoons) next to noise, at every position in a row: the pass must give
// exactly what pushing every share through a full copy of the picture gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "colour/cpal8bpp.hpp"
#include "colour/mdither8bpp.hpp"
#include "colour_test_util.hpp"
#include "raster/cdib.hpp"

namespace zoetra {
namespace {

namespace md = mDither8bpp;
using colour_test::Fill;
using colour_test::Rgb;

// The diffusion rule with a full working copy, written plainly: the state's
// level tables, colour map and error shares, one neighbour and one channel at
// a time, each clamped as it is pushed.
std::vector<std::uint8_t> PlainDiffusion(const md::DitherState& s, std::vector<Rgb> work, int w,
                                         int h) {
  const bool cube = s.PaletteMode == 0;
  const auto level = [&](int v) { return cube ? s.Level6[v] : s.Level16[v]; };
  std::vector<std::uint8_t> out(work.size());
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const Rgb p = work[static_cast<std::size_t>(y * w + x)];
      const int lr = level(p.r), lg = level(p.g), lb = level(p.b);
      const int index = cube ? lr + 6 * lg + 36 * lb : s.ColorMap[lr + 16 * lg + 256 * lb];
      out[static_cast<std::size_t>(y * w + x)] = static_cast<std::uint8_t>(index);
      const std::uint8_t* e = s.PaletteCopy.data() + 4 * index;
      const int er = p.r - e[2], eg = p.g - e[1], eb = p.b - e[0];
      if (std::abs(er) + std::abs(eg) + std::abs(eb) <= 3) continue;
      struct Push {
        int dx, dy;
        const md::OffsetTable<std::int16_t, -255, 255>* share;
      };
      const Push pushes[] = {{1, 0, &s.ErrorShare7},
                             {0, 1, &s.ErrorShare5},
                             {1, 1, &s.ErrorShare1},
                             {-1, 1, &s.ErrorShare3}};
      for (const Push& n : pushes) {
        const int nx = x + n.dx, ny = y + n.dy;
        if (nx < 0 || nx >= w || ny >= h) continue;
        Rgb& q = work[static_cast<std::size_t>(ny * w + nx)];
        q.r = std::clamp(q.r + (*n.share)[er], 0, 255);
        q.g = std::clamp(q.g + (*n.share)[eg], 0, 255);
        q.b = std::clamp(q.b + (*n.share)[eb], 0, 255);
      }
    }
  }
  return out;
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

std::vector<std::uint8_t> FrameIndices(const cDIB& frame) {
  std::vector<std::uint8_t> out;
  for (int y = 0; y < frame.Height(); ++y) {
    const std::uint8_t* row =
        frame.lpBits() + static_cast<std::size_t>(y) * frame.BytesPerScanline();
    out.insert(out.end(), row, row + frame.Width());
  }
  return out;
}

TEST(mDither8bppRunsTest, RunsMatchThePlainRule) {
  struct Size {
    int w, h;
  };
  const Size sizes[] = {{1, 1}, {1, 6}, {2, 3}, {3, 3}, {13, 7}, {40, 9}, {64, 2}};
  std::mt19937 rng(321);
  for (int mode = 0; mode < 3; ++mode) {
    for (const Size sz : sizes) {
      for (int picture = 0; picture < 4; ++picture) {
        const std::vector<Rgb> px = RunsPicture(rng, sz.w, sz.h);
        cDIB src;
        Fill(src, sz.w, sz.h, px);
        md::DitherState s;
        md::InitDither(s);
        md::SetPaletteMode(s, mode);
        md::SetDitherMethod(s, 2);
        cPal8bpp pal;
        cDIB frame;
        md::DitherTo8bpp(s, src, frame, pal, false);
        EXPECT_EQ(FrameIndices(frame), PlainDiffusion(s, px, sz.w, sz.h))
            << "mode " << mode << " size " << sz.w << "x" << sz.h << " picture " << picture;
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
    cDIB src;
    Fill(src, w, h, px);
    md::DitherState s;
    md::InitDither(s);
    md::SetPaletteMode(s, mode);
    md::SetDitherMethod(s, 2);
    cPal8bpp pal;
    cDIB frame;
    md::DitherTo8bpp(s, src, frame, pal, false);
    EXPECT_EQ(FrameIndices(frame), PlainDiffusion(s, px, w, h)) << mode;
  }
}

}  // namespace
}  // namespace zoetra

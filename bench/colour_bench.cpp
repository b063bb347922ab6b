// Colour reduction throughput on a 640 x 480 photograph-like picture:
// the optimal palette (once per animation) and the mapping passes (every
// pixel of every frame), diffusion through the grid being the builder's path.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

#include "colour/cpal8bpp.hpp"
#include "colour/mdither8bpp.hpp"
#include "colour/mquantize.hpp"
#include "raster/cdib.hpp"

namespace {

using zoetra::cDIB;
using zoetra::cPal8bpp;
namespace md = zoetra::mDither8bpp;

constexpr std::int32_t kWidth = 640;
constexpr std::int32_t kHeight = 480;

// Smooth gradients, two soft highlights and sensor-like noise.
bool FillPhoto(cDIB& dib) {
  if (!dib.Create(kWidth, kHeight, 32)) return false;
  std::mt19937 rng(2024);
  std::normal_distribution<float> noise(0.0f, 6.0f);
  for (std::int32_t y = 0; y < kHeight; ++y) {
    std::uint8_t* p = dib.lpBits() + static_cast<std::size_t>(y) * kWidth * 4;
    for (std::int32_t x = 0; x < kWidth; ++x, p += 4) {
      const float fx = static_cast<float>(x) / kWidth, fy = static_cast<float>(y) / kHeight;
      const float sky = std::exp(-((fx - 0.3f) * (fx - 0.3f) + (fy - 0.2f) * (fy - 0.2f)) * 8.0f);
      const float sun =
          std::exp(-((fx - 0.75f) * (fx - 0.75f) + (fy - 0.6f) * (fy - 0.6f)) * 30.0f);
      const float colour[3] = {30.0f + 120.0f * fy + 100.0f * sun,
                               50.0f + 90.0f * fx + 60.0f * sky + 40.0f * sun,
                               70.0f + 150.0f * sky - 40.0f * fx * fy};
      for (int ch = 0; ch < 3; ++ch) {
        p[2 - ch] = static_cast<std::uint8_t>(std::clamp(colour[ch] + noise(rng), 0.0f, 255.0f));
      }
      p[3] = 0;
    }
  }
  return true;
}

// Flat areas: a drawing, a screen capture, a cartoon frame.
bool FillFlat(cDIB& dib) {
  if (!dib.Create(kWidth, kHeight, 32)) return false;
  for (std::int32_t y = 0; y < kHeight; ++y) {
    std::uint8_t* p = dib.lpBits() + static_cast<std::size_t>(y) * kWidth * 4;
    for (std::int32_t x = 0; x < kWidth; ++x, p += 4) {
      const int region = (x / 80) + 8 * (y / 60) +
                         ((x - 320) * (x - 320) + (y - 240) * (y - 240) < 150 * 150 ? 64 : 0);
      p[0] = static_cast<std::uint8_t>(region * 37);
      p[1] = static_cast<std::uint8_t>(region * 91);
      p[2] = static_cast<std::uint8_t>(region * 53);
      p[3] = 0;
    }
  }
  return true;
}

void SetPixels(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * std::int64_t{kWidth} * kHeight);
}

void RunCreateOptimal(benchmark::State& state, bool (*fill)(cDIB&)) {
  cDIB src;
  if (!fill(src)) return state.SkipWithError("raster creation failed");
  cPal8bpp pal;
  for (auto _ : state) {
    pal.CreateOptimal(src, 256, 6, 1.0f, 1.0f, 1.0f);
    benchmark::DoNotOptimize(pal.lpPalette());
  }
  state.counters["entries"] = pal.Entries();
  SetPixels(state);
}

void BM_CreateOptimal(benchmark::State& state) {
  RunCreateOptimal(state, FillPhoto);
}
void BM_CreateOptimalFlat(benchmark::State& state) {
  RunCreateOptimal(state, FillFlat);
}

// One later picture of an animation: palette and ColorMap reused, so this is
// the working copy, the frame and the pass.
void RunReused(benchmark::State& state, std::int32_t mode, std::int32_t method) {
  cDIB src, frame;
  if (!FillPhoto(src)) return state.SkipWithError("raster creation failed");
  md::DitherState s;
  md::InitDither(s);
  md::SetPaletteMode(s, mode);
  md::SetDitherMethod(s, method);
  cPal8bpp pal;
  pal.CreateHalftone(4);  // the palette of a mode that makes none
  md::DitherTo8bpp(s, src, frame, pal, false);
  for (auto _ : state) {
    md::DitherTo8bpp(s, src, frame, pal, true);
    benchmark::DoNotOptimize(frame.lpBits());
  }
  SetPixels(state);
}

void BM_DitherDiffusionGrid(benchmark::State& state) {
  RunReused(state, 1, 2);
}
void BM_DitherDiffusionCube(benchmark::State& state) {
  RunReused(state, 0, 2);
}
void BM_DitherOrderedGrid(benchmark::State& state) {
  RunReused(state, 1, 1);
}
void BM_DitherNearestGrid(benchmark::State& state) {
  RunReused(state, 1, 0);
}
// Palette mode without a pass: only the working copy and the frame.
void BM_DitherCopyAndFrameOnly(benchmark::State& state) {
  RunReused(state, 3, 2);
}

// The first picture: optimal palette, 4096 nearest-entry questions, diffusion.
void BM_DitherFirstPicture(benchmark::State& state) {
  cDIB src, frame;
  if (!FillPhoto(src)) return state.SkipWithError("raster creation failed");
  md::DitherState s;
  md::InitDither(s);
  md::SetPaletteMode(s, 1);
  md::SetDitherMethod(s, 2);
  cPal8bpp pal;
  for (auto _ : state) {
    md::DitherTo8bpp(s, src, frame, pal, false);
    benchmark::DoNotOptimize(frame.lpBits());
  }
  SetPixels(state);
}

// The people's default: the picture's own 256 colours, each pixel mapped to
// the nearest with damped diffusion (every frame of --palette all).
void BM_MapperDiffuse(benchmark::State& state) {
  cDIB src, frame;
  if (!FillPhoto(src)) return state.SkipWithError("raster creation failed");
  zoetra::mQuantize::ColourHistogram histogram;
  histogram.AddPicture(src);
  const zoetra::mQuantize::PaletteMapper mapper(zoetra::mQuantize::BuildPalette(histogram));
  mapper.Map(src, frame, true);  // every cell the picture asks for, answered once
  for (auto _ : state) {
    mapper.Map(src, frame, true);
    benchmark::DoNotOptimize(frame.lpBits());
  }
  SetPixels(state);
}

void BM_BuildColorMap(benchmark::State& state) {
  cDIB src;
  if (!FillPhoto(src)) return state.SkipWithError("raster creation failed");
  cPal8bpp pal;
  pal.CreateOptimal(src, 256, 6, 1.0f, 1.0f, 1.0f);
  md::DitherState s;
  for (auto _ : state) {
    md::BuildColorMap(s, pal);
    benchmark::DoNotOptimize(s.ColorMap.data());
  }
}

BENCHMARK(BM_CreateOptimal)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateOptimalFlat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DitherDiffusionGrid)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DitherDiffusionCube)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DitherOrderedGrid)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DitherNearestGrid)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DitherCopyAndFrameOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DitherFirstPicture)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapperDiffuse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildColorMap)->Unit(benchmark::kMillisecond);

}  // namespace

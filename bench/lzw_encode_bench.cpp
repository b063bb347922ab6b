// LZW encoder throughput on frames shaped like the builder's output.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "gif/mgiflzwenc.hpp"
#include "raster/cdib.hpp"

namespace {

using zoetra::cDIB;

// A smooth synthetic photograph (gradients, soft shapes, fine texture)
// reduced to a 6x7x6 colour cube with Floyd-Steinberg error diffusion: the
// index pattern the builder hands the encoder.
void FillDithered(cDIB& dib) {
  const std::int32_t w = dib.Width(), h = dib.Height(), stride = dib.BytesPerScanline();
  std::mt19937 rng(12345);
  std::vector<float> err(static_cast<std::size_t>(w + 2) * 2 * 3, 0.0f);
  auto e = [&](int line, int x, int ch) -> float& {
    return err[(static_cast<std::size_t>(line & 1) * static_cast<std::size_t>(w + 2) + static_cast<std::size_t>(x + 1)) * 3 +
               static_cast<std::size_t>(ch)];
  };
  const int levels[3] = {6, 7, 6};
  for (std::int32_t y = 0; y < h; ++y) {
    std::uint8_t* row = dib.lpBits() + static_cast<std::size_t>(y) * stride;
    for (int x = -1; x <= w; ++x)
      for (int ch = 0; ch < 3; ++ch) e(y + 1, x, ch) = 0.0f;
    for (std::int32_t x = 0; x < w; ++x) {
      const float fx = static_cast<float>(x) / static_cast<float>(w), fy = static_cast<float>(y) / static_cast<float>(h);
      const float texture = static_cast<float>(rng() % 9u) - 4.0f;
      const float blob = 90.0f * std::exp(-((fx - 0.6f) * (fx - 0.6f) + (fy - 0.4f) * (fy - 0.4f)) * 12.0f);
      const float colour[3] = {40.0f + 150.0f * fx + blob + texture, 60.0f + 120.0f * fy + 0.5f * blob + texture,
                               180.0f - 100.0f * fx * fy + texture};
      int index = 0;
      for (int ch = 0; ch < 3; ++ch) {
        const float v = std::clamp(colour[ch] + e(y, x, ch), 0.0f, 255.0f);
        const int step = levels[ch] - 1;
        const int q = static_cast<int>(v * static_cast<float>(step) / 255.0f + 0.5f);
        const float quant_err = v - static_cast<float>(q) * 255.0f / static_cast<float>(step);
        e(y, x + 1, ch) += quant_err * 7.0f / 16.0f;
        e(y + 1, x - 1, ch) += quant_err * 3.0f / 16.0f;
        e(y + 1, x, ch) += quant_err * 5.0f / 16.0f;
        e(y + 1, x + 1, ch) += quant_err * 1.0f / 16.0f;
        index = index * levels[ch] + q;
      }
      row[x] = static_cast<std::uint8_t>(index);
    }
  }
}

// Indices with no structure at all: every pixel a fresh string, the worst case.
void FillNoise(cDIB& dib) {
  std::mt19937 rng(777);
  const std::int32_t stride = dib.BytesPerScanline();
  for (std::int32_t y = 0; y < dib.Height(); ++y) {
    std::uint8_t* row = dib.lpBits() + static_cast<std::size_t>(y) * stride;
    for (std::int32_t x = 0; x < dib.Width(); ++x) row[x] = static_cast<std::uint8_t>(rng());
  }
}

void FillFlat(cDIB& dib) {
  const std::int32_t stride = dib.BytesPerScanline();
  for (std::int32_t y = 0; y < dib.Height(); ++y) {
    std::uint8_t* row = dib.lpBits() + static_cast<std::size_t>(y) * stride;
    for (std::int32_t x = 0; x < dib.Width(); ++x) row[x] = static_cast<std::uint8_t>(x < dib.Width() / 2 ? 7 : 9);
  }
}

class CountingSink final : public zoetra::mGIFLZWEnc::ByteSink {
 public:
  bool Write(std::span<const std::uint8_t> bytes) override {
    total += bytes.size();
    return true;
  }
  std::size_t total = 0;
};

void Run(benchmark::State& state, void (*fill)(cDIB&), std::int16_t interlaced) {
  cDIB dib;
  if (!dib.Create(1920, 1080, 8)) {
    state.SkipWithError("raster creation failed");
    return;
  }
  fill(dib);
  CountingSink sink;
  for (auto _ : state) {
    if (!zoetra::mGIFLZWEnc::EncodeFrame(sink, dib, 9, interlaced)) state.SkipWithError("encode failed");
  }
  const std::int64_t pixels = std::int64_t{dib.Width()} * dib.Height();
  state.SetItemsProcessed(state.iterations() * pixels);
  state.counters["bytes_per_frame"] =
      static_cast<double>(sink.total) / static_cast<double>(state.iterations() > 0 ? state.iterations() : 1);
}

void BM_LZWEncodeDithered(benchmark::State& state) { Run(state, FillDithered, 0); }
void BM_LZWEncodeDitheredInterlaced(benchmark::State& state) { Run(state, FillDithered, -1); }
void BM_LZWEncodeFlat(benchmark::State& state) { Run(state, FillFlat, 0); }
void BM_LZWEncodeNoise(benchmark::State& state) { Run(state, FillNoise, 0); }

BENCHMARK(BM_LZWEncodeDithered)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LZWEncodeDitheredInterlaced)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LZWEncodeFlat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LZWEncodeNoise)->Unit(benchmark::kMillisecond);

}  // namespace

// LZW encoder throughput on frames shaped like the builder's output.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// --- Lossy coding: frames with the colour tables their stand-ins are weighed by ---

using Table = std::vector<std::uint8_t>;  // blue, green, red, 0 per entry

// FillDithered's 6x7x6 cube.
Table CubeTable() {
  Table t;
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 7; ++g)
      for (int b = 0; b < 6; ++b) {
        t.insert(t.end(), {static_cast<std::uint8_t>(b * 255 / 5), static_cast<std::uint8_t>(g * 255 / 6),
                           static_cast<std::uint8_t>(r * 255 / 5), 0});
      }
  return t;
}

// The same smooth photograph reduced to 256 colours sampled from it (a 16x16
// grid over the picture, as an adaptive palette clusters them), with
// Floyd-Steinberg error diffusion; nearest colours come from a 32-level cache.
void FillPhoto(cDIB& dib, Table& table) {
  const std::int32_t w = dib.Width(), h = dib.Height(), stride = dib.BytesPerScanline();
  auto field = [](float fx, float fy, float texture, float* c) {
    const float blob = 90.0f * std::exp(-((fx - 0.6f) * (fx - 0.6f) + (fy - 0.4f) * (fy - 0.4f)) * 12.0f);
    c[0] = std::clamp(40.0f + 150.0f * fx + blob + texture, 0.0f, 255.0f);
    c[1] = std::clamp(60.0f + 120.0f * fy + 0.5f * blob + texture, 0.0f, 255.0f);
    c[2] = std::clamp(180.0f - 100.0f * fx * fy + texture, 0.0f, 255.0f);
  };
  int pal[256][3];
  table.assign(256 * 4, 0);
  for (int i = 0; i < 256; ++i) {
    float c[3];
    field((static_cast<float>(i % 16) + 0.5f) / 16.0f, (static_cast<float>(i / 16) + 0.5f) / 16.0f, 0.0f, c);
    for (int ch = 0; ch < 3; ++ch) {
      pal[i][ch] = static_cast<int>(c[ch] + 0.5f);
      table[static_cast<std::size_t>(4 * i + 2 - ch)] = static_cast<std::uint8_t>(pal[i][ch]);
    }
  }
  std::vector<std::uint8_t> nearest(32 * 32 * 32);
  for (int cell = 0; cell < 32 * 32 * 32; ++cell) {
    const int q[3] = {(cell >> 10) * 8 + 4, ((cell >> 5) & 31) * 8 + 4, (cell & 31) * 8 + 4};
    int best = 0, best_d = 1 << 30;
    for (int i = 0; i < 256; ++i) {
      int d = 0;
      for (int ch = 0; ch < 3; ++ch) d += (q[ch] - pal[i][ch]) * (q[ch] - pal[i][ch]);
      if (d < best_d) best = i, best_d = d;
    }
    nearest[static_cast<std::size_t>(cell)] = static_cast<std::uint8_t>(best);
  }
  std::mt19937 rng(12345);
  std::vector<float> err(static_cast<std::size_t>(w + 2) * 2 * 3, 0.0f);
  auto e = [&](int line, int x, int ch) -> float& {
    return err[(static_cast<std::size_t>(line & 1) * static_cast<std::size_t>(w + 2) + static_cast<std::size_t>(x + 1)) * 3 +
               static_cast<std::size_t>(ch)];
  };
  for (std::int32_t y = 0; y < h; ++y) {
    std::uint8_t* row = dib.lpBits() + static_cast<std::size_t>(y) * stride;
    for (int x = -1; x <= w; ++x)
      for (int ch = 0; ch < 3; ++ch) e(y + 1, x, ch) = 0.0f;
    for (std::int32_t x = 0; x < w; ++x) {
      float c[3];
      field(static_cast<float>(x) / static_cast<float>(w), static_cast<float>(y) / static_cast<float>(h),
            static_cast<float>(rng() % 9u) - 4.0f, c);
      float v[3];
      int cell = 0;
      for (int ch = 0; ch < 3; ++ch) {
        v[ch] = std::clamp(c[ch] + e(y, x, ch), 0.0f, 255.0f);
        cell = cell * 32 + std::min(31, static_cast<int>(v[ch]) / 8);
      }
      const std::uint8_t index = nearest[static_cast<std::size_t>(cell)];
      for (int ch = 0; ch < 3; ++ch) {
        const float quant_err = v[ch] - static_cast<float>(pal[index][ch]);
        e(y, x + 1, ch) += quant_err * 7.0f / 16.0f;
        e(y + 1, x - 1, ch) += quant_err * 3.0f / 16.0f;
        e(y + 1, x, ch) += quant_err * 5.0f / 16.0f;
        e(y + 1, x + 1, ch) += quant_err * 1.0f / 16.0f;
      }
      row[x] = index;
    }
  }
}

// A synthetic frame: a horizontal gradient over a 256-entry ramp (neighbours
// 1 to 3 apart in squared distance) with +-3 entries of noise and soft bands.
void FillRamp(cDIB& dib, Table& table) {
  table.assign(256 * 4, 0);
  for (int i = 0; i < 256; ++i) {
    table[static_cast<std::size_t>(4 * i)] = static_cast<std::uint8_t>(230 - i * 7 / 8);
    table[static_cast<std::size_t>(4 * i + 1)] = static_cast<std::uint8_t>(30 + i * 3 / 4);
    table[static_cast<std::size_t>(4 * i + 2)] = static_cast<std::uint8_t>(i);
  }
  std::mt19937 rng(4242);
  const std::int32_t stride = dib.BytesPerScanline();
  for (std::int32_t y = 0; y < dib.Height(); ++y) {
    std::uint8_t* row = dib.lpBits() + static_cast<std::size_t>(y) * stride;
    for (std::int32_t x = 0; x < dib.Width(); ++x) {
      const int band = (y / 60) % 2 == 0 ? 0 : 20;
      const int v = x * 220 / dib.Width() + band + static_cast<int>(rng() % 7u) - 3;
      row[x] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
    }
  }
}

void FillCube(cDIB& dib, Table& table) {
  FillDithered(dib);
  table = CubeTable();
}

// PSNR of the rewritten frame's colours against the original's.
double Psnr(const cDIB& original, const cDIB& rewritten, const Table& table) {
  double sum = 0.0;
  for (std::int32_t y = 0; y < original.Height(); ++y) {
    const std::uint8_t* a = original.lpBits() + static_cast<std::size_t>(y) * original.BytesPerScanline();
    const std::uint8_t* b = rewritten.lpBits() + static_cast<std::size_t>(y) * rewritten.BytesPerScanline();
    for (std::int32_t x = 0; x < original.Width(); ++x)
      for (int ch = 0; ch < 3; ++ch) {
        const double d = static_cast<double>(table[4u * a[x] + static_cast<unsigned>(ch)]) -
                         static_cast<double>(table[4u * b[x] + static_cast<unsigned>(ch)]);
        sum += d * d;
      }
  }
  const double mse = sum / (3.0 * original.Width() * original.Height());
  return mse == 0.0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// The encoder rewrites its raster, so every pass starts from a fresh copy
// (a 2 MB copy, small beside the coding).
void RunLossy(benchmark::State& state, void (*fill)(cDIB&, Table&)) {
  cDIB original, frame;
  if (!original.Create(1920, 1080, 8) || !frame.Create(1920, 1080, 8)) {
    state.SkipWithError("raster creation failed");
    return;
  }
  Table table;
  fill(original, table);
  const zoetra::mGIFLZWEnc::LossyColours colours{table.data(), static_cast<std::int32_t>(table.size() / 4), -1};
  const auto budget = static_cast<std::int32_t>(state.range(0));
  const std::size_t size = static_cast<std::size_t>(original.BytesPerScanline()) * 1080;
  CountingSink sink;
  for (auto _ : state) {
    std::memcpy(frame.lpBits(), original.lpBits(), size);
    if (!zoetra::mGIFLZWEnc::EncodeFrameLossy(sink, frame, 9, 0, colours, budget)) state.SkipWithError("encode failed");
  }
  const std::int64_t pixels = std::int64_t{frame.Width()} * frame.Height();
  state.SetBytesProcessed(state.iterations() * pixels);
  state.counters["bytes_per_frame"] =
      static_cast<double>(sink.total) / static_cast<double>(state.iterations() > 0 ? state.iterations() : 1);
  state.counters["psnr_db"] = Psnr(original, frame, table);
}

BENCHMARK_CAPTURE(RunLossy, photo, FillPhoto)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(50)->Arg(200)->Arg(800)->Arg(3200);
BENCHMARK_CAPTURE(RunLossy, ramp, FillRamp)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(50)->Arg(200)->Arg(800)->Arg(3200);
BENCHMARK_CAPTURE(RunLossy, cube, FillCube)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(2000)->Arg(4000)->Arg(8000);

}  // namespace

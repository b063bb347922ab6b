// Whole conversions and their stages on 640 x 480 PNG frames.
//
// The frames are made once and written as PNG files to a temporary directory:
// colour bars, a moving gradient band, a moving square and a patch of noise, so
// palette, dithering, compaction, cropping and compression all see realistic
// work. Items are pixels; conversions also report frames per second.
#include <benchmark/benchmark.h>
#include <spng.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "colour/cpal8bpp.hpp"
#include "colour/mdither8bpp.hpp"
#include <zoetra/zoetra.hpp>
#include "gif/cgif.hpp"
#include "platform/codecs/picture_loader.hpp"
#include "postprocess/mgifext.hpp"
#include "raster/cdib.hpp"

namespace {

using zoetra::cDIB;
using zoetra::cGIF;
using zoetra::cPal8bpp;
namespace mDither8bpp = zoetra::mDither8bpp;

constexpr int kW = 640;
constexpr int kH = 480;
constexpr int kMaxFrames = 60;
constexpr std::int64_t kPixels = std::int64_t{kW} * kH;

// Frame `n` as R, G, B rows, top-down.
std::vector<std::uint8_t> FrameRgb(int n) {
  static constexpr std::uint8_t kBars[6][3] = {{255, 0, 0}, {0, 255, 0},   {255, 255, 0},
                                               {0, 0, 255}, {255, 0, 255}, {0, 255, 255}};
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(kPixels) * 3);
  std::mt19937 rng(1000u + static_cast<unsigned>(n));
  const double t = n / static_cast<double>(kMaxFrames);
  const int square_x = 40 + (n * 9) % (kW - 120);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * kW + x) * 3];
      const std::uint8_t* bar = kBars[x * 6 / kW];
      int r = bar[0], g = bar[1], b = bar[2];
      // A diagonal band whose hue runs along it and moves with the frame.
      const double d = y - (kH * 0.6 - x * 0.45 + 40.0 * std::sin(6.28318 * t));
      if (std::abs(d) < 18.0) {
        const double h = std::fmod(x / static_cast<double>(kW) + t, 1.0);
        r = static_cast<int>(127.5 + 127.5 * std::sin(6.28318 * h));
        g = static_cast<int>(127.5 + 127.5 * std::sin(6.28318 * (h + 0.333)));
        b = static_cast<int>(127.5 + 127.5 * std::sin(6.28318 * (h + 0.667)));
      }
      if (x >= square_x && x < square_x + 60 && y >= 300 && y < 360) r = g = b = 128;
      if (x >= 400 && x < 560 && y >= 300 && y < 420 && ((x / 20 + y / 20) & 1) != 0) {
        r = static_cast<int>(rng() & 0xFF), g = 128, b = 160;
      }
      p[0] = static_cast<std::uint8_t>(r);
      p[1] = static_cast<std::uint8_t>(g);
      p[2] = static_cast<std::uint8_t>(b);
    }
  }
  return rgb;
}

bool WritePng(const std::string& path, const std::vector<std::uint8_t>& rgb) {
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  if (ctx == nullptr) return false;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  bool ok = file != nullptr;
  if (ok) {
    spng_set_png_file(ctx, file);
    spng_ihdr ihdr{};
    ihdr.width = kW;
    ihdr.height = kH;
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    ok = spng_set_ihdr(ctx, &ihdr) == 0 &&
         spng_encode_image(ctx, rgb.data(), rgb.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) == 0;
  }
  spng_ctx_free(ctx);
  if (file != nullptr && std::fclose(file) != 0) ok = false;
  return ok;
}

// The frame files, written on first use and removed at exit.
class Inputs {
 public:
  static const Inputs& Get() {
    static const Inputs inputs;
    return inputs;
  }
  std::vector<std::string> First(int n) const { return {files_.begin(), files_.begin() + n}; }
  const std::string& File(int n) const { return files_[static_cast<std::size_t>(n)]; }
  const std::string& Dir() const { return dir_; }
  bool ok() const { return ok_; }

  ~Inputs() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

 private:
  Inputs() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zoetra-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    dir_ = pattern;
    ok_ = true;
    for (int n = 0; n < kMaxFrames; ++n) {
      char name[32];
      std::snprintf(name, sizeof name, "/frame%03d.png", n);
      files_.push_back(dir_ + name);
      ok_ = ok_ && WritePng(files_.back(), FrameRgb(n));
    }
  }

  std::string dir_;
  std::vector<std::string> files_;
  bool ok_ = false;
};

const Inputs* Ready(benchmark::State& state) {
  const Inputs& in = Inputs::Get();
  if (!in.ok()) {
    state.SkipWithError("cannot write the input frames");
    return nullptr;
  }
  return &in;
}

// --- whole conversions ---

// range(0) frames on range(1) threads (0: one per core).
void Convert(benchmark::State& state, bool optimize, bool gray) {
  const Inputs* in = Ready(state);
  if (in == nullptr) return;
  const int frames = static_cast<int>(state.range(0));
  const std::vector<std::string> files = in->First(frames);
  const std::string output = in->Dir() + "/out.gif";
  zoetra::Zoetra component;
  zoetra::BuilderOptions options;
  options.optimize = optimize;
  options.gray = gray;
  options.threads = static_cast<unsigned>(state.range(1));
  for (auto _ : state) {
    const std::string text = component.CreateZoetra(files, output, options);
    if (text.rfind("OK, ", 0) != 0) state.SkipWithError(text.c_str());
  }
  state.SetItemsProcessed(state.iterations() * frames * kPixels);
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * frames,
                                                  benchmark::Counter::kIsRate);
  state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(output));
}

void BM_CreateZoetra(benchmark::State& state) {
  Convert(state, false, false);
}
void BM_CreateZoetraOptimize(benchmark::State& state) {
  Convert(state, true, false);
}
void BM_CreateZoetraGray(benchmark::State& state) {
  Convert(state, false, true);
}

// One thread against all cores.
BENCHMARK(BM_CreateZoetra)->ArgsProduct({{12, 60}, {1, 0}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CreateZoetraOptimize)->ArgsProduct({{60}, {1, 0}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CreateZoetraGray)->Args({60, 0})->Unit(benchmark::kMillisecond)->UseRealTime();

// --- stages of one picture, in the builder's order ---

// Frame 0 loaded, imported and turned so memory row 0 is the top row.
void PreparedRaster(cDIB& work) {
  const zoetra::platform::Picture picture = zoetra::platform::LoadPicture(Inputs::Get().File(0));
  work.CreateFromStdPicture(picture, true);
  work.Orientation(false, false, true);
}

void BM_LoadPng(benchmark::State& state) {
  const Inputs* in = Ready(state);
  if (in == nullptr) return;
  for (auto _ : state) {
    const zoetra::platform::Picture picture = zoetra::platform::LoadPicture(in->File(0));
    benchmark::DoNotOptimize(picture.get());
  }
  state.SetItemsProcessed(state.iterations() * kPixels);
}

void BM_Import32(benchmark::State& state) {
  const Inputs* in = Ready(state);
  if (in == nullptr) return;
  const zoetra::platform::Picture picture = zoetra::platform::LoadPicture(in->File(0));
  cDIB work;
  for (auto _ : state) benchmark::DoNotOptimize(work.CreateFromStdPicture(picture, true));
  state.SetItemsProcessed(state.iterations() * kPixels);
}

void BM_SwapRG(benchmark::State& state) {
  if (Ready(state) == nullptr) return;
  cDIB work;
  PreparedRaster(work);
  for (auto _ : state) {
    work.SwapRG();
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kPixels);
}

void BM_Flip(benchmark::State& state) {
  if (Ready(state) == nullptr) return;
  cDIB work;
  PreparedRaster(work);
  for (auto _ : state) {
    work.Orientation(false, false, true);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kPixels);
}

void BM_CreateOptimal(benchmark::State& state) {
  if (Ready(state) == nullptr) return;
  cDIB work;
  PreparedRaster(work);
  cPal8bpp palette;
  for (auto _ : state) {
    palette.CreateOptimal(work, 256, 6, 1.0f, 1.0f, 1.0f);
    benchmark::DoNotOptimize(palette.Entries());
  }
  state.SetItemsProcessed(state.iterations() * kPixels);
}

// The colour map of a new palette: 4096 nearest-entry questions.
void BM_BuildColorMap(benchmark::State& state) {
  if (Ready(state) == nullptr) return;
  cDIB work;
  PreparedRaster(work);
  cPal8bpp palette;
  palette.CreateOptimal(work, 256, 6, 1.0f, 1.0f, 1.0f);
  mDither8bpp::DitherState dither;
  mDither8bpp::InitDither(dither);
  for (auto _ : state) mDither8bpp::BuildColorMap(dither, palette);
  state.SetItemsProcessed(state.iterations() * 4096);
}

// Error diffusion against the palette of the first picture (every later frame's path).
void BM_DitherDiffusion(benchmark::State& state) {
  if (Ready(state) == nullptr) return;
  cDIB work;
  PreparedRaster(work);
  cPal8bpp palette;
  cDIB frame;
  mDither8bpp::DitherState dither;
  mDither8bpp::InitDither(dither);
  mDither8bpp::SetPaletteMode(dither, static_cast<std::int32_t>(state.range(0)));
  mDither8bpp::SetDitherMethod(dither, 2);
  mDither8bpp::DitherTo8bpp(dither, work, frame, palette, false);
  for (auto _ : state) {
    mDither8bpp::DitherTo8bpp(dither, work, frame, palette, true);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kPixels);
}

BENCHMARK(BM_LoadPng)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Import32)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SwapRG)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Flip)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CreateOptimal)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BuildColorMap)->Unit(benchmark::kMicrosecond);
// 1 = optimal palette, 2 = greys.
BENCHMARK(BM_DitherDiffusion)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// --- document passes over 60 dithered frames ---

// The builder's document before compaction, kept as plain bytes so every
// iteration can start again from the same state.
struct Dithered {
  std::vector<std::vector<std::uint8_t>> frames;  // rows of kW bytes
  std::array<std::uint8_t, cGIF::kPaletteBytes> palette{};
  std::int16_t entries = 0;
};

const Dithered& DitheredFrames() {
  static const Dithered d = [] {
    Dithered out;
    mDither8bpp::DitherState dither;
    mDither8bpp::InitDither(dither);
    mDither8bpp::SetPaletteMode(dither, 1);
    mDither8bpp::SetDitherMethod(dither, 2);
    cPal8bpp palette;
    for (int n = 0; n < kMaxFrames; ++n) {
      const zoetra::platform::Picture picture =
          zoetra::platform::LoadPicture(Inputs::Get().File(n));
      cDIB work, frame;
      work.CreateFromStdPicture(picture, true);
      work.Orientation(false, false, true);
      mDither8bpp::DitherTo8bpp(dither, work, frame, palette, n != 0);
      std::vector<std::uint8_t> bytes(static_cast<std::size_t>(kPixels));
      for (int y = 0; y < kH; ++y) {
        std::memcpy(&bytes[static_cast<std::size_t>(y) * kW],
                    frame.lpBits() + static_cast<std::size_t>(y) * frame.BytesPerScanline(), kW);
      }
      out.frames.push_back(std::move(bytes));
    }
    std::memcpy(out.palette.data(), palette.lpPalette(), out.palette.size());
    out.entries = palette.Entries();
    return out;
  }();
  return d;
}

void MakeDocument(const Dithered& d, cGIF& document) {
  document.Destroy();
  for (int n = 0; n < kMaxFrames; ++n) {
    const auto f = static_cast<std::int16_t>(n + 1);
    document.FrameInsert(f, kW, kH);
    cDIB& image = *document.FrameDIBXOR(f);
    image.SetPalette(d.palette);
    for (int y = 0; y < kH; ++y) {
      std::memcpy(image.lpBits() + static_cast<std::size_t>(y) * image.BytesPerScanline(),
                  &d.frames[static_cast<std::size_t>(n)][static_cast<std::size_t>(y) * kW], kW);
    }
    std::memcpy(document.lpLocalPalette(f), d.palette.data(), d.palette.size());
    document.FrameDisposalMethod(f, 3);
    document.FrameDelay(f, 35);
  }
  document.ScreenWidth(kW);
  document.ScreenHeight(kH);
  document.ScreenPixelAspectRatio(1.0f);
  document.GlobalPaletteExists(-1);
  document.GlobalPaletteEntries(d.entries);
  std::memcpy(document.lpGlobalPalette(), d.palette.data(), d.palette.size());
}

void BM_CompactGlobalPalette(benchmark::State& state) {
  if (Ready(state) == nullptr) return;
  const Dithered& d = DitheredFrames();
  cGIF document;
  for (auto _ : state) {
    state.PauseTiming();
    MakeDocument(d, document);
    state.ResumeTiming();
    benchmark::DoNotOptimize(zoetra::mGIFExt::CompactGlobalPalette(document));
  }
  state.SetItemsProcessed(state.iterations() * kMaxFrames * kPixels);
}

void BM_OptimizeFrames(benchmark::State& state) {
  if (Ready(state) == nullptr) return;
  const Dithered& d = DitheredFrames();
  cGIF document;
  for (auto _ : state) {
    state.PauseTiming();
    MakeDocument(d, document);
    zoetra::mGIFExt::CompactGlobalPalette(document);
    state.ResumeTiming();
    benchmark::DoNotOptimize(zoetra::mGIFExt::OptimizeFrames(document));
  }
  state.SetItemsProcessed(state.iterations() * kMaxFrames * kPixels);
}

// Writing the compacted, uncropped document: mostly LZW encoding.
void BM_SaveToBuffer(benchmark::State& state) {
  if (Ready(state) == nullptr) return;
  cGIF document;
  MakeDocument(DitheredFrames(), document);
  zoetra::mGIFExt::CompactGlobalPalette(document);
  std::vector<std::uint8_t> bytes;
  for (auto _ : state) {
    if (!document.SaveToBuffer(bytes)) state.SkipWithError("save failed");
  }
  state.SetItemsProcessed(state.iterations() * kMaxFrames * kPixels);
  state.counters["file_bytes"] = static_cast<double>(bytes.size());
}

// The same through the file writer: adds the writes, the flush to disk and the rename.
void BM_SaveFile(benchmark::State& state) {
  const Inputs* in = Ready(state);
  if (in == nullptr) return;
  cGIF document;
  MakeDocument(DitheredFrames(), document);
  zoetra::mGIFExt::CompactGlobalPalette(document);
  const std::string output = in->Dir() + "/saved.gif";
  for (auto _ : state) {
    if (!document.Save(output)) state.SkipWithError("save failed");
  }
  state.SetItemsProcessed(state.iterations() * kMaxFrames * kPixels);
}

BENCHMARK(BM_CompactGlobalPalette)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OptimizeFrames)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveToBuffer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

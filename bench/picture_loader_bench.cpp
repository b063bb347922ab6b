// Loading pictures and importing them as 32-bit rasters, the builder's route
// for every input picture. Inputs are made here: a 1920 x 1080 picture as a
// 24-bit bitmap file, an RGB PNG and a 4:2:0 JPEG.
#include <benchmark/benchmark.h>
#include <spng.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <vector>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include "platform/codecs/picture_loader.hpp"
#include "raster/cdib.hpp"
#include "tests/support/pictures.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kW = 1920;
constexpr int kH = 1080;

// A smooth picture with some texture, R,G,B rows top-down.
Bytes Rgb() {
  Bytes rgb(static_cast<std::size_t>(kW) * kH * 3);
  std::uint32_t seed = 7;
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      seed = seed * 1664525u + 1013904223u;
      std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * kW + x) * 3];
      p[0] = static_cast<std::uint8_t>(x * 255 / kW + (seed >> 29));
      p[1] = static_cast<std::uint8_t>(y * 255 / kH);
      p[2] = static_cast<std::uint8_t>((x + y) / 8 + (seed >> 30));
    }
  }
  return rgb;
}

Bytes Bmp(const Bytes& rgb) {
  return zoetra::test::BmpBytes(kW, kH, [&rgb](int x, int y) {
    const std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * kW + x) * 3];
    return zoetra::test::Rgb{p[0], p[1], p[2]};
  });
}

Bytes Png(const Bytes& rgb) {
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr ihdr{};
  ihdr.width = kW;
  ihdr.height = kH;
  ihdr.bit_depth = 8;
  ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
  spng_set_ihdr(ctx, &ihdr);
  spng_encode_image(ctx, rgb.data(), rgb.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  std::size_t size = 0;
  int err = 0;
  auto* data = static_cast<std::uint8_t*>(spng_get_png_buffer(ctx, &size, &err));
  Bytes out(data, data + size);
  std::free(data);
  spng_ctx_free(ctx);
  return out;
}

Bytes Jpeg(const Bytes& rgb) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = kW;
  c.image_height = kH;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 85, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<std::uint8_t*>(&rgb[static_cast<std::size_t>(c.next_scanline) * kW * 3]);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  Bytes out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

const Bytes& Input(int format) {
  static const Bytes rgb = Rgb();
  static const Bytes files[3] = {Bmp(rgb), Png(rgb), Jpeg(rgb)};
  return files[format];
}

void BM_LoadPicture(benchmark::State& state) {
  const Bytes& file = Input(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    zoetra::platform::Picture p = zoetra::platform::LoadPictureFromMemory(file);
    benchmark::DoNotOptimize(p.get());
  }
  state.SetItemsProcessed(state.iterations() * kW * kH);
}

void BM_LoadAndImport32(benchmark::State& state) {
  const Bytes& file = Input(static_cast<int>(state.range(0)));
  zoetra::cDIB raster;
  for (auto _ : state) {
    const zoetra::platform::Picture p = zoetra::platform::LoadPictureFromMemory(file);
    benchmark::DoNotOptimize(raster.CreateFromStdPicture(p, true));
  }
  state.SetItemsProcessed(state.iterations() * kW * kH);
}

// 0 = 24-bit bitmap, 1 = PNG, 2 = JPEG.
BENCHMARK(BM_LoadPicture)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadAndImport32)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

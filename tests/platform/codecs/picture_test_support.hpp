// Helpers for the picture tests: a scratch directory, the Pillow checker,
// and reading a bitmap's colours.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/drawing/gdi.hpp"
#include "tests/support/bitmap_files.hpp"
#include "tests/support/pillow.hpp"
#include "tests/support/temp_dir.hpp"

namespace zoetra::testing {

using Bytes = std::vector<std::uint8_t>;

using TempDir = zoetra::test::TempDir;

using test::WriteAll;

inline Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline int RunCommand(const std::string& command) {
  const int status = std::system(command.c_str());
  return (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

using test::PillowPython;

#define ZOETRA_REQUIRE_PILLOW()                                          \
  do {                                                                   \
    if (::zoetra::test::PillowPython().empty()) GTEST_SKIP() << "python3 with Pillow is not available"; \
  } while (0)

// Runs a Python script (Pillow available) with the scratch directory as its
// first argument. True when it exits 0.
inline bool RunPillowScript(const TempDir& dir, const std::string& script) {
  const std::string file = dir.Path("script.py");
  std::ofstream(file) << script;
  const std::string cmd = PillowPython() + " " + file + " " + dir.path() + " 2>" + dir.Path("stderr.txt");
  if (RunCommand(cmd) == 0) return true;
  ADD_FAILURE() << "python failed:\n" << std::string(std::istreambuf_iterator<char>(std::ifstream(dir.Path("stderr.txt")).rdbuf()), {});
  return false;
}

// Python helper every script starts with: rgb_dump(path) writes path + ".rgb",
// the picture as Pillow decodes it: width, height (4 bytes each, little-endian),
// then R,G,B per pixel, rows top-down. 16-bit grey keeps its high byte.
inline const char* kPillowPrelude = R"PY(
import sys, os, struct, zlib
from PIL import Image
D = sys.argv[1]
def rgb_dump(path):
    im = Image.open(path)
    im.load()
    w, h = im.size
    if im.mode in ("I", "I;16", "I;16B"):
        data = bytes(b for v in im.getdata() for b in ((v >> 8) & 255,) * 3)
    else:
        data = im.convert("RGB").tobytes()
    with open(path + ".rgb", "wb") as f:
        f.write(struct.pack("<II", w, h) + data)
)PY";

struct RgbImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  Bytes rgb;  // R,G,B per pixel, rows top-down
};

inline std::optional<RgbImage> ReadRgbDump(const std::string& path) {
  const Bytes raw = ReadBytes(path);
  if (raw.size() < 8) return std::nullopt;
  RgbImage img;
  std::memcpy(&img.width, raw.data(), 4);
  std::memcpy(&img.height, raw.data() + 4, 4);
  img.rgb.assign(raw.begin() + 8, raw.end());
  if (img.rgb.size() != static_cast<std::size_t>(img.width) * img.height * 3) return std::nullopt;
  return img;
}

// The colours of a bitmap of any depth, rows top-down. An indexed bitmap
// that is selected into a context (a raster's) needs its table passed in.
inline RgbImage BitmapRgb(platform::HBITMAP bitmap, const platform::RGBQuad* selected_table = nullptr) {
  using namespace platform;
  RgbImage img;
  BitmapDesc d{};
  if (!GetBitmapDesc(bitmap, &d)) return img;
  RGBQuad table[256] = {};
  if (d.bits_pixel <= 8 && selected_table != nullptr) {
    std::copy_n(selected_table, 1u << d.bits_pixel, table);
  } else if (d.bits_pixel <= 8) {
    const HDC dc = CreateCompatibleDC(0);
    const HGDIOBJ old = SelectObject(dc, bitmap);
    EXPECT_NE(old, 0u) << "bitmap is selected elsewhere; pass its table";
    GetDIBColorTable(dc, 0, 256, table);
    if (old != 0) SelectObject(dc, old);
    DeleteDC(dc);
  }
  img.width = d.width;
  img.height = d.height;
  img.rgb.reserve(static_cast<std::size_t>(d.width) * d.height * 3);
  for (std::int32_t y = 0; y < d.height; ++y) {
    const std::uint8_t* row = d.bits + static_cast<std::size_t>(d.height - 1 - y) * d.width_bytes;
    for (std::int32_t x = 0; x < d.width; ++x) {
      std::uint8_t r = 0, g = 0, b = 0;
      switch (d.bits_pixel) {
        case 32:
        case 24: {
          const std::uint8_t* p = row + x * (d.bits_pixel / 8);
          b = p[0], g = p[1], r = p[2];
          break;
        }
        case 16: {
          const unsigned w = row[2 * x] | (row[2 * x + 1] << 8);
          auto widen = [](unsigned v) { return static_cast<std::uint8_t>((v << 3) | (v >> 2)); };
          r = widen((w >> 10) & 31), g = widen((w >> 5) & 31), b = widen(w & 31);
          break;
        }
        default: {
          unsigned index = 0;
          if (d.bits_pixel == 8) index = row[x];
          if (d.bits_pixel == 4) index = (x & 1) ? row[x / 2] & 15 : row[x / 2] >> 4;
          if (d.bits_pixel == 1) index = (row[x / 8] >> (7 - x % 8)) & 1;
          r = table[index].red, g = table[index].green, b = table[index].blue;
        }
      }
      img.rgb.insert(img.rgb.end(), {r, g, b});
    }
  }
  return img;
}

// Live drawing-layer objects, after the lazily made stock bitmap exists.
inline std::size_t LiveObjects() {
  platform::DeleteDC(platform::CreateCompatibleDC(0));
  return platform::LiveObjectCount();
}

// Index of the first differing pixel, or -1; `tolerance` per channel.
inline long FirstDifference(const RgbImage& a, const RgbImage& b, int tolerance = 0) {
  if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size()) return 0;
  for (std::size_t i = 0; i < a.rgb.size(); ++i) {
    if (std::abs(int(a.rgb[i]) - int(b.rgb[i])) > tolerance) return static_cast<long>(i / 3);
  }
  return -1;
}

inline std::string DescribePixel(const RgbImage& img, long index) {
  if (index < 0 || static_cast<std::size_t>(index) * 3 + 2 >= img.rgb.size()) return "(none)";
  char text[64];
  std::snprintf(text, sizeof text, "(%d,%d) = %d,%d,%d", int(index % img.width), int(index / img.width),
                img.rgb[index * 3], img.rgb[index * 3 + 1], img.rgb[index * 3 + 2]);
  return text;
}

using test::BitmapFile;
using test::BuildModule;
using test::DibHeader;
using test::HeaderBytes;
using test::ModuleResource;
using test::PackedDib;
using test::Put16;
using test::Put32;
using test::Set16;
using test::Set32;

}  // namespace zoetra::testing

// Writes the seed corpus of the fuzz targets: small, valid (and a few damaged)
// inputs made with our own writers and hand-built bytes. Pillow adds PNG, JPEG
// and more bitmap files (fuzz/make_corpus.sh).
//
//   zoetra_corpus_gen <corpus-dir>    writes <corpus-dir>/<target>/<name>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gif/cgif.hpp"
#include "gif/mgiflzwenc.hpp"
#include "platform/drawing/clipboard.hpp"
#include "raster/cdib.hpp"
#include "tests/gif/gif_builders.hpp"
#include "tests/support/bitmap_files.hpp"

namespace {

using zoetra::test::BitmapFile;
using zoetra::test::BuildModule;
using zoetra::test::Bytes;
using zoetra::test::DibHeader;
using zoetra::test::PackedDib;
using zoetra::test::Set32;
namespace fs = std::filesystem;

fs::path g_root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  const fs::path dir = g_root / target;
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Deterministic pattern so the seeds are the same on every run.
std::uint8_t Pattern(std::int32_t x, std::int32_t y, std::int32_t salt) {
  return static_cast<std::uint8_t>((x * 7 + y * 13 + salt * 29 + (x * y) / 3) & 0xFF);
}

// --- GIF documents through our writer -------------------------------------------

struct FrameSpec {
  std::int16_t w, h, left, top;
  bool interlaced = false;
  bool transparent = false;
  int local_entries = 0;  // 0: the global table
};

Bytes MakeGif(std::int16_t screen_w, std::int16_t screen_h, int global_entries, const std::vector<FrameSpec>& frames,
              std::int16_t loops = 0) {
  zoetra::cGIF doc;
  doc.Destroy();
  doc.GlobalPaletteExists(global_entries > 0 ? -1 : 0);
  doc.GlobalPaletteEntries(static_cast<std::int16_t>(global_entries));
  for (int i = 0; i < global_entries; ++i) {
    std::uint8_t* e = doc.lpGlobalPalette() + 4 * i;
    e[0] = static_cast<std::uint8_t>(i * 3);
    e[1] = static_cast<std::uint8_t>(255 - i);
    e[2] = static_cast<std::uint8_t>(i * 7);
  }
  std::int16_t n = 0;
  for (const FrameSpec& f : frames) {
    ++n;
    doc.FrameInsert(n, f.w, f.h);
    doc.FrameLeft(n, f.left);
    doc.FrameTop(n, f.top);
    doc.FrameDelay(n, static_cast<std::int16_t>(10 * n));
    doc.FrameDisposalMethod(n, n % 4);
    doc.FrameInterlaced(n, f.interlaced ? -1 : 0);
    int entries = global_entries;
    if (f.local_entries > 0) {
      entries = f.local_entries;
      doc.LocalPaletteUsed(n, -1);
      doc.LocalPaletteEntries(n, static_cast<std::int16_t>(entries));
      for (int i = 0; i < entries; ++i) doc.lpLocalPalette(n)[4 * i + 1] = static_cast<std::uint8_t>(i * 5);
    }
    if (f.transparent) {
      doc.FrameUseTransparentColor(n, -1);
      doc.FrameTransparentColorIndex(n, 1);
    }
    const auto image = doc.FrameDIBXOR(n);
    const std::int32_t stride = image->BytesPerScanline();
    for (std::int32_t y = 0; y < f.h; ++y) {
      for (std::int32_t x = 0; x < f.w; ++x) {
        image->lpBits()[y * stride + x] = static_cast<std::uint8_t>(Pattern(x, y, n) % entries);
      }
    }
  }
  doc.ScreenWidth(screen_w);
  doc.ScreenHeight(screen_h);
  doc.AnimationLoops(loops);
  Bytes out;
  if (!doc.SaveToBuffer(out)) std::fprintf(stderr, "a seed document did not save\n");
  return out;
}

// Layouts real files and decoder test suites have: extensions of odd sizes,
// sizes and positions past 32767, impossible code sizes, short interlaced
// frames, a huge screen over tiny frames.
void HostileGifSeeds() {
  using zoetra::test::GifBuilder;
  const Bytes pixel = {0x4C, 0x01};  // clear, 1, end at code size 2
  GifBuilder extensions;
  extensions.Header().Screen(2, 2, 0x80).Raw({0, 0, 0, 255, 255, 255});
  extensions.Raw({0x21, 0xFF, 4}).Text("NETS").Raw({3, 1, 5, 0, 0});  // identifier of 4 bytes
  extensions.Raw({0x21, 0xFF, 11})
      .Text("ANIMEXTS1.0")
      .Raw({2, 1, 9, 0});  // loop sub-block too short
  extensions.AppExt("ANIMEXTS1.0", {1, 0, 0});
  extensions.Raw({0x21, 0xF9, 3, 0x04, 9, 0, 0}).Raw({0x21, 0xF9, 0});
  extensions.Image(0, 0, 1, 1, 0).ImageData(2, pixel);
  extensions.Raw(
      {0x21, 0xF9, 4, 0, 7, 0, 0, 10, 0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0});  // image-like data
  extensions.Image(1, 1, 1, 1, 0).ImageData(2, pixel).Trailer();
  Write("gif_reader", "hostile_extensions.gif", extensions.bytes());

  GifBuilder wide;
  wide.Header().Screen(65535, 1, 0x80).Raw({0, 0, 0, 255, 255, 255});
  wide.Image(65534, 0, 1, 1, 0).ImageData(2, pixel).Image(65535, 0, 2, 1, 0x40).ImageData(2, pixel);
  wide.Raw({0x21, 0xF9, 4, 0x08, 0, 0, 0, 0})
      .Image(1, 0, 40000, 1, 0)
      .ImageData(2, pixel)
      .Trailer();
  Write("gif_reader", "unsigned_sizes.gif", wide.bytes());

  GifBuilder codes;
  codes.Header().Screen(2, 4, 0x80).Raw({0, 0, 0, 255, 255, 255});
  for (std::uint8_t size : {0, 12, 143}) codes.Image(0, 0, 1, 1, 0).ImageData(size, pixel);
  for (std::uint16_t h : {3, 4}) {
    codes.Image(0, 0, 2, h, 0x40).ImageData(2, zoetra::test::LzwReference(Bytes(2 * h, 1), 2));
  }
  Write("gif_reader", "code_sizes_short_interlaced.gif", codes.Trailer().bytes());

  GifBuilder screen;
  screen.Header().Screen(16384, 16384);
  for (std::uint16_t left : {0, 1, 2, 3}) screen.Image(left, 0, 1, 1, 0).ImageData(2, pixel);
  Write("gif_reader", "huge_screen.gif", screen.Trailer().bytes());
}

void GifSeeds() {
  Write("gif_reader", "one_frame.gif", MakeGif(8, 8, 4, {{8, 8, 0, 0}}));
  Write("gif_reader", "two_frames_local.gif", MakeGif(16, 12, 16, {{16, 12, 0, 0}, {5, 7, 3, 2, false, true, 8}}, 3));
  Write("gif_reader", "interlaced_transparent.gif", MakeGif(20, 11, 256, {{20, 11, 0, 0, true, true}}));
  Write("gif_reader", "offscreen_frame.gif", MakeGif(4, 4, 2, {{6, 6, -3, 30000}}));
  Write("gif_reader", "no_frames.gif", MakeGif(3, 3, 4, {}));
  // Hand-built: comment and plain-text extensions, code size 8, a truncated image.
  Bytes h = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 2, 0, 0x80, 0, 0, 0, 0, 0, 255, 255, 255};
  const Bytes comment = {0x21, 0xFE, 3, 'a', 'b', 'c', 0};
  const Bytes text = {0x21, 0x01, 12, 0, 0, 0, 0, 2, 0, 2, 0, 8, 8, 0, 1, 1, 'x', 0};
  h.insert(h.end(), comment.begin(), comment.end());
  h.insert(h.end(), text.begin(), text.end());
  const Bytes image = {0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0, 2, 2, 0x4C, 0x01, 0, 0x3B};
  Bytes full = h;
  full.insert(full.end(), image.begin(), image.end());
  Write("gif_reader", "extensions.gif", full);
  Write("gif_reader", "truncated.gif", Bytes(full.begin(), full.end() - 4));
  const Bytes gif87 = {'G', 'I', 'F', '8', '7', 'a', 1, 0, 1, 0, 0, 0, 0, 0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x80,
                       0, 0, 0, 255, 255, 255, 2, 2, 0x44, 0x01, 0, 0x3B};
  Write("gif_reader", "gif87a_local.gif", gif87);

  HostileGifSeeds();

  Write("picture_loader", "two_frames.gif", MakeGif(9, 9, 8, {{9, 9, 0, 0}, {4, 4, 1, 1}}));
  Write("picture_loader", "transparent.gif", MakeGif(6, 5, 4, {{6, 5, 0, 0, false, true}}));
}

// --- LZW code streams: sub-block contents plus the 4-byte option tail -------------

void LzwSeeds() {
  struct Case {
    std::int32_t w, h;
    std::uint8_t min_code_size;
    bool interlaced;
  } cases[] = {{8, 8, 2, false}, {16, 16, 8, true}, {255, 3, 4, false}, {33, 9, 3, true}, {64, 64, 8, false}};
  for (const Case& c : cases) {
    zoetra::cDIB raster;
    raster.Create(c.w, c.h, 8);
    const std::int32_t stride = raster.BytesPerScanline();
    for (std::int32_t y = 0; y < c.h; ++y) {
      for (std::int32_t x = 0; x < c.w; ++x) {
        raster.lpBits()[y * stride + x] = static_cast<std::uint8_t>(Pattern(x / 3, y, 0) & ((1 << c.min_code_size) - 1));
      }
    }
    Bytes blocks;
    zoetra::mGIFLZWEnc::VectorSink sink(blocks);
    zoetra::mGIFLZWEnc::EncodeFrame(sink, raster, static_cast<std::uint8_t>(c.min_code_size + 1),
                                    c.interlaced ? -1 : 0);
    Bytes codes;
    for (std::size_t i = 0; i < blocks.size(); i += 1 + blocks[i]) {
      codes.insert(codes.end(), blocks.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                   blocks.begin() + static_cast<std::ptrdiff_t>(i + 1 + blocks[i]));
    }
    // Tail as the target reads it (fuzz/fuzz_entries.hpp, LzwDecoder).
    const std::int32_t w = c.w - 1, h = c.h - 1;
    codes.push_back(static_cast<std::uint8_t>(w & 0xFF));
    codes.push_back(static_cast<std::uint8_t>(h & 0x3F));
    codes.push_back(static_cast<std::uint8_t>(((w >> 8) & 3) | (((h >> 6) & 3) << 2) | (c.interlaced ? 0x10 : 0)));
    codes.push_back(c.min_code_size);
    Write("lzw_decoder", "w" + std::to_string(c.w) + "_h" + std::to_string(c.h) + "_cs" +
                             std::to_string(c.min_code_size) + (c.interlaced ? "_interlaced" : "") + ".lzw",
          codes);
  }
}

// --- bitmaps: files, packed bitmaps, clipboard blocks ------------------------------

Bytes Table(int entries, int entry_size) {
  Bytes t;
  for (int i = 0; i < entries; ++i) {
    t.push_back(static_cast<std::uint8_t>(i * 16));
    t.push_back(static_cast<std::uint8_t>(255 - i * 8));
    t.push_back(static_cast<std::uint8_t>(i * 40));
    if (entry_size == 4) t.push_back(0);
  }
  return t;
}

Bytes Pixels(std::int32_t w, std::int32_t h, int bpp) {
  const std::int32_t stride = ((bpp * w + 31) / 32) * 4;
  Bytes p(static_cast<std::size_t>(stride) * h);
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = Pattern(static_cast<std::int32_t>(i), 1, bpp);
  return p;
}

DibHeader Header(std::uint32_t size, std::int32_t w, std::int32_t h, std::uint16_t bpp, std::uint32_t compression,
                 std::uint32_t clr_used, const std::uint32_t* masks = nullptr) {
  DibHeader header{size, w, h, bpp, compression, clr_used};
  if (masks != nullptr) std::copy_n(masks, 4, header.masks);
  return header;
}

void BitmapSeeds() {
  const DibHeader core8_h = Header(12, 5, 3, 8, 0, 0);
  Write("bmp_reader", "core_8bpp.bmp", BitmapFile(core8_h, Table(256, 3), Pixels(5, 3, 8)));
  const DibHeader info4_h = Header(40, 7, 4, 4, 0, 16);
  Write("bmp_reader", "info_4bpp.bmp", BitmapFile(info4_h, Table(16, 4), Pixels(7, 4, 4)));
  Write("bmp_reader", "info_1bpp_topdown.bmp", BitmapFile(Header(40, 19, -2, 1, 0, 0), Table(2, 4), Pixels(19, 2, 1)));
  Write("bmp_reader", "packed_1bpp.dib", PackedDib(Header(40, 19, 2, 1, 0, 0), Table(2, 4), Pixels(19, 2, 1)));
  const std::uint32_t m565[4] = {0xF800, 0x07E0, 0x001F, 0};
  Write("bmp_reader", "bitfields_565.bmp",
        BitmapFile(Header(40, 6, 3, 16, 3, 0), Bytes{0x00, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0, 0},
                   Pixels(6, 3, 16)));
  Write("bmp_reader", "v5_bitfields_32.bmp", BitmapFile(Header(124, 3, 3, 32, 3, 0, m565), {}, Pixels(3, 3, 32)));
  const DibHeader rgb24_h = Header(40, 5, 5, 24, 0, 0);
  Write("bmp_reader", "rgb_24bpp.bmp", BitmapFile(rgb24_h, {}, Pixels(5, 5, 24)));
  // RLE8: a run, an absolute run, a delta, end of line, end of bitmap.
  const Bytes rle8_data = {3, 7, 0, 3, 1, 2, 3, 0, 0, 2, 1, 1, 2, 9, 0, 0, 4, 5, 0, 1};
  const DibHeader rle8_h = Header(40, 8, 3, 8, 1, 16);
  Write("bmp_reader", "rle8.bmp", BitmapFile(rle8_h, Table(16, 4), rle8_data));
  const Bytes rle4_data = {5, 0x12, 0, 3, 0x34, 0x50, 0, 0, 2, 0x77, 0, 1};
  Write("bmp_reader", "rle4.bmp", BitmapFile(Header(40, 8, 2, 4, 2, 0), Table(16, 4), rle4_data));
  // A packed bitmap cut short inside its pixels.
  const Bytes rgb24 = PackedDib(rgb24_h, {}, Pixels(5, 5, 24));
  Write("bmp_reader", "truncated.bmp", Bytes(rgb24.begin(), rgb24.begin() + 50));

  Write("picture_loader", "info_4bpp.bmp", BitmapFile(info4_h, Table(16, 4), Pixels(7, 4, 4)));
  Write("picture_loader", "rle8.bmp", BitmapFile(rle8_h, Table(16, 4), rle8_data));

  // Module resources: a PE32 and a PE32+ module, each with one bitmap resource
  // (type 2, US English), then the id byte the target reads last.
  auto module = [](const Bytes& data, std::uint32_t id, bool plus) {
    Bytes m = BuildModule({{2, id, 0x409, data}}, plus);
    m.push_back(static_cast<std::uint8_t>(id));
    return m;
  };
  Write("module_resources", "pe32_bitmap_7.dll", module(PackedDib(info4_h, Table(16, 4), Pixels(7, 4, 4)), 7, false));
  Write("module_resources", "pe32plus_bitmap_1.dll", module(rgb24, 1, true));
  Write("module_resources", "pe32_rle8_3.dll", module(PackedDib(rle8_h, Table(16, 4), rle8_data), 3, false));
}

void ClipboardSeeds() {
  for (const int bpp : {1, 4, 8, 16, 24, 32}) {
    zoetra::cDIB raster;
    raster.Create(5 + bpp % 3, 3, bpp);
    std::vector<std::uint8_t> table(1024);
    for (std::size_t i = 0; i < table.size(); ++i) table[i] = (i % 4 == 3) ? 0 : static_cast<std::uint8_t>(i * 5);
    if (bpp <= 8) raster.SetPalette(std::span<const std::uint8_t>(table.data(), std::size_t{4} << bpp));
    for (std::int32_t i = 0; i < raster.Size(); ++i) raster.lpBits()[i] = Pattern(i, bpp, 3);
    const zoetra::platform::HGLOBAL block = raster.CopyToClipboard();
    if (block == 0) continue;
    zoetra::platform::OpenClipboard(0);
    const std::uint8_t* p = zoetra::platform::GlobalLock(block);
    const Bytes bytes(p, p + zoetra::platform::GlobalSize(block));
    zoetra::platform::GlobalUnlock(block);
    zoetra::platform::CloseClipboard();
    Write("clipboard", "block_" + std::to_string(bpp) + "bpp.dib", bytes);
  }
}

void MiscSeeds() {
  // Icon directory and metafile headers: pictures that are not bitmaps.
  Bytes ico = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 0, 0, 0, 0, 22, 0, 0, 0};
  Write("picture_loader", "icon.ico", ico);
  Bytes wmf = {1, 0, 9, 0, 0, 3};
  wmf.resize(18, 0);
  Write("picture_loader", "standard.wmf", wmf);
  Bytes emf(88, 0);
  Set32(emf, 0, 1);
  Set32(emf, 16, 31);
  Set32(emf, 20, 15);
  Set32(emf, 40, 0x464D4520);
  Write("picture_loader", "header.emf", emf);

  // Any bytes make a document for the round trip; a few lengths and shapes.
  for (const std::size_t n : {16u, 200u, 1500u}) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = Pattern(static_cast<std::int32_t>(i), static_cast<std::int32_t>(n), 5);
    Write("gif_round_trip", "pattern_" + std::to_string(n), b);
  }
  Write("gif_round_trip", "all_ones_600", Bytes(600, 0xFF));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus-dir>\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  GifSeeds();
  LzwSeeds();
  BitmapSeeds();
  ClipboardSeeds();
  MiscSeeds();
  return 0;
}

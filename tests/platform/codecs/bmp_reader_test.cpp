#include "platform/codecs/bmp_reader.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"
#include "support/caught.hpp"
#include "tests/platform/codecs/picture_test_support.hpp"

namespace zoetra {
namespace {

using namespace platform;
using namespace zoetra::testing;

constexpr std::int32_t kW = 9;  // odd widths exercise row padding at every depth
constexpr std::int32_t kH = 5;

struct Rgb {
  std::uint8_t r, g, b;
};

// Rows in file order (bottom row first unless top-down), each padded to 4
// bytes; fill(row, y) writes picture row y (0 = top).
Bytes Rows(int bpp, bool top_down, const std::function<void(std::uint8_t*, int)>& fill) {
  const std::size_t stride = ((bpp * kW + 31) / 32) * 4;
  Bytes out(stride * kH, 0);
  for (int i = 0; i < kH; ++i) fill(&out[i * stride], top_down ? i : kH - 1 - i);
  return out;
}

struct Picture {
  std::vector<Rgb> table;
  std::vector<int> index;  // per pixel, top-down, for indexed pictures
  std::vector<Rgb> rgb;    // per pixel, top-down
  RgbImage Expected() const {
    RgbImage img{kW, kH, {}};
    for (const Rgb& c : rgb) img.rgb.insert(img.rgb.end(), {c.r, c.g, c.b});
    return img;
  }
};

std::mt19937 Rng() { return std::mt19937(20240611); }

Picture IndexedPicture(int colours, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Picture p;
  for (int i = 0; i < colours; ++i) {
    p.table.push_back({std::uint8_t(rng()), std::uint8_t(rng()), std::uint8_t(rng())});
  }
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      const int i = static_cast<int>(rng() % colours);
      p.index.push_back(i);
      p.rgb.push_back(p.table[i]);
    }
  }
  return p;
}

Bytes TableBytes(const std::vector<Rgb>& table, int entry_size, std::size_t entries) {
  Bytes b;
  for (std::size_t i = 0; i < entries; ++i) {
    const Rgb c = i < table.size() ? table[i] : Rgb{0, 0, 0};
    b.insert(b.end(), {c.b, c.g, c.r});
    if (entry_size == 4) b.push_back(0x77);  // reserved byte: must not leak into the picture
  }
  return b;
}

Bytes IndexedRows(const Picture& p, int bpp, bool top_down) {
  return Rows(bpp, top_down, [&](std::uint8_t* row, int y) {
    for (int x = 0; x < kW; ++x) {
      const unsigned v = static_cast<unsigned>(p.index[y * kW + x]);
      if (bpp == 8) row[x] = std::uint8_t(v);
      if (bpp == 4) row[x / 2] |= std::uint8_t((x & 1) ? v : v << 4);
      if (bpp == 1) row[x / 8] |= std::uint8_t(v << (7 - x % 8));
    }
  });
}

// A picture whose colours survive `bits` bits per channel exactly after widening.
Picture DirectPicture(int rbits, int gbits, int bbits, std::uint32_t seed, std::vector<std::array<unsigned, 3>>* raw) {
  std::mt19937 rng(seed);
  auto widen = [](unsigned v, int n) {
    if (n >= 8) return std::uint8_t(v >> (n - 8));
    unsigned out = 0;
    int filled = 0;
    while (filled < 8) out = (out << n) | v, filled += n;
    return std::uint8_t(out >> (filled - 8));
  };
  Picture p;
  for (int i = 0; i < kW * kH; ++i) {
    const unsigned r = rng() & ((1u << rbits) - 1), g = rng() & ((1u << gbits) - 1), b = rng() & ((1u << bbits) - 1);
    raw->push_back({r, g, b});
    p.rgb.push_back({widen(r, rbits), widen(g, gbits), widen(b, bbits)});
  }
  return p;
}

Bytes MaskBytes(std::initializer_list<std::uint32_t> masks) {
  Bytes b;
  for (std::uint32_t m : masks) Put32(b, m);
  return b;
}

struct Variant {
  std::string name;
  Bytes file;
  int out_bpp;
  RgbImage expected;
  int pillow_tolerance;  // -1: Pillow cannot read this variant
};

std::vector<Variant> Variants() {
  std::vector<Variant> v;
  // Indexed depths, with full and shortened tables, both row orders, three header kinds.
  for (int bpp : {1, 4, 8}) {
    for (bool top_down : {false, true}) {
      const int colours = bpp == 1 ? 2 : bpp == 4 ? 11 : 200;
      const Picture p = IndexedPicture(colours, static_cast<std::uint32_t>(bpp * 10 + top_down));
      DibHeader h;
      h.width = kW;
      h.height = top_down ? -kH : kH;
      h.bpp = static_cast<std::uint16_t>(bpp);
      h.clr_used = bpp == 1 ? 0 : static_cast<std::uint32_t>(colours);
      const std::size_t entries = h.clr_used ? h.clr_used : (1u << bpp);
      v.push_back({std::to_string(bpp) + "-bit" + (top_down ? " top-down" : ""),
                   BitmapFile(h, TableBytes(p.table, 4, entries), IndexedRows(p, bpp, top_down)), bpp, p.Expected(), 0});
    }
  }
  {
    const Picture p = IndexedPicture(256, 7);
    DibHeader h;
    h.size = 12;
    h.width = kW;
    h.height = kH;
    h.bpp = 8;
    v.push_back({"8-bit core header", BitmapFile(h, TableBytes(p.table, 3, 256), IndexedRows(p, 8, false)), 8,
                 p.Expected(), 0});
    h.size = 108;
    v.push_back({"8-bit 108-byte header", BitmapFile(h, TableBytes(p.table, 4, 256), IndexedRows(p, 8, false)), 8,
                 p.Expected(), 0});
  }
  {
    std::vector<std::array<unsigned, 3>> raw;
    const Picture p = DirectPicture(8, 8, 8, 3, &raw);
    auto rows = [&](int bpp, bool top_down, const std::function<void(std::uint8_t*, const std::array<unsigned, 3>&)>& put) {
      return Rows(bpp, top_down, [&](std::uint8_t* row, int y) {
        for (int x = 0; x < kW; ++x) put(row + x * (bpp / 8), raw[y * kW + x]);
      });
    };
    for (bool top_down : {false, true}) {
      DibHeader h;
      h.width = kW;
      h.height = top_down ? -kH : kH;
      h.bpp = 24;
      v.push_back({std::string("24-bit") + (top_down ? " top-down" : ""),
                   BitmapFile(h, {}, rows(24, top_down, [](std::uint8_t* o, const auto& c) {
                                o[0] = std::uint8_t(c[2]), o[1] = std::uint8_t(c[1]), o[2] = std::uint8_t(c[0]);
                              })),
                   24, p.Expected(), 0});
    }
    DibHeader core;
    core.size = 12;
    core.width = kW;
    core.height = kH;
    core.bpp = 24;
    v.push_back({"24-bit core header", BitmapFile(core, {}, rows(24, false, [](std::uint8_t* o, const auto& c) {
                                                  o[0] = std::uint8_t(c[2]), o[1] = std::uint8_t(c[1]), o[2] = std::uint8_t(c[0]);
                                                })),
                 24, p.Expected(), 0});
    DibHeader h32;
    h32.width = kW;
    h32.height = kH;
    h32.bpp = 32;
    v.push_back({"32-bit with a fourth byte", BitmapFile(h32, {}, rows(32, false, [](std::uint8_t* o, const auto& c) {
                                                         o[0] = std::uint8_t(c[2]), o[1] = std::uint8_t(c[1]);
                                                         o[2] = std::uint8_t(c[0]), o[3] = 0xA5;
                                                       })),
                 32, p.Expected(), 0});
    h32.compression = 3;
    v.push_back({"32-bit bit fields, red high", BitmapFile(h32, MaskBytes({0xFF000000, 0xFF0000, 0xFF00}),
                                                            rows(32, false, [](std::uint8_t* o, const auto& c) {
                                                              o[0] = 0x5A, o[1] = std::uint8_t(c[2]);
                                                              o[2] = std::uint8_t(c[1]), o[3] = std::uint8_t(c[0]);
                                                            })),
                 32, p.Expected(), 0});
    h32.size = 124;
    h32.masks[0] = 0xFF, h32.masks[1] = 0xFF00, h32.masks[2] = 0xFF0000, h32.masks[3] = 0xFF000000;
    v.push_back({"32-bit bit fields in a 124-byte header", BitmapFile(h32, {}, rows(32, false, [](std::uint8_t* o, const auto& c) {
                                                                         o[0] = std::uint8_t(c[0]), o[1] = std::uint8_t(c[1]);
                                                                         o[2] = std::uint8_t(c[2]), o[3] = 0x80;
                                                                       })),
                 32, p.Expected(), 0});
  }
  auto word_rows = [](const std::vector<std::array<unsigned, 3>>& raw, const std::function<unsigned(const std::array<unsigned, 3>&)>& pack) {
    return Rows(16, false, [&](std::uint8_t* row, int y) {
      for (int x = 0; x < kW; ++x) {
        const unsigned w = pack(raw[y * kW + x]);
        row[2 * x] = std::uint8_t(w), row[2 * x + 1] = std::uint8_t(w >> 8);
      }
    });
  };
  {
    std::vector<std::array<unsigned, 3>> raw;
    const Picture p = DirectPicture(5, 5, 5, 4, &raw);
    const auto pixels = word_rows(raw, [](const auto& c) { return (c[0] << 10) | (c[1] << 5) | c[2]; });
    DibHeader h;
    h.width = kW;
    h.height = kH;
    h.bpp = 16;
    // Pillow widens 5 bits as v * 255 / 31, which differs by one from bit repetition.
    v.push_back({"16-bit 5-5-5", BitmapFile(h, {}, pixels), 16, p.Expected(), 1});
    h.compression = 3;
    v.push_back({"16-bit 5-5-5 bit fields", BitmapFile(h, MaskBytes({0x7C00, 0x3E0, 0x1F}), pixels), 16, p.Expected(), 1});
  }
  {
    std::vector<std::array<unsigned, 3>> raw;
    const Picture p = DirectPicture(5, 6, 5, 5, &raw);
    DibHeader h;
    h.width = kW;
    h.height = kH;
    h.bpp = 16;
    h.compression = 3;
    v.push_back({"16-bit 5-6-5 bit fields",
                 BitmapFile(h, MaskBytes({0xF800, 0x7E0, 0x1F}),
                            word_rows(raw, [](const auto& c) { return (c[0] << 11) | (c[1] << 5) | c[2]; })),
                 24, p.Expected(), 1});
  }
  {
    std::vector<std::array<unsigned, 3>> raw;
    const Picture p = DirectPicture(4, 4, 4, 6, &raw);
    DibHeader h;
    h.width = kW;
    h.height = kH;
    h.bpp = 16;
    h.compression = 6;  // alpha bit fields: four masks after the 40-byte header
    v.push_back({"16-bit 4-4-4-4 alpha bit fields",
                 BitmapFile(h, MaskBytes({0x0F00, 0x00F0, 0x000F, 0xF000}),
                            word_rows(raw, [](const auto& c) { return 0xF000 | (c[0] << 8) | (c[1] << 4) | c[2]; })),
                 24, p.Expected(), -1});
  }
  return v;
}

HBITMAP Decode(const Bytes& file) { return DecodeBitmapFile(file); }

TEST(BmpReaderTest, EveryVariantDecodesToItsColours) {
  const std::size_t live = LiveObjects();
  for (const Variant& variant : Variants()) {
    SCOPED_TRACE(variant.name);
    const HBITMAP bitmap = Decode(variant.file);
    ASSERT_NE(bitmap, 0u);
    BitmapDesc d{};
    ASSERT_TRUE(GetBitmapDesc(bitmap, &d));
    EXPECT_EQ(d.bits_pixel, variant.out_bpp);
    const RgbImage got = BitmapRgb(bitmap);
    const long diff = FirstDifference(got, variant.expected);
    EXPECT_EQ(diff, -1) << "got " << DescribePixel(got, diff) << ", want " << DescribePixel(variant.expected, diff);
    if (d.bits_pixel == 32) {
      for (std::int32_t i = 0; i < d.width * d.height; ++i) ASSERT_EQ(d.bits[4 * i + 3], 0) << "pixel " << i;
    }
    if (d.bits_pixel <= 8) {
      const HDC dc = CreateCompatibleDC(0);
      const HGDIOBJ old = SelectObject(dc, bitmap);
      RGBQuad table[256];
      const std::uint32_t n = GetDIBColorTable(dc, 0, 256, table);
      EXPECT_EQ(n, 1u << d.bits_pixel);
      for (std::uint32_t i = 0; i < n; ++i) ASSERT_EQ(table[i].reserved, 0) << "entry " << i;
      SelectObject(dc, old);
      DeleteDC(dc);
    }
    EXPECT_TRUE(DeleteObject(bitmap));
  }
  EXPECT_EQ(LiveObjectCount(), live);
}

TEST(BmpReaderTest, PillowReadsTheVariantsTheSameWay) {
  ZOETRA_REQUIRE_PILLOW();
  TempDir dir;
  std::vector<const Variant*> checked;
  const std::vector<Variant> variants = Variants();
  std::string script = kPillowPrelude;
  for (std::size_t i = 0; i < variants.size(); ++i) {
    if (variants[i].pillow_tolerance < 0) continue;
    const std::string path = dir.Path("v" + std::to_string(i) + ".bmp");
    WriteAll(path, variants[i].file);
    script += "rgb_dump(os.path.join(D, 'v" + std::to_string(i) + ".bmp'))\n";
  }
  ASSERT_TRUE(RunPillowScript(dir, script));
  for (std::size_t i = 0; i < variants.size(); ++i) {
    const Variant& variant = variants[i];
    if (variant.pillow_tolerance < 0) continue;
    SCOPED_TRACE(variant.name);
    const auto pillow = ReadRgbDump(dir.Path("v" + std::to_string(i) + ".bmp.rgb"));
    ASSERT_TRUE(pillow.has_value());
    const HBITMAP bitmap = Decode(variant.file);
    const RgbImage ours = BitmapRgb(bitmap);
    DeleteObject(bitmap);
    const long diff = FirstDifference(ours, *pillow, variant.pillow_tolerance);
    EXPECT_EQ(diff, -1) << "ours " << DescribePixel(ours, diff) << ", Pillow " << DescribePixel(*pillow, diff);
  }
}

// RLE streams written by hand: runs, absolute runs (odd lengths with their
// padding), end of line, delta and end of bitmap, with the pixels they leave.
struct RleCase {
  const char* name;
  int bpp;
  std::int32_t width, height;
  Bytes stream;
  std::vector<std::uint8_t> indices;  // expected, memory rows bottom-up
};

TEST(BmpReaderTest, RunLengthStreams) {
  const RleCase cases[] = {
      // The absolute run's third pixel falls off the row and is dropped.
      {"RLE8 runs, absolute run, end of line", 8, 5, 2,
       {3, 7, 0, 3, 1, 2, 9, 0 /*pad*/, 0, 0, 2, 4, 0, 1},
       {7, 7, 7, 1, 2, 4, 4, 0, 0, 0}},
      {"RLE8 delta skips pixels", 8, 4, 3, {1, 5, 0, 2, 2, 1, 1, 6, 0, 1}, {5, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0}},
      {"RLE8 run clipped at the row end", 8, 3, 1, {200, 9, 0, 1}, {9, 9, 9}},
      {"RLE4 run alternates nibbles", 4, 5, 1, {5, 0x12, 0, 1}, {1, 2, 1, 2, 1}},
      {"RLE4 absolute run of two bytes", 4, 4, 2, {0, 3, 0xAB, 0xC0, 0, 0, 4, 0x34, 0, 1}, {0xA, 0xB, 0xC, 0, 3, 4, 3, 4}},
      {"RLE4 absolute run of three bytes and a pad", 4, 6, 1, {0, 5, 0x12, 0x34, 0x50, 0, 0, 1}, {1, 2, 3, 4, 5, 0}},
  };
  const std::vector<RleCase> all(std::begin(cases), std::end(cases));
  for (const RleCase& c : all) {
    SCOPED_TRACE(c.name);
    DibHeader h;
    h.width = c.width;
    h.height = c.height;
    h.bpp = static_cast<std::uint16_t>(c.bpp);
    h.compression = c.bpp == 8 ? 1 : 2;
    Bytes table;
    for (int i = 0; i < (1 << c.bpp); ++i) table.insert(table.end(), {std::uint8_t(i), std::uint8_t(i), std::uint8_t(i), 0});
    const HBITMAP bitmap = Decode(BitmapFile(h, table, c.stream));
    ASSERT_NE(bitmap, 0u);
    BitmapDesc d{};
    ASSERT_TRUE(GetBitmapDesc(bitmap, &d));
    EXPECT_EQ(d.bits_pixel, c.bpp);
    std::vector<std::uint8_t> got;
    for (int y = 0; y < c.height; ++y) {
      for (int x = 0; x < c.width; ++x) {
        const std::uint8_t* row = d.bits + y * d.width_bytes;
        got.push_back(c.bpp == 8 ? row[x] : (x & 1) ? row[x / 2] & 15 : row[x / 2] >> 4);
      }
    }
    EXPECT_EQ(got, c.indices);
    DeleteObject(bitmap);
  }
}

TEST(BmpReaderTest, PackedBitmapsFindTheirPixelsAfterTheTable) {
  // 8-bit with a 3-entry table, and 24-bit with a 2-entry table that must be skipped.
  DibHeader h;
  h.width = 2;
  h.height = 1;
  h.bpp = 8;
  h.clr_used = 3;
  const Bytes table = {10, 20, 30, 0, 40, 50, 60, 0, 70, 80, 90, 0};
  HBITMAP bitmap = DecodePackedDib(PackedDib(h, table, {2, 1, 0, 0}));
  ASSERT_NE(bitmap, 0u);
  RgbImage got = BitmapRgb(bitmap);
  EXPECT_EQ(got.rgb, (Bytes{90, 80, 70, 60, 50, 40}));
  DeleteObject(bitmap);

  h.bpp = 24;
  h.clr_used = 2;
  bitmap = DecodePackedDib(PackedDib(h, Bytes(8, 0xEE), {1, 2, 3, 4, 5, 6, 0, 0}));
  ASSERT_NE(bitmap, 0u);
  got = BitmapRgb(bitmap);
  EXPECT_EQ(got.rgb, (Bytes{3, 2, 1, 6, 5, 4}));
  DeleteObject(bitmap);
}

void ExpectInvalid(const Bytes& file, const std::string& fragment) {
  const Error e = test::Caught([&] { DeleteObject(Decode(file)); });
  EXPECT_EQ(e.number(), kErrInvalidPicture) << fragment;
  EXPECT_NE(e.description().find(fragment), std::string::npos) << e.description();
  EXPECT_EQ(e.description().rfind("Invalid picture", 0), 0u) << e.description();
}

Bytes Valid8Bit() {
  DibHeader h;
  h.width = 3;
  h.height = 2;
  h.bpp = 8;
  return BitmapFile(h, Bytes(1024, 1), Bytes(8, 2));
}

TEST(BmpReaderTest, MalformedFilesGiveClearErrors) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    const char* fragment;
  };
  const Case cases[] = {
      {"negative width", [](Bytes& f) { Set32(f, 18, 0xFFFFFFFD); }, "width"},
      {"zero height", [](Bytes& f) { Set32(f, 22, 0); }, "height"},
      {"most negative height", [](Bytes& f) { Set32(f, 22, 0x80000000u); }, "height"},
      {"depth 2", [](Bytes& f) { Set16(f, 28, 2); }, "depth"},
      {"depth 64", [](Bytes& f) { Set16(f, 28, 64); }, "depth"},
      {"embedded JPEG", [](Bytes& f) { Set32(f, 30, 4); }, "compression"},
      {"RLE8 at 4 bits", [](Bytes& f) { Set16(f, 28, 4); Set32(f, 30, 1); }, "RLE8"},
      {"RLE stored top-down", [](Bytes& f) { Set32(f, 22, 0xFFFFFFFE); Set32(f, 30, 1); }, "top-down"},
      {"header size 20", [](Bytes& f) { Set32(f, 14, 20); }, "header size"},
      {"table longer than the depth allows", [](Bytes& f) { Set32(f, 46, 257); }, "colour table"},
      {"offset into the header", [](Bytes& f) { Set32(f, 10, 30); }, "offset"},
      {"offset past the end", [](Bytes& f) { Set32(f, 10, 0x7FFFFFF0); }, "beyond"},
      {"pixels cut short", [](Bytes& f) { f.resize(f.size() - 5); }, "truncated"},
      {"table cut short", [](Bytes& f) { f.resize(14 + 40 + 100); }, "truncated"},
      {"header cut short", [](Bytes& f) { f.resize(30); }, "truncated"},
      {"file header only", [](Bytes& f) { f.resize(10); }, "truncated"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = Valid8Bit();
    c.damage(file);
    ExpectInvalid(file, c.fragment);
  }
  // Masks that are not one run of bits.
  DibHeader h;
  h.width = 1;
  h.height = 1;
  h.bpp = 16;
  h.compression = 3;
  ExpectInvalid(BitmapFile(h, MaskBytes({0x7C00, 0x0201, 0x1F}), Bytes(4, 0)), "contiguous");
  // An RLE stream without its end code.
  h.bpp = 8;
  h.compression = 1;
  h.width = 4;
  h.height = 4;
  ExpectInvalid(BitmapFile(h, Bytes(1024, 0), {4, 1, 0, 0, 4, 2}), "RLE");
  // Last row without its padding is accepted.
  Bytes lenient = Valid8Bit();
  lenient.resize(lenient.size() - 1);
  const HBITMAP b = Decode(lenient);
  EXPECT_NE(b, 0u);
  DeleteObject(b);
}

class BmpLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = GetLimits(); }
  void TearDown() override { SetLimits(saved_); }
  Limits saved_;
};

TEST_F(BmpLimitsTest, OversizedHeadersAreRefusedBeforeThePixels) {
  Limits small = saved_;
  small.max_picture_side = 100;
  small.max_picture_pixels = 5000;
  SetLimits(small);
  // Headers only: the size check must come before the truncation check.
  const std::pair<std::int32_t, std::int32_t> sizes[] = {{101, 1}, {1, -101}, {80, 80}, {0x7FFFFFFF, 0x7FFFFFFF}};
  for (const auto& [w, hgt] : sizes) {
    DibHeader h;
    h.width = w;
    h.height = hgt;
    h.bpp = 32;
    ExpectInvalid(BitmapFile(h, {}, {}), "exceeds the size limit");
  }
  DibHeader ok;
  ok.width = 100;
  ok.height = 50;
  ok.bpp = 8;
  ok.clr_used = 1;
  const HBITMAP b = Decode(BitmapFile(ok, Bytes(4, 0), Bytes(100 * 50, 0)));
  EXPECT_NE(b, 0u);
  DeleteObject(b);
}

// Every prefix and many random corruptions of valid files: a picture or a
// 481, never a crash or a read outside the input (run under the sanitizers).
TEST(BmpReaderTest, DamagedFilesNeverCrash) {
  std::mt19937 rng = Rng();
  const std::size_t live = LiveObjects();
  int decoded = 0, refused = 0;
  auto attempt = [&](const Bytes& file) {
    try {
      const HBITMAP b = Decode(file);
      ++decoded;
      DeleteObject(b);
    } catch (const Error& e) {
      ASSERT_EQ(e.number(), kErrInvalidPicture) << e.description();
      ++refused;
    }
  };
  for (const Variant& v : Variants()) {
    for (std::size_t n = 0; n < v.file.size(); n += 3) attempt(Bytes(v.file.begin(), v.file.begin() + n));
    for (int round = 0; round < 60; ++round) {
      Bytes f = v.file;
      const int flips = 1 + static_cast<int>(rng() % 4);
      for (int i = 0; i < flips; ++i) {
        // Most damage lands in the headers, where it matters.
        const std::size_t at = rng() % std::min<std::size_t>(f.size(), (rng() & 1) ? 70 : f.size());
        f[at] = static_cast<std::uint8_t>(rng());
      }
      attempt(f);
    }
  }
  for (int round = 0; round < 300; ++round) {
    DibHeader h;
    h.width = 1 + static_cast<std::int32_t>(rng() % 40);
    h.height = 1 + static_cast<std::int32_t>(rng() % 40);
    h.bpp = (rng() & 1) ? 8 : 4;
    h.compression = h.bpp == 8 ? 1 : 2;
    Bytes stream(rng() % 200);
    for (auto& b : stream) b = static_cast<std::uint8_t>(rng() % 8 == 0 ? rng() % 3 : rng());
    attempt(BitmapFile(h, Bytes(64, 0), stream));
  }
  EXPECT_GT(decoded, 0);
  EXPECT_GT(refused, 0);
  EXPECT_EQ(LiveObjectCount(), live);
}

TEST(BmpReaderTest, LoaderForFilesReturnsZeroOnFailure) {
  TempDir dir;
  WriteAll(dir.Path("good.bmp"), Valid8Bit());
  WriteAll(dir.Path("bad.bmp"), Bytes{'B', 'M', 1, 2, 3});
  const HBITMAP good = LoadImageFromFile(dir.Path("good.bmp"));
  EXPECT_NE(good, 0u);
  DeleteObject(good);
  EXPECT_EQ(LoadImageFromFile(dir.Path("bad.bmp")), 0u);
  EXPECT_EQ(LoadImageFromFile(dir.Path("missing.bmp")), 0u);
  EXPECT_EQ(LoadImageFromFile(dir.path()), 0u);
}

}  // namespace
}  // namespace zoetra

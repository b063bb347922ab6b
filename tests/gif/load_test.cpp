#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "gif/cgif.hpp"
#include "gif/gif_builders.hpp"
#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"
#include "support/caught.hpp"
#include "support/limits_scope.hpp"
#include "support/pillow.hpp"
#include "support/temp_dir.hpp"

#ifdef ZOETRA_HAVE_GIFLIB
#include <gif_lib.h>
#endif

namespace zoetra {
namespace {

using test::Bytes;
using test::GifBuilder;
using test::LimitsScope;
using test::LzwReference;

std::vector<std::uint8_t> Pixels(const cDIB& d) {
  std::vector<std::uint8_t> v;
  for (int r = 0; r < d.Height(); ++r) {
    const std::uint8_t* row = d.lpBits() + static_cast<std::size_t>(r) * d.BytesPerScanline();
    v.insert(v.end(), row, row + d.Width());
  }
  return v;
}

std::vector<std::uint8_t> MaskBits(const cDIB& d) {
  std::vector<std::uint8_t> v;
  for (int r = 0; r < d.Height(); ++r) {
    const std::uint8_t* row = d.lpBits() + static_cast<std::size_t>(r) * d.BytesPerScanline();
    for (int x = 0; x < d.Width(); ++x) v.push_back((row[x / 8] >> (7 - x % 8)) & 1);
  }
  return v;
}

// Colour table entry as blue, green, red of a raster's table.
std::array<std::uint8_t, 3> RasterEntry(const cDIB& d, int i) {
  std::vector<std::uint8_t> table(1024);
  d.GetPalette(table);
  return {table[4 * i], table[4 * i + 1], table[4 * i + 2]};
}

std::vector<std::uint8_t> Pattern(int w, int h, int colours, int salt = 0) {
  std::vector<std::uint8_t> v(static_cast<std::size_t>(w) * h);
  for (std::size_t i = 0; i < v.size(); ++i) {
    v[i] = static_cast<std::uint8_t>(1 + (i * 7 + i / 5 + static_cast<std::size_t>(salt)) % (colours - 1));
  }
  return v;
}

// Stream (file) order of an interlaced image of height h.
std::vector<int> InterlacedRows(int h) {
  std::vector<int> rows;
  const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
  for (int p = 0; p < 4; ++p) {
    for (int r = start[p]; r < h; r += step[p]) rows.push_back(r);
  }
  return rows;
}

std::vector<std::uint8_t> ToStreamOrder(const std::vector<std::uint8_t>& pixels, int w, int h) {
  std::vector<std::uint8_t> out;
  for (int r : InterlacedRows(h)) out.insert(out.end(), pixels.begin() + r * w, pixels.begin() + (r + 1) * w);
  return out;
}

void WriteFile(const std::filesystem::path& p, const Bytes& b) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// A two-frame file: frame 1 (3x2 at 1,1) uses the 4-entry global table and a
// graphic control block; frame 2 (4x6, interlaced) has an 8-entry sorted local
// table. A comment and a looping block sit between them.
struct TwoFrames {
  std::vector<std::uint8_t> p1 = Pattern(3, 2, 4);
  std::vector<std::uint8_t> p2 = Pattern(4, 6, 8, 3);
  Bytes Build(bool with_extras = true) const {
    GifBuilder g;
    g.Header().Screen(5, 7, 0x80 | 0x08 | 0x01, 2, 49).ColourTable(4, 10);
    if (with_extras) g.Netscape(5, 0);
    g.Gce(0x08 | 0x02, 7, 0).Image(1, 1, 3, 2, 0x00).ImageData(2, LzwReference(p1, 2));
    if (with_extras) g.Comment("made by hand");
    g.Image(0, 1, 4, 6, 0x80 | 0x40 | 0x20 | 0x02).ColourTable(8, 40);
    g.ImageData(3, LzwReference(ToStreamOrder(p2, 4, 6), 3), 5).Trailer();
    return g.bytes();
  }
};

TEST(cGIFLoadTest, ReadsEveryField) {
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(TwoFrames{}.Build()));
  const TwoFrames f;
  EXPECT_EQ(gif.Signature(), "GIF");
  EXPECT_EQ(gif.Version(), "89a");
  EXPECT_EQ(gif.ScreenWidth(), 5);
  EXPECT_EQ(gif.ScreenHeight(), 7);
  EXPECT_EQ(gif.ScreenBackgroundColorIndex(), 2);
  EXPECT_FLOAT_EQ(gif.ScreenPixelAspectRatio(), 1.0f);
  EXPECT_EQ(gif.GlobalPaletteExists(), -1);
  EXPECT_EQ(gif.GlobalPaletteSorted(), -1);
  EXPECT_EQ(gif.GlobalPaletteEntries(), 4);
  EXPECT_EQ(gif.GlobalPaletteRGBEntry(3), 13 + 256 * 16 + 65536 * 19);
  EXPECT_EQ(gif.AnimationLoops(), 5);
  ASSERT_EQ(gif.FramesCount(), 2);

  EXPECT_EQ(gif.FrameLeft(1), 1);
  EXPECT_EQ(gif.FrameTop(1), 1);
  EXPECT_EQ(gif.FrameDelay(1), 7);
  EXPECT_EQ(gif.FrameDisposalMethod(1), 2);
  EXPECT_EQ(gif.FrameUserInput(1), -1);
  EXPECT_EQ(gif.FrameUseTransparentColor(1), 0);
  EXPECT_EQ(gif.FrameInterlaced(1), 0);
  EXPECT_EQ(gif.LocalPaletteUsed(1), 0);
  EXPECT_EQ(gif.LocalPaletteSorted(1), -1);
  EXPECT_EQ(gif.LocalPaletteEntries(1), 4);
  EXPECT_EQ(std::memcmp(gif.lpLocalPalette(1), gif.lpGlobalPalette(), 1024), 0);
  EXPECT_EQ(gif.FrameDIBXOR(1)->Width(), 3);
  EXPECT_EQ(gif.FrameDIBXOR(1)->Height(), 2);
  EXPECT_EQ(Pixels(*gif.FrameDIBXOR(1)), f.p1);
  EXPECT_EQ(gif.FrameDIBAND(1)->BPP(), 1);
  EXPECT_EQ(MaskBits(*gif.FrameDIBAND(1)), std::vector<std::uint8_t>(6, 0));
  EXPECT_EQ(RasterEntry(*gif.FrameDIBXOR(1), 1), (std::array<std::uint8_t, 3>{13, 12, 11}));

  EXPECT_EQ(gif.FrameLeft(2), 0);
  EXPECT_EQ(gif.FrameTop(2), 1);
  EXPECT_EQ(gif.FrameDelay(2), 0);  // no graphic control block of its own
  EXPECT_EQ(gif.FrameDisposalMethod(2), 0);
  EXPECT_EQ(gif.FrameInterlaced(2), -1);
  EXPECT_EQ(gif.LocalPaletteUsed(2), -1);
  EXPECT_EQ(gif.LocalPaletteSorted(2), -1);
  EXPECT_EQ(gif.LocalPaletteEntries(2), 8);
  EXPECT_EQ(gif.LocalPaletteRGBEntry(2, 7), (40 + 7) + 256 * (40 + 14) + 65536 * (40 + 21));
  EXPECT_EQ(gif.LocalPaletteRGBEntry(2, 8), 0);
  EXPECT_EQ(Pixels(*gif.FrameDIBXOR(2)), f.p2);
}

TEST(cGIFLoadTest, HeaderChecks) {
  struct Case {
    const char* head;
    bool ok;
  };
  const Case cases[] = {{"GIF89a", true}, {"GIF87a", true}, {"GIF88a", false}, {"gif89a", false},
                        {"GIF89A", false}, {"JIF89a", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(TwoFrames{}.Build()));  // something to throw away
    Bytes b = TwoFrames{}.Build();
    std::memcpy(b.data(), c.head, 6);
    EXPECT_EQ(gif.LoadFromStream(b), c.ok);
    EXPECT_EQ(gif.FramesCount(), c.ok ? 2 : 0);
    EXPECT_EQ(gif.ScreenWidth(), c.ok ? 5 : 0);
    EXPECT_EQ(gif.AnimationLoops(), c.ok ? 5 : 0);
  }
  for (std::size_t n = 0; n < 6; ++n) {  // shorter than a header
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(TwoFrames{}.Build()));
    const Bytes b = {'G', 'I', 'F', '8', '9'};
    EXPECT_EQ(test::Caught([&] { gif.LoadFromStream(std::span(b.data(), n)); }).number(), kErrSubscript)
        << n << " bytes";
    EXPECT_EQ(gif.FramesCount(), 0);
  }
}

TEST(cGIFLoadTest, LoopCount) {
  struct Case {
    const char* what;
    Bytes block;
    std::int16_t loops;
    std::int32_t stored;  // LoadedLoopCount: the count as the file has it
  };
  auto netscape = [](std::uint8_t lo, std::uint8_t hi) { return GifBuilder().Netscape(lo, hi).bytes(); };
  const Case cases[] = {
      {"05 00", netscape(5, 0), 5, 5},
      {"00 00 endless", netscape(0, 0), 0, 0},
      {"largest that fits", netscape(0xFF, 0x7F), 32767, 32767},
      {"high byte 0x80 leaves it", netscape(0, 0x80), 3, 32768},
      {"high byte 0xFF leaves it", netscape(0xFF, 0xFF), 3, 65535},
      {"other identifier", GifBuilder().AppExt("ANIMEXTS2.0", {1, 9, 0}).bytes(), 3, 3},
      {"buffering sub-block", GifBuilder().AppExt("NETSCAPE2.0", {2, 9, 0, 0, 0}).bytes(), 3, 3},
      {"sub-block too short", GifBuilder().AppExt("NETSCAPE2.0", {1, 9}).bytes(), 3, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A first block sets 3; the case's block follows.
    const Bytes file = GifBuilder()
                           .Header()
                           .Screen(1, 1)
                           .Netscape(3, 0)
                           .Raw(c.block)
                           .Image(0, 0, 1, 1, 0)
                           .ImageData(2, {0x44, 0x01})
                           .Trailer()
                           .bytes();
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(file));
    EXPECT_EQ(gif.AnimationLoops(), c.loops);
    EXPECT_EQ(gif.LoadedLoopCount(), c.stored);
    EXPECT_EQ(gif.FramesCount(), 1);
  }
}

// Viewers tell "no looping block" (play once) from a count of 0 (forever),
// and a file cut before its trailer from a complete one.
TEST(cGIFLoadTest, LoopBlockAndTrailerAreRecorded) {
  const auto file = [](bool loop_block, bool trailer) {
    GifBuilder b;
    b.Header().Screen(1, 1);
    if (loop_block) b.Netscape(0, 0);
    b.Image(0, 0, 1, 1, 0).ImageData(2, {0x44, 0x01});
    if (trailer) b.Trailer();
    return b.bytes();
  };
  const struct {
    bool loop_block, trailer;
  } cases[] = {{true, true}, {false, true}, {true, false}, {false, false}};
  cGIF gif;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "loop block " << c.loop_block << ", trailer " << c.trailer);
    ASSERT_TRUE(gif.LoadFromStream(file(c.loop_block, c.trailer)));
    EXPECT_EQ(gif.FramesCount(), 1);
    EXPECT_EQ(gif.AnimationLoops(), 0);
    EXPECT_EQ(gif.LoadedLoopCount(), c.loop_block ? 0 : -1);
    EXPECT_EQ(gif.LoadedTrailer(), c.trailer);
  }
  // The trailer ends the load: a loop block after it is not read.
  Bytes after = file(false, true);
  const Bytes loop = GifBuilder().Netscape(7, 0).bytes();
  after.insert(after.end(), loop.begin(), loop.end());
  ASSERT_TRUE(gif.LoadFromStream(after));
  EXPECT_EQ(gif.LoadedLoopCount(), -1);
  // What a load found goes with the document's contents.
  ASSERT_TRUE(gif.LoadFromStream(file(true, true)));
  gif.Destroy();
  EXPECT_EQ(gif.LoadedLoopCount(), -1);
  EXPECT_FALSE(gif.LoadedTrailer());
}

TEST(cGIFLoadTest, GraphicControlGoesToTheNextImage) {
  const Bytes data = LzwReference({1, 2, 3, 1}, 2);
  const Bytes file = GifBuilder()
                         .Header()
                         .Screen(2, 2, 0x81)
                         .ColourTable(4)
                         .Gce(0x01 | (3 << 2), 100, 2)  // overwritten below
                         .Gce(0x01 | (1 << 2), 25, 3)
                         .Image(0, 0, 2, 2, 0)
                         .ImageData(2, data)
                         .Image(0, 0, 2, 2, 0)
                         .ImageData(2, data)
                         .Gce(0x1C, 9, 1)  // no transparency flag: the index byte is not taken
                         .Image(0, 0, 2, 2, 0)
                         .ImageData(2, data)
                         .Gce(0x01, 1, 1)  // before the trailer: no frame follows
                         .Trailer()
                         .bytes();
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(file));
  ASSERT_EQ(gif.FramesCount(), 3);
  EXPECT_EQ(gif.FrameDelay(1), 25);
  EXPECT_EQ(gif.FrameDisposalMethod(1), 1);
  EXPECT_EQ(gif.FrameUseTransparentColor(1), -1);
  EXPECT_EQ(gif.FrameTransparentColorIndex(1), 3);
  EXPECT_EQ(gif.FrameDelay(2), 0);
  EXPECT_EQ(gif.FrameUseTransparentColor(2), 0);
  EXPECT_EQ(gif.FrameDisposalMethod(3), 7);
  EXPECT_EQ(gif.FrameUseTransparentColor(3), 0);
  EXPECT_EQ(gif.FrameTransparentColorIndex(3), 0);
  EXPECT_EQ(gif.FrameDelay(3), 9);
}

TEST(cGIFLoadTest, TransparentFrameKeepsFileColourAndGetsMask) {
  const std::vector<std::uint8_t> pixels = {3, 5, 5, 1, 0, 5};
  const Bytes file = GifBuilder()
                         .Header()
                         .Screen(3, 2)
                         .Gce(0x01, 0, 5)
                         .Image(0, 0, 3, 2, 0x80 | 0x02)
                         .ColourTable(8, 100)
                         .ImageData(3, LzwReference(pixels, 3))
                         .Trailer()
                         .bytes();
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(file));
  ASSERT_EQ(gif.FramesCount(), 1);
  const cDIB& image = *gif.FrameDIBXOR(1);
  EXPECT_EQ(Pixels(image), pixels);
  EXPECT_EQ(RasterEntry(image, 5), (std::array<std::uint8_t, 3>{0, 0, 0}));
  EXPECT_EQ(RasterEntry(image, 4), (std::array<std::uint8_t, 3>{112, 108, 104}));
  EXPECT_EQ(gif.LocalPaletteRGBEntry(1, 5), 105 + 256 * 110 + 65536 * 115);
  EXPECT_EQ(MaskBits(*gif.FrameDIBAND(1)), (std::vector<std::uint8_t>{0, 1, 1, 0, 0, 1}));
}

// Blocks the reader has no use for, and bytes between blocks, change nothing.
TEST(cGIFLoadTest, SkipsExtensionsAndStrayBytes) {
  const TwoFrames f;
  const Bytes plain = f.Build(false);
  cGIF reference;
  ASSERT_TRUE(reference.LoadFromStream(plain));

  // Insert after the global table (offset 13 + 12) and before the trailer.
  auto with = [&](const Bytes& extra) {
    Bytes b = plain;
    b.insert(b.begin() + 25, extra.begin(), extra.end());
    b.insert(b.end() - 1, extra.begin(), extra.end());
    return b;
  };
  const std::pair<const char*, Bytes> cases[] = {
      {"comment", GifBuilder().Comment("hello").Comment("").bytes()},
      {"plain text", GifBuilder().PlainText("text on screen").bytes()},
      {"unknown label", GifBuilder().Raw({0x21, 0x99}).SubBlocks(Bytes(300, 0x2C)).bytes()},
      {"other application", GifBuilder().AppExt("XMP DataXMP", Bytes(600, 0x3B)).bytes()},
      {"stray bytes", Bytes{0x00, 0x17, 0xAA, 0x00}},
  };
  for (const auto& [what, extra] : cases) {
    SCOPED_TRACE(what);
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(with(extra)));
    ASSERT_EQ(gif.FramesCount(), 2);
    EXPECT_EQ(gif.AnimationLoops(), 0);
    for (std::int16_t n = 1; n <= 2; ++n) {
      EXPECT_EQ(Pixels(*gif.FrameDIBXOR(n)), Pixels(*reference.FrameDIBXOR(n)));
      EXPECT_EQ(gif.FrameDelay(n), reference.FrameDelay(n));
      EXPECT_EQ(gif.FrameLeft(n), reference.FrameLeft(n));
      EXPECT_EQ(std::memcmp(gif.lpLocalPalette(n), reference.lpLocalPalette(n), 1024), 0);
    }
  }
}

// Extensions are skipped by their sub-block lengths, whatever their sizes; a
// known block too short for its fields is ignored with a warning.
TEST(cGIFLoadTest, HostileExtensionLayouts) {
  struct Case {
    const char* what;
    Bytes blocks;       // at byte 13, before the one image
    int delay;          // the image's
    std::int32_t loop;  // LoadedLoopCount
    std::vector<std::string> warnings;
  };
  const auto looping = [](std::string_view id, const Bytes& sub_blocks) {
    return GifBuilder().Raw({0x21, 0xFF, 11}).Text(id).Raw(sub_blocks).Raw({0}).bytes();
  };
  const Case cases[] = {
      {"application block of 4 bytes",
       GifBuilder().Raw({0x21, 0xFF, 4}).Text("NETS").Raw({3, 1, 5, 0, 0}).bytes(),
       0,
       -1,
       {"application block at byte 13: identifier of 4 bytes, 11 needed; skipped"}},
      {"graphic control block of 3 bytes",
       {0x21, 0xF9, 3, 0x04, 9, 0, 0},
       0,
       -1,
       {"graphic control block at byte 13: 3 bytes, 4 needed; ignored"}},
      {"empty graphic control block",
       {0x21, 0xF9, 0},
       0,
       -1,
       {"graphic control block at byte 13: 0 bytes, 4 needed; ignored"}},
      {"image-like sub-block after a graphic control block",
       {0x21, 0xF9, 4, 0, 7, 0, 0, 10, 0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0},
       7,
       -1,
       {}},
      {"graphic control block of 6 bytes", {0x21, 0xF9, 6, 0, 8, 0, 0, 0xAA, 0xBB, 0}, 8, -1, {}},
      {"ANIMEXTS1.0 loop block", looping("ANIMEXTS1.0", {3, 1, 0, 0}), 0, 0, {}},
      {"loop after a buffering sub-block",
       looping("NETSCAPE2.0", {5, 2, 0, 0, 0, 0, 3, 1, 4, 0}),
       0,
       4,
       {}},
      {"loop sub-block of 2 bytes",
       looping("NETSCAPE2.0", {2, 1, 9}),
       0,
       -1,
       {"looping block at byte 13: loop sub-block of 2 bytes, 3 needed; ignored"}},
      {"1 byte",
       looping("ANIMEXTS1.0", {1, 1}),
       0,
       -1,
       {"looping block at byte 13: loop sub-block of 1 byte, 3 needed; ignored"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(GifBuilder()
                                       .Header()
                                       .Screen(1, 1)
                                       .Raw(c.blocks)
                                       .Image(0, 0, 1, 1, 0)
                                       .ImageData(2, {0x44, 0x01})
                                       .Trailer()
                                       .bytes()));
    ASSERT_EQ(gif.FramesCount(), 1);
    EXPECT_EQ(gif.FrameDelay(1), c.delay);
    EXPECT_EQ(gif.LoadedLoopCount(), c.loop);
    EXPECT_EQ(gif.LoadWarnings(), c.warnings);
    EXPECT_TRUE(gif.LoadedTrailer());
  }
  // A flood of bad blocks keeps a bounded list.
  GifBuilder flood;
  flood.Header().Screen(1, 1);
  for (int i = 0; i < 40; ++i) flood.Raw({0x21, 0xF9, 2, 0, 0, 0});
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(flood.Trailer().bytes()));
  ASSERT_EQ(gif.LoadWarnings().size(), cGIF::kMaxLoadWarnings + 1);
  EXPECT_EQ(gif.LoadWarnings()[1], "graphic control block at byte 19: 2 bytes, 4 needed; ignored");
  EXPECT_EQ(gif.LoadWarnings().back(), "and 24 more warnings like these");
}

// Every prefix of a valid file loads without reading past it; frames appear in
// order, and each frame's pixels are a prefix (in file order) of the real ones.
TEST(cGIFLoadTest, EveryTruncationLoads) {
  const TwoFrames f;
  const Bytes file = f.Build();
  const std::vector<std::uint8_t>* expected[2] = {&f.p1, &f.p2};
  const std::vector<int> rows2 = InterlacedRows(6);
  int last_frames = 0;
  std::size_t last_decoded = 0;
  for (std::size_t n = 6; n <= file.size(); ++n) {
    SCOPED_TRACE(n);
    const Bytes part(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));  // exact size for ASan
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(part));
    const int frames = gif.FramesCount();
    ASSERT_GE(frames, last_frames);
    std::size_t decoded = 0;
    for (std::int16_t k = 1; k <= frames; ++k) {
      const auto got = Pixels(*gif.FrameDIBXOR(k));
      ASSERT_EQ(got.size(), expected[k - 1]->size());
      // File order of the pixels: frame 2 is interlaced.
      std::vector<std::size_t> order;
      if (k == 1) {
        for (std::size_t i = 0; i < got.size(); ++i) order.push_back(i);
      } else {
        for (int r : rows2) {
          for (int x = 0; x < 4; ++x) order.push_back(static_cast<std::size_t>(r * 4 + x));
        }
      }
      bool gap = false;
      for (std::size_t i : order) {
        if (got[i] == 0) {  // the patterns never use index 0
          gap = true;
        } else {
          ASSERT_FALSE(gap);
          ASSERT_EQ(got[i], (*expected[k - 1])[i]);
          ++decoded;
        }
      }
    }
    if (frames == last_frames) {
      ASSERT_GE(decoded, last_decoded);
    }
    last_frames = frames;
    last_decoded = decoded;
  }
  EXPECT_EQ(last_frames, 2);
  EXPECT_EQ(last_decoded, f.p1.size() + f.p2.size());
}

TEST(cGIFLoadTest, TruncatedGlobalTableKeepsCompleteEntries) {
  const Bytes file = GifBuilder().Header().Screen(1, 1, 0x82).ColourTable(3, 10).Raw({0xAA, 0xBB}).bytes();
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(file));
  EXPECT_EQ(gif.GlobalPaletteEntries(), 8);
  EXPECT_EQ(gif.GlobalPaletteRGBEntry(2), 12 + 256 * 14 + 65536 * 16);
  EXPECT_EQ(gif.GlobalPaletteRGBEntry(3), 0);
  EXPECT_EQ(gif.FramesCount(), 0);
}

// Damaged images cost only themselves: the frame after them loads normally.
TEST(cGIFLoadTest, HostileImagesLeaveTheNextFrameIntact) {
  const std::vector<std::uint8_t> good = Pattern(4, 3, 4);
  struct Case {
    const char* what;
    Bytes image;  // one image block, whatever it holds
    int w, h;     // raster size expected for the damaged frame (0 = empty rasters)
    int bad_code_size = -1;  // reported as damaged
  };
  Bytes garbage(200);
  std::mt19937 rng(7);
  for (auto& b : garbage) b = static_cast<std::uint8_t>(rng());
  const Case cases[] = {
      {"code size 12",
       GifBuilder().Image(0, 0, 4, 3, 0).ImageData(12, LzwReference(good, 8)).bytes(), 4, 3, 12},
      {"code size 143",
       GifBuilder().Image(0, 0, 4, 3, 0).ImageData(143, LzwReference(good, 8)).bytes(), 4, 3, 143},
      {"code size 0", GifBuilder().Image(0, 0, 4, 3, 0).ImageData(0, {0xFF, 0x00, 0x12}).bytes(), 4,
       3, 0},
      {"random codes", GifBuilder().Image(0, 0, 4, 3, 0).ImageData(2, garbage).bytes(), 4, 3},
      {"no data", GifBuilder().Image(0, 0, 4, 3, 0).Raw({2, 0}).bytes(), 4, 3},
      {"zero width", GifBuilder().Image(0, 0, 0, 3, 0).ImageData(2, LzwReference(good, 2)).bytes(),
       0, 0},
      {"zero height", GifBuilder().Image(0, 0, 4, 0, 0).ImageData(2, LzwReference(good, 2)).bytes(),
       0, 0},
      {"zero size, transparent",
       GifBuilder()
           .Gce(0x01, 0, 1)
           .Image(0, 0, 0, 0, 0)
           .ImageData(2, LzwReference(good, 2))
           .bytes(),
       0, 0},
      {"far outside the screen",
       GifBuilder().Image(60000, 65535, 4, 3, 0).ImageData(2, LzwReference(good, 2)).bytes(), 4, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes file = GifBuilder()
                           .Header()
                           .Screen(4, 3, 0x81)
                           .ColourTable(4)
                           .Raw(c.image)
                           .Image(0, 0, 4, 3, 0)
                           .ImageData(2, LzwReference(good, 2))
                           .Trailer()
                           .bytes();
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(file));
    ASSERT_EQ(gif.FramesCount(), 2);
    const auto image = gif.FrameDIBXOR(1);
    const auto mask = gif.FrameDIBAND(1);
    ASSERT_TRUE(image && mask);
    EXPECT_EQ(image->Width(), c.w);
    EXPECT_EQ(image->Height(), c.h);
    EXPECT_EQ(mask->Width(), c.w);
    if (c.w == 0) {
      EXPECT_EQ(image->hDIB(), 0u);
      EXPECT_EQ(mask->hDIB(), 0u);
    }
    EXPECT_EQ(Pixels(*gif.FrameDIBXOR(2)), good);
    std::vector<std::string> warnings;
    if (c.bad_code_size >= 0) {
      warnings.push_back("frame 1: LZW minimum code size " + std::to_string(c.bad_code_size) +
                         " is outside 1 to 11; the frame is left empty (damaged)");
      EXPECT_EQ(Pixels(*image), std::vector<std::uint8_t>(12, 0));
    }
    EXPECT_EQ(gif.LoadWarnings(), warnings);
  }
  cGIF gif;  // the frame far outside keeps the file's 16 bits, which mean 60000 and 65535
  ASSERT_TRUE(gif.LoadFromStream(GifBuilder()
                                     .Header()
                                     .Screen(4, 3)
                                     .Image(60000, 65535, 4, 3, 0)
                                     .ImageData(2, LzwReference(good, 2))
                                     .bytes()));
  EXPECT_EQ(gif.FrameLeft(1), static_cast<std::int16_t>(60000));
  EXPECT_EQ(gif.FrameTop(1), -1);
  EXPECT_EQ(gif.FrameLeftU16(1), 60000);
  EXPECT_EQ(gif.FrameTopU16(1), 65535);
  EXPECT_EQ(Pixels(*gif.FrameDIBXOR(1)), good);
  ASSERT_TRUE(gif.LoadFromStream(GifBuilder().Header().Screen(40000, 32768).Trailer().bytes()));
  EXPECT_EQ(gif.ScreenWidthU16(), 40000);
  EXPECT_EQ(gif.ScreenHeightU16(), 32768);
}

TEST(cGIFLoadTest, NoPaletteAnywhere) {
  const std::vector<std::uint8_t> pixels = Pattern(3, 3, 4);
  const Bytes file = GifBuilder()
                         .Header("87a")
                         .Screen(3, 3)
                         .Image(0, 0, 3, 3, 0)
                         .ImageData(2, LzwReference(pixels, 2))
                         .Trailer()
                         .bytes();
  cGIF gif;
  gif.GlobalPaletteExists(-1);  // the load decides, whatever was set before
  ASSERT_TRUE(gif.LoadFromStream(file));
  EXPECT_EQ(gif.Version(), "87a");
  EXPECT_EQ(gif.GlobalPaletteExists(), 0);
  EXPECT_EQ(gif.GlobalPaletteEntries(), 0);
  ASSERT_EQ(gif.FramesCount(), 1);
  EXPECT_EQ(gif.LocalPaletteEntries(1), 0);
  EXPECT_EQ(gif.LocalPaletteRGBEntry(1, 1), 0);
  EXPECT_EQ(Pixels(*gif.FrameDIBXOR(1)), pixels);
}

// Declared sizes are checked against the host's limits before any raster exists.
TEST(cGIFLoadTest, LimitsStopTheLoadBeforeAllocating) {
  LimitsScope limits_scope;
  const std::vector<std::uint8_t> px = Pattern(10, 10, 4);
  auto frames = [&](int count, std::uint16_t big_w = 0, std::uint16_t big_h = 0) {
    GifBuilder g;
    g.Header().Screen(10, 10, 0x81).ColourTable(4);
    for (int i = 0; i < count; ++i) g.Gce(0, static_cast<std::uint16_t>(i + 1), 0).Image(0, 0, 10, 10, 0).ImageData(2, LzwReference(px, 2));
    if (big_w != 0) g.Image(0, 0, big_w, big_h, 0).ImageData(2, LzwReference(px, 2));
    g.Image(0, 0, 10, 10, 0).ImageData(2, LzwReference(px, 2));
    return g.Trailer().bytes();
  };
  // The load stops at the limit and says so: not a truncated file.
  const auto expect_stop = [](const cGIF& gif, const std::string& warning) {
    EXPECT_TRUE(gif.LoadedToLimit());
    EXPECT_FALSE(gif.LoadedTrailer());
    EXPECT_EQ(gif.LoadWarnings(), std::vector<std::string>{warning});
  };
  {
    cGIF gif;  // 65535 x 65535 needs 4 GiB: refused under the default limit
    ASSERT_TRUE(gif.LoadFromStream(frames(1, 65535, 65535)));
    EXPECT_EQ(gif.FramesCount(), 1);
    expect_stop(gif,
                "frame 2 (65535 x 65535) and those after it are not read: the frames would decode "
                "to more than "
                "268435456 pixels (max_document_pixels)");
  }
  platform::Limits limits = platform::GetLimits();
  limits.max_document_pixels = std::int64_t{1} << 40;
  platform::SetLimits(limits);
  {
    cGIF gif;  // with the limit raised, a raster that the platform cannot address still stops the load
    ASSERT_TRUE(gif.LoadFromStream(frames(1, 65535, 65535)));
    EXPECT_EQ(gif.FramesCount(), 1);
    expect_stop(gif,
                "frame 2 (65535 x 65535) and those after it are not read: the frame is too large "
                "for a raster");
  }
  limits.max_document_pixels = 250;  // two and a half 10 x 10 frames
  platform::SetLimits(limits);
  {
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(frames(4)));
    ASSERT_EQ(gif.FramesCount(), 2);
    EXPECT_EQ(Pixels(*gif.FrameDIBXOR(2)), px);
    EXPECT_EQ(gif.FrameDelay(2), 2);
  }
  limits.max_document_pixels = 300;
  limits.max_document_frames = 3;
  platform::SetLimits(limits);
  {
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(frames(5)));
    EXPECT_EQ(gif.FramesCount(), 3);
    expect_stop(
        gif,
        "frame 4 (10 x 10) and those after it are not read: a document holds at most 3 frames "
        "(max_document_frames)");
    ASSERT_TRUE(gif.LoadFromStream(frames(2)));  // within the limits: nothing to say
    EXPECT_FALSE(gif.LoadedToLimit());
    EXPECT_TRUE(gif.LoadWarnings().empty());
  }
}

TEST(cGIFLoadTest, LoadFromFile) {
  LimitsScope limits_scope;
  const Bytes file = TwoFrames{}.Build();
  test::TempDir dir;
  const std::filesystem::path good = dir.Path("good.gif"), empty = dir.Path("empty.gif"), bad = dir.Path("bad.gif"),
                              tiny = dir.Path("tiny.gif");
  WriteFile(good, file);
  WriteFile(empty, {});
  Bytes wrong = file;
  wrong[4] = '8';
  WriteFile(bad, wrong);
  WriteFile(tiny, {'G', 'I', 'F'});

  cGIF gif;
  EXPECT_TRUE(gif.LoadFromFile(good.string()));
  EXPECT_EQ(gif.FramesCount(), 2);
  const std::pair<std::filesystem::path, const char*> failing[] = {
      {empty, "empty"}, {bad, "bad version"}, {tiny, "shorter than a header"}, {dir.Path("missing.gif"), "missing"}};
  for (const auto& [path, what] : failing) {
    ASSERT_TRUE(gif.LoadFromFile(good.string()));
    EXPECT_FALSE(gif.LoadFromFile(path.string())) << what;
    EXPECT_EQ(gif.FramesCount(), 0) << what;
    EXPECT_EQ(gif.ScreenWidth(), 0) << what;
  }
  platform::Limits limits = platform::GetLimits();
  limits.max_file_bytes = static_cast<std::int64_t>(file.size()) - 1;
  platform::SetLimits(limits);
  EXPECT_FALSE(gif.LoadFromFile(good.string()));
  limits.max_file_bytes = static_cast<std::int64_t>(file.size());
  platform::SetLimits(limits);
  EXPECT_TRUE(gif.LoadFromFile(good.string()));
}

// Random damage to a valid file: the load always answers and stays in bounds.
TEST(cGIFLoadTest, RandomDamage) {
  const Bytes file = TwoFrames{}.Build();
  std::mt19937 rng(11);
  for (int round = 0; round < 400; ++round) {
    Bytes b = file;
    const int hits = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < hits; ++i) b[6 + rng() % (b.size() - 6)] = static_cast<std::uint8_t>(rng());
    if (round % 4 == 0) b.resize(6 + rng() % (b.size() - 6));
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(b));
    for (std::int32_t n = 1; n <= gif.FramesCount(); ++n) {
      ASSERT_TRUE(gif.FrameDIBXOR(static_cast<std::int16_t>(n)));
      ASSERT_TRUE(gif.FrameDIBAND(static_cast<std::int16_t>(n)));
    }
  }
}

// Documents written by our writer read back field for field. Palettes come back
// rounded up to the power of two the file holds, the extra entries black.
TEST(cGIFLoadTest, RoundTripThroughSave) {
  std::mt19937 rng(23);
  auto rnd = [&](int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1)); };
  for (int round = 0; round < 14; ++round) {
    SCOPED_TRACE(round);
    cGIF src;
    src.Destroy();
    const int global_bits = 1 + round % 8;  // exponents 1..8: minimum code sizes 2..8
    const int global_entries = rnd((1 << (global_bits - 1)) + 1, 1 << global_bits);
    const bool has_global = round % 5 != 4;
    src.GlobalPaletteExists(has_global ? -1 : 0);
    const int frames = rnd(1, 4);
    std::vector<std::vector<std::uint8_t>> pixels;
    for (int f = 1; f <= frames; ++f) {
      const int w = rnd(1, 70), h = rnd(1, 40);
      src.FrameInsert(static_cast<std::int16_t>(f), static_cast<std::int16_t>(w), static_cast<std::int16_t>(h));
      const auto n = static_cast<std::int16_t>(f);
      const bool local = !has_global || rng() % 2 == 0;
      int entries = global_entries;
      if (local) {
        entries = rnd(1, 256);
        src.LocalPaletteUsed(n, -1);
        src.LocalPaletteEntries(n, static_cast<std::int16_t>(entries));
        src.LocalPaletteSorted(n, rng() % 2 ? -1 : 0);
        std::uint8_t* pal = src.lpLocalPalette(n);
        for (int i = 0; i < 4 * entries; ++i) pal[i] = i % 4 == 3 ? 0 : static_cast<std::uint8_t>(rng());
      }
      src.FrameLeft(n, static_cast<std::int16_t>(rnd(-5, 300)));
      src.FrameTop(n, static_cast<std::int16_t>(rnd(0, 300)));
      src.FrameDelay(n, static_cast<std::int16_t>(rnd(0, 32767)));
      src.FrameDisposalMethod(n, rnd(0, 7));
      src.FrameUserInput(n, rng() % 2 ? -1 : 0);
      src.FrameInterlaced(n, rng() % 2 ? -1 : 0);
      const bool transparent = rng() % 2 == 0;
      src.FrameUseTransparentColor(n, transparent ? -1 : 0);
      src.FrameTransparentColorIndex(n, static_cast<std::uint8_t>(rnd(0, entries - 1)));
      cDIB& image = *src.FrameDIBXOR(n);
      std::vector<std::uint8_t> px(static_cast<std::size_t>(w) * h);
      for (auto& p : px) p = static_cast<std::uint8_t>(rnd(0, entries - 1));
      for (int r = 0; r < h; ++r) {
        std::memcpy(image.lpBits() + static_cast<std::size_t>(r) * image.BytesPerScanline(),
                    &px[static_cast<std::size_t>(r) * w], static_cast<std::size_t>(w));
      }
      pixels.push_back(px);
    }
    src.ScreenWidth(static_cast<std::int16_t>(rnd(1, 400)));
    src.ScreenHeight(static_cast<std::int16_t>(rnd(1, 400)));
    src.ScreenBackgroundColorIndex(static_cast<std::uint8_t>(rnd(0, 255)));
    src.ScreenPixelAspectRatio(static_cast<float>(rnd(15, 270)) / 64.0f);
    src.AnimationLoops(static_cast<std::int16_t>(rnd(0, 32767)));
    src.GlobalPaletteEntries(static_cast<std::int16_t>(has_global ? global_entries : 0));
    src.GlobalPaletteSorted(rng() % 2 ? -1 : 0);
    for (int i = 0; i < 4 * global_entries; ++i) src.lpGlobalPalette()[i] = i % 4 == 3 ? 0 : static_cast<std::uint8_t>(rng());

    Bytes file;
    ASSERT_TRUE(src.SaveToBuffer(file));
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(file));
    auto rounded = [](int entries) { return entries <= 2 ? 2 : 1 << (32 - __builtin_clz(static_cast<unsigned>(entries - 1))); };
    EXPECT_EQ(gif.ScreenWidth(), src.ScreenWidth());
    EXPECT_EQ(gif.ScreenHeight(), src.ScreenHeight());
    EXPECT_EQ(gif.ScreenBackgroundColorIndex(), src.ScreenBackgroundColorIndex());
    EXPECT_EQ(gif.ScreenPixelAspectRatio(), src.ScreenPixelAspectRatio());
    EXPECT_EQ(gif.AnimationLoops(), src.AnimationLoops());
    EXPECT_EQ(gif.GlobalPaletteExists(), src.GlobalPaletteExists());
    if (has_global) {
      EXPECT_EQ(gif.GlobalPaletteSorted(), src.GlobalPaletteSorted());
      EXPECT_EQ(gif.GlobalPaletteEntries(), rounded(global_entries));
      EXPECT_EQ(std::memcmp(gif.lpGlobalPalette(), src.lpGlobalPalette(), 1024), 0);
    }
    ASSERT_EQ(gif.FramesCount(), frames);
    for (int f = 1; f <= frames; ++f) {
      const auto n = static_cast<std::int16_t>(f);
      SCOPED_TRACE(f);
      EXPECT_EQ(gif.FrameLeft(n), src.FrameLeft(n));
      EXPECT_EQ(gif.FrameTop(n), src.FrameTop(n));
      EXPECT_EQ(gif.FrameDelay(n), src.FrameDelay(n));
      EXPECT_EQ(gif.FrameDisposalMethod(n), src.FrameDisposalMethod(n));
      EXPECT_EQ(gif.FrameUserInput(n), src.FrameUserInput(n));
      EXPECT_EQ(gif.FrameInterlaced(n), src.FrameInterlaced(n));
      EXPECT_EQ(gif.FrameUseTransparentColor(n), src.FrameUseTransparentColor(n));
      if (src.FrameUseTransparentColor(n) != 0) {
        EXPECT_EQ(gif.FrameTransparentColorIndex(n), src.FrameTransparentColorIndex(n));
      }
      EXPECT_EQ(gif.LocalPaletteUsed(n), src.LocalPaletteUsed(n));
      if (src.LocalPaletteUsed(n) != 0) {
        EXPECT_EQ(gif.LocalPaletteSorted(n), src.LocalPaletteSorted(n));
        EXPECT_EQ(gif.LocalPaletteEntries(n), rounded(src.LocalPaletteEntries(n)));
        EXPECT_EQ(std::memcmp(gif.lpLocalPalette(n), src.lpLocalPalette(n), 1024), 0);
      } else {
        EXPECT_EQ(gif.LocalPaletteEntries(n), rounded(global_entries));
        EXPECT_EQ(std::memcmp(gif.lpLocalPalette(n), src.lpGlobalPalette(), 1024), 0);
      }
      ASSERT_EQ(Pixels(*gif.FrameDIBXOR(n)), pixels[static_cast<std::size_t>(f - 1)]);
    }
  }
}

// Files written by an independent encoder through Python's imaging library, when
// the machine has it. Colours are compared, so its palette choices do not matter.
TEST(cGIFLoadTest, ReadsFilesWrittenByPillow) {
  test::TempDir dir;
  const std::string out = dir.Path("pillow.gif");
  const std::string single = dir.Path("pillow_interlaced.gif");
  const std::string script = dir.Path("make.py");
  const int w = 41, h = 30, frames = 3;
  {
    std::ofstream py(script);
    py << "import sys\n"
          "from PIL import Image\n"
          "w, h = " << w << ", " << h << "\n"
          "pal = []\n"
          "for i in range(256): pal += [(i * 3) % 256, (i * 5 + 1) % 256, (255 - i) % 256]\n"
          "ims = []\n"
          "for k in range(" << frames << "):\n"
          "    im = Image.new('P', (w, h))\n"
          "    im.putpalette(pal)\n"
          "    im.putdata([(x * 3 + y * 5 + k * 7) % 64 for y in range(h) for x in range(w)])\n"
          "    ims.append(im)\n"
          "ims[0].save(sys.argv[1], save_all=True, append_images=ims[1:], loop=4,\n"
          "            duration=[100, 200, 300], disposal=2, optimize=False)\n"
          "ims[2].save(sys.argv[2], interlace=1)\n";
  }
  if (test::PillowPython().empty()) GTEST_SKIP() << "python3 with Pillow is not available";
  const std::string cmd = test::PillowPython() + " '" + script + "' '" + out + "' '" + single + "' 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;

  // Frame n of `gif` shows picture k wherever it lies on the screen.
  auto check = [&](const cGIF& gif, std::int16_t n, int k) {
    const cDIB& image = *gif.FrameDIBXOR(n);
    ASSERT_GT(image.Width(), 0);
    const auto px = Pixels(image);
    for (int y = 0; y < image.Height(); ++y) {
      for (int x = 0; x < image.Width(); ++x) {
        const int sx = x + gif.FrameLeft(n), sy = y + gif.FrameTop(n);
        const int i = (sx * 3 + sy * 5 + k * 7) % 64;
        const int want = (i * 3) % 256 + 256 * ((i * 5 + 1) % 256) + 65536 * (255 - i);
        ASSERT_EQ(gif.LocalPaletteRGBEntry(n, px[static_cast<std::size_t>(y * image.Width() + x)]), want)
            << x << "," << y;
      }
    }
  };
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromFile(out));
  EXPECT_EQ(gif.ScreenWidth(), w);
  EXPECT_EQ(gif.ScreenHeight(), h);
  EXPECT_EQ(gif.AnimationLoops(), 4);
  ASSERT_EQ(gif.FramesCount(), frames);
  for (int k = 0; k < frames; ++k) {
    const auto n = static_cast<std::int16_t>(k + 1);
    SCOPED_TRACE(n);
    EXPECT_EQ(gif.FrameDelay(n), 10 * (k + 1));
    EXPECT_EQ(gif.FrameDisposalMethod(n), 2);
    check(gif, n, k);
  }
  cGIF one;
  ASSERT_TRUE(one.LoadFromFile(single));
  ASSERT_EQ(one.FramesCount(), 1);
  EXPECT_NE(one.FrameInterlaced(1), 0);
  check(one, 1, 2);
}

// Interlaced frames of 4 rows or fewer are stored in pass order (a 4-row frame
// as rows 0, 2, 1, 3), as Pillow reads them.
TEST(cGIFLoadTest, ShortInterlacedFramesAgreeWithPillow) {
  if (test::PillowPython().empty()) GTEST_SKIP() << "python3 with Pillow is not available";
  test::TempDir dir;
  for (const int h : {2, 3, 4}) {
    SCOPED_TRACE(h);
    std::vector<std::uint8_t> pixels;  // row r is all r + 1
    for (int r = 0; r < h; ++r) pixels.insert(pixels.end(), 2, static_cast<std::uint8_t>(r + 1));
    const std::string path = dir.Path("short" + std::to_string(h) + ".gif");
    WriteFile(path, GifBuilder()
                        .Header()
                        .Screen(2, static_cast<std::uint16_t>(h), 0x82)
                        .ColourTable(8)
                        .Image(0, 0, 2, static_cast<std::uint16_t>(h), 0x40)
                        .ImageData(3, LzwReference(ToStreamOrder(pixels, 2, h), 3))
                        .Trailer()
                        .bytes());
    const std::string cmd =
        test::PillowPython() +
        " -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
        "print(*[im.getpixel((0, y)) for y in range(im.height)])\" '" +
        path + "'";
    std::string pillow;
    if (FILE* pipe = ::popen(cmd.c_str(), "r")) {
      for (int c; (c = std::fgetc(pipe)) != EOF;) pillow += static_cast<char>(c);
      ::pclose(pipe);
    }
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromFile(path));
    const std::vector<std::uint8_t> ours = Pixels(*gif.FrameDIBXOR(1));
    EXPECT_EQ(ours, pixels);
    std::string shown;
    for (int r = 0; r < h; ++r)
      shown += (r ? " " : "") + std::to_string(ours[static_cast<std::size_t>(2 * r)]);
    EXPECT_EQ(pillow, shown + "\n");
  }
}

#ifdef ZOETRA_HAVE_GIFLIB

// Decodes a file with the independent library: pixels of each image in memory-row order.
std::vector<std::vector<std::uint8_t>> GiflibImages(const Bytes& file) {
  struct Src {
    const Bytes* b;
    std::size_t pos;
  } src{&file, 0};
  auto read = [](GifFileType* g, GifByteType* out, int n) -> int {
    auto* s = static_cast<Src*>(g->UserData);
    const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(n), s->b->size() - s->pos);
    std::memcpy(out, s->b->data() + s->pos, k);
    s->pos += k;
    return static_cast<int>(k);
  };
  int err = 0;
  GifFileType* g = DGifOpen(&src, read, &err);
  std::vector<std::vector<std::uint8_t>> images;
  if (!g) return images;
  DGifSlurp(g);
  for (int i = 0; i < g->ImageCount; ++i) {
    const SavedImage& im = g->SavedImages[i];
    const int w = im.ImageDesc.Width, h = im.ImageDesc.Height;
    std::vector<std::uint8_t> v(static_cast<std::size_t>(w) * h);
    // DGifSlurp puts interlaced rows in place itself.
    if (im.RasterBits) std::memcpy(v.data(), im.RasterBits, v.size());
    images.push_back(std::move(v));
  }
  DGifCloseFile(g, &err);
  return images;
}

// A stream that keeps a full table instead of sending a clear code decodes the
// same here as in the independent decoder.
TEST(cGIFLoadTest, FullTableWithoutClearAgreesWithGiflib) {
  const int w = 200, h = 150;
  std::vector<std::uint8_t> px(static_cast<std::size_t>(w) * h);
  std::mt19937 rng(3);
  for (auto& p : px) p = static_cast<std::uint8_t>(rng() % 16);
  const Bytes file = GifBuilder()
                         .Header()
                         .Screen(w, h, 0x83)
                         .ColourTable(16)
                         .Image(0, 0, w, h, 0)
                         .ImageData(4, LzwReference(px, 4, /*deferred_clear=*/true))
                         .Trailer()
                         .bytes();
  const auto theirs = GiflibImages(file);
  ASSERT_EQ(theirs.size(), 1u);
  ASSERT_EQ(theirs[0], px);
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(file));
  EXPECT_EQ(Pixels(*gif.FrameDIBXOR(1)), px);
}

struct GiflibFrame {
  int left, top, w, h;
  bool interlaced;
  int local_colours;  // 0: global table
  int delay, disposal, transparent;  // transparent -1: none
  std::vector<std::uint8_t> pixels;
};

Bytes WriteWithGiflib(int sw, int sh, int global_colours, int loops, const std::vector<GiflibFrame>& frames) {
  test::TempDir dir;
  const std::string path = dir.Path("giflib.gif");
  int err = 0;
  GifFileType* g = EGifOpenFileName(path.c_str(), false, &err);
  if (!g) return {};
  EGifSetGifVersion(g, true);
  auto make_map = [](int n, int salt) {
    ColorMapObject* m = GifMakeMapObject(n, nullptr);
    for (int i = 0; i < n; ++i) {
      m->Colors[i] = {static_cast<GifByteType>(i * 3 + salt), static_cast<GifByteType>(i * 5 + salt),
                      static_cast<GifByteType>(255 - i)};
    }
    return m;
  };
  ColorMapObject* global = make_map(global_colours, 1);
  EGifPutScreenDesc(g, sw, sh, 8, 0, global);
  GifFreeMapObject(global);
  const GifByteType app[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
  const GifByteType loop_block[] = {1, static_cast<GifByteType>(loops & 0xFF), static_cast<GifByteType>(loops >> 8)};
  EGifPutExtensionLeader(g, APPLICATION_EXT_FUNC_CODE);
  EGifPutExtensionBlock(g, sizeof app, app);
  EGifPutExtensionBlock(g, sizeof loop_block, loop_block);
  EGifPutExtensionTrailer(g);
  EGifPutComment(g, "written by the independent library");
  for (const GiflibFrame& f : frames) {
    GraphicsControlBlock gcb{f.disposal, false, f.delay, f.transparent};
    GifByteType ext[4];
    EGifGCBToExtension(&gcb, ext);
    EGifPutExtension(g, GRAPHICS_EXT_FUNC_CODE, 4, ext);
    ColorMapObject* local = f.local_colours ? make_map(f.local_colours, 50) : nullptr;
    EGifPutImageDesc(g, f.left, f.top, f.w, f.h, f.interlaced, local);
    if (local) GifFreeMapObject(local);
    std::vector<int> rows;
    if (f.interlaced) {
      rows = InterlacedRows(f.h);
    } else {
      for (int r = 0; r < f.h; ++r) rows.push_back(r);
    }
    for (int r : rows) EGifPutLine(g, const_cast<GifPixelType*>(&f.pixels[static_cast<std::size_t>(r) * f.w]), f.w);
  }
  EGifCloseFile(g, &err);
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(cGIFLoadTest, ReadsGiflibFiles) {
  std::mt19937 rng(5);
  auto random = [&](int w, int h, int colours) {
    std::vector<std::uint8_t> v(static_cast<std::size_t>(w) * h);
    for (auto& p : v) p = static_cast<std::uint8_t>(rng() % static_cast<unsigned>(colours));
    return v;
  };
  const std::vector<GiflibFrame> frames = {
      // Frames with the global table first: giflib loses a local table followed by none.
      {0, 0, 37, 23, false, 0, 10, 1, -1, random(37, 23, 256)},
      {5, 1, 30, 9, true, 0, 32767, 0, -1, random(30, 9, 256)},
      {2, 3, 9, 4, true, 0, 4, 1, -1,
       random(9, 4, 256)},  // short interlaced frames take the passes too
      {6, 7, 11, 3, true, 0, 6, 0, -1, random(11, 3, 256)},
      {3, 4, 21, 17, true, 16, 20, 2, 5, random(21, 17, 16)},
      {0, 0, 1, 1, false, 2, 0, 3, 0, random(1, 1, 2)},
      {0, 0, 40, 25, false, 4, 7, 1, 3, random(40, 25, 4)},
  };
  const Bytes file = WriteWithGiflib(40, 25, 256, 9, frames);
  ASSERT_FALSE(file.empty());
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(file));
  EXPECT_EQ(gif.ScreenWidth(), 40);
  EXPECT_EQ(gif.ScreenHeight(), 25);
  EXPECT_EQ(gif.AnimationLoops(), 9);
  EXPECT_EQ(gif.GlobalPaletteEntries(), 256);
  ASSERT_EQ(gif.FramesCount(), static_cast<int>(frames.size()));
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const GiflibFrame& f = frames[i];
    const auto n = static_cast<std::int16_t>(i + 1);
    SCOPED_TRACE(n);
    EXPECT_EQ(gif.FrameLeft(n), f.left);
    EXPECT_EQ(gif.FrameTop(n), f.top);
    EXPECT_EQ(gif.FrameInterlaced(n) != 0, f.interlaced);
    EXPECT_EQ(gif.FrameDelay(n), f.delay);
    EXPECT_EQ(gif.FrameDisposalMethod(n), f.disposal);
    EXPECT_EQ(gif.FrameUseTransparentColor(n) != 0, f.transparent >= 0);
    if (f.transparent >= 0) {
      EXPECT_EQ(gif.FrameTransparentColorIndex(n), f.transparent);
    }
    EXPECT_EQ(gif.LocalPaletteUsed(n) != 0, f.local_colours != 0);
    const int salt = f.local_colours ? 50 : 1;
    EXPECT_EQ(gif.LocalPaletteEntries(n), f.local_colours ? f.local_colours : 256);
    EXPECT_EQ(gif.LocalPaletteRGBEntry(n, 1), (3 + salt) + 256 * (5 + salt) + 65536 * 254);
    ASSERT_EQ(Pixels(*gif.FrameDIBXOR(n)), f.pixels);
    if (f.transparent >= 0) {
      std::vector<std::uint8_t> mask;
      for (std::uint8_t p : f.pixels) mask.push_back(p == f.transparent ? 1 : 0);
      EXPECT_EQ(MaskBits(*gif.FrameDIBAND(n)), mask);
    }
  }
  // And the independent decoder agrees on these pixels.
  const auto theirs = GiflibImages(file);
  ASSERT_EQ(theirs.size(), frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(theirs[i], frames[i].pixels);
}

#endif  // ZOETRA_HAVE_GIFLIB

}  // namespace
}  // namespace zoetra

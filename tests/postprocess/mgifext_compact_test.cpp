// Palette compaction on documents that take its shortcuts (every entry used
// early, used entries already at the front) and on rows of every length, each
// checked against the plain rule: keep the used entries in order, renumber.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "platform/base/error.hpp"
#include "postprocess/mgifext.hpp"
#include "support/caught.hpp"

namespace zoetra {
namespace {

using Frame = std::vector<std::uint8_t>;  // row-major pixels, row 0 first

void MakeDocument(cGIF& doc, int w, int h, int entries, const std::vector<Frame>& frames) {
  doc.Destroy();
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const auto f = static_cast<std::int16_t>(i + 1);
    doc.FrameInsert(f, static_cast<std::int16_t>(w), static_cast<std::int16_t>(h));
    cDIB& image = *doc.FrameDIBXOR(f);
    for (int y = 0; y < h; ++y) {
      std::uint8_t* row = image.lpBits() + static_cast<std::size_t>(y) * image.BytesPerScanline();
      std::memcpy(row, &frames[i][static_cast<std::size_t>(y * w)], static_cast<std::size_t>(w));
      // Padding takes a value outside the palette: it must be neither counted nor rewritten.
      std::fill(row + w, row + image.BytesPerScanline(), std::uint8_t{0xEE});
    }
  }
  doc.ScreenWidth(static_cast<std::int16_t>(w));
  doc.ScreenHeight(static_cast<std::int16_t>(h));
  doc.GlobalPaletteExists(-1);
  doc.GlobalPaletteEntries(static_cast<std::int16_t>(entries));
  for (int i = 0; i < 256; ++i) {
    doc.lpGlobalPalette()[4 * i] = static_cast<std::uint8_t>(i);
    doc.lpGlobalPalette()[4 * i + 1] = static_cast<std::uint8_t>(i * 3);
    doc.lpGlobalPalette()[4 * i + 2] = static_cast<std::uint8_t>(255 - i);
  }
}

Frame PixelsOf(const cGIF& doc, std::int16_t f) {
  const cDIB& image = *doc.FrameDIBXOR(f);
  Frame out;
  for (int y = 0; y < image.Height(); ++y) {
    const std::uint8_t* row =
        image.lpBits() + static_cast<std::size_t>(y) * image.BytesPerScanline();
    out.insert(out.end(), row, row + image.Width());
    for (int x = image.Width(); x < image.BytesPerScanline(); ++x)
      EXPECT_EQ(row[x], 0xEE) << "padding";
  }
  return out;
}

// The rule itself: entry j becomes the number of used entries below j.
std::vector<Frame> Renumbered(const std::vector<Frame>& frames, int entries) {
  std::vector<int> used(static_cast<std::size_t>(entries), 0);
  for (const Frame& f : frames)
    for (std::uint8_t v : f) used[v] = 1;
  std::vector<int> number(static_cast<std::size_t>(entries), 0);
  for (int j = 0, k = 0; j < entries; ++j) {
    number[static_cast<std::size_t>(j)] = k;
    k += used[static_cast<std::size_t>(j)];
  }
  std::vector<Frame> out = frames;
  for (Frame& f : out)
    for (std::uint8_t& v : f) v = static_cast<std::uint8_t>(number[v]);
  return out;
}

TEST(CompactGlobalPaletteRowsTest, EveryRowLengthMatchesTheRule) {
  std::mt19937 rng(5);
  for (int w = 1; w <= 35; ++w) {
    const int h = 3, entries = 40;
    std::vector<Frame> frames(3, Frame(static_cast<std::size_t>(w * h)));
    // Even indices only, and never 38: the gaps make every pixel move. Frames
    // 1 and 2 are noise; frame 3 holds runs, so whole groups of eight pixels
    // repeat and then change at any position.
    for (std::size_t f = 0; f < 2; ++f)
      for (std::uint8_t& v : frames[f]) v = static_cast<std::uint8_t>(2 * (rng() % 19));
    for (std::size_t i = 0; i < frames[2].size();) {
      const std::size_t len = 1 + rng() % 20;
      const auto v = static_cast<std::uint8_t>(2 * (rng() % 19));
      for (std::size_t k = 0; k < len && i < frames[2].size(); ++k) frames[2][i++] = v;
    }
    cGIF doc;
    MakeDocument(doc, w, h, entries, frames);
    mGIFExt::CompactGlobalPalette(doc);
    const std::vector<Frame> want = Renumbered(frames, entries);
    for (std::int16_t f = 1; f <= 3; ++f)
      EXPECT_EQ(PixelsOf(doc, f), want[static_cast<std::size_t>(f - 1)]) << w << " frame " << f;
  }
}

TEST(CompactGlobalPaletteRowsTest, RepeatedGroupsStillCountEveryIndex) {
  // Rows that repeat the same eight pixels, then differ in one: the one must
  // be counted as used, in the first row and in a later one.
  const int w = 24, h = 2, entries = 10;
  Frame pixels(static_cast<std::size_t>(w * h), 4);
  pixels[20] = 7;     // first row, third group of eight
  pixels[w + 9] = 2;  // second row, second group
  cGIF doc;
  MakeDocument(doc, w, h, entries, {pixels});
  EXPECT_EQ(mGIFExt::CompactGlobalPalette(doc), 7);
  Frame want(pixels.size(), 1);
  want[20] = 2;
  want[static_cast<std::size_t>(w + 9)] = 0;
  EXPECT_EQ(PixelsOf(doc, 1), want);
}

TEST(CompactGlobalPaletteRowsTest, AllEntriesUsedByTheFirstFrame) {
  const int w = 11, h = 2, entries = 22;
  Frame first(static_cast<std::size_t>(w * h));
  for (std::size_t i = 0; i < first.size(); ++i) first[i] = static_cast<std::uint8_t>(i);
  const Frame second(static_cast<std::size_t>(w * h), 21);

  cGIF doc;
  MakeDocument(doc, w, h, entries, {first, second});
  EXPECT_EQ(mGIFExt::CompactGlobalPalette(doc), 0);
  EXPECT_EQ(doc.GlobalPaletteEntries(), entries);
  EXPECT_EQ(PixelsOf(doc, 1), first);
  EXPECT_EQ(PixelsOf(doc, 2), second);

  // A later frame still may not point past the palette, first row or last.
  for (const std::size_t at : {std::size_t{0}, second.size() - 1}) {
    Frame bad = second;
    bad[at] = static_cast<std::uint8_t>(entries);
    MakeDocument(doc, w, h, entries, {first, second, bad});
    EXPECT_EQ(test::Caught([&] { mGIFExt::CompactGlobalPalette(doc); }).number(), kErrSubscript) << "at " << at;
  }
}

TEST(CompactGlobalPaletteRowsTest, UsedEntriesAlreadyAtTheFront) {
  // Entries 0..4 used, 5..15 not: nothing is renumbered, the table shrinks,
  // and a transparent index among the unused ones still becomes 0.
  const int w = 9, h = 2, entries = 16;
  Frame pixels(static_cast<std::size_t>(w * h));
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i % 5);
  cGIF doc;
  MakeDocument(doc, w, h, entries, {pixels, pixels});
  doc.FrameUseTransparentColor(2, -1);
  doc.FrameTransparentColorIndex(2, 12);
  doc.FrameTransparentColorIndex(1, 3);
  std::vector<std::uint8_t> old(doc.lpGlobalPalette(), doc.lpGlobalPalette() + 1024);

  EXPECT_EQ(mGIFExt::CompactGlobalPalette(doc), 11);
  EXPECT_EQ(doc.GlobalPaletteEntries(), 5);
  EXPECT_EQ(0, std::memcmp(doc.lpGlobalPalette(), old.data(), 4 * 5));
  EXPECT_EQ(PixelsOf(doc, 1), pixels);
  EXPECT_EQ(PixelsOf(doc, 2), pixels);
  EXPECT_EQ(doc.FrameTransparentColorIndex(1), 3);
  EXPECT_EQ(doc.FrameTransparentColorIndex(2), 0);
  // Frame 2's mask now marks the pixels of index 0.
  const cDIB& mask = *doc.FrameDIBAND(2);
  for (int x = 0; x < w; ++x) {
    const bool transparent = (mask.lpBits()[x / 8] >> (7 - x % 8)) & 1;
    EXPECT_EQ(transparent, pixels[static_cast<std::size_t>(x)] == 0) << x;
  }
}

}  // namespace
}  // namespace zoetra

#include "postprocess/mgifext.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "platform/base/error.hpp"
#include "support/caught.hpp"

namespace zoetra {
namespace {

using Canvas = std::vector<std::uint8_t>;

// Sets frame f's pixels from a row-major list (row 0 first).
void Fill(cGIF& doc, std::int16_t f, const std::vector<std::uint8_t>& pixels) {
  cDIB& image = *doc.FrameDIBXOR(f);
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x)
      image.lpBits()[y * image.BytesPerScanline() + x] = pixels[static_cast<std::size_t>(y * image.Width() + x)];
}

std::vector<std::uint8_t> PixelsOf(const cGIF& doc, std::int16_t f) {
  const cDIB& image = *doc.FrameDIBXOR(f);
  std::vector<std::uint8_t> out;
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x) out.push_back(image.lpBits()[y * image.BytesPerScanline() + x]);
  return out;
}

// A document of `frames` frames of w x h with a global palette of `entries` distinct colours.
void MakeDocument(cGIF& doc, int frames, int w, int h, int entries) {
  doc.Destroy();
  for (int f = 1; f <= frames; ++f) {
    doc.FrameInsert(static_cast<std::int16_t>(f), static_cast<std::int16_t>(w), static_cast<std::int16_t>(h));
    doc.FrameDisposalMethod(static_cast<std::int16_t>(f), 3);
    doc.FrameDelay(static_cast<std::int16_t>(f), 35);
  }
  doc.ScreenWidth(static_cast<std::int16_t>(w));
  doc.ScreenHeight(static_cast<std::int16_t>(h));
  doc.GlobalPaletteExists(-1);
  doc.GlobalPaletteEntries(static_cast<std::int16_t>(entries));
  std::uint8_t* p = doc.lpGlobalPalette();
  for (int i = 0; i < 256; ++i) {
    p[4 * i + 0] = static_cast<std::uint8_t>(i);        // blue
    p[4 * i + 1] = static_cast<std::uint8_t>(255 - i);  // green
    p[4 * i + 2] = static_cast<std::uint8_t>(i * 7);    // red
    p[4 * i + 3] = 0x55;                                // a reserved byte that must come back 0
  }
}

// What a viewer shows, one canvas of colours per hundredth of a second.
std::vector<std::vector<std::uint32_t>> Timeline(const cGIF& doc) {
  const int w = doc.ScreenWidth(), h = doc.ScreenHeight();
  std::vector<std::uint32_t> canvas(static_cast<std::size_t>(w * h), 0);
  std::vector<std::vector<std::uint32_t>> shown;
  for (std::int32_t i = 1; i <= doc.FramesCount(); ++i) {
    const auto f = static_cast<std::int16_t>(i);
    const auto saved = canvas;
    const cDIB& image = *doc.FrameDIBXOR(f);
    for (int y = 0; y < image.Height(); ++y) {
      for (int x = 0; x < image.Width(); ++x) {
        const std::uint8_t v = image.lpBits()[y * image.BytesPerScanline() + x];
        if (doc.FrameUseTransparentColor(f) && v == doc.FrameTransparentColorIndex(f)) continue;
        const int cx = doc.FrameLeft(f) + x, cy = doc.FrameTop(f) + y;
        if (cx < w && cy < h) canvas[static_cast<std::size_t>(cy * w + cx)] = static_cast<std::uint32_t>(doc.GlobalPaletteRGBEntry(v));
      }
    }
    for (int t = 0; t < doc.FrameDelay(f); ++t) shown.push_back(canvas);
    if (doc.FrameDisposalMethod(f) == 3) canvas = saved;
  }
  return shown;
}

TEST(CompactGlobalPaletteTest, KeepsUsedEntriesInOrder) {
  cGIF doc;
  MakeDocument(doc, 2, 5, 3, 256);  // width 5: rows carry padding
  Fill(doc, 1, std::vector<std::uint8_t>(15, 7));
  std::vector<std::uint8_t> second(15, 3);
  second[4] = 200;
  Fill(doc, 2, second);
  // Padding bytes must be neither counted nor rewritten.
  doc.FrameDIBXOR(1)->lpBits()[5] = 99;
  std::vector<std::uint8_t> old(doc.lpGlobalPalette(), doc.lpGlobalPalette() + 1024);

  EXPECT_EQ(mGIFExt::CompactGlobalPalette(doc), 253);
  EXPECT_EQ(doc.GlobalPaletteEntries(), 3);
  const std::uint8_t* p = doc.lpGlobalPalette();
  const int used[] = {3, 7, 200};
  for (int q = 0; q < 3; ++q) {
    EXPECT_EQ(0, std::memcmp(p + 4 * q, old.data() + 4 * used[q], 3));
    EXPECT_EQ(p[4 * q + 3], 0);
  }
  for (int i = 12; i < 1024; ++i) EXPECT_EQ(p[i], 0) << i;
  EXPECT_EQ(PixelsOf(doc, 1), std::vector<std::uint8_t>(15, 1));
  std::vector<std::uint8_t> expect(15, 0);
  expect[4] = 2;
  EXPECT_EQ(PixelsOf(doc, 2), expect);
  EXPECT_EQ(doc.FrameDIBXOR(1)->lpBits()[5], 99);
  EXPECT_EQ(doc.LocalPaletteEntries(1), 3);
  EXPECT_EQ(0, std::memcmp(doc.lpLocalPalette(2), p, 1024));
  std::vector<std::uint8_t> table(1024);
  doc.FrameDIBXOR(2)->GetPalette(table);
  EXPECT_EQ(0, std::memcmp(table.data(), p, 1024));
}

TEST(CompactGlobalPaletteTest, SingleUsedEntryGivesTwoEntries) {
  cGIF doc;
  MakeDocument(doc, 1, 4, 4, 256);
  Fill(doc, 1, std::vector<std::uint8_t>(16, 9));
  std::vector<std::uint8_t> old(doc.lpGlobalPalette(), doc.lpGlobalPalette() + 1024);
  EXPECT_EQ(mGIFExt::CompactGlobalPalette(doc), 254);
  EXPECT_EQ(doc.GlobalPaletteEntries(), 2);
  EXPECT_EQ(0, std::memcmp(doc.lpGlobalPalette(), old.data() + 36, 3));
  EXPECT_EQ(0, std::memcmp(doc.lpGlobalPalette() + 4, old.data(), 3));
  EXPECT_EQ(PixelsOf(doc, 1), std::vector<std::uint8_t>(16, 0));
}

TEST(CompactGlobalPaletteTest, UnchangedCases) {
  cGIF doc;
  MakeDocument(doc, 1, 2, 2, 4);
  Fill(doc, 1, {0, 1, 2, 3});
  EXPECT_EQ(mGIFExt::CompactGlobalPalette(doc), 0);  // every entry used
  EXPECT_EQ(doc.GlobalPaletteEntries(), 4);
  EXPECT_EQ(PixelsOf(doc, 1), (std::vector<std::uint8_t>{0, 1, 2, 3}));

  doc.GlobalPaletteExists(0);
  EXPECT_EQ(mGIFExt::CompactGlobalPalette(doc), 0);
  doc.GlobalPaletteExists(-1);
  doc.GlobalPaletteEntries(0);
  EXPECT_EQ(mGIFExt::CompactGlobalPalette(doc), 0);
  EXPECT_EQ(doc.GlobalPaletteEntries(), 0);
  EXPECT_EQ(PixelsOf(doc, 1), (std::vector<std::uint8_t>{0, 1, 2, 3}));
}

TEST(CompactGlobalPaletteTest, LocalPaletteFramesAreSkipped) {
  cGIF doc;
  MakeDocument(doc, 2, 2, 1, 16);
  Fill(doc, 1, {5, 6});
  Fill(doc, 2, {7, 8});
  doc.LocalPaletteUsed(1, -1);
  doc.LocalPaletteUsed(2, -1);
  EXPECT_EQ(mGIFExt::CompactGlobalPalette(doc), 15);
  EXPECT_EQ(doc.GlobalPaletteEntries(), 1);
  EXPECT_EQ(PixelsOf(doc, 1), (std::vector<std::uint8_t>{5, 6}));
}

TEST(CompactGlobalPaletteTest, TransparentIndexIsRemappedAndMaskRebuilt) {
  cGIF doc;
  MakeDocument(doc, 1, 3, 1, 32);
  Fill(doc, 1, {10, 20, 10});
  doc.FrameUseTransparentColor(1, -1);
  doc.FrameTransparentColorIndex(1, 20);
  mGIFExt::CompactGlobalPalette(doc);
  EXPECT_EQ(doc.FrameTransparentColorIndex(1), 1);
  EXPECT_EQ(doc.FrameDIBAND(1)->lpBits()[0] & 0xE0, 0x40);  // mask bits 0, 1, 0

  MakeDocument(doc, 1, 3, 1, 32);
  Fill(doc, 1, {10, 20, 10});
  doc.FrameUseTransparentColor(1, -1);
  doc.FrameTransparentColorIndex(1, 31);
  mGIFExt::CompactGlobalPalette(doc);
  EXPECT_EQ(doc.FrameTransparentColorIndex(1), 0);
}

TEST(CompactGlobalPaletteTest, PixelOutsidePaletteIsIndexOutOfRange) {
  cGIF doc;
  MakeDocument(doc, 1, 2, 1, 4);
  Fill(doc, 1, {1, 9});
  EXPECT_EQ(test::Caught([&] { mGIFExt::CompactGlobalPalette(doc); }).number(), kErrSubscript);
}

TEST(OptimizeFramesTest, IdenticalFramesMergeAndDelaysAdd) {
  cGIF doc;
  MakeDocument(doc, 3, 4, 4, 16);
  Fill(doc, 1, std::vector<std::uint8_t>(16, 1));
  Fill(doc, 2, std::vector<std::uint8_t>(16, 1));
  std::vector<std::uint8_t> third(16, 1);
  third[5] = 2;
  Fill(doc, 3, third);
  EXPECT_TRUE(mGIFExt::OptimizeFrames(doc));
  ASSERT_EQ(doc.FramesCount(), 2);
  EXPECT_EQ(doc.FrameDelay(1), 70);
  EXPECT_EQ(doc.FrameDisposalMethod(1), 1);
  EXPECT_EQ(doc.FrameDIBXOR(1)->Width(), 4);  // frame 1 is never cut
  EXPECT_EQ(doc.FrameLeft(2), 1);
  EXPECT_EQ(doc.FrameTop(2), 1);
  EXPECT_EQ(doc.FrameDIBXOR(2)->Width(), 1);
  EXPECT_EQ(doc.FrameDIBAND(2)->Width(), 1);
}

TEST(OptimizeFramesTest, SinglePixelChangeBecomesOnePixelFrame) {
  cGIF doc;
  MakeDocument(doc, 2, 10, 10, 16);
  std::vector<std::uint8_t> second(100, 0);
  second[7 * 10 + 5] = 3;
  Fill(doc, 2, second);
  EXPECT_TRUE(mGIFExt::OptimizeFrames(doc));
  ASSERT_EQ(doc.FramesCount(), 2);
  EXPECT_EQ(doc.FrameLeft(2), 5);
  EXPECT_EQ(doc.FrameTop(2), 7);
  EXPECT_EQ(doc.FrameDIBXOR(2)->Width(), 1);
  EXPECT_EQ(doc.FrameDIBXOR(2)->Height(), 1);
  EXPECT_EQ(doc.FrameDIBXOR(2)->lpBits()[0], 3);
  EXPECT_EQ(doc.FrameDisposalMethod(2), 1);
}

TEST(OptimizeFramesTest, FullChangeKeepsFullFrameAndLastEqualFrameMerges) {
  cGIF doc;
  MakeDocument(doc, 3, 3, 2, 16);
  Fill(doc, 1, std::vector<std::uint8_t>(6, 1));
  Fill(doc, 2, std::vector<std::uint8_t>(6, 2));
  Fill(doc, 3, std::vector<std::uint8_t>(6, 2));
  doc.FrameDelay(3, 10);
  EXPECT_TRUE(mGIFExt::OptimizeFrames(doc));
  ASSERT_EQ(doc.FramesCount(), 2);
  EXPECT_EQ(doc.FrameDIBXOR(2)->Width(), 3);
  EXPECT_EQ(doc.FrameDIBXOR(2)->Height(), 2);
  EXPECT_EQ(doc.FrameLeft(2), 0);
  EXPECT_EQ(doc.FrameDelay(2), 45);
}

TEST(OptimizeFramesTest, DocumentsThatDoNotQualifyStayUnchanged) {
  cGIF doc;
  MakeDocument(doc, 2, 4, 4, 16);
  doc.FrameLeft(2, 1);
  EXPECT_FALSE(mGIFExt::OptimizeFrames(doc));
  EXPECT_EQ(doc.FramesCount(), 2);
  EXPECT_EQ(doc.FrameDisposalMethod(1), 3);
  EXPECT_EQ(doc.FrameDelay(1), 35);

  MakeDocument(doc, 2, 4, 4, 16);
  doc.ScreenWidth(5);
  EXPECT_FALSE(mGIFExt::OptimizeFrames(doc));
  EXPECT_EQ(doc.FramesCount(), 2);
}

TEST(OptimizeFramesTest, OneFrameAndNoFrames) {
  cGIF doc;
  MakeDocument(doc, 1, 4, 4, 16);
  EXPECT_TRUE(mGIFExt::OptimizeFrames(doc));
  EXPECT_EQ(doc.FrameDisposalMethod(1), 1);
  doc.Destroy();
  EXPECT_TRUE(mGIFExt::OptimizeFrames(doc));
  EXPECT_EQ(doc.FramesCount(), 0);
}

TEST(OptimizeFramesTest, TransparentFirstFrameShowingNothingFails) {
  cGIF doc;
  MakeDocument(doc, 2, 2, 2, 16);
  doc.FrameUseTransparentColor(1, -1);
  doc.FrameTransparentColorIndex(1, 0);
  EXPECT_EQ(test::Caught([&] { mGIFExt::OptimizeFrames(doc); }).number(), kErrSubscript);
  EXPECT_EQ(doc.FramesCount(), 2);
}

TEST(OptimizeFramesTest, MergedDelayOverflowStopsWithEarlierMergesDone) {
  // Frames 1 to 4 equal, frame 5 different: 2 merges into 1, 3 would overflow.
  cGIF doc;
  MakeDocument(doc, 5, 2, 2, 16);
  const int delays[] = {20000, 10000, 10000, 7, 9};
  for (std::int16_t f = 1; f <= 5; ++f) doc.FrameDelay(f, static_cast<std::int16_t>(delays[f - 1]));
  Fill(doc, 5, std::vector<std::uint8_t>(4, 2));
  EXPECT_EQ(test::Caught([&] { mGIFExt::OptimizeFrames(doc); }).number(), kErrOverflow);
  ASSERT_EQ(doc.FramesCount(), 4);
  const int left[] = {30000, 10000, 7, 9};
  for (std::int16_t f = 1; f <= 4; ++f) EXPECT_EQ(doc.FrameDelay(f), left[f - 1]) << f;
}

// Each run of equal frames goes to the frame that starts it.
TEST(OptimizeFramesTest, RunsOfEqualFramesMergeIntoTheirFirst) {
  constexpr int kFrames = 30;
  cGIF doc;
  MakeDocument(doc, kFrames, 1, 1, 16);
  // Values change at frames 10 and 20; the rest repeat.
  for (int f = 1; f <= kFrames; ++f) {
    Fill(doc, static_cast<std::int16_t>(f),
         {static_cast<std::uint8_t>(f >= 20   ? 2
                                    : f >= 10 ? 1
                                              : 0)});
    doc.FrameDelay(static_cast<std::int16_t>(f), 1);
  }
  EXPECT_TRUE(mGIFExt::OptimizeFrames(doc));
  ASSERT_EQ(doc.FramesCount(), 3);
  EXPECT_EQ(doc.FrameDelay(1), 9);
  EXPECT_EQ(doc.FrameDelay(2), 10);
  EXPECT_EQ(doc.FrameDelay(3), 11);
  EXPECT_EQ(PixelsOf(doc, 2), std::vector<std::uint8_t>{1});
  EXPECT_EQ(PixelsOf(doc, 3), std::vector<std::uint8_t>{2});
}

// Random documents: after both passes a viewer shows the same pictures for the same time.
TEST(PostProcessPropertyTest, ComposedPicturesAreUnchanged) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 40; ++round) {
    const int w = 1 + static_cast<int>(rng() % 13), h = 1 + static_cast<int>(rng() % 9);
    const int frames = 1 + static_cast<int>(rng() % 6);
    const int colours = 2 + static_cast<int>(rng() % 40);
    cGIF doc;
    MakeDocument(doc, frames, w, h, colours);
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w * h));
    for (auto& p : pixels) p = static_cast<std::uint8_t>(rng() % colours);
    for (int f = 1; f <= frames; ++f) {
      // Small local edits, sometimes none, so merging and cropping both happen.
      const int edits = static_cast<int>(rng() % 4);
      for (int e = 0; e < edits; ++e) pixels[rng() % pixels.size()] = static_cast<std::uint8_t>(rng() % colours);
      Fill(doc, static_cast<std::int16_t>(f), pixels);
      doc.FrameDelay(static_cast<std::int16_t>(f), static_cast<std::int16_t>(1 + rng() % 5));
    }
    const auto before = Timeline(doc);
    mGIFExt::CompactGlobalPalette(doc);
    EXPECT_EQ(Timeline(doc), before) << "compaction, round " << round;
    ASSERT_TRUE(mGIFExt::OptimizeFrames(doc));
    EXPECT_EQ(Timeline(doc), before) << "optimisation, round " << round;
  }
}

}  // namespace
}  // namespace zoetra

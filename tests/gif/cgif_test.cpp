#include "gif/cgif.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "gif/gif_builders.hpp"
#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"
#include "support/caught.hpp"
#include "support/limits_scope.hpp"

namespace zoetra {
namespace {


// Frames are told apart by their delay.
std::vector<int> Delays(const cGIF& g) {
  std::vector<int> d;
  for (std::int32_t n = 1; n <= g.FramesCount(); ++n)
    d.push_back(g.FrameDelay(static_cast<std::int16_t>(n)));
  return d;
}

void AddFrames(cGIF& g, std::initializer_list<int> delays) {
  for (int d : delays) {
    const auto n = static_cast<std::int16_t>(g.FramesCount() + 1);
    g.FrameInsert(n, 4, 3);
    g.FrameDelay(n, static_cast<std::int16_t>(d));
  }
}

TEST(cGIFTest, NewDocumentHasNoSlots) {
  cGIF g;
  EXPECT_EQ(g.FramesCount(), 0);
  EXPECT_EQ(g.SlotsCount(), 0);
  EXPECT_EQ(test::ErrorNumber([&] { g.FrameDelay(1); }), kErrSubscript);
  EXPECT_EQ(test::ErrorNumber([&] { g.FrameDelay(1, 5); }), kErrSubscript);
  EXPECT_EQ(test::ErrorNumber([&] { g.FrameDIBXOR(1); }), kErrSubscript);
  EXPECT_EQ(test::ErrorNumber([&] { g.lpLocalPalette(1); }), kErrSubscript);
  EXPECT_EQ(test::ErrorNumber([&] { g.FrameMoveDown(1); }), kErrSubscript);
  EXPECT_EQ(test::ErrorNumber([&] { g.FrameRemove(1); }), kErrSubscript);
}

TEST(cGIFTest, FirstInsertAppendsAndSizesTheScreen) {
  for (std::int16_t n : {std::int16_t{1}, std::int16_t{0}, std::int16_t{7}, std::int16_t{-3}}) {
    cGIF g;
    g.FrameInsert(n, 20, 10);
    EXPECT_EQ(g.FramesCount(), 1) << n;
    EXPECT_EQ(g.ScreenWidth(), 20);
    EXPECT_EQ(g.ScreenHeight(), 10);
    g.FrameInsert(2, 30, 40);
    EXPECT_EQ(g.ScreenWidth(), 20);
    EXPECT_EQ(g.ScreenHeight(), 10);
  }
}

TEST(cGIFTest, NewFrameRastersAndFields) {
  cGIF g;
  g.FrameInsert(1, 5, 3);
  const auto image = g.FrameDIBXOR(1);
  const auto mask = g.FrameDIBAND(1);
  ASSERT_TRUE(image && mask);
  EXPECT_EQ(image->BPP(), 8);
  EXPECT_EQ(image->Width(), 5);
  EXPECT_EQ(image->Height(), 3);
  for (int i = 0; i < image->Size(); ++i) ASSERT_EQ(image->lpBits()[i], 0);
  EXPECT_EQ(mask->BPP(), 1);
  EXPECT_EQ(mask->Width(), 5);
  for (int i = 0; i < mask->Size(); ++i) ASSERT_EQ(mask->lpBits()[i], 0);
  std::uint8_t table[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  mask->GetPalette(table);
  EXPECT_EQ(std::vector<std::uint8_t>(table, table + 8), (std::vector<std::uint8_t>{0, 0, 0, 0, 255, 255, 255, 0}));
  EXPECT_EQ(g.FrameLeft(1), 0);
  EXPECT_EQ(g.FrameTop(1), 0);
  EXPECT_EQ(g.FrameDelay(1), 0);
  EXPECT_EQ(g.FrameDisposalMethod(1), 0);
  EXPECT_EQ(g.FrameUseTransparentColor(1), 0);
  EXPECT_EQ(g.LocalPaletteUsed(1), 0);
  EXPECT_EQ(g.LocalPaletteEntries(1), 0);
  for (int i = 0; i < 1024; ++i) ASSERT_EQ(g.lpLocalPalette(1)[i], 0);
}

TEST(cGIFTest, InsertPositions) {
  struct Case {
    std::int16_t at;
    std::vector<int> expect;
  };
  const Case cases[] = {{1, {9, 1, 2}}, {2, {1, 9, 2}}, {3, {1, 2, 9}}, {100, {1, 2, 9}}};
  for (const Case& c : cases) {
    cGIF g;
    AddFrames(g, {1, 2});
    g.FrameInsert(c.at, 4, 4);
    g.FrameDelay(c.at > 3 ? 3 : c.at, 9);
    EXPECT_EQ(Delays(g), c.expect) << c.at;
  }
  cGIF g;
  AddFrames(g, {1, 2});
  EXPECT_EQ(test::ErrorNumber([&] { g.FrameInsert(0, 4, 4); }), kErrSubscript);
  EXPECT_EQ(Delays(g), (std::vector<int>{1, 2}));
}

TEST(cGIFTest, InsertPastTheLastFrameOverflows) {
  // A file of one frame more than a document holds, read with the host limit
  // above it: the reader stops at the most there can be.
  test::LimitsScope limits_scope;
  platform::Limits limits = platform::GetLimits();
  limits.max_document_frames = cGIF::kMaxFrames + 10;
  platform::SetLimits(limits);
  test::GifBuilder file;
  file.Header().Screen(1, 1);
  const test::Bytes pixel = test::LzwReference({0}, 2);
  for (std::int32_t i = 0; i <= cGIF::kMaxFrames; ++i) file.Image(0, 0, 1, 1, 0).ImageData(2, pixel);
  cGIF g;
  ASSERT_TRUE(g.LoadFromStream(file.Trailer().bytes()));
  EXPECT_FALSE(g.LoadedTrailer());
  EXPECT_EQ(g.FramesCount(), cGIF::kMaxFrames);
  EXPECT_EQ(g.SlotsCount(), cGIF::kMaxFrames);
  EXPECT_EQ(test::ErrorNumber([&] { g.FrameInsert(1, 2, 2); }), kErrOverflow);
  EXPECT_EQ(g.FramesCount(), cGIF::kMaxFrames);
  EXPECT_EQ(g.SlotsCount(), cGIF::kMaxFrames);
}

TEST(cGIFTest, RemoveKeepsOrderAndLeavesSpareSlot) {
  cGIF g;
  AddFrames(g, {1, 2, 3});
  const auto second = g.FrameDIBXOR(2);
  g.FrameRemove(1);
  EXPECT_EQ(Delays(g), (std::vector<int>{2, 3}));
  EXPECT_EQ(g.FrameDIBXOR(1), second);
  EXPECT_EQ(g.SlotsCount(), 2);
  g.FrameRemove(2);
  EXPECT_EQ(Delays(g), (std::vector<int>{2}));
  g.FrameRemove(1);
  EXPECT_EQ(g.FramesCount(), 0);
  EXPECT_EQ(g.SlotsCount(), 1);
  EXPECT_EQ(g.FrameDelay(1), 0);
  EXPECT_EQ(g.FrameDIBXOR(1), nullptr);
  EXPECT_EQ(test::ErrorNumber([&] { g.FrameDelay(2); }), kErrSubscript);
  // The spare slot is not a frame.
  EXPECT_EQ(test::ErrorNumber([&] { g.FrameRemove(1); }), kErrSubscript);
  EXPECT_EQ(g.FramesCount(), 0);
}

TEST(cGIFTest, RemoveMarkedIsRemoveOfEachMarkedFrame) {
  const struct {
    const char* name;
    std::vector<std::uint8_t> marked;
  } cases[] = {
      {"none", {0, 0, 0, 0, 0}},
      {"first", {1}},
      {"last", {0, 0, 0, 0, 1}},
      {"every other", {1, 0, 1, 0, 1}},
      {"a run", {0, 1, 1, 1}},
      {"all", {1, 1, 1, 1, 1}},
      {"past the frames", {0, 1, 0, 0, 0, 1, 1}},
      {"empty", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cGIF expected, got;
    AddFrames(expected, {1, 2, 3, 4, 5});
    AddFrames(got, {1, 2, 3, 4, 5});
    std::vector<std::shared_ptr<cDIB>> rasters;
    for (std::int32_t f = 5; f >= 1; --f) {
      const auto n = static_cast<std::int16_t>(f);
      if (static_cast<std::size_t>(f) <= c.marked.size() &&
          c.marked[static_cast<std::size_t>(f) - 1] != 0) {
        expected.FrameRemove(n);
      } else {
        rasters.insert(rasters.begin(), got.FrameDIBXOR(n));
      }
    }
    got.FrameRemoveMarked(c.marked);
    EXPECT_EQ(Delays(got), Delays(expected));
    EXPECT_EQ(got.SlotsCount(), expected.SlotsCount());
    // The frames kept are the same objects, not copies.
    for (std::size_t i = 0; i < rasters.size(); ++i) {
      EXPECT_EQ(got.FrameDIBXOR(static_cast<std::int16_t>(i + 1)), rasters[i]);
    }
  }
}

TEST(cGIFTest, MovesSwapNeighboursAndRefuseMissingSlots) {
  cGIF g;
  AddFrames(g, {1, 2});
  const auto first = g.FrameDIBXOR(1);
  g.FrameMoveUp(2);
  EXPECT_EQ(Delays(g), (std::vector<int>{2, 1}));
  EXPECT_EQ(g.FrameDIBXOR(2), first);
  g.FrameMoveDown(1);
  EXPECT_EQ(Delays(g), (std::vector<int>{1, 2}));
  for (std::int16_t n : {std::int16_t{1}, std::int16_t{0}, std::int16_t{3}}) {
    EXPECT_EQ(test::ErrorNumber([&] { g.FrameMoveUp(n); }), kErrSubscript) << n;
  }
  for (std::int16_t n : {std::int16_t{2}, std::int16_t{0}, std::int16_t{-1}}) {
    EXPECT_EQ(test::ErrorNumber([&] { g.FrameMoveDown(n); }), kErrSubscript) << n;
  }
  EXPECT_EQ(Delays(g), (std::vector<int>{1, 2}));
}

TEST(cGIFTest, PixelAspectRatio) {
  cGIF g;
  EXPECT_FLOAT_EQ(g.ScreenPixelAspectRatio(), 15.0f / 64.0f);
  g.ScreenPixelAspectRatio(1.0f);
  EXPECT_EQ(g.ScreenRecord()[6], 49);
  EXPECT_FLOAT_EQ(g.ScreenPixelAspectRatio(), 1.0f);
  struct Case {
    float value;
    int stored;  // -1: overflow
  };
  const Case cases[] = {{15.0f / 64, 0},   {270.0f / 64, 255}, {15.5f / 64, 0}, {16.5f / 64, 2},
                        {0.1f, -1},        {271.0f / 64, -1},  {-1.0f, -1},     {std::nanf(""), -1},
                        {14.6f / 64, 0},   {270.4f / 64, 255}};
  for (const Case& c : cases) {
    g.ScreenPixelAspectRatio(1.0f);
    const std::int32_t err = test::ErrorNumber([&] { g.ScreenPixelAspectRatio(c.value); });
    if (c.stored < 0) {
      EXPECT_EQ(err, kErrOverflow) << c.value;
      EXPECT_EQ(g.ScreenRecord()[6], 49) << c.value;
    } else {
      EXPECT_EQ(err, 0) << c.value;
      EXPECT_EQ(g.ScreenRecord()[6], c.stored) << c.value;
    }
  }
}

TEST(cGIFTest, ScreenSizeIsTheRecordLittleEndian) {
  cGIF g;
  g.ScreenWidth(0x1234);
  g.ScreenHeight(-1);
  g.ScreenBackgroundColorIndex(200);
  EXPECT_EQ(g.ScreenRecord()[0], 0x34);
  EXPECT_EQ(g.ScreenRecord()[1], 0x12);
  EXPECT_EQ(g.ScreenRecord()[2], 0xFF);
  EXPECT_EQ(g.ScreenRecord()[3], 0xFF);
  EXPECT_EQ(g.ScreenRecord()[5], 200);
  EXPECT_EQ(g.ScreenHeight(), -1);
  // And the other way: a record read from a file gives the screen's values.
  cGIF loaded;
  ASSERT_TRUE(loaded.LoadFromStream(test::GifBuilder().Header().Screen(0x1278, 0xFFFE, 0, 7).Trailer().bytes()));
  EXPECT_EQ(loaded.ScreenWidth(), 0x1278);
  EXPECT_EQ(loaded.ScreenHeight(), -2);
  EXPECT_EQ(loaded.ScreenBackgroundColorIndex(), 7);
}

TEST(cGIFTest, PaletteEntries) {
  cGIF g;
  g.lpGlobalPalette()[0] = 0x10;
  g.lpGlobalPalette()[1] = 0x20;
  g.lpGlobalPalette()[2] = 0x30;
  g.lpGlobalPalette()[1023] = 0x99;
  EXPECT_EQ(g.GlobalPaletteRGBEntry(0), 0);
  g.GlobalPaletteExists(-1);
  EXPECT_EQ(g.GlobalPaletteRGBEntry(0), 0x102030);
  g.lpGlobalPalette()[1020] = 0xAB;  // blue of entry 255
  EXPECT_EQ(g.GlobalPaletteRGBEntry(255), 0xAB0000);

  g.FrameInsert(1, 2, 2);
  std::uint8_t* local = g.lpLocalPalette(1);
  local[4 * 7 + 0] = 1;
  local[4 * 7 + 1] = 2;
  local[4 * 7 + 2] = 3;
  EXPECT_EQ(g.LocalPaletteUsed(1), 0);
  EXPECT_EQ(g.LocalPaletteRGBEntry(1, 7), 0x010203);
  EXPECT_EQ(test::ErrorNumber([&] { g.LocalPaletteRGBEntry(2, 7); }), kErrSubscript);
}

TEST(cGIFTest, FrameSettersStoreAndCheck) {
  cGIF g;
  g.FrameInsert(1, 2, 2);
  g.FrameLeft(1, -5);
  g.FrameTop(1, 300);
  g.FrameInterlaced(1, 1);  // stored as given
  g.FrameUserInput(1, -1);
  g.FrameUseTransparentColor(1, -1);
  g.FrameTransparentColorIndex(1, 255);
  g.LocalPaletteUsed(1, -1);
  g.LocalPaletteSorted(1, -1);
  g.LocalPaletteEntries(1, 999);
  EXPECT_EQ(g.FrameLeft(1), -5);
  EXPECT_EQ(g.FrameTop(1), 300);
  EXPECT_EQ(g.FrameInterlaced(1), 1);
  EXPECT_EQ(g.FrameUserInput(1), -1);
  EXPECT_EQ(g.FrameTransparentColorIndex(1), 255);
  EXPECT_EQ(g.LocalPaletteEntries(1), 999);
  g.FrameDisposalMethod(1, 255);
  EXPECT_EQ(g.FrameDisposalMethod(1), 255);
  for (std::int32_t bad : {256, -1, 70000}) {
    EXPECT_EQ(test::ErrorNumber([&] { g.FrameDisposalMethod(1, bad); }), kErrOverflow) << bad;
    EXPECT_EQ(g.FrameDisposalMethod(1), 255);
  }
  EXPECT_EQ(test::ErrorNumber([&] { g.FrameDisposalMethod(2, 3); }), kErrSubscript);
}

TEST(cGIFTest, DestroyClearsAllButGlobalPaletteExists) {
  cGIF g;
  ASSERT_TRUE(g.LoadFromStream(test::GifBuilder().Header().Screen(4, 4).Trailer().bytes()));
  ASSERT_EQ(g.Version(), "89a");
  AddFrames(g, {1, 2, 3});
  g.GlobalPaletteExists(-1);
  g.GlobalPaletteSorted(-1);
  g.GlobalPaletteEntries(16);
  g.AnimationLoops(4);
  g.ScreenPixelAspectRatio(1.0f);
  g.lpGlobalPalette()[5] = 9;
  const std::weak_ptr<cDIB> watch = g.FrameDIBXOR(2);
  g.Destroy();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(g.GlobalPaletteExists(), -1);
  EXPECT_EQ(g.GlobalPaletteSorted(), 0);
  EXPECT_EQ(g.GlobalPaletteEntries(), 0);
  EXPECT_EQ(g.AnimationLoops(), 0);
  EXPECT_EQ(g.lpGlobalPalette()[5], 0);
  EXPECT_TRUE(g.Signature().empty());
  EXPECT_TRUE(g.Version().empty());
  for (std::uint8_t b : g.ScreenRecord()) EXPECT_EQ(b, 0);
  EXPECT_FLOAT_EQ(g.ScreenPixelAspectRatio(), 0.234375f);
  EXPECT_EQ(g.FramesCount(), 0);
  EXPECT_EQ(g.SlotsCount(), 1);
  g.FrameUseTransparentColor(1, -1);  // the spare slot takes values
  EXPECT_EQ(g.FrameUseTransparentColor(1), -1);
  // ... which the next inserted frame does not inherit.
  g.FrameInsert(1, 3, 3);
  EXPECT_EQ(g.FrameUseTransparentColor(1), 0);
}

TEST(cGIFTest, InsertDropsTheSlotALoadLeftPastTheFrames) {
  // A graphic control block that no image follows leaves a slot beyond the frames.
  const test::Bytes pixel = test::LzwReference({0}, 2);
  cGIF g;
  ASSERT_TRUE(g.LoadFromStream(test::GifBuilder()
                                   .Header()
                                   .Screen(2, 2)
                                   .Image(0, 0, 1, 1, 0)
                                   .ImageData(2, pixel)
                                   .Image(0, 0, 1, 1, 0)
                                   .ImageData(2, pixel)
                                   .Gce(0, 40, 0)
                                   .Trailer()
                                   .bytes()));
  EXPECT_EQ(g.FramesCount(), 2);
  EXPECT_EQ(g.SlotsCount(), 3);
  EXPECT_EQ(g.FrameDelay(3), 40);
  EXPECT_EQ(g.FrameDIBXOR(3), nullptr);
  EXPECT_EQ(test::ErrorNumber([&] { g.FrameRemove(3); }), kErrSubscript);
  // The new frame starts zeroed, not with the slot's values.
  g.FrameInsert(3, 2, 2);
  EXPECT_EQ(g.FramesCount(), 3);
  EXPECT_EQ(g.FrameDelay(3), 0);
  EXPECT_EQ(g.SlotsCount(), 3);
}

}  // namespace
}  // namespace zoetra

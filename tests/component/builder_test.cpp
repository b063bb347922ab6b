#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <zoetra/zoetra.hpp>
#include "gif/cgif.hpp"
#include "platform/base/eventlog.hpp"
#include "platform/base/yield.hpp"
#include "support/caught.hpp"
#include "support/log_capture.hpp"
#include "support/picture_files.hpp"
#include "support/pictures.hpp"
#include "support/temp_dir.hpp"

namespace zoetra {
namespace {

using platform::Variant;
using platform::VariantArray;
using platform::VarType;
using test::Caught;

class BuilderTest : public ::testing::Test {
 protected:
  // n frames of w x h in the temp dir.
  std::vector<std::string> Frames(int n, int w = 24, int h = 16) {
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i) {
      names.push_back(dir_.Path("f" + std::to_string(names_++) + ".bmp"));
      test::WriteFrame(names.back(), w, h, i);
    }
    return names;
  }

  test::TempDir dir_;
  test::LogCapture log_capture_;
  const std::vector<std::pair<platform::EventType, std::string>>& log_ = log_capture_.entries;
  int names_ = 0;
};

TEST_F(BuilderTest, NotAnArrayIsReturnedOrRaisedWithoutLogging) {
  Zoetra z;
  EXPECT_EQ(z.CreateZoetra(Variant("a.png"), Variant(dir_.Path("o.gif"))).ToText(), "Input is not an variant Array.");
  const Error e = Caught([&] { z.CreateZoetra(Variant(), Variant("o.gif"), 350, 0, 0, 0, 1); });
  EXPECT_EQ(e.number(), kErrComponent);
  EXPECT_EQ(e.description(), "Basic Error: Input is not an variant Array.");
  EXPECT_EQ(e.source(), "Basic Component");
  EXPECT_TRUE(log_.empty());
}

TEST_F(BuilderTest, OnePixelPictureGivesExactBytes) {
  const std::string in = dir_.Path("red.bmp"), out = dir_.Path("red.gif");
  test::WriteBmp(in, 1, 1, [](int, int) { return test::Rgb{255, 0, 0}; });
  Zoetra z;
  EXPECT_EQ(z.CreateZoetra({in}, out), "OK, Animated GIF: " + dir_.Path("red") + ".gif created with 1 frames");
  const std::string expected = std::string("GIF89a\x01\x00\x01\x00\x80\x00\x31", 13) +
                               std::string("\xFF\x00\x00\x00\x00\x00", 6) +  // red, then the zero pad entry
                               std::string("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19) +
                               std::string("\x21\xF9\x04\x0C\x23\x00\x00\x00", 8) +  // disposal 3, 35 cs
                               std::string("\x2C\x00\x00\x00\x00\x01\x00\x01\x00\x00", 10) +
                               std::string("\x02\x02\x44\x01\x00\x3B", 6);
  EXPECT_EQ(test::ReadAll(out), expected);
}

// 32767 frames is the most a document holds: exactly that many pictures
// convert (with --optimize too, when every frame changes), one more overflows.
TEST_F(BuilderTest, ExactlyTheLargestFrameCountConverts) {
  // Two 2 x 1 pictures with the same two colours swapped: the palette from the
  // first holds both, so frames alternate and none merges.
  const std::string a = dir_.Path("a.bmp"), b = dir_.Path("b.bmp");
  test::WriteBmp(a, 2, 1, [](int x, int) {
    return x == 0 ? test::Rgb{255, 0, 0} : test::Rgb{0, 0, 255};
  });
  test::WriteBmp(b, 2, 1, [](int x, int) {
    return x == 1 ? test::Rgb{255, 0, 0} : test::Rgb{0, 0, 255};
  });
  std::vector<std::string> same(cGIF::kMaxFrames, a), alternating;
  for (std::int32_t i = 0; i < cGIF::kMaxFrames; ++i) alternating.push_back(i % 2 == 0 ? a : b);
  const std::string out = dir_.Path("out.gif");
  Zoetra z;
  for (const bool optimize : {false, true}) {
    SCOPED_TRACE(optimize ? "optimize" : "plain");
    EXPECT_EQ(z.CreateZoetra(optimize ? alternating : same, out, 350, 0, optimize ? 1 : 0),
              "OK, Animated GIF: " + out + " created with 32767 frames");
    cGIF back;
    ASSERT_TRUE(back.LoadFromFile(out));
    EXPECT_EQ(back.FramesCount(), cGIF::kMaxFrames);
    EXPECT_EQ(back.FrameDisposalMethod(cGIF::kMaxFrames), optimize ? 1 : 3);
  }
  std::filesystem::remove(out);
  same.push_back(a);
  EXPECT_EQ(Caught([&] { z.CreateZoetra(same, out); }).number(), kErrOverflow);
  EXPECT_FALSE(std::filesystem::exists(out));
}

// A flat screenshot: one colour tree leaf collects 12 million pixels, whose
// channel sums pass 31 bits.
TEST_F(BuilderTest, LargeFlatPictureConverts) {
  const int w = 4000, h = 3000;
  const std::string in = dir_.Path("white.png"), out = dir_.Path("white.gif");
  test::WriteAll(
      in, test::PngFileBytes(w, h, std::vector<std::uint8_t>(std::size_t{w} * h * 4, 255)));
  Zoetra z;
  EXPECT_EQ(z.CreateZoetra({in}, out), "OK, Animated GIF: " + out + " created with 1 frames");
  cGIF back;
  ASSERT_TRUE(back.LoadFromFile(out));
  ASSERT_EQ(back.FramesCount(), 1);
  EXPECT_EQ(back.GlobalPaletteRGBEntry(0), 0xFFFFFF);
  const cDIB& image = *back.FrameDIBXOR(1);
  ASSERT_EQ(image.Width(), w);
  ASSERT_EQ(image.Height(), h);
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* row =
        image.lpBits() + static_cast<std::size_t>(y) * image.BytesPerScanline();
    ASSERT_EQ(std::count(row, row + w, 0), w) << "row " << y;
  }
}

TEST_F(BuilderTest, FramesDelaysAndScreen) {
  const struct {
    std::int16_t delay_ms, stored;
  } delays[] = {{350, 35}, {25, 2}, {15, 2}, {5, 0}, {-15, -2}};
  Zoetra z;
  for (const auto& d : delays) {
    const std::string out = dir_.Path("d.gif");
    // Different sizes: every frame keeps its own, the screen takes the last one.
    std::vector<std::string> files = Frames(2, 20, 10);
    files.push_back(Frames(1, 12, 14)[0]);
    EXPECT_EQ(z.CreateZoetra(files, out, d.delay_ms), "OK, Animated GIF: " + dir_.Path("d") + ".gif created with 3 frames");
    cGIF doc;
    ASSERT_TRUE(doc.LoadFromFile(out));
    ASSERT_EQ(doc.FramesCount(), 3);
    EXPECT_EQ(doc.FrameDelay(1), d.stored) << d.delay_ms;
    EXPECT_EQ(doc.FrameDisposalMethod(2), 3);
    EXPECT_EQ(doc.FrameDIBXOR(1)->Width(), 20);
    EXPECT_EQ(doc.FrameDIBXOR(3)->Width(), 12);
    EXPECT_EQ(doc.ScreenWidth(), 12);
    EXPECT_EQ(doc.ScreenHeight(), 14);
    EXPECT_EQ(doc.AnimationLoops(), 0);
    EXPECT_EQ(doc.Version(), "89a");
  }
}

TEST_F(BuilderTest, ListBoundsAndDimensions) {
  const std::vector<std::string> files = Frames(2);
  VariantArray list(VarType::Variant, {{5, 6}});
  list.At({5}) = Variant(files[0]);
  list.At({6}) = Variant(files[1]);
  Zoetra z;
  const std::string out = dir_.Path("b.gif");
  EXPECT_EQ(z.CreateZoetra(Variant(std::move(list)), Variant(out)).ToText(),
            "OK, Animated GIF: " + dir_.Path("b") + ".gif created with 2 frames");
  // Only the first dimension is walked, and one index cannot address two dimensions.
  VariantArray square(VarType::Variant, {{0, 1}, {0, 1}});
  EXPECT_EQ(Caught([&] { z.CreateZoetra(Variant(std::move(square)), Variant(out)); }).number(), kErrSubscript);
}

TEST_F(BuilderTest, EmptyListFailsWithoutWritingAndIsReported) {
  const std::string out = dir_.Path("keep.gif");
  test::WriteAll(out, "previous");
  Zoetra z;
  const Variant empty(VariantArray(VarType::Variant, {{1, 0}}));
  EXPECT_EQ(Caught([&] { z.CreateZoetra(empty, Variant(out)); }).number(), kErrSubscript);
  EXPECT_TRUE(log_.empty());
  const Error e = Caught([&] { z.CreateZoetra(empty, Variant(out), 350, 0, 0, 0, -1); });
  EXPECT_EQ(e.number(), kErrComponent);
  EXPECT_EQ(e.description(),
            "Basic Error: Error Code: 0x9\r\nError Description: Subscript out of range\r\nError Source: ZoetraCom");
  EXPECT_EQ(log_.size(), 1u);
  EXPECT_EQ(test::ReadAll(out), "previous");
}

TEST_F(BuilderTest, SwitchesActOnlyAtOne) {
  const std::vector<std::string> files = Frames(3);
  Zoetra z;
  const auto bytes = [&](std::int16_t gray, std::int16_t optimize, std::int16_t swap) {
    const std::string out = dir_.Path("s.gif");
    EXPECT_EQ(z.CreateZoetra(files, out, 350, gray, optimize, swap).rfind("OK, ", 0), 0u);
    return test::ReadAll(out);
  };
  const std::string plain = bytes(0, 0, 0);
  EXPECT_EQ(bytes(-1, -1, -1), plain);
  EXPECT_EQ(bytes(2, 2, 2), plain);
  EXPECT_NE(bytes(1, 0, 0), plain);
  EXPECT_NE(bytes(0, 1, 0), plain);
  EXPECT_NE(bytes(0, 0, 1), plain);
  EXPECT_EQ(bytes(0, 0, 0), plain);  // deterministic
}

TEST_F(BuilderTest, GreyPaletteSwapAndOptimisationShowUp) {
  const std::string in = dir_.Path("red.bmp"), out = dir_.Path("o.gif");
  test::WriteBmp(in, 8, 8, [](int x, int) { return test::Rgb{static_cast<std::uint8_t>(200 + x), 10, 20}; });
  Zoetra z;
  ASSERT_EQ(z.CreateZoetra({in, in, in}, out, 100, 0, 1, 1).rfind("OK, ", 0), 0u);
  cGIF doc;
  ASSERT_TRUE(doc.LoadFromFile(out));
  ASSERT_EQ(doc.FramesCount(), 1);  // identical frames merged
  EXPECT_EQ(doc.FrameDelay(1), 30);
  EXPECT_EQ(doc.FrameDisposalMethod(1), 1);
  const std::int32_t c = doc.GlobalPaletteRGBEntry(doc.FrameDIBXOR(1)->lpBits()[0]);
  EXPECT_LT(c & 0xFF, 40);            // red is now small
  EXPECT_GT((c >> 8) & 0xFF, 190);    // and green large
  ASSERT_EQ(z.CreateZoetra({in}, out, 100, 1).rfind("OK, ", 0), 0u);
  ASSERT_TRUE(doc.LoadFromFile(out));
  for (int i = 0; i < doc.GlobalPaletteEntries(); ++i) {
    const std::int32_t g = doc.GlobalPaletteRGBEntry(static_cast<std::uint8_t>(i));
    EXPECT_EQ(g & 0xFF, (g >> 8) & 0xFF);
    EXPECT_EQ(g & 0xFF, (g >> 16) & 0xFF);
  }
}

TEST_F(BuilderTest, OutputNameWithoutExtension) {
  const std::vector<std::string> files = Frames(1);
  Zoetra z;
  EXPECT_EQ(z.CreateZoetra(files, dir_.Path("anim")), "OK, Animated GIF: " + dir_.Path("anim") + ". created with 1 frames");
  EXPECT_TRUE(std::filesystem::exists(dir_.Path("anim")));
}

TEST_F(BuilderTest, ExistingFileReplacedDirectoryRefused) {
  const std::vector<std::string> files = Frames(2);
  const std::string out = dir_.Path("x.gif");
  test::WriteAll(out, std::string(100000, 'z'));
  Zoetra z;
  ASSERT_EQ(z.CreateZoetra(files, out).rfind("OK, ", 0), 0u);
  EXPECT_EQ(test::ReadAll(out).substr(0, 6), "GIF89a");
  EXPECT_LT(test::ReadAll(out).size(), 100000u);

  std::filesystem::create_directory(dir_.Path("d.gif"));
  EXPECT_EQ(z.CreateZoetra(files, dir_.Path("d.gif")), "Unexpected error saving GIF file. (Can be access denied)");
  EXPECT_TRUE(std::filesystem::is_directory(dir_.Path("d.gif")));
  const Error e = Caught([&] { z.CreateZoetra(files, dir_.Path("d.gif"), 350, 0, 0, 0, 1); });
  EXPECT_EQ(e.number(), kErrComponent);
  EXPECT_EQ(e.description(),
            "Basic Error: Error Code: 0x800403E9\r\nError Description: Basic Error: Unexpected error saving GIF file. "
            "(Can be access denied)\r\nError Source: Basic Component");
  EXPECT_EQ(log_.size(), 1u);
  EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"d.gif", "f0.bmp", "f1.bmp", "x.gif"}));
}

TEST_F(BuilderTest, PictureFailuresLeaveExistingOutput) {
  const std::vector<std::string> files = Frames(1);
  const std::string out = dir_.Path("keep.gif");
  test::WriteAll(out, "previous");
  Zoetra z;
  const Error missing = Caught([&] { z.CreateZoetra({files[0], dir_.Path("missing.png")}, out); });
  EXPECT_EQ(missing.number(), kErrFileNotFound);
  EXPECT_EQ(missing.source(), "ZoetraCom");
  // An icon holds no bitmap: the call fails naming the file.
  const std::string icon = dir_.Path("i.ico");
  test::WriteAll(icon, std::string("\x00\x00\x01\x00\x01\x00\x10\x10\x00\x00\x01\x00\x20\x00\x00\x00\x00\x00\x16\x00\x00\x00", 22));
  const Error refused = Caught([&] { z.CreateZoetra({files[0], icon}, out); });
  EXPECT_EQ(refused.number(), kErrInvalidPicture);
  EXPECT_NE(refused.description().find(icon), std::string::npos);
  const Error corrupt_reported = Caught([&] { z.CreateZoetra({dir_.Path("missing.png")}, out, 350, 0, 0, 0, 1); });
  EXPECT_EQ(corrupt_reported.number(), kErrComponent);
  EXPECT_NE(corrupt_reported.description().find("Error Code: 0x35"), std::string::npos);
  EXPECT_EQ(test::ReadAll(out), "previous");
}

TEST_F(BuilderTest, YieldsAtEveryStageAndAHookCanCancel) {
  const std::vector<std::string> files = Frames(2);
  std::vector<platform::YieldInfo> seen;
  platform::YieldHook previous = platform::SetYieldHook([&](const platform::YieldInfo& i) { seen.push_back(i); });
  Zoetra z;
  ASSERT_EQ(z.CreateZoetra(files, dir_.Path("y.gif")).rfind("OK, ", 0), 0u);
  using S = platform::YieldStage;
  const std::vector<S> expected = {S::PictureStart, S::ChannelSwap, S::Flip, S::Dither, S::PaletteCopy,
                                   S::PictureStart, S::ChannelSwap, S::Flip, S::Dither, S::PaletteCopy,
                                   S::Screen,       S::Compact,     S::Optimize, S::Saved};
  ASSERT_EQ(seen.size(), expected.size());
  for (std::size_t k = 0; k < seen.size(); ++k) {
    EXPECT_EQ(seen[k].stage, expected[k]) << k;
    EXPECT_EQ(seen[k].pictures, 2);
  }
  EXPECT_EQ(seen[5].picture, 2);

  platform::SetYieldHook([](const platform::YieldInfo& i) {
    if (i.stage == platform::YieldStage::Compact) throw Error(1234, "cancelled by host", "host");
  });
  const Error e = Caught([&] { z.CreateZoetra(files, dir_.Path("c.gif")); });
  EXPECT_EQ(e.number(), 1234);
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("c.gif")));
  platform::SetYieldHook(std::move(previous));
}

TEST_F(BuilderTest, ConversionStartedFromAYieldGivesTheSameBytes) {
  const std::vector<std::string> outer = Frames(3, 30, 20);
  std::vector<std::string> inner = Frames(2, 17, 9);
  Zoetra z;
  ASSERT_EQ(z.CreateZoetra(outer, dir_.Path("outer-alone.gif")).rfind("OK, ", 0), 0u);
  ASSERT_EQ(z.CreateZoetra(inner, dir_.Path("inner-alone.gif"), 100, 1).rfind("OK, ", 0), 0u);
  bool started = false;
  platform::YieldHook previous = platform::SetYieldHook([&](const platform::YieldInfo& i) {
    // Between pictures 1 and 2 of the outer conversion, after its palette exists.
    if (!started && i.stage == platform::YieldStage::PaletteCopy && i.picture == 1) {
      started = true;
      Zoetra nested;
      EXPECT_EQ(nested.CreateZoetra(inner, dir_.Path("inner.gif"), 100, 1).rfind("OK, ", 0), 0u);
    }
  });
  ASSERT_EQ(z.CreateZoetra(outer, dir_.Path("outer.gif")).rfind("OK, ", 0), 0u);
  platform::SetYieldHook(std::move(previous));
  ASSERT_TRUE(started);
  EXPECT_EQ(test::ReadAll(dir_.Path("outer.gif")), test::ReadAll(dir_.Path("outer-alone.gif")));
  EXPECT_EQ(test::ReadAll(dir_.Path("inner.gif")), test::ReadAll(dir_.Path("inner-alone.gif")));
}

TEST_F(BuilderTest, BufferOutputEqualsFileOutput) {
  const std::vector<std::string> files = Frames(3);
  Zoetra z;
  ASSERT_EQ(z.CreateZoetra(files, dir_.Path("f.gif"), 200, 0, 1).rfind("OK, ", 0), 0u);
  const std::vector<std::uint8_t> bytes = z.CreateZoetraToBuffer(files, 200, 0, 1);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), test::ReadAll(dir_.Path("f.gif")));
}

}  // namespace
}  // namespace zoetra

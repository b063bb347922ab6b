// The builder's slideshow options from C++ and C: callers built against the
// first options structure get the defaults, and the loop count reaches the
// file (values out of range: entry_checks_test.cpp).
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include <zoetra/zoetra.h>
#include <zoetra/zoetra.hpp>
#include "gif/cgif.hpp"
#include "support/picture_files.hpp"
#include "support/temp_dir.hpp"

namespace zoetra {
namespace {

class SlideshowOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int seed : {1, 2}) {
      files_.push_back(dir_.Path("p" + std::to_string(seed) + ".png"));
      test::WriteAll(files_.back(), test::PngFileBytes(12, 9, seed));
    }
  }
  test::TempDir dir_;
  std::vector<std::string> files_;
};

TEST_F(SlideshowOptionsTest, LoopCountAndLoopBlockReachTheFile) {
  for (const std::int32_t loop : {0, 1, 3, 65535, kPlayOnce}) {
    SCOPED_TRACE(loop);
    BuilderOptions o;
    o.loop = loop;
    const std::vector<std::uint8_t> bytes = Zoetra().CreateZoetraToBuffer(files_, o);
    cGIF doc;
    ASSERT_TRUE(doc.LoadFromStream(bytes));
    EXPECT_EQ(doc.LoadedLoopCount(), loop);
  }
  // The first picture's palette with the default loop writes the classic bytes.
  BuilderOptions first;
  first.palette = PaletteMode::First;
  EXPECT_EQ(Zoetra().CreateZoetraToBuffer(files_, first), Zoetra().CreateZoetraToBuffer(files_));
}

TEST_F(SlideshowOptionsTest, CCallersOfTheFirstStructureGetTheDefaults) {
  ZoetraInstance* z = zoetra_new();
  ASSERT_NE(z, nullptr);
  const char* names[] = {files_[0].c_str(), files_[1].c_str()};
  char text[512];
  size_t length = 0;
  const std::string classic = dir_.Path("classic.gif"), out = dir_.Path("out.gif");
  ASSERT_EQ(zoetra_create(z, names, 2, classic.c_str(), nullptr, text, sizeof text, &length), 0);

  ZoetraOptions o;
  zoetra_options_init(&o);
  EXPECT_EQ(o.background, -1);
  o.loop = 3;
  o.fit_width = 30;
  o.fit_height = 20;
  o.background = 0x102030;
  // Built against the first release: the fields past `threads` are not read.
  ZoetraOptions first = o;
  first.struct_size = offsetof(ZoetraOptions, threads) + sizeof first.threads;
  ASSERT_EQ(zoetra_create(z, names, 2, out.c_str(), &first, text, sizeof text, &length), 0)
      << zoetra_error_description(z);
  EXPECT_EQ(test::ReadAll(out), test::ReadAll(classic));
  first.struct_size -= 1;
  EXPECT_NE(zoetra_create(z, names, 2, out.c_str(), &first, text, sizeof text, &length), 0);
  EXPECT_EQ(zoetra_error_number(z), kErrInvalidArgument);

  ASSERT_EQ(zoetra_create(z, names, 2, out.c_str(), &o, text, sizeof text, &length), 0) << zoetra_error_description(z);
  cGIF doc;
  ASSERT_TRUE(doc.LoadFromFile(out));
  EXPECT_EQ(doc.LoadedLoopCount(), 3);
  EXPECT_EQ(doc.ScreenWidth(), 30);
  EXPECT_EQ(doc.ScreenHeight(), 20);
  o.loop = ZOETRA_PLAY_ONCE;
  o.background = -2;
  EXPECT_NE(zoetra_create(z, names, 2, out.c_str(), &o, text, sizeof text, &length), 0);
  EXPECT_EQ(zoetra_error_number(z), kErrInvalidArgument);
  zoetra_release(z);
}

}  // namespace
}  // namespace zoetra

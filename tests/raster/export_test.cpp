#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "platform/drawing/clipboard.hpp"
#include "platform/codecs/picture_loader.hpp"
#include "raster/cdib.hpp"
#include "tests/platform/codecs/picture_test_support.hpp"

namespace zoetra {
namespace {

using namespace platform;
using namespace zoetra::testing;

std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t(b[at + 3]) << 24);
}
std::uint32_t Le16(const Bytes& b, std::size_t at) { return b[at] | (b[at + 1] << 8); }

// A raster with patterned pixels and, for indexed depths, a patterned table.
void Patterned(cDIB& d, std::int32_t w, std::int32_t h, int bpp) {
  ASSERT_TRUE(d.Create(w, h, bpp));
  for (std::int32_t i = 0; i < d.Size(); ++i) d.lpBits()[i] = static_cast<std::uint8_t>(i * 37 + 5);
  std::vector<std::uint8_t> table(1024);
  for (int i = 0; i < 1024; ++i) table[i] = static_cast<std::uint8_t>(i % 4 == 3 ? 0 : (i * 7) ^ 0x5A);
  d.SetPalette(table);
}

// A raster's colours; its bitmap stays selected, so the table comes from GetPalette.
RgbImage RasterRgb(const cDIB& d) {
  RGBQuad table[256] = {};
  if (d.BPP() <= 8) d.GetPalette(std::span(reinterpret_cast<std::uint8_t*>(table), sizeof table));
  return BitmapRgb(d.hDIB(), table);
}

std::size_t FilesIn(const std::filesystem::path& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

class cDIBSaveTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(cDIBSaveTest, FileLayoutFollowsTheRaster) {
  const struct {
    std::int32_t w, h;
    int bpp;
    std::uint32_t file_size, offset;
  } cases[] = {{2, 2, 8, 1086, 1078}, {3, 1, 24, 66, 54}, {9, 2, 1, 62 + 8, 62},
               {5, 3, 4, 118 + 12, 118}, {3, 2, 16, 54 + 16, 54}, {2, 2, 32, 54 + 16, 54}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + "x" + std::to_string(c.bpp));
    cDIB d;
    Patterned(d, c.w, c.h, c.bpp);
    const std::string path = dir_.Path("out.bmp");
    ASSERT_TRUE(d.Save(path));
    const Bytes f = ReadBytes(path);
    ASSERT_EQ(f.size(), c.file_size);
    EXPECT_EQ(f[0], 'B');
    EXPECT_EQ(f[1], 'M');
    EXPECT_EQ(Le32(f, 2), c.file_size);
    EXPECT_EQ(Le32(f, 6), 0u);
    EXPECT_EQ(Le32(f, 10), c.offset);
    EXPECT_EQ(Le32(f, 14), 40u);
    EXPECT_EQ(Le32(f, 18), static_cast<std::uint32_t>(c.w));
    EXPECT_EQ(Le32(f, 22), static_cast<std::uint32_t>(c.h));
    EXPECT_EQ(Le16(f, 26), 1u);
    EXPECT_EQ(Le16(f, 28), static_cast<std::uint32_t>(c.bpp));
    EXPECT_EQ(Le32(f, 30), 0u);
    EXPECT_EQ(Le32(f, 34), static_cast<std::uint32_t>(d.Size()));
    for (std::size_t at = 38; at < 54; ++at) ASSERT_EQ(f[at], 0) << at;
    if (c.bpp <= 8) {
      std::vector<std::uint8_t> table(static_cast<std::size_t>(4) << c.bpp);
      d.GetPalette(table);
      EXPECT_EQ(std::memcmp(f.data() + 54, table.data(), table.size()), 0);
    }
    EXPECT_EQ(std::memcmp(f.data() + c.offset, d.lpBits(), d.Size()), 0);
  }
}

TEST_F(cDIBSaveTest, EmptyRasterCreatesNoFile) {
  cDIB d;
  EXPECT_FALSE(d.Save(dir_.Path("none.bmp")));
  EXPECT_EQ(FilesIn(dir_.path()), 0u);
}

TEST_F(cDIBSaveTest, SavedFilesLoadBackAndPillowAgrees) {
  std::string script = kPillowPrelude;
  std::vector<std::pair<std::string, RgbImage>> saved;
  for (int bpp : {1, 4, 8, 16, 24, 32}) {
    SCOPED_TRACE(bpp);
    cDIB d;
    Patterned(d, 11, 6, bpp);
    if (bpp == 32) {
      for (std::int32_t i = 0; i < 11 * 6; ++i) d.lpBits()[4 * i + 3] = 0;
    }
    const std::string name = "depth" + std::to_string(bpp) + ".bmp";
    ASSERT_TRUE(d.Save(dir_.Path(name)));
    cDIB back;
    ASSERT_EQ(back.CreateFromBitmapFile(dir_.Path(name)), bpp);
    ASSERT_EQ(back.Size(), d.Size());
    EXPECT_EQ(std::memcmp(back.lpBits(), d.lpBits(), d.Size()), 0);
    saved.emplace_back(name, RasterRgb(d));
    script += "rgb_dump(os.path.join(D, '" + name + "'))\n";
  }
  if (PillowPython().empty()) GTEST_SKIP() << "python3 with Pillow is not available for the cross-check";
  ASSERT_TRUE(RunPillowScript(dir_, script));
  for (const auto& [name, ours] : saved) {
    SCOPED_TRACE(name);
    const auto pillow = ReadRgbDump(dir_.Path(name + ".rgb"));
    ASSERT_TRUE(pillow.has_value());
    // Pillow widens 5-bit channels as v * 255 / 31, one off bit repetition at most.
    const int tolerance = name == "depth16.bmp" ? 1 : 0;
    const long diff = FirstDifference(ours, *pillow, tolerance);
    EXPECT_EQ(diff, -1) << "ours " << DescribePixel(ours, diff) << ", Pillow " << DescribePixel(*pillow, diff);
  }
}

TEST_F(cDIBSaveTest, ReplacesAnExistingFileWhole) {
  const std::string path = dir_.Path("a.bmp");
  WriteAll(path, Bytes(5000, 0xAB));
  cDIB d;
  Patterned(d, 3, 1, 24);
  ASSERT_TRUE(d.Save(path));
  EXPECT_EQ(ReadBytes(path).size(), 66u);
  EXPECT_EQ(FilesIn(dir_.path()), 1u);  // no temporary left beside it
}

TEST_F(cDIBSaveTest, FailedSaveKeepsTheExistingFileAndLeavesNoPartialFile) {
  cDIB d;
  Patterned(d, 200, 100, 32);  // 80 kB of pixels
  // A directory in the way, and a directory that does not exist.
  std::filesystem::create_directory(dir_.Path("sub"));
  EXPECT_FALSE(d.Save(dir_.Path("sub")));
  EXPECT_TRUE(std::filesystem::is_directory(dir_.Path("sub")));
  EXPECT_FALSE(d.Save(dir_.Path("missing/x.bmp")));

  // A write that fails part-way: the process may write no more than 20 kB per file.
  const std::string path = dir_.Path("keep.bmp");
  const Bytes old(3000, 0x11);
  WriteAll(path, old);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 20000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool result = d.Save(path);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous_handler);
  EXPECT_FALSE(result);
  EXPECT_EQ(ReadBytes(path), old);
  EXPECT_EQ(FilesIn(dir_.path()), 2u);  // keep.bmp and sub: no partial file
}

// --- clipboard and picture ------------------------------------------------------

class cDIBClipboardExportTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (OpenClipboard(0)) {
      EmptyClipboard();
      CloseClipboard();
    }
  }
};

TEST_F(cDIBClipboardExportTest, BlockHoldsHeaderTableAndPixels) {
  for (int bpp : {1, 8, 24}) {
    SCOPED_TRACE(bpp);
    cDIB d;
    Patterned(d, 5, 3, bpp);
    const HGLOBAL placed = d.CopyToClipboard();
    ASSERT_NE(placed, 0u);
    const std::size_t table = bpp <= 8 ? (std::size_t{4} << bpp) : 0;
    ASSERT_TRUE(OpenClipboard(0));
    EXPECT_EQ(GetClipboardData(kCfDib), placed);
    ASSERT_EQ(GlobalSize(placed), 40 + table + static_cast<std::size_t>(d.Size()));
    const Bytes block(GlobalLock(placed), GlobalLock(placed) + GlobalSize(placed));
    GlobalUnlock(placed);
    GlobalUnlock(placed);
    CloseClipboard();
    EXPECT_EQ(Le32(block, 0), 40u);
    EXPECT_EQ(Le32(block, 4), 5u);
    EXPECT_EQ(Le32(block, 8), 3u);
    EXPECT_EQ(Le16(block, 14), static_cast<std::uint32_t>(bpp));
    EXPECT_EQ(Le32(block, 20), static_cast<std::uint32_t>(d.Size()));
    std::vector<std::uint8_t> want(table);
    d.GetPalette(want);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), block.begin() + 40));
    EXPECT_EQ(std::memcmp(block.data() + 40 + table, d.lpBits(), d.Size()), 0);
  }
}

TEST_F(cDIBClipboardExportTest, NothingPlacedWhenUnavailableOrEmpty) {
  cDIB empty;
  EXPECT_EQ(empty.CopyToClipboard(), 0u);
  cDIB d;
  Patterned(d, 4, 4, 8);
  const std::size_t live = LiveObjects();
  std::atomic<int> stage{0};
  std::thread holder([&] {
    OpenClipboard(0);
    stage = 1;
    while (stage != 2) std::this_thread::yield();
    CloseClipboard();
  });
  while (stage != 1) std::this_thread::yield();
  EXPECT_EQ(d.CopyToClipboard(), 0u);
  stage = 2;
  holder.join();
  EXPECT_EQ(LiveObjects(), live);  // no block left behind
}

TEST(cDIBImageTest, PictureOwnsAThirtyTwoBitCopy) {
  cDIB empty;
  EXPECT_EQ(empty.Image(), nullptr);
  const std::size_t live = LiveObjects();
  {
    cDIB d;
    Patterned(d, 6, 4, 8);
    const RgbImage drawn = RasterRgb(d);
    const Picture p = d.Image();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Type(), PictureType::Bitmap);
    EXPECT_EQ(GetObjectType(p->handle()), kObjBitmap);
    EXPECT_NE(p->handle(), d.hDIB());
    BitmapDesc desc{};
    ASSERT_TRUE(GetBitmapDesc(p->handle(), &desc));
    EXPECT_EQ(desc.bits_pixel, 32);
    EXPECT_EQ(desc.width, 6);
    EXPECT_EQ(desc.height, 4);
    // A copy: later changes to the raster do not reach the picture.
    std::memset(d.lpBits(), 0, d.Size());
    EXPECT_EQ(FirstDifference(BitmapRgb(p->handle()), drawn), -1);
    // And it imports like any loaded picture.
    cDIB back;
    EXPECT_EQ(back.CreateFromStdPicture(p, false), 32);
    EXPECT_EQ(FirstDifference(RasterRgb(back), drawn), -1);
  }
  EXPECT_EQ(LiveObjects(), live);  // the picture deleted its bitmap
}

}  // namespace
}  // namespace zoetra

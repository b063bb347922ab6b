#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "platform/drawing/clipboard.hpp"
#include "platform/base/error.hpp"
#include "platform/codecs/picture_loader.hpp"
#include "raster/cdib.hpp"
#include "support/caught.hpp"
#include "tests/platform/codecs/picture_test_support.hpp"

namespace zoetra {
namespace {

using namespace platform;
using namespace zoetra::testing;

// A bitmap picture of the given depth; indexed depths get a table of
// distinct colours, every depth gets pixel bytes from a simple pattern.
Picture MakePicture(std::int32_t width, std::int32_t height, int bpp) {
  BitmapInfoHeader h{40, width, height, 1, static_cast<std::int16_t>(bpp), 0, 0, 0, 0, 0, 0};
  std::vector<RGBQuad> table;
  for (int i = 0; i < 256; ++i) {
    table.push_back({std::uint8_t(i * 3), std::uint8_t(255 - i), std::uint8_t(i * 7 + 1), 0});
  }
  std::uint8_t* bits = nullptr;
  PictDesc desc;
  desc.bitmap = CreateDIBSection(0, h, table, &bits);
  BitmapDesc d{};
  GetBitmapDesc(desc.bitmap, &d);
  for (std::int32_t i = 0; i < d.width_bytes * height; ++i) bits[i] = static_cast<std::uint8_t>(i * 13 + i / 7);
  if (bpp == 32) {
    for (std::int32_t i = 0; i < width * height; ++i) bits[4 * i + 3] = 0;
  }
  return OleCreatePictureIndirect(desc, true);
}

// A raster holding something recognisable, to see that a failure left it alone.
void FillPrevious(cDIB& d) {
  ASSERT_TRUE(d.Create(7, 3, 24));
  for (std::int32_t i = 0; i < d.Size(); ++i) d.lpBits()[i] = static_cast<std::uint8_t>(i + 1);
}

void ExpectPrevious(const cDIB& d) {
  ASSERT_NE(d.hDIB(), 0u);
  EXPECT_EQ(d.Width(), 7);
  EXPECT_EQ(d.Height(), 3);
  EXPECT_EQ(d.BPP(), 24);
  for (std::int32_t i = 0; i < d.Size(); ++i) ASSERT_EQ(d.lpBits()[i], static_cast<std::uint8_t>(i + 1));
}

void ExpectEmpty(const cDIB& d) {
  EXPECT_EQ(d.hDIB(), 0u);
  EXPECT_EQ(d.hDC(), 0u);
  EXPECT_EQ(d.Width(), 0);
  EXPECT_EQ(d.BPP(), 0);
}

std::vector<std::uint8_t> Table(const cDIB& d) {
  std::vector<std::uint8_t> t(static_cast<std::size_t>(4) << d.BPP());
  d.GetPalette(t);
  return t;
}

TEST(cDIBImportTest, AbsentIconAndMetafilePicturesLeaveTheRasterAlone) {
  cDIB d;
  FillPrevious(d);
  EXPECT_EQ(d.CreateFromStdPicture(nullptr, true), 0);
  ExpectPrevious(d);
  Bytes icon = {0, 0, 1, 0, 1, 0, 16, 16};
  icon.resize(22, 0);
  Bytes emf(88, 0);
  emf[0] = 1;
  Set32(emf, 40, 0x464D4520);
  for (const Bytes& file : {icon, emf}) {
    const Picture p = LoadPictureFromMemory(file);
    ASSERT_TRUE(p);
    EXPECT_EQ(d.CreateFromStdPicture(p, true), 0);
    EXPECT_EQ(d.CreateFromStdPicture(p, false), 0);
    ExpectPrevious(d);
  }
}

TEST(cDIBImportTest, EightBitPictureForcedToThirtyTwoBitsTakesTableColours) {
  const Picture p = MakePicture(100, 50, 8);
  BitmapDesc src{};
  ASSERT_TRUE(GetBitmapDesc(p->handle(), &src));
  cDIB d;
  FillPrevious(d);
  EXPECT_EQ(d.CreateFromStdPicture(p, true), 32);
  EXPECT_EQ(d.BytesPerScanline(), 400);
  EXPECT_EQ(d.Size(), 20000);
  const RgbImage want = BitmapRgb(p->handle());
  const RgbImage got = BitmapRgb(d.hDIB());
  EXPECT_EQ(FirstDifference(got, want), -1);
  for (std::int32_t i = 0; i < 100 * 50; ++i) ASSERT_EQ(d.lpBits()[4 * i + 3], 0);
}

// Taking a picture gives the raster a copy would give; its own bitmap only
// when 32-bit and held nowhere else, so another holder keeps a live picture.
TEST(cDIBImportTest, TakingAPictureGivesTheCopysPixels) {
  const struct {
    int bpp;
    bool shared;
    bool adopted;
  } cases[] = {{32, false, true}, {32, true, false}, {24, false, false}, {8, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.bpp << (c.shared ? " shared" : ""));
    Picture p = MakePicture(37, 11, c.bpp);
    const HBITMAP bitmap = p->handle();
    cDIB copy;
    ASSERT_EQ(copy.CreateFromStdPicture(p, true), 32);
    const Picture other = c.shared ? p : nullptr;
    cDIB taken;
    FillPrevious(taken);
    ASSERT_EQ(taken.TakeStdPicture(std::move(p)), 32);
    EXPECT_FALSE(p);
    EXPECT_EQ(taken.hDIB() == bitmap, c.adopted);
    ASSERT_EQ(taken.Size(), copy.Size());
    EXPECT_EQ(std::memcmp(taken.lpBits(), copy.lpBits(), static_cast<std::size_t>(copy.Size())), 0);
    if (other) {
      EXPECT_EQ(FirstDifference(BitmapRgb(other->handle()), BitmapRgb(copy.hDIB())), -1);
    }
  }
  cDIB d;
  FillPrevious(d);
  EXPECT_EQ(d.TakeStdPicture(nullptr), 0);
  ExpectPrevious(d);
}

TEST(cDIBImportTest, IndexedPicturesKeepDepthTableAndIndices) {
  for (int bpp : {1, 4, 8}) {
    SCOPED_TRACE(bpp);
    const Picture p = MakePicture(100, 50, bpp);
    BitmapDesc src{};
    ASSERT_TRUE(GetBitmapDesc(p->handle(), &src));
    cDIB d;
    EXPECT_EQ(d.CreateFromStdPicture(p, false), bpp);
    ASSERT_EQ(d.BytesPerScanline(), src.width_bytes);
    // Row for row the same index bits (padding bits aside).
    const std::int32_t used_bits = 100 * bpp;
    for (std::int32_t r = 0; r < 50; ++r) {
      const std::uint8_t* a = d.lpBits() + r * d.BytesPerScanline();
      const std::uint8_t* b = src.bits + r * src.width_bytes;
      ASSERT_EQ(std::memcmp(a, b, used_bits / 8), 0) << "row " << r;
    }
    std::vector<std::uint8_t> want;
    for (int i = 0; i < (1 << bpp); ++i) {
      want.insert(want.end(), {std::uint8_t(i * 3), std::uint8_t(255 - i), std::uint8_t(i * 7 + 1), 0});
    }
    EXPECT_EQ(Table(d), want);
  }
}

TEST(cDIBImportTest, DirectColourPicturesConvertThroughTheTransfer) {
  const struct {
    int bpp;
    bool force;
    int result;
  } cases[] = {{24, false, 24}, {16, false, 16}, {32, false, 32}, {24, true, 32}, {16, true, 32}, {4, true, 32}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.bpp) + (c.force ? " forced" : ""));
    const Picture p = MakePicture(9, 4, c.bpp);
    cDIB d;
    EXPECT_EQ(d.CreateFromStdPicture(p, c.force), c.result);
    EXPECT_EQ(FirstDifference(BitmapRgb(d.hDIB()), BitmapRgb(p->handle())), -1);
  }
}

TEST(cDIBImportTest, LoadedPictureImportsAsThirtyTwoBits) {
  // A bitmap file through the picture loader, then the builder's import.
  DibHeader h;
  h.width = 3;
  h.height = -2;  // top-down
  h.bpp = 24;
  const Bytes file = BitmapFile(h, {}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 10, 11, 12, 13, 14, 15, 16, 17, 18, 0, 0, 0});
  const Picture p = LoadPictureFromMemory(file);
  cDIB d;
  ASSERT_EQ(d.CreateFromStdPicture(p, true), 32);
  // Memory row 0 is the bottom row, the file's second.
  const std::uint8_t want[] = {10, 11, 12, 0, 13, 14, 15, 0, 16, 17, 18, 0, 1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0};
  ASSERT_EQ(d.Size(), 24);
  EXPECT_EQ(std::memcmp(d.lpBits(), want, sizeof want), 0);
}

class cDIBFileImportTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(cDIBFileImportTest, BitmapFiles) {
  DibHeader h;
  h.width = 3;
  h.height = 2;
  h.bpp = 8;
  h.clr_used = 2;
  WriteAll(dir_.Path("a.bmp"), BitmapFile(h, {1, 2, 3, 9, 4, 5, 6, 9}, {0, 1, 1, 0, 1, 0, 0, 0}));
  WriteAll(dir_.Path("empty.bmp"), Bytes{});
  WriteAll(dir_.Path("text.bmp"), Bytes{'n', 'o', 't', ' ', 'a', ' ', 'b', 'm', 'p'});

  cDIB d;
  FillPrevious(d);
  EXPECT_EQ(d.CreateFromBitmapFile(dir_.Path("empty.bmp")), 0);
  ExpectPrevious(d);
  EXPECT_EQ(d.CreateFromBitmapFile(dir_.Path("text.bmp")), 0);
  ExpectEmpty(d);
  EXPECT_EQ(test::Caught([&] { d.CreateFromBitmapFile(dir_.Path("missing.bmp")); }).number(), kErrFileNotFound);

  ASSERT_EQ(d.CreateFromBitmapFile(dir_.Path("a.bmp")), 8);
  EXPECT_EQ(d.Width(), 3);
  EXPECT_EQ(d.Height(), 2);
  EXPECT_EQ(d.BytesPerScanline(), 4);
  EXPECT_EQ(d.Size(), 8);
  const BitmapInfoHeader& hd = d.Header();
  EXPECT_EQ(hd.size, 40u);
  EXPECT_EQ(hd.planes, 1);
  EXPECT_EQ(hd.compression, 0u);
  EXPECT_EQ(hd.clr_used, 0u);
  EXPECT_EQ(hd.x_pels_per_meter, 0);
  const std::vector<std::uint8_t> table = Table(d);
  EXPECT_EQ(std::vector<std::uint8_t>(table.begin(), table.begin() + 12),
            (std::vector<std::uint8_t>{1, 2, 3, 0, 4, 5, 6, 0, 0, 0, 0, 0}));
  EXPECT_EQ(std::memcmp(d.lpBits(), "\0\1\1\0\1\0\0\0", 8), 0);
  // The adopted bitmap draws like any other raster.
  cDIB copy;
  EXPECT_EQ(d.CloneTo(copy), 8);
}

TEST_F(cDIBFileImportTest, ModuleResources) {
  DibHeader h;
  h.width = 2;
  h.height = 1;
  h.bpp = 4;
  h.clr_used = 3;
  const Bytes dib = PackedDib(h, {0, 0, 0, 0, 10, 20, 30, 0, 40, 50, 60, 0}, {0x12, 0, 0, 0});
  WriteAll(dir_.Path("lib.dll"), BuildModule({{2, 5, 1033, dib}}));
  WriteAll(dir_.Path("empty.dll"), Bytes{});
  WriteAll(dir_.Path("text.dll"), Bytes(300, 'x'));

  cDIB d;
  FillPrevious(d);
  EXPECT_EQ(d.CreateFromResourceBitmap(dir_.Path("empty.dll"), 5), 0);
  ExpectPrevious(d);
  EXPECT_EQ(d.CreateFromResourceBitmap(dir_.Path("text.dll"), 5), 0);
  ExpectEmpty(d);
  FillPrevious(d);
  EXPECT_EQ(d.CreateFromResourceBitmap(dir_.Path("lib.dll"), 6), 0);
  ExpectEmpty(d);
  EXPECT_THROW(d.CreateFromResourceBitmap(dir_.Path("missing.dll"), 5), Error);

  ASSERT_EQ(d.CreateFromResourceBitmap(dir_.Path("lib.dll"), 5), 4);
  EXPECT_EQ(d.Width(), 2);
  EXPECT_EQ(d.Size(), 4);
  EXPECT_EQ(d.lpBits()[0], 0x12);
  const std::vector<std::uint8_t> table = Table(d);
  EXPECT_EQ(table[4], 10);
  EXPECT_EQ(table[10], 60);
}

// --- clipboard ----------------------------------------------------------------

// Puts `block` bytes on the clipboard as format 8 (or clears it when empty).
void PutOnClipboard(const Bytes& block) {
  ASSERT_TRUE(OpenClipboard(0));
  EmptyClipboard();
  if (!block.empty()) {
    const HGLOBAL h = GlobalAlloc(kGMemMoveable, block.size());
    std::memcpy(GlobalLock(h), block.data(), block.size());
    GlobalUnlock(h);
    SetClipboardData(kCfDib, h);
  }
  CloseClipboard();
}

bool ClipboardIsClosed() {
  bool opened = false;
  std::thread([&] {
    opened = OpenClipboard(0);
    if (opened) CloseClipboard();
  }).join();
  return opened;
}

class cDIBClipboardImportTest : public ::testing::Test {
 protected:
  void TearDown() override { PutOnClipboard({}); }
};

TEST_F(cDIBClipboardImportTest, OneBitBlockTakesPixelsAfterTwoEntries) {
  DibHeader h;
  h.width = 10;
  h.height = 2;
  h.bpp = 1;
  Bytes block = PackedDib(h, {1, 2, 3, 0, 4, 5, 6, 0}, {0xF0, 0x40, 0, 0, 0x0F, 0xC0, 0, 0});
  ASSERT_EQ(block.size(), 48u + 8);
  PutOnClipboard(block);
  cDIB d;
  ASSERT_EQ(d.CreateFromClipboard(), 1);
  EXPECT_EQ(std::memcmp(d.lpBits(), block.data() + 48, 8), 0);
  EXPECT_EQ(Table(d), (std::vector<std::uint8_t>{1, 2, 3, 0, 4, 5, 6, 0}));
  EXPECT_TRUE(ClipboardIsClosed());
}

TEST_F(cDIBClipboardImportTest, DirectColourBlocks) {
  DibHeader h;
  h.width = 3;
  h.height = 2;
  for (int bpp : {16, 24, 32}) {
    h.bpp = static_cast<std::uint16_t>(bpp);
    const std::size_t size = ((bpp * 3 + 31) / 32) * 4 * 2;
    Bytes pixels(size);
    for (std::size_t i = 0; i < size; ++i) pixels[i] = static_cast<std::uint8_t>(i * 11);
    PutOnClipboard(PackedDib(h, {}, pixels));
    cDIB d;
    ASSERT_EQ(d.CreateFromClipboard(), bpp);
    ASSERT_EQ(static_cast<std::size_t>(d.Size()), size);
    EXPECT_EQ(std::memcmp(d.lpBits(), pixels.data(), size), 0);
  }
}

TEST_F(cDIBClipboardImportTest, UnavailableClipboardLeavesTheRasterAlone) {
  cDIB d;
  FillPrevious(d);
  PutOnClipboard({});
  EXPECT_EQ(d.CreateFromClipboard(), 0);  // nothing in format 8
  ExpectPrevious(d);
  DibHeader h;
  h.bpp = 24;
  PutOnClipboard(PackedDib(h, {}, Bytes(4, 0)));
  // Held open by another thread.
  std::atomic<int> stage{0};
  std::thread holder([&] {
    OpenClipboard(0);
    stage = 1;
    while (stage != 2) std::this_thread::yield();
    CloseClipboard();
  });
  while (stage != 1) std::this_thread::yield();
  EXPECT_EQ(d.CreateFromClipboard(), 0);
  stage = 2;
  holder.join();
  ExpectPrevious(d);
  EXPECT_TRUE(ClipboardIsClosed());
}

TEST_F(cDIBClipboardImportTest, BlocksOfAnotherShapeAreRefused) {
  auto eight_bit = [](std::function<void(DibHeader&)> change, std::size_t table, std::size_t pixels) {
    DibHeader h;
    h.width = 4;
    h.height = 2;
    h.bpp = 8;
    change(h);
    return PackedDib(h, Bytes(table, 1), Bytes(pixels, 2));
  };
  const struct {
    const char* what;
    Bytes block;
  } cases[] = {
      {"shorter than a header", Bytes(39, 0)},
      {"one pixel byte short", eight_bit([](DibHeader&) {}, 1024, 7)},
      {"table cut short", eight_bit([](DibHeader&) {}, 1000, 0)},
      {"shorter colour table", eight_bit([](DibHeader& h) { h.clr_used = 16; }, 64, 8)},
      {"negative height", eight_bit([](DibHeader& h) { h.height = -2; }, 1024, 8)},
      {"zero width", eight_bit([](DibHeader& h) { h.width = 0; }, 1024, 8)},
      {"RLE8", eight_bit([](DibHeader& h) { h.compression = 1; }, 1024, 8)},
      {"depth 7", eight_bit([](DibHeader& h) { h.bpp = 7; }, 1024, 8)},
      {"124-byte header", eight_bit([](DibHeader& h) { h.size = 124; }, 1024, 8)},
      {"bit fields", eight_bit([](DibHeader& h) { h.bpp = 32; h.compression = 3; }, 12, 32)},
      {"huge width", eight_bit([](DibHeader& h) { h.width = 0x7FFFFFFF; h.height = 0x7FFFFFFF; }, 1024, 8)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PutOnClipboard(c.block);
    cDIB d;
    FillPrevious(d);
    EXPECT_EQ(d.CreateFromClipboard(), 0);
    ExpectEmpty(d);
    EXPECT_TRUE(ClipboardIsClosed());
  }
}

TEST_F(cDIBClipboardImportTest, ExportedBlockImportsBack) {
  for (int bpp : {1, 4, 8, 16, 24, 32}) {
    SCOPED_TRACE(bpp);
    cDIB src;
    ASSERT_TRUE(src.Create(13, 5, bpp));
    for (std::int32_t i = 0; i < src.Size(); ++i) src.lpBits()[i] = static_cast<std::uint8_t>(i * 29 + 3);
    std::vector<std::uint8_t> table(1024);
    for (int i = 0; i < 1024; ++i) table[i] = static_cast<std::uint8_t>(i % 4 == 3 ? 0 : i * 5);
    src.SetPalette(table);
    ASSERT_NE(src.CopyToClipboard(), 0u);
    cDIB back;
    ASSERT_EQ(back.CreateFromClipboard(), bpp);
    ASSERT_EQ(back.Size(), src.Size());
    EXPECT_EQ(std::memcmp(back.lpBits(), src.lpBits(), src.Size()), 0);
    if (bpp <= 8) {
      EXPECT_EQ(Table(back), Table(src));
    }
  }
}

}  // namespace
}  // namespace zoetra

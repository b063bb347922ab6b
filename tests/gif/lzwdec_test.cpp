#include "gif/mgiflzwdec.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "gif/gif_builders.hpp"

namespace zoetra {
namespace {

using test::BitPacker;
using test::Bytes;
using test::LzwReference;

constexpr std::uint8_t kUntouched = 0xEE;

// An 8-bit raster whose pixels (padding too) all hold kUntouched.
void MakeRaster(cDIB& d, int w, int h) {
  ASSERT_TRUE(d.Create(w, h, 8));
  std::memset(d.lpBits(), kUntouched, static_cast<std::size_t>(d.Size()));
}

// Pixels in memory-row order, padding left out.
std::vector<std::uint8_t> Pixels(const cDIB& d) {
  std::vector<std::uint8_t> v;
  for (int r = 0; r < d.Height(); ++r) {
    const std::uint8_t* row = d.lpBits() + static_cast<std::size_t>(r) * d.BytesPerScanline();
    v.insert(v.end(), row, row + d.Width());
  }
  return v;
}

std::vector<std::uint8_t> RandomPixels(std::size_t n, int colours, std::uint32_t seed, int run = 1) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n;) {
    const auto c = static_cast<std::uint8_t>(rng() % static_cast<unsigned>(colours));
    const std::size_t len = 1 + rng() % static_cast<unsigned>(run);
    for (std::size_t k = 0; k < len && i < n; ++k) v[i++] = c;
  }
  return v;
}

// A stream of literal codes only: every code after the first adds a table
// entry, so the code width walks through every size up to 12 bits; past 4096
// entries the table stays full and no clear code is sent.
Bytes LiteralStream(const std::vector<std::uint8_t>& pixels, int min_code_size, std::vector<int>* widths = nullptr) {
  const std::uint32_t clear = 1u << min_code_size;
  int width = min_code_size + 1;
  std::uint32_t next = clear + 2;
  BitPacker bp;
  bp.Put(clear, width);
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    bp.Put(pixels[i], width);
    if (widths) widths->push_back(width);
    if (i > 0 && next < 4096) {
      ++next;
      if (next > (1u << width) - 1 && width < 12) ++width;
    }
  }
  bp.Put(clear + 1, width);
  return bp.Finish();
}

TEST(mGIFLZWDecTest, OneByOneExample) {
  cDIB d;
  MakeRaster(d, 1, 1);
  const Bytes data = {0x44, 0x01};  // clear 4, 0, end 5 in 3-bit codes
  mGIFLZWDec::DecodeImage(d, false, 2, data);
  EXPECT_EQ(d.lpBits()[0], 0);
}

// Hand-packed streams with the pixels they stand for.
TEST(mGIFLZWDecTest, HandBuiltStreams) {
  struct Case {
    const char* what;
    int mcs, w, h;
    std::initializer_list<std::pair<std::uint32_t, int>> codes;
    std::vector<std::uint8_t> expected;  // kUntouched where nothing may be written
  };
  const Case cases[] = {
      // 0, then code 6 before it exists: the previous string plus its own first byte.
      {"code equals next code", 2, 4, 1, {{4, 3}, {0, 3}, {6, 3}, {0, 3}, {5, 4}}, {0, 0, 0, 0}},
      {"code equals next code, longer chain",
       2, 6, 1, {{4, 3}, {1, 3}, {6, 3}, {7, 3}, {5, 4}}, {1, 1, 1, 1, 1, 1}},
      {"string codes", 2, 6, 1, {{4, 3}, {1, 3}, {2, 3}, {6, 3}, {7, 4}, {5, 4}}, {1, 2, 1, 2, 2, 1}},
      {"no leading clear code", 2, 2, 1, {{3, 3}, {1, 3}, {5, 3}}, {3, 1}},
      {"clear codes in a row", 2, 2, 1, {{4, 3}, {4, 3}, {4, 3}, {2, 3}, {3, 3}, {5, 3}}, {2, 3}},
      {"clear mid-stream resets the width",
       2, 5, 1, {{4, 3}, {0, 3}, {1, 3}, {2, 3}, {4, 4}, {3, 3}, {3, 3}, {5, 3}}, {0, 1, 2, 3, 3}},
      {"code above the next free code ends the image",
       2, 4, 1, {{4, 3}, {1, 3}, {7, 3}, {1, 3}, {5, 3}}, {1, kUntouched, kUntouched, kUntouched}},
      {"table code right after clear ends the image",
       2, 2, 1, {{4, 3}, {6, 3}, {1, 3}, {5, 3}}, {kUntouched, kUntouched}},
      {"end code stops early", 3, 3, 1, {{8, 4}, {7, 4}, {9, 4}, {7, 4}}, {7, kUntouched, kUntouched}},
      {"root above 255 with code size 9",
       9, 3, 1, {{512, 10}, {255, 10}, {300, 10}, {1, 10}}, {255, kUntouched, kUntouched}},
      {"code size 1", 1, 3, 1, {{2, 2}, {1, 2}, {0, 2}, {4, 3}, {3, 3}}, {1, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BitPacker bp;
    bp.Put(c.codes);
    cDIB d;
    MakeRaster(d, c.w, c.h);
    mGIFLZWDec::DecodeImage(d, false, static_cast<std::uint8_t>(c.mcs), bp.Finish());
    EXPECT_EQ(Pixels(d), c.expected);
  }
}

TEST(mGIFLZWDecTest, CodeWidthGrowsAtEveryPowerOfTwoAndFullTableGoesOn) {
  for (int mcs = 2; mcs <= 8; ++mcs) {
    SCOPED_TRACE(mcs);
    // Enough literals to fill the table and run on well past it without a clear.
    const int w = 97, h = 61;
    const auto pixels = RandomPixels(static_cast<std::size_t>(w) * h, 1 << mcs, 7u + mcs);
    std::vector<int> widths;
    const Bytes data = LiteralStream(pixels, mcs, &widths);
    ASSERT_EQ(widths.back(), 12);
    for (int width = mcs + 1; width <= 12; ++width) {
      ASSERT_NE(std::find(widths.begin(), widths.end(), width), widths.end()) << "width " << width;
    }
    cDIB d;
    MakeRaster(d, w, h);
    mGIFLZWDec::DecodeImage(d, false, static_cast<std::uint8_t>(mcs), data);
    EXPECT_EQ(Pixels(d), pixels);
  }
}

TEST(mGIFLZWDecTest, ReferenceStreamsAllCodeSizes) {
  struct Shape {
    int w, h, run;
  };
  const Shape shapes[] = {{1, 1, 1}, {3, 7, 1}, {64, 64, 1}, {301, 157, 3}, {255, 400, 40}, {1024, 768, 200}};
  for (int mcs = 2; mcs <= 8; ++mcs) {
    for (const Shape& s : shapes) {
      for (bool deferred : {false, true}) {
        SCOPED_TRACE(testing::Message() << "mcs " << mcs << " " << s.w << "x" << s.h << " deferred " << deferred);
        const auto pixels =
            RandomPixels(static_cast<std::size_t>(s.w) * s.h, 1 << mcs, static_cast<std::uint32_t>(mcs * 131 + s.w),
                         s.run);
        cDIB d;
        MakeRaster(d, s.w, s.h);
        mGIFLZWDec::DecodeImage(d, false, static_cast<std::uint8_t>(mcs), LzwReference(pixels, mcs, deferred));
        ASSERT_EQ(Pixels(d), pixels);
      }
    }
  }
}

// A uniform picture with 4 colours grows strings past 4000 bytes before the table fills.
TEST(mGIFLZWDecTest, LongestStringsOfAUniformPicture) {
  const int w = 4096, h = 2100;
  const std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w) * h, 3);
  cDIB d;
  MakeRaster(d, w, h);
  mGIFLZWDec::DecodeImage(d, false, 2, LzwReference(pixels, 2));
  EXPECT_EQ(Pixels(d), pixels);
}

TEST(mGIFLZWDecTest, InterlacedRowOrder) {
  struct Case {
    int h;
    bool interlaced;
    std::vector<int> order;  // memory row receiving the i-th stream row
  };
  // Short images take the passes too, as other decoders read them.
  const Case cases[] = {
      {4, true, {0, 2, 1, 3}},
      {3, true, {0, 2, 1}},
      {2, true, {0, 1}},
      {4, false, {0, 1, 2, 3}},
      {5, true, {0, 4, 2, 1, 3}},
      {5, false, {0, 1, 2, 3, 4}},
      {10, true, {0, 8, 4, 2, 6, 1, 3, 5, 7, 9}},
      {1, true, {0}},
  };
  const int w = 3;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "height " << c.h << " interlaced " << c.interlaced);
    std::vector<std::uint8_t> stream;  // stream row i is filled with value i
    for (int i = 0; i < c.h; ++i) stream.insert(stream.end(), w, static_cast<std::uint8_t>(i));
    cDIB d;
    MakeRaster(d, w, c.h);
    mGIFLZWDec::DecodeImage(d, c.interlaced, 4, LzwReference(stream, 4));
    const auto got = Pixels(d);
    for (int i = 0; i < c.h; ++i) {
      for (int x = 0; x < w; ++x) EXPECT_EQ(got[static_cast<std::size_t>(c.order[i] * w + x)], i) << "row " << i;
    }
  }
}

// Each prefix of the data decodes to a prefix of the pixels; the rest of the
// raster keeps its values and nothing is read or written out of bounds.
TEST(mGIFLZWDecTest, TruncatedDataKeepsWhatWasDecoded) {
  for (bool interlaced : {false, true}) {
    const int w = 13, h = 9;
    const auto pixels = RandomPixels(static_cast<std::size_t>(w) * h, 16, 99, 4);
    // Memory rows in stream order.
    std::vector<int> rows;
    if (interlaced) {
      rows = {0, 8, 4, 2, 6, 1, 3, 5, 7};
    } else {
      for (int r = 0; r < h; ++r) rows.push_back(r);
    }
    std::vector<std::uint8_t> stream;
    for (int r : rows) stream.insert(stream.end(), pixels.begin() + r * w, pixels.begin() + (r + 1) * w);
    const Bytes full = LzwReference(stream, 4);
    std::size_t last_count = 0;
    for (std::size_t n = 0; n <= full.size(); ++n) {
      SCOPED_TRACE(testing::Message() << "prefix " << n << " interlaced " << interlaced);
      const Bytes part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
      cDIB d;
      MakeRaster(d, w, h);
      mGIFLZWDec::DecodeImage(d, interlaced, 4, part);
      const auto got = Pixels(d);
      std::size_t count = 0;
      bool gap = false;
      for (int r : rows) {
        for (int x = 0; x < w; ++x) {
          const std::size_t i = static_cast<std::size_t>(r * w + x);
          if (got[i] == kUntouched) {
            gap = true;
          } else {
            ASSERT_FALSE(gap) << "pixel written after a gap";
            ASSERT_EQ(got[i], pixels[i]);
            ++count;
          }
        }
      }
      ASSERT_GE(count, last_count);
      last_count = count;
    }
    EXPECT_EQ(last_count, pixels.size());
  }
}

TEST(mGIFLZWDecTest, DataBeyondTheLastPixelIsIgnored) {
  const int w = 4, h = 3;
  auto pixels = RandomPixels(static_cast<std::size_t>(w) * h, 4, 5);
  auto longer = pixels;
  longer.insert(longer.end(), 20, 3);  // more than a whole row past the end
  for (bool interlaced : {false, true}) {
    cDIB d;
    MakeRaster(d, w, h);
    mGIFLZWDec::DecodeImage(d, interlaced, 2, LzwReference(longer, 2));
    // Interlaced, stream rows 0, 1, 2 are memory rows 0, 2, 1.
    auto want = pixels;
    if (interlaced) {
      std::copy(pixels.begin() + w, pixels.begin() + 2 * w, want.begin() + 2 * w);
      std::copy(pixels.begin() + 2 * w, pixels.end(), want.begin() + w);
    }
    EXPECT_EQ(Pixels(d), want);
  }
}

TEST(mGIFLZWDecTest, RefusedInputsWriteNothing) {
  const Bytes data = LzwReference({1, 2, 3, 0}, 2);
  {
    cDIB empty;  // zero width or height leaves no raster at all
    mGIFLZWDec::DecodeImage(empty, false, 2, data);
    mGIFLZWDec::DecodeImage(empty, true, 2, data);
  }
  {
    cDIB mono;
    ASSERT_TRUE(mono.Create(4, 1, 1));
    mGIFLZWDec::DecodeImage(mono, false, 2, data);
    EXPECT_EQ(mono.lpBits()[0], 0);
  }
  for (std::uint8_t mcs : {0, 12, 13, 31, 32, 255}) {
    cDIB d;
    MakeRaster(d, 4, 1);
    BitPacker bp;  // clear, pixel 0, end at the width such a size would mean
    const int width = std::min(mcs + 1, 32);
    bp.Put(mcs < 32 ? 1u << mcs : 0u, width);
    bp.Put(0, width);
    bp.Put(mcs < 32 ? (1u << mcs) + 1 : 0u, width);
    mGIFLZWDec::DecodeImage(d, false, mcs, bp.Finish());
    EXPECT_EQ(Pixels(d), std::vector<std::uint8_t>(4, kUntouched)) << int{mcs};
  }
  cDIB d;
  MakeRaster(d, 4, 1);
  mGIFLZWDec::DecodeImage(d, false, 2, {});
  EXPECT_EQ(Pixels(d), std::vector<std::uint8_t>(4, kUntouched));
}

TEST(mGIFLZWDecTest, ThreadsDecodeIndependently) {
  auto work = [](int mcs, std::uint32_t seed, bool* ok) {
    *ok = true;
    for (int i = 0; i < 20; ++i) {
      const auto pixels = RandomPixels(200 * 150, 1 << mcs, seed + static_cast<std::uint32_t>(i), 3);
      cDIB d;
      if (!d.Create(200, 150, 8)) {
        *ok = false;
        return;
      }
      mGIFLZWDec::DecodeImage(d, false, static_cast<std::uint8_t>(mcs), LzwReference(pixels, mcs));
      *ok = *ok && Pixels(d) == pixels;
    }
  };
  bool ok1 = false, ok2 = false;
  std::thread t1(work, 2, 1u, &ok1);
  std::thread t2(work, 8, 2u, &ok2);
  t1.join();
  t2.join();
  EXPECT_TRUE(ok1);
  EXPECT_TRUE(ok2);
}

}  // namespace
}  // namespace zoetra

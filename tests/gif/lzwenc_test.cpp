#include "gif/mgiflzwenc.hpp"

#include "gif/mgiflzwdec.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "platform/base/error.hpp"
#include "raster/cdib.hpp"
#include "support/caught.hpp"
#include "support/refusing_sink.hpp"
#include "support/stop_from_thread.hpp"

namespace zoetra {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Plain transcription of the compress-style rules, byte by byte with separate
// key and code tables, to hold the fast encoder to the exact same output.
Bytes ReferenceEncode(const cDIB& dib, int init_width, bool interlaced_flag) {
  Bytes out;
  if (dib.BPP() != 8) return out;
  const int W = dib.Width(), H = dib.Height(), stride = dib.BytesPerScanline();
  const std::uint8_t* bits = dib.lpBits();
  const bool il = interlaced_flag;
  int col = 0, row = 0, pass = 0;
  long left = static_cast<long>(W) * H;
  auto next = [&](int& px) {
    if (left == 0) return false;
    px = bits[row * stride + col];
    if (++col == W) {
      col = 0;
      if (!il) {
        ++row;
      } else {
        // Passes with no row in a short image are passed over.
        const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
        row += step[pass];
        while (row >= H && pass < 3) row = start[++pass];
      }
    }
    --left;
    return true;
  };
  std::vector<std::int32_t> keys(5003, -1), codes(5003, 0);
  int width = init_width, largest = (1 << width) - 1;
  const int clear = 1 << (init_width - 1), end = clear + 1;
  int next_free = clear + 2;
  bool clear_pending = false;
  std::uint32_t acc = 0;
  int nbits = 0;
  std::uint8_t block[256];
  int fill = 0;
  auto flush_block = [&] {
    if (fill == 0) return;
    out.push_back(static_cast<std::uint8_t>(fill));
    out.insert(out.end(), block + 1, block + 1 + fill);
    fill = 0;
  };
  auto put_byte = [&](std::uint32_t b) {
    block[1 + fill++] = static_cast<std::uint8_t>(b & 0xFF);
    if (fill == 254) flush_block();
  };
  auto emit = [&](int code) {
    acc &= (1u << nbits) - 1;
    acc |= static_cast<std::uint32_t>(code) << nbits;
    nbits += width;
    while (nbits >= 8) {
      put_byte(acc);
      acc >>= 8;
      nbits -= 8;
    }
    if (next_free > largest || clear_pending) {
      if (clear_pending) {
        width = init_width;
        largest = (1 << width) - 1;
        clear_pending = false;
      } else {
        ++width;
        largest = width == 12 ? 4096 : (1 << width) - 1;
      }
    }
    if (code == end) {
      while (nbits > 0) {
        put_byte(acc);
        acc >>= 8;
        nbits -= 8;
      }
      flush_block();
    }
  };
  emit(clear);
  int prefix = 0, c = 0;
  next(prefix);
  while (next(c)) {
    const int key = c * 4096 + prefix;
    int slot = (c << 4) ^ prefix;
    if (keys[slot] == key) {
      prefix = codes[slot];
      continue;
    }
    bool found = false;
    if (keys[slot] >= 0) {
      const int step = slot == 0 ? 1 : 5003 - slot;
      for (;;) {
        slot -= step;
        if (slot < 0) slot += 5003;
        if (keys[slot] == key) {
          found = true;
          break;
        }
        if (keys[slot] <= 0) break;
      }
    }
    if (found) {
      prefix = codes[slot];
      continue;
    }
    emit(prefix);
    if (next_free < 4096) {
      codes[slot] = next_free++;
      keys[slot] = key;
    } else {
      std::fill(keys.begin(), keys.end(), -1);
      next_free = clear + 2;
      clear_pending = true;
      emit(clear);
    }
    prefix = c;
  }
  emit(prefix);
  emit(end);
  return out;
}

struct SubBlocks {
  Bytes data;
  std::vector<int> counts;
  bool well_formed = true;
};

SubBlocks Unblock(const Bytes& b) {
  SubBlocks s;
  std::size_t i = 0;
  while (i < b.size()) {
    const int n = b[i];
    if (n == 0 || i + 1 + n > b.size()) {
      s.well_formed = false;
      break;
    }
    s.counts.push_back(n);
    s.data.insert(s.data.end(), b.begin() + static_cast<long>(i) + 1, b.begin() + static_cast<long>(i) + 1 + n);
    i += 1 + static_cast<std::size_t>(n);
  }
  return s;
}

struct Decoded {
  std::vector<std::uint8_t> pixels;
  std::vector<std::pair<int, int>> trace;  // (code, width it was read at)
  bool ok = false;
};

// Ordinary GIF LZW decoding, independent of the encoder's hashing.
Decoded Decode(const Bytes& data, int init_width) {
  Decoded d;
  const int clear = 1 << (init_width - 1), end = clear + 1;
  std::vector<int> prefix(4096, -1), suffix(4096, 0), length(4096, 1);
  for (int i = 0; i < clear; ++i) suffix[i] = i;
  int width = init_width, next = clear + 2, prev = -1;
  std::size_t bitpos = 0;
  std::vector<std::uint8_t> str;
  auto expand = [&](int code) {
    str.assign(static_cast<std::size_t>(length[code]), 0);
    for (int k = code, i = length[code] - 1; i >= 0; --i, k = prefix[k]) str[i] = static_cast<std::uint8_t>(suffix[k]);
  };
  for (;;) {
    if (bitpos + static_cast<std::size_t>(width) > data.size() * 8) return d;
    int code = 0;
    for (int b = 0; b < width; ++b, ++bitpos) code |= ((data[bitpos / 8] >> (bitpos % 8)) & 1) << b;
    d.trace.emplace_back(code, width);
    if (code == clear) {
      width = init_width;
      next = clear + 2;
      prev = -1;
      continue;
    }
    if (code == end) break;
    if (prev < 0) {
      if (code >= clear) return d;
      d.pixels.push_back(static_cast<std::uint8_t>(code));
      prev = code;
      continue;
    }
    if (code < next && code != clear && code != end) {
      expand(code);
      if (next < 4096) prefix[next] = prev, suffix[next] = str[0], length[next] = length[prev] + 1;
    } else if (code == next && next < 4096) {
      expand(prev);
      str.push_back(str[0]);
      prefix[next] = prev, suffix[next] = str[0], length[next] = length[prev] + 1;
    } else {
      return d;
    }
    d.pixels.insert(d.pixels.end(), str.begin(), str.end());
    if (next < 4096) {
      ++next;
      if (next == (1 << width) && width < 12) ++width;
    }
    prev = code;
  }
  d.ok = true;
  return d;
}

std::vector<int> RowOrder(int h, bool interlaced) {
  std::vector<int> rows;
  if (!interlaced) {
    for (int r = 0; r < h; ++r) rows.push_back(r);
    return rows;
  }
  for (int r = 0; r < h; r += 8) rows.push_back(r);
  for (int r = 4; r < h; r += 8) rows.push_back(r);
  for (int r = 2; r < h; r += 4) rows.push_back(r);
  for (int r = 1; r < h; r += 2) rows.push_back(r);
  return rows;
}

enum class Content { kFlat, kNoise, kDithered };

void Fill(cDIB& dib, Content content, int colours, std::uint32_t seed) {
  std::mt19937 rng(seed);
  const int stride = dib.BytesPerScanline();
  for (int y = 0; y < dib.Height(); ++y) {
    std::uint8_t* row = dib.lpBits() + static_cast<std::size_t>(y) * stride;
    for (int x = 0; x < dib.Width(); ++x) {
      int v = 0;
      switch (content) {
        case Content::kFlat:
          v = 1 % colours;
          break;
        case Content::kNoise:
          v = static_cast<int>(rng() % static_cast<unsigned>(colours));
          break;
        case Content::kDithered:
          v = ((x / 3 + y / 5) + static_cast<int>(rng() % 4u)) % colours;
          break;
      }
      row[x] = static_cast<std::uint8_t>(v);
    }
  }
}

Bytes Encode(const cDIB& dib, int init_width, std::int16_t interlaced) {
  Bytes out;
  mGIFLZWEnc::VectorSink sink(out);
  EXPECT_TRUE(mGIFLZWEnc::EncodeFrame(sink, dib, static_cast<std::uint8_t>(init_width), interlaced));
  return out;
}

TEST(LZWEncTest, SinglePixelGivesClearPixelEnd) {
  cDIB dib;
  ASSERT_TRUE(dib.Create(1, 1, 8));
  dib.Reset();
  EXPECT_EQ(Encode(dib, 3, 0), (Bytes{0x02, 0x44, 0x01}));
}

TEST(LZWEncTest, OtherDepthsAndBadWidthsWriteNothing) {
  for (int bpp : {1, 4, 24, 32}) {
    cDIB dib;
    ASSERT_TRUE(dib.Create(3, 3, bpp));
    EXPECT_TRUE(Encode(dib, 3, 0).empty()) << bpp;
  }
  cDIB dib;
  ASSERT_TRUE(dib.Create(3, 3, 8));
  for (int w : {0, 2, 10, 13}) {
    Bytes out;
    mGIFLZWEnc::VectorSink sink(out);
    EXPECT_FALSE(mGIFLZWEnc::EncodeFrame(sink, dib, static_cast<std::uint8_t>(w), 0)) << w;
    EXPECT_TRUE(out.empty());
  }
}

TEST(LZWEncTest, AStopReachesTheEncoderOfALargeFrameAndTheNextFrameIsWhole) {
  cDIB dib;
  ASSERT_TRUE(dib.Create(64, 1024, 8));
  Fill(dib, Content::kDithered, 256, 7);
  const Bytes whole = Encode(dib, 9, 0);
  {
    const test::StopFromAnotherThread stop(1);
    Bytes out;
    mGIFLZWEnc::VectorSink sink(out);
    const Error e = test::Caught([&] { mGIFLZWEnc::EncodeFrame(sink, dib, 9, 0); });
    EXPECT_EQ(e.number(), kErrStopped) << e.description();
    EXPECT_EQ(stop.asked(), 1);
  }
  EXPECT_EQ(Encode(dib, 9, 0), whole) << "the stopped frame left the thread's tables dirty";
}

struct MatchCase {
  int w, h, init_width;
  Content content;
  bool interlaced;
};

TEST(LZWEncTest, MatchesPlainTranscriptionAndDecodes) {
  const MatchCase cases[] = {
      {1, 1, 3, Content::kNoise, false},     {3, 1, 3, Content::kNoise, false},
      {1, 7, 4, Content::kNoise, true},      {5, 5, 3, Content::kDithered, true},
      {37, 23, 5, Content::kDithered, true}, {255, 3, 9, Content::kNoise, false},
      {13, 9, 6, Content::kNoise, true},     {301, 177, 9, Content::kNoise, false},
      {301, 177, 9, Content::kNoise, true},  {199, 201, 9, Content::kDithered, false},
      {250, 250, 3, Content::kNoise, true},  {123, 77, 7, Content::kDithered, true},
      {97, 61, 8, Content::kNoise, false},   {641, 5, 9, Content::kFlat, true},
      {1000, 1000, 9, Content::kFlat, false}, {2, 2, 3, Content::kNoise, true},
      // Rows wider than the encoder codes at once, with table clears among them.
      {6000, 7, 3, Content::kNoise, false},  {4500, 9, 9, Content::kDithered, true},
  };
  std::uint32_t seed = 1;
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " width " << c.init_width << " il " << c.interlaced);
    cDIB dib;
    ASSERT_TRUE(dib.Create(c.w, c.h, 8));
    const int colours = 1 << (c.init_width - 1);
    Fill(dib, c.content, colours, seed++);
    const Bytes got = Encode(dib, c.init_width, c.interlaced ? -1 : 0);
    ASSERT_EQ(got, ReferenceEncode(dib, c.init_width, c.interlaced));

    const SubBlocks blocks = Unblock(got);
    ASSERT_TRUE(blocks.well_formed);
    const Decoded d = Decode(blocks.data, c.init_width);
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.pixels.size(), static_cast<std::size_t>(c.w) * c.h);
    const std::vector<int> rows = RowOrder(c.h, c.interlaced);
    std::size_t i = 0;
    for (int r : rows) {
      const std::uint8_t* row = dib.lpBits() + static_cast<std::size_t>(r) * dib.BytesPerScanline();
      ASSERT_TRUE(std::equal(row, row + c.w, d.pixels.begin() + static_cast<long>(i))) << "row " << r;
      i += static_cast<std::size_t>(c.w);
    }
  }
}

TEST(LZWEncTest, PixelsAtOrAboveTheClearCodeAreRefused) {
  struct Case {
    int init_width, bad_value, bad_row, run;  // run: that many bad pixels mid-row, else one at an end
  };
  for (const Case c : {Case{3, 4, 0, 0}, Case{3, 5, 29, 0}, Case{5, 200, 17, 0}, Case{8, 128, 0, 0},
                       Case{4, 9, 12, 20}, Case{6, 255, 3, 6}}) {
    cDIB dib;
    ASSERT_TRUE(dib.Create(40, 30, 8));
    Fill(dib, Content::kNoise, 1 << (c.init_width - 1), 99);
    std::uint8_t* row = dib.lpBits() + c.bad_row * dib.BytesPerScanline();
    if (c.run > 0) {
      std::memset(row + 10, c.bad_value, static_cast<std::size_t>(c.run));
    } else {
      row[c.bad_row == 0 ? 0 : 39] = static_cast<std::uint8_t>(c.bad_value);
    }
    Bytes out;
    mGIFLZWEnc::VectorSink sink(out);
    EXPECT_FALSE(mGIFLZWEnc::EncodeFrame(sink, dib, static_cast<std::uint8_t>(c.init_width), 0))
        << c.init_width << " " << c.bad_value;
  }
}

TEST(LZWEncTest, InterlaceAtEveryHeight) {
  auto decoded_rows = [](int h, std::int16_t il) {
    cDIB dib;
    EXPECT_TRUE(dib.Create(3, h, 8));
    for (int r = 0; r < h; ++r) std::memset(dib.lpBits() + r * dib.BytesPerScanline(), r, 3);
    const Decoded d = Decode(Unblock(Encode(dib, 4, il)).data, 4);
    std::vector<int> rows;
    for (std::size_t i = 0; i < d.pixels.size(); i += 3) rows.push_back(d.pixels[i]);
    return rows;
  };
  EXPECT_EQ(decoded_rows(4, -1), (std::vector<int>{0, 2, 1, 3}));
  EXPECT_EQ(decoded_rows(3, -1), (std::vector<int>{0, 2, 1}));
  EXPECT_EQ(decoded_rows(4, 0), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(decoded_rows(5, -1), (std::vector<int>{0, 4, 2, 1, 3}));
  EXPECT_EQ(decoded_rows(5, 0), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(decoded_rows(5, 1), (std::vector<int>{0, 4, 2, 1, 3}));  // any non-zero flag
}

TEST(LZWEncTest, FullTableEmitsClearAtTwelveBitsThenInitialWidth) {
  for (int init_width : {3, 9}) {
    cDIB dib;
    ASSERT_TRUE(dib.Create(400, 300, 8));
    Fill(dib, Content::kNoise, 1 << (init_width - 1), 7);
    const Decoded d = Decode(Unblock(Encode(dib, init_width, 0)).data, init_width);
    ASSERT_TRUE(d.ok);
    const int clear = 1 << (init_width - 1);
    int later_clears = 0;
    for (std::size_t i = 1; i + 1 < d.trace.size(); ++i) {
      if (d.trace[i].first != clear) continue;
      ++later_clears;
      EXPECT_EQ(d.trace[i].second, 12);
      EXPECT_EQ(d.trace[i + 1].second, init_width);
      EXPECT_NE(d.trace[i - 1].first, clear);
    }
    EXPECT_GE(later_clears, 3) << init_width;
  }
}

TEST(LZWEncTest, SubBlocksCarry254BytesExceptTheLast) {
  for (Content content : {Content::kFlat, Content::kNoise}) {
    cDIB dib;
    ASSERT_TRUE(dib.Create(content == Content::kFlat ? 2000 : 300, content == Content::kFlat ? 2000 : 200, 8));
    Fill(dib, content, 256, 3);
    const SubBlocks b = Unblock(Encode(dib, 9, 0));
    ASSERT_TRUE(b.well_formed);
    ASSERT_GT(b.counts.size(), 10u);
    for (std::size_t i = 0; i + 1 < b.counts.size(); ++i) ASSERT_EQ(b.counts[i], 254) << i;
    EXPECT_GE(b.counts.back(), 1);
    EXPECT_LE(b.counts.back(), 254);
  }
}

TEST(LZWEncTest, RowPaddingIsNotEncoded) {
  cDIB dib;
  ASSERT_TRUE(dib.Create(5, 6, 8));  // 3 padding bytes per row
  Fill(dib, Content::kNoise, 16, 5);
  const Bytes clean = Encode(dib, 5, 0);
  for (int y = 0; y < 6; ++y) std::memset(dib.lpBits() + y * 8 + 5, 0xEE, 3);
  EXPECT_EQ(Encode(dib, 5, 0), clean);
}

// Runs of 1 to `longest` pixels, index 0 in about half of them, between
// stretches of single pixels of any index below the clear code: the noise
// fills the hash table, so the string of two 0s often lands away from its
// first slot and is later displaced by another string.
std::vector<std::uint8_t> Runs(std::mt19937& rng, std::size_t count, int colours, int longest) {
  std::vector<std::uint8_t> px;
  const auto any = [&] {
    return static_cast<std::uint8_t>(rng() % static_cast<unsigned>(colours));
  };
  while (px.size() < count) {
    for (unsigned noise = rng() % 40; noise > 0; --noise) px.push_back(any());
    const std::uint8_t c = rng() % 2 == 0 ? 0 : any();
    const int len = 1 + static_cast<int>(rng() % static_cast<unsigned>(longest));
    px.insert(px.end(), static_cast<std::size_t>(len), c);
  }
  px.resize(count);
  return px;
}

void Put(cDIB& dib, const std::vector<std::uint8_t>& px, int w, int h) {
  ASSERT_TRUE(dib.Create(w, h, 8));
  for (int y = 0; y < h; ++y) {
    std::copy_n(px.begin() + static_cast<long>(y) * w, w,
                dib.lpBits() + static_cast<std::size_t>(y) * dib.BytesPerScanline());
  }
}

// Frames made of runs of one index (flat areas, bars, the background of a
// drawing): the output must be exactly the plain rules', including after the
// table fills up and after the string of two 0 pixels has been pushed out of
// the hash table.
TEST(LZWEncRunsTest, RunsMatchThePlainRules) {
  struct Case {
    int w, h, init_width, longest;
  };
  // Small code widths keep few strings per run colour, so the table fills and
  // the string of two 0s is displaced many times; wide rows give long runs.
  // Rows of thousands of pixels are coded in pieces: runs go on across the joins.
  const Case cases[] = {{1000, 300, 3, 40}, {1000, 300, 3, 400}, {317, 211, 5, 25},
                        {640, 480, 9, 120}, {640, 480, 9, 3},    {1, 500, 4, 60},
                        {2000, 2, 9, 2000}, {7, 9, 3, 5},        {5000, 40, 9, 3000},
                        {4100, 30, 3, 60}};
  std::mt19937 rng(77);
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> px =
        Runs(rng, static_cast<std::size_t>(c.w) * c.h, 1 << (c.init_width - 1), c.longest);
    cDIB dib;
    Put(dib, px, c.w, c.h);
    EXPECT_EQ(Encode(dib, c.init_width, 0), ReferenceEncode(dib, c.init_width, false))
        << c.w << "x" << c.h << " width " << c.init_width << " runs up to " << c.longest;
  }
}

TEST(LZWEncRunsTest, OneColourFillsTheTable) {
  // A single index: the run strings grow to thousands of pixels, past the
  // lengths the encoder remembers, and the table fills more than once.
  for (int value : {0, 1, 200}) {
    const int w = 3000, h = 3000;
    const std::vector<std::uint8_t> px(static_cast<std::size_t>(w) * h,
                                       static_cast<std::uint8_t>(value));
    cDIB dib;
    Put(dib, px, w, h);
    EXPECT_EQ(Encode(dib, 9, 0), ReferenceEncode(dib, 9, false)) << value;
  }
}

TEST(LZWEncTest, SinkFailureStopsTheFrame) {
  cDIB dib;
  ASSERT_TRUE(dib.Create(1000, 800, 8));
  Fill(dib, Content::kNoise, 256, 11);
  test::RefusingSink sink(1);
  EXPECT_FALSE(mGIFLZWEnc::EncodeFrame(sink, dib, 9, 0));
  EXPECT_EQ(sink.writes, 2);
  // The next frame on this thread starts clean.
  cDIB one;
  ASSERT_TRUE(one.Create(1, 1, 8));
  one.Reset();
  EXPECT_EQ(Encode(one, 3, 0), (Bytes{0x02, 0x44, 0x01}));
}

TEST(LZWEncTest, ThreadsEncodeIndependently) {
  cDIB a, b;
  ASSERT_TRUE(a.Create(320, 240, 8));
  ASSERT_TRUE(b.Create(211, 199, 8));
  Fill(a, Content::kNoise, 256, 21);
  Fill(b, Content::kDithered, 64, 22);
  const Bytes ea = Encode(a, 9, 0), eb = Encode(b, 7, -1);
  Bytes ta, tb;
  bool ok_a = true, ok_b = true;
  std::thread t1([&] {
    for (int i = 0; i < 20 && ok_a; ++i) {
      Bytes out;
      mGIFLZWEnc::VectorSink s(out);
      ok_a = mGIFLZWEnc::EncodeFrame(s, a, 9, 0) && out == ea;
    }
  });
  std::thread t2([&] {
    for (int i = 0; i < 20 && ok_b; ++i) {
      Bytes out;
      mGIFLZWEnc::VectorSink s(out);
      ok_b = mGIFLZWEnc::EncodeFrame(s, b, 7, -1) && out == eb;
    }
  });
  t1.join();
  t2.join();
  EXPECT_TRUE(ok_a);
  EXPECT_TRUE(ok_b);
}

// --- Lossy coding ---

// `entries` colours along a ramp from dark blue to orange, all distinct, the
// neighbours of 256 entries 1 to 3 apart in squared distance.
Bytes Ramp(int entries) {
  Bytes t(static_cast<std::size_t>(entries) * 4, 0);
  for (int i = 0; i < entries; ++i) {
    const int u = i * 255 / (entries - 1);
    t[4 * i + 0] = static_cast<std::uint8_t>(230 - u * 7 / 8);
    t[4 * i + 1] = static_cast<std::uint8_t>(30 + u * 3 / 4);
    t[4 * i + 2] = static_cast<std::uint8_t>(u);
  }
  return t;
}

// Colours on a grid of step 32: any two at least 1024 apart.
Bytes Grid(int entries) {
  Bytes t(static_cast<std::size_t>(entries) * 4, 0);
  for (int i = 0; i < entries; ++i) {
    t[4 * i + 0] = static_cast<std::uint8_t>(i % 8 * 32);
    t[4 * i + 1] = static_cast<std::uint8_t>(i / 8 % 8 * 32);
    t[4 * i + 2] = static_cast<std::uint8_t>(i / 64 * 32);
  }
  return t;
}

int Distance(const Bytes& table, int a, int b) {
  int d = 0;
  for (int ch = 0; ch < 3; ++ch) d += (table[4 * a + ch] - table[4 * b + ch]) * (table[4 * a + ch] - table[4 * b + ch]);
  return d;
}

// A left-to-right gradient over `colours` ramp entries with +-2 entries of noise.
void NoisyGradient(cDIB& dib, int colours, std::uint32_t seed) {
  std::mt19937 rng(seed);
  for (int y = 0; y < dib.Height(); ++y) {
    std::uint8_t* row = dib.lpBits() + static_cast<std::size_t>(y) * dib.BytesPerScanline();
    for (int x = 0; x < dib.Width(); ++x) {
      const int v = x * colours / dib.Width() + static_cast<int>(rng() % 5u) - 2;
      row[x] = static_cast<std::uint8_t>(std::clamp(v, 0, colours - 1));
    }
  }
}

Bytes Pixels(const cDIB& dib) {
  Bytes px;
  for (int y = 0; y < dib.Height(); ++y) {
    const std::uint8_t* row = dib.lpBits() + static_cast<std::size_t>(y) * dib.BytesPerScanline();
    px.insert(px.end(), row, row + dib.Width());
  }
  return px;
}

Bytes EncodeLossy(cDIB& dib, int init_width, std::int16_t interlaced, const Bytes& table, int transparent,
                  int budget) {
  Bytes out;
  mGIFLZWEnc::VectorSink sink(out);
  const mGIFLZWEnc::LossyColours colours{table.data(), static_cast<std::int32_t>(table.size() / 4), transparent};
  EXPECT_TRUE(mGIFLZWEnc::EncodeFrameLossy(sink, dib, static_cast<std::uint8_t>(init_width), interlaced, colours,
                                           budget));
  return out;
}

struct LossyCase {
  int w, h, init_width, budget, transparent;
  bool interlaced;
  bool gradient;  // else dithered bands
};

// The stream decodes to the rewritten raster; no pixel strays past the
// budget; the transparent index neither moves nor is taken.
TEST(LZWEncLossyTest, DecodesToTheRewrittenRasterWithinTheBudget) {
  const LossyCase cases[] = {
      {320, 200, 9, 100, -1, false, true}, {320, 200, 9, 2000, 5, true, true}, {257, 131, 7, 700, 0, false, false},
      {64, 300, 5, 800, 3, true, true},      {999, 601, 9, 5000, 17, false, true}, {70, 50, 3, 30000, 1, true, false},
      {1000, 400, 8, 300, -1, false, false}};
  std::uint32_t seed = 40;
  for (const LossyCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " budget " << c.budget << " il " << c.interlaced);
    const int colours = 1 << (c.init_width - 1);
    const Bytes table = Ramp(colours);
    cDIB dib;
    ASSERT_TRUE(dib.Create(c.w, c.h, 8));
    if (c.gradient) {
      NoisyGradient(dib, colours, seed++);
    } else {
      Fill(dib, Content::kDithered, colours, seed++);
    }
    const Bytes before = Pixels(dib);
    const Bytes lossless = Encode(dib, c.init_width, c.interlaced ? -1 : 0);
    const Bytes got = EncodeLossy(dib, c.init_width, c.interlaced ? -1 : 0, table, c.transparent, c.budget);
    const Bytes after = Pixels(dib);
    EXPECT_LT(got.size(), lossless.size());
    EXPECT_NE(after, before);

    const SubBlocks blocks = Unblock(got);
    ASSERT_TRUE(blocks.well_formed);
    cDIB decoded;
    ASSERT_TRUE(decoded.Create(c.w, c.h, 8));
    std::memset(decoded.lpBits(), 0xFF, static_cast<std::size_t>(decoded.BytesPerScanline()) * c.h);
    mGIFLZWDec::DecodeImage(decoded, c.interlaced ? -1 : 0, static_cast<std::uint8_t>(c.init_width - 1), blocks.data);
    ASSERT_EQ(Pixels(decoded), after);

    for (std::size_t i = 0; i < after.size(); ++i) {
      ASSERT_LE(Distance(table, before[i], after[i]), c.budget) << i;
      ASSERT_EQ(before[i] == c.transparent, after[i] == c.transparent) << i;
    }
    // In coding order, a stand-in is also within the budget of its colour
    // plus half of what the pixel before missed by (its own owed part included).
    int owed[3] = {0, 0, 0};
    for (int r : RowOrder(c.h, c.interlaced)) {
      for (int x = 0; x < c.w; ++x) {
        const std::size_t i = static_cast<std::size_t>(r) * c.w + x;
        int miss[3], dist = 0;
        for (int ch = 0; ch < 3; ++ch) {
          miss[ch] = table[4 * before[i] + ch] + owed[ch] - table[4 * after[i] + ch];
          dist += miss[ch] * miss[ch];
          owed[ch] = miss[ch] / 2;
        }
        if (before[i] != after[i]) {
          ASSERT_LE(dist, c.budget) << "row " << r << " x " << x;
        }
      }
    }
  }
}

// With nothing close enough to stand in, the lossy path is plain LZW: the
// same bytes as the lossless encoder and the raster untouched, through full
// tables, displaced strings of two 0s and long runs.
TEST(LZWEncLossyTest, NoStandInGivesTheLosslessBytes) {
  struct Case {
    int w, h, init_width, longest, budget;
  };
  const Case cases[] = {{1000, 300, 3, 40, 0},     {1000, 300, 3, 40, 1023}, {640, 480, 9, 120, 1023},
                        {317, 211, 5, 25, 1023},  {2000, 2, 9, 2000, 1023}, {640, 480, 9, 3, 0}};
  std::mt19937 rng(5);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " width " << c.init_width << " budget " << c.budget);
    const int colours = 1 << (c.init_width - 1);
    const Bytes table = Grid(colours);
    cDIB dib;
    Put(dib, Runs(rng, static_cast<std::size_t>(c.w) * c.h, colours, c.longest), c.w, c.h);
    const Bytes before = Pixels(dib);
    for (std::int16_t il : {0, -1}) {
      EXPECT_EQ(EncodeLossy(dib, c.init_width, il, table, -1, c.budget), Encode(dib, c.init_width, il));
      EXPECT_EQ(Pixels(dib), before);
    }
  }
}

// Past a few neighbours' worth the table, not the budget, bounds the strings,
// so the budgets stop where the gain is still steady.
TEST(LZWEncLossyTest, BytesFallAsTheBudgetGrows) {
  const Bytes table = Ramp(256);
  std::vector<std::size_t> sizes;
  for (int budget : {0, 3, 12, 27, 75, 300}) {
    cDIB dib;
    ASSERT_TRUE(dib.Create(400, 300, 8));
    NoisyGradient(dib, 256, 8);
    sizes.push_back(EncodeLossy(dib, 9, 0, table, -1, budget).size());
  }
  for (std::size_t i = 1; i < sizes.size(); ++i) EXPECT_LT(sizes[i], sizes[i - 1]) << ::testing::PrintToString(sizes);
}

// Refused pixels and refused writes leave the raster as it was; the same
// frame gives the same bytes again and on other threads.
TEST(LZWEncLossyTest, FailuresKeepTheRasterAndRunsRepeat) {
  const Bytes table = Ramp(64);
  const mGIFLZWEnc::LossyColours colours{table.data(), 64, -1};
  cDIB dib;
  ASSERT_TRUE(dib.Create(500, 400, 8));
  NoisyGradient(dib, 64, 9);
  dib.lpBits()[3 * dib.BytesPerScanline() + 7] = 64;  // at the clear code of width 7
  Bytes out;
  mGIFLZWEnc::VectorSink vec(out);
  EXPECT_FALSE(mGIFLZWEnc::EncodeFrameLossy(vec, dib, 7, 0, colours, 500));
  dib.lpBits()[3 * dib.BytesPerScanline() + 7] = 1;
  const Bytes before = Pixels(dib);
  test::RefusingSink refusing(0);
  EXPECT_FALSE(mGIFLZWEnc::EncodeFrameLossy(refusing, dib, 7, 0, colours, 500));
  EXPECT_EQ(Pixels(dib), before);

  auto encode_copy = [&](Bytes& got) {
    cDIB copy;
    ASSERT_TRUE(copy.Create(500, 400, 8));
    std::memcpy(copy.lpBits(), dib.lpBits(), static_cast<std::size_t>(dib.BytesPerScanline()) * 400);
    got = EncodeLossy(copy, 7, -1, table, -1, 500);
  };
  Bytes first, again, threaded;
  encode_copy(first);
  encode_copy(again);
  std::thread t([&] { encode_copy(threaded); });
  t.join();
  EXPECT_EQ(again, first);
  EXPECT_EQ(threaded, first);
}

TEST(RasterByteViewTest, AddressesRowsWithPadding) {
  cDIB dib;
  ASSERT_TRUE(dib.Create(5, 3, 8));
  RasterByteView v;
  BindRasterByteView(v, dib);
  EXPECT_EQ(v.base, dib.lpBits());
  EXPECT_EQ(v.row_length, 8);
  EXPECT_EQ(v.row_count, 3);
  v.at(7, 2) = 42;
  EXPECT_EQ(dib.lpBits()[2 * 8 + 7], 42);
  EXPECT_EQ(v.row(1), dib.lpBits() + 8);
  const int bad[][2] = {{8, 0}, {-1, 0}, {0, 3}, {0, -1}};
  for (const auto& b : bad) {
    EXPECT_EQ(test::Caught([&] { v.at(b[0], b[1]); }).number(), kErrSubscript) << b[0] << "," << b[1];
  }
}

}  // namespace
}  // namespace zoetra

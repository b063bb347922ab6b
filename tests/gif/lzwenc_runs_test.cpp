// The encoder on frames made of runs of one index (flat areas, bars, the
// background of a drawing): its output must be exactly what the plain
// compress-style rules give, including after the table fills up and after
// the string of two 0 pixels has been pushed out of the hash table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "gif/mgiflzwenc.hpp"
#include "raster/cdib.hpp"

namespace zoetra {
namespace {

using Bytes = std::vector<std::uint8_t>;

class Collect final : public mGIFLZWEnc::ByteSink {
 public:
  bool Write(std::span<const std::uint8_t> b) override {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return true;
  }
  Bytes bytes;
};

// The rules written out with separate key and code tables (key -1 = empty),
// rows in order, codes packed least significant bit first into sub-blocks
// of 254 bytes.
Bytes PlainEncode(const std::vector<std::uint8_t>& pixels, int init_width) {
  Bytes out, data;
  std::uint32_t acc = 0;
  int bits = 0, width = init_width, largest = (1 << width) - 1;
  const int clear = 1 << (init_width - 1);
  int next_free = clear + 2;
  bool clear_pending = false;
  const auto emit = [&](int code) {
    acc |= static_cast<std::uint32_t>(code) << bits;
    for (bits += width; bits >= 8; bits -= 8, acc >>= 8)
      data.push_back(static_cast<std::uint8_t>(acc));
    if (next_free > largest || clear_pending) {
      width = clear_pending ? init_width : width + 1;
      largest = width == 12 && !clear_pending ? 4096 : (1 << width) - 1;
      clear_pending = false;
    }
  };
  std::vector<int> keys(5003, -1), codes(5003, 0);
  emit(clear);
  int prefix = pixels[0];
  for (std::size_t i = 1; i < pixels.size(); ++i) {
    const int c = pixels[i], key = c * 4096 + prefix;
    int slot = (c << 4) ^ prefix;
    bool found = keys[static_cast<std::size_t>(slot)] == key;
    if (!found && keys[static_cast<std::size_t>(slot)] >= 0) {
      const int step = slot == 0 ? 1 : 5003 - slot;
      for (;;) {
        slot = slot - step < 0 ? slot - step + 5003 : slot - step;
        if (keys[static_cast<std::size_t>(slot)] == key) {
          found = true;
          break;
        }
        if (keys[static_cast<std::size_t>(slot)] <= 0) break;
      }
    }
    if (found) {
      prefix = codes[static_cast<std::size_t>(slot)];
      continue;
    }
    emit(prefix);
    if (next_free < 4096) {
      codes[static_cast<std::size_t>(slot)] = next_free++;
      keys[static_cast<std::size_t>(slot)] = key;
    } else {
      std::fill(keys.begin(), keys.end(), -1);
      next_free = clear + 2;
      clear_pending = true;
      emit(clear);
    }
    prefix = c;
  }
  emit(prefix);
  emit(clear + 1);
  if (bits > 0) data.push_back(static_cast<std::uint8_t>(acc));
  for (std::size_t at = 0; at < data.size(); at += 254) {
    const std::size_t n = std::min<std::size_t>(254, data.size() - at);
    out.push_back(static_cast<std::uint8_t>(n));
    out.insert(out.end(), data.begin() + static_cast<long>(at),
               data.begin() + static_cast<long>(at + n));
  }
  return out;
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

Bytes EncodeRaster(const std::vector<std::uint8_t>& px, int w, int h, int init_width) {
  cDIB dib;
  EXPECT_TRUE(dib.Create(w, h, 8));
  for (int y = 0; y < h; ++y) {
    std::copy_n(px.begin() + static_cast<long>(y) * w, w,
                dib.lpBits() + static_cast<std::size_t>(y) * dib.BytesPerScanline());
  }
  Collect sink;
  EXPECT_TRUE(mGIFLZWEnc::EncodeFrame(sink, dib, static_cast<std::uint8_t>(init_width), 0));
  return sink.bytes;
}

TEST(LZWEncRunsTest, RunsMatchThePlainRules) {
  struct Case {
    int w, h, init_width, longest;
  };
  // Small code widths keep few strings per run colour, so the table fills and
  // the string of two 0s is displaced many times; wide rows give long runs.
  const Case cases[] = {{1000, 300, 3, 40}, {1000, 300, 3, 400}, {317, 211, 5, 25},
                        {640, 480, 9, 120}, {640, 480, 9, 3},    {1, 500, 4, 60},
                        {2000, 2, 9, 2000}, {7, 9, 3, 5}};
  std::mt19937 rng(77);
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> px =
        Runs(rng, static_cast<std::size_t>(c.w) * c.h, 1 << (c.init_width - 1), c.longest);
    EXPECT_EQ(EncodeRaster(px, c.w, c.h, c.init_width), PlainEncode(px, c.init_width))
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
    EXPECT_EQ(EncodeRaster(px, w, h, 9), PlainEncode(px, 9)) << value;
  }
}

}  // namespace
}  // namespace zoetra

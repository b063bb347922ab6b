#include "pipeline/gif_stream.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gif/cgif.hpp"
#include "gif/mgiflzwenc.hpp"
#include "platform/base/error.hpp"
#include "support/caught.hpp"
#include "support/composed_frames.hpp"
#include "support/raster_pixels.hpp"
#include "support/refusing_sink.hpp"
#include "support/temp_dir.hpp"

namespace zoetra::pipeline {
namespace {

constexpr int kW = 5, kH = 3;
// Red, green, blue, white as blue, green, red, 0.
const std::uint32_t kColours[4] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};

Table Colours(int rotate) {
  Table t{};
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t c = kColours[(i + rotate) % 4];
    t[4 * i] = c & 0xFF, t[4 * i + 1] = c >> 8 & 0xFF, t[4 * i + 2] = c >> 16 & 0xFF;
  }
  return t;
}

// Picture k's index at (x, y), y = 0 the top row.
int IndexOf(int k, int x, int y) { return (x + y * k + k) % 4; }

// Picture k as a frame of the whole screen: its head and its LZW sub-blocks.
struct Frame {
  gif_blocks::FrameHead head;
  std::vector<std::uint8_t> data;
};
Frame MakeFrame(int k, std::int16_t delay) {
  Frame f;
  f.head.width = kW, f.head.height = kH, f.head.delay = delay;
  cDIB indices;
  EXPECT_TRUE(test::Filled(indices, kW, kH, [k](int x, int y) { return IndexOf(k, x, y); }, 8));
  mGIFLZWEnc::VectorSink sink(f.data);
  EXPECT_TRUE(mGIFLZWEnc::EncodeFrame(sink, indices, 3, 0));  // 4 entries: minimum code size 2
  return f;
}

// Picture k as a viewer shows it, through `table`.
test::RgbFrame Expected(int k, const Table& table) {
  test::RgbFrame f;
  f.width = kW, f.height = kH;
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      const std::uint8_t* e = table.data() + 4 * IndexOf(k, x, y);
      f.rgb.push_back(std::uint32_t{e[2]} << 16 | std::uint32_t{e[1]} << 8 | e[0]);
    }
  }
  return f;
}

cGIF Loaded(const std::vector<std::uint8_t>& bytes) {
  cGIF gif;
  EXPECT_TRUE(gif.LoadFromStream(bytes));
  EXPECT_TRUE(gif.LoadedTrailer());
  return gif;
}

// What the stream is told, in order, and the frames a reader then finds: a
// frame is written only once the next comes or the stream ends, so what is
// said of the last frame put (longer, disposed, made again) reaches it.
TEST(GifStreamTest, FramesComeOutInOrderWithWhatWasSaidOfThem) {
  enum Op { kPut, kExtend, kDispose, kRedo };
  struct Step {
    Op op;
    int value;  // the picture put or redone, or the hundredths added
  };
  struct Shown {
    int picture, delay, disposal;
  };
  struct Script {
    const char* what;
    std::vector<Step> steps;
    std::vector<Shown> frames;
  };
  // Pictures are put with 10 * (k + 1) hundredths.
  const Script scripts[] = {
      {"two frames", {{kPut, 0}, {kPut, 1}}, {{0, 10, 0}, {1, 20, 0}}},
      {"extended, twice", {{kPut, 0}, {kExtend, 5}, {kExtend, 7}, {kPut, 1}}, {{0, 22, 0}, {1, 20, 0}}},
      {"the last extended", {{kPut, 0}, {kPut, 1}, {kExtend, 3}}, {{0, 10, 0}, {1, 23, 0}}},
      {"disposed", {{kPut, 0}, {kDispose, 0}, {kPut, 1}, {kPut, 2}}, {{0, 10, 2}, {1, 20, 0}, {2, 30, 0}}},
      {"the last disposed", {{kPut, 0}, {kPut, 1}, {kDispose, 0}}, {{0, 10, 0}, {1, 20, 2}}},
      // Made again: its own pixels, the time it had grown to.
      {"redone", {{kPut, 0}, {kExtend, 4}, {kRedo, 2}, {kPut, 1}}, {{2, 14, 0}, {1, 20, 0}}},
      {"redone, then extended", {{kPut, 0}, {kPut, 1}, {kRedo, 3}, {kExtend, 1}}, {{0, 10, 0}, {3, 21, 0}}},
  };
  for (const Script& s : scripts) {
    SCOPED_TRACE(s.what);
    std::vector<std::uint8_t> bytes;
    mGIFLZWEnc::VectorSink sink(bytes);
    GifStream stream(sink, "memory");
    const Table table = Colours(0);
    stream.Begin(kW, kH, table, 4, 0);
    EXPECT_TRUE(stream.Started());
    for (const Step& step : s.steps) {
      const std::size_t before = bytes.size();
      const bool pending = stream.Pending();
      if (step.op == kPut || step.op == kRedo) {
        Frame f = MakeFrame(step.value, static_cast<std::int16_t>(10 * (step.value + 1)));
        step.op == kPut ? stream.Put(f.head, std::move(f.data)) : stream.Redo(f.head, std::move(f.data));
        EXPECT_TRUE(stream.Pending());
        // Only a frame put after another writes that one.
        EXPECT_EQ(bytes.size() > before, step.op == kPut && pending);
      } else {
        step.op == kExtend ? stream.Extend(static_cast<std::int16_t>(step.value)) : stream.Dispose();
        EXPECT_EQ(bytes.size(), before);
      }
    }
    stream.End();
    EXPECT_FALSE(stream.Pending());
    ASSERT_EQ(bytes.back(), 0x3B);  // the trailer

    cGIF gif = Loaded(bytes);
    ASSERT_EQ(gif.FramesCount(), static_cast<int>(s.frames.size()));
    const auto shown = test::ComposedPictures(gif);
    ASSERT_TRUE(shown.has_value());
    for (std::size_t i = 0; i < s.frames.size(); ++i) {
      const auto n = static_cast<std::int16_t>(i + 1);
      EXPECT_EQ(gif.FrameDelay(n), s.frames[i].delay) << "frame " << n;
      EXPECT_EQ(gif.FrameDisposalMethod(n), s.frames[i].disposal) << "frame " << n;
      EXPECT_EQ((*shown)[i].rgb, Expected(s.frames[i].picture, table).rgb) << "frame " << n;
    }
#ifdef ZOETRA_HAVE_GIFLIB
    const test::TempDir dir;
    test::WriteAll(dir.Path("s.gif"), bytes);
    const auto reference = test::GiflibCompose(dir.Path("s.gif"));
    ASSERT_TRUE(reference.has_value());
    test::ExpectSameAsReference(*shown, *reference);
#endif
  }
}

// The screen, the global table (or none) and the looping block (none for
// kPlayOnce); a frame's own table and transparency as the head gave them,
// even when the caller's table changes once it is put.
TEST(GifStreamTest, HeaderTablesAndLooping) {
  struct Case {
    std::int64_t loop;
    std::int32_t loaded_loops;  // -1: no looping block
    bool global;
  };
  const Case cases[] = {{0, 0, true}, {5, 5, true}, {65535, 65535, false}, {kPlayOnce, -1, true}, {kPlayOnce, -1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.loop);
    std::vector<std::uint8_t> bytes;
    mGIFLZWEnc::VectorSink sink(bytes);
    GifStream stream(sink, "memory");
    const Table global = Colours(0);
    stream.Begin(kW, kH, global, c.global ? 3 : 0, c.loop);
    Table local = Colours(1);
    Frame f = MakeFrame(1, 9);
    f.head.local_table = local.data();
    f.head.local_entries = 4;
    f.head.use_transparent = true;
    f.head.transparent_index = 2;
    stream.Put(f.head, std::move(f.data));
    const Table put = local;
    local = Colours(2);  // the stream holds its own copy
    stream.End();

    cGIF gif = Loaded(bytes);
    EXPECT_EQ(gif.ScreenWidth(), kW);
    EXPECT_EQ(gif.ScreenHeight(), kH);
    EXPECT_EQ(gif.LoadedLoopCount(), c.loaded_loops);
    ASSERT_EQ(gif.FramesCount(), 1);
    EXPECT_EQ(gif.GlobalPaletteExists() != 0, c.global);
    if (c.global) {
      EXPECT_EQ(gif.GlobalPaletteEntries(), 4);  // 3 entries take a table of 4
      for (int i = 0; i < 3; ++i) {
        const std::uint32_t c24 = kColours[i];
        // The reader's entries are red + 256 green + 65536 blue.
        EXPECT_EQ(gif.GlobalPaletteRGBEntry(static_cast<std::uint8_t>(i)),
                  static_cast<std::int32_t>((c24 >> 16) | (c24 & 0xFF00) | (c24 & 0xFF) << 16));
      }
    }
    EXPECT_NE(gif.LocalPaletteUsed(1), 0);
    EXPECT_NE(gif.FrameUseTransparentColor(1), 0);
    EXPECT_EQ(gif.FrameTransparentColorIndex(1), 2);
    EXPECT_EQ(gif.FrameDelay(1), 9);
    const auto shown = test::ComposedPictures(gif);
    ASSERT_TRUE(shown.has_value());
    const test::RgbFrame expected = Expected(1, put);
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        if (IndexOf(1, x, y) != 2) {
          EXPECT_EQ((*shown)[0].at(x, y), expected.at(x, y)) << x << ", " << y;
        }
      }
    }
  }
}

// Begin, two frames, the second extended, End.
void WriteTwo(GifStream& stream, std::int32_t width, std::int16_t delay, std::int16_t extend) {
  stream.Begin(width, kH, Colours(0), 4, 0);
  Frame f = MakeFrame(0, delay);
  stream.Put(f.head, std::move(f.data));
  f = MakeFrame(1, delay);
  stream.Put(f.head, std::move(f.data));
  stream.Extend(extend);
  stream.End();
}

// What cannot be written fails naming why: a screen wider than a GIF's, a
// delay past 16 bits, and a sink that refuses, at whichever of its writes.
TEST(GifStreamTest, FailuresSayWhy) {
  struct Case {
    const char* what;
    std::int32_t width;
    std::int16_t delay, extend;
    const char* says;
  };
  const Case cases[] = {
      {"a screen too wide", 32768, 1, 0, "32768 x 3 pixels, but a GIF frame is at most 32767"},
      {"a delay past 32767", kW, 32000, 768, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::RefusingSink sink(1000);
    GifStream stream(sink, "the-target.gif");
    const Error e = test::Caught([&] { WriteTwo(stream, c.width, c.delay, c.extend); });
    EXPECT_EQ(e.number(), kErrOverflow);
    EXPECT_NE(e.description().find(c.says), std::string::npos) << e.description();
  }
  test::RefusingSink counting(1000);
  GifStream whole(counting, "the-target.gif");
  WriteTwo(whole, kW, 1, 32766);  // 32767 in all: the longest a frame shows
  ASSERT_GE(counting.writes, 9);  // header, table, loop, and a start, data and end a frame, trailer
  for (int allowed = 0; allowed < counting.writes; ++allowed) {
    SCOPED_TRACE(allowed);
    test::RefusingSink sink(allowed);
    GifStream stream(sink, "the-target.gif");
    const Error e = test::Caught([&] { WriteTwo(stream, kW, 1, 0); });
    EXPECT_EQ(e.number(), kErrPathAccess);
    EXPECT_NE(e.description().find("the-target.gif"), std::string::npos) << e.description();
    EXPECT_NE(e.description().find("cannot save the GIF"), std::string::npos) << e.description();
    EXPECT_EQ(sink.writes, allowed + 1);  // nothing is written after a refusal
  }
}

}  // namespace
}  // namespace zoetra::pipeline

// The streaming reader against the document reader: the same file gives the
// same description and, frame by frame, the same screen bytes, however it
// is built, cut short or damaged; and neither a frame count past a
// document's nor a file past the read buffer changes that.
#include "gif/gif_frame_composer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "gif/cgif.hpp"
#include "gif/gif_builders.hpp"
#include "gif/gif_compose.hpp"
#include "gif/gif_info.hpp"
#include "gif/gif_scan.hpp"
#include "gif/mgiflzwdec.hpp"
#include "support/temp_dir.hpp"

namespace zoetra {
namespace {

using test::Bytes;
using test::GifBuilder;
using test::LzwReference;

using Screens = std::vector<std::vector<std::uint8_t>>;

std::vector<std::uint8_t> ScreenBytes(const cDIB& screen) {
  return {screen.lpBits(), screen.lpBits() + screen.Size()};
}

// Every screen cGIFComposer shows for the loaded bytes.
Screens Classic(const Bytes& file) {
  cGIF doc;
  Screens out;
  if (!doc.LoadFromStream(file)) return out;
  cGIFComposer composer(doc);
  if (!composer.Start()) return out;
  while (composer.Next() == cGIFComposer::kShown) out.push_back(ScreenBytes(composer.Screen()));
  return out;
}

// Every screen the streaming composer shows, reading from `input`.
Screens Streamed(gif_scan::Input& input) {
  gif_scan::Scanner scan(input);
  Screens out;
  if (!scan.Start()) return out;
  GifFrameComposer composer(scan);
  if (!composer.Start()) return out;
  while (composer.Next()) {
    EXPECT_EQ(composer.Frame().index, static_cast<std::int64_t>(out.size() + 1));
    out.push_back(ScreenBytes(composer.Screen()));
  }
  return out;
}

Screens Streamed(const Bytes& file) {
  gif_scan::Input input(file);
  return Streamed(input);
}

std::string StreamedJson(const Bytes& file, const std::string& name) {
  gif_info::Summary summary;
  gif_scan::Input survey(file);
  if (!gif_info::Survey(survey, summary)) return "not a GIF";
  gif_scan::Input input(file);
  gif_scan::Scanner scan(input);
  EXPECT_TRUE(scan.Start());
  std::string out;
  gif_info::Json(summary, scan, name, [&](const std::string& piece) { out += piece; });
  return out;
}

std::string ClassicJson(const Bytes& file, const std::string& name) {
  cGIF doc;
  return doc.LoadFromStream(file) ? gif_info::Json(doc, name) : "not a GIF";
}

// A random file: screen, tables, frames of any disposal and transparency,
// interlaced or not, local tables, frames partly or wholly off the screen,
// extensions the reader passes over, short or damaged blocks now and then.
Bytes RandomFile(std::mt19937& rng) {
  const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  GifBuilder g;
  const int w = pick(1, 24), h = pick(1, 24);
  const bool global = pick(0, 4) != 0;
  const int exponent = pick(0, 7);
  g.Header(pick(0, 5) == 0 ? "87a" : "89a")
      .Screen(static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h),
              static_cast<std::uint8_t>((global ? 0x80 : 0) | exponent), static_cast<std::uint8_t>(pick(0, 255)));
  if (global) g.ColourTable(2 << exponent, static_cast<std::uint8_t>(pick(0, 255)));
  if (pick(0, 2) == 0) g.Netscape(static_cast<std::uint8_t>(pick(0, 3)), 0);
  const int frames = pick(0, 7);
  for (int f = 0; f < frames; ++f) {
    switch (pick(0, 9)) {
      case 0: g.Comment("note"); break;
      case 1: g.Raw({0x21, 0xF9, 0x03, 0x04, 0x01, 0x00, 0x00}); break;  // a graphic control block too short
      case 2: g.Raw({0x00}); break;                                        // a stray byte
      default: break;
    }
    if (pick(0, 5) != 0) {
      g.Gce(static_cast<std::uint8_t>(pick(0, 7) << 2 | pick(0, 1)), static_cast<std::uint16_t>(pick(0, 300)),
            static_cast<std::uint8_t>(pick(0, 7)));
    }
    const int fw = pick(0, 2) == 0 ? pick(0, 40) : pick(1, w), fh = pick(0, 2) == 0 ? pick(0, 40) : pick(1, h);
    const int left = pick(0, 3) == 0 ? pick(0, 65535) : pick(0, w), top = pick(0, 3) == 0 ? pick(0, 65535) : pick(0, h);
    const bool local = !global || pick(0, 3) == 0;
    const int local_exponent = pick(0, 7);
    g.Image(static_cast<std::uint16_t>(left), static_cast<std::uint16_t>(top), static_cast<std::uint16_t>(fw),
            static_cast<std::uint16_t>(fh),
            static_cast<std::uint8_t>((local ? 0x80 | local_exponent : 0) | (pick(0, 2) == 0 ? 0x40 : 0)));
    if (local) g.ColourTable(2 << local_exponent, static_cast<std::uint8_t>(pick(0, 255)));
    const int code_size = pick(0, 8) == 0 ? pick(0, 12) : pick(2, 8);
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(fw * fh));
    // Some images carry fewer pixels than they hold: the rest stays index 0.
    if (pick(0, 3) == 0) pixels.resize(pixels.size() / 2);
    for (auto& p : pixels) p = static_cast<std::uint8_t>(pick(0, (1 << std::min(code_size, 8)) - 1));
    g.ImageData(static_cast<std::uint8_t>(code_size),
                LzwReference(pixels, std::clamp(code_size, 2, 8)), static_cast<std::size_t>(pick(1, 255)));
  }
  if (pick(0, 4) != 0) g.Trailer();
  return g.bytes();
}

TEST(GifFrameComposerTest, ShowsWhatTheDocumentComposerShows) {
  std::mt19937 rng(20261208);
  int frames_seen = 0;
  for (int n = 0; n < 400; ++n) {
    SCOPED_TRACE("file " + std::to_string(n));
    const Bytes file = RandomFile(rng);
    // Whole, and cut at a random length, as a damaged download is.
    const std::size_t cut = std::uniform_int_distribution<std::size_t>(6, file.size())(rng);
    for (const Bytes& bytes : {file, Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut))}) {
      const Screens classic = Classic(bytes);
      const Screens streamed = Streamed(bytes);
      ASSERT_EQ(streamed.size(), classic.size());
      for (std::size_t i = 0; i < classic.size(); ++i) ASSERT_TRUE(streamed[i] == classic[i]) << "frame " << i + 1;
      EXPECT_EQ(StreamedJson(bytes, "f.gif"), ClassicJson(bytes, "f.gif"));
      frames_seen += static_cast<int>(classic.size());
    }
  }
  EXPECT_GT(frames_seen, 1000);  // the files were not all empty
}

// Past 32767 frames, past the document's pixel limit and past the read
// buffer: the streaming reader counts and composes every frame from a file.
TEST(GifFrameComposerTest, ReadsEveryFrameOfALongFileThroughItsBuffer) {
  constexpr int kFrames = 40000;
  GifBuilder g;
  g.Header().Screen(4, 1, 0x80 | 0x01).ColourTable(4);
  for (int f = 0; f < kFrames; ++f) {
    g.Gce(0x04, 1, 0).Image(static_cast<std::uint16_t>(f % 4), 0, 1, 1, 0).ImageData(2, LzwReference({static_cast<std::uint8_t>(1 + f % 3)}, 2));
  }
  const Bytes file = g.Trailer().bytes();
  ASSERT_GT(file.size(), std::size_t{4} << 16);
  test::TempDir dir;
  std::ofstream(dir.Path("long.gif"), std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                              static_cast<std::streamsize>(file.size()));
  gif_scan::Input input(dir.Path("long.gif"));
  EXPECT_EQ(input.Size(), static_cast<std::int64_t>(file.size()));
  const Screens streamed = Streamed(input);
  ASSERT_EQ(streamed.size(), static_cast<std::size_t>(kFrames));
  // Frame f drew colour 1 + f % 3 at f % 4; by then every column was drawn.
  const std::vector<std::uint8_t>& last = streamed.back();
  for (int x = 0; x < 4; ++x) {
    const int f = kFrames - 4 + x;  // the last frame that drew column x
    std::uint8_t want[4] = {static_cast<std::uint8_t>(3 * (1 + f % 3)), static_cast<std::uint8_t>(2 * (1 + f % 3)),
                            static_cast<std::uint8_t>(1 + f % 3), 0};
    EXPECT_EQ(std::memcmp(last.data() + 4 * x, want, 4), 0) << "column " << x;
  }
  gif_info::Summary summary;
  gif_scan::Input survey(dir.Path("long.gif"));
  ASSERT_TRUE(gif_info::Survey(survey, summary));
  EXPECT_EQ(summary.frames, kFrames);
  EXPECT_EQ(summary.duration_ms, 10 * kFrames);
  EXPECT_FALSE(summary.truncated);
}


// An image far larger than the part of it that shows: only the rows that
// show are delivered, and the decoding stops at the last of them instead of
// spelling out the rest of its codes (a file of 1 MB can hold 2.8 billion).
TEST(GifFrameComposerTest, DecodesNoMoreOfAnImageThanShows) {
  // Codes that build runs of one colour up to 4091 long, then the longest again and again.
  test::BitPacker codes;
  int width = 3, next = 6;
  codes.Put({{4, 3}, {1, 3}});
  for (; next < 4096; ++next) {
    codes.Put(static_cast<std::uint32_t>(next), width);
    if (next + 1 > (1 << width) - 1 && width < 12) ++width;
  }
  for (int i = 0; i < 20000; ++i) codes.Put(4095, 12);
  const Bytes data = codes.Finish();

  struct Pieces final : mGIFLZWDec::DataFeed {
    explicit Pieces(const Bytes& d) : data(d) {}
    std::span<const std::uint8_t> More() override {
      if (at >= data.size()) return {};
      const std::size_t n = std::min<std::size_t>(255, data.size() - at);
      at += n;
      return {data.data() + at - n, n};
    }
    const Bytes& data;
    std::size_t at = 0;
  };
  struct Rows final : mGIFLZWDec::RowSink {
    void Row(std::int32_t y, const std::uint8_t* pixels) override {
      rows.push_back(y);
      firsts.push_back(pixels[0]);
    }
    std::vector<std::int32_t> rows;
    std::vector<std::uint8_t> firsts;
  };
  const struct {
    const char* name;
    bool interlaced;
    std::int32_t height, visible_rows;
    std::vector<std::int32_t> rows;  // delivered, in order
  } cases[] = {
      {"plain, one row shows", false, 65535, 1, {0}},
      {"plain, three rows show", false, 65535, 3, {0, 1, 2}},
      {"interlaced, one row shows", true, 65535, 1, {0}},
      {"interlaced, three rows of 16 show", true, 16, 3, {0, 2, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pieces feed(data);
    Rows sink;
    mGIFLZWDec::DecodeRows(65535, c.height, c.interlaced, 2, feed, sink, 2, c.visible_rows);
    EXPECT_EQ(sink.rows, c.rows);
    for (const std::uint8_t p : sink.firsts) EXPECT_EQ(p, 1);
    // At most 8 rows of 65535 need the runs and a few hundred of the longest codes, not 20000.
    EXPECT_LT(feed.at, data.size() / 10);
  }
}

}  // namespace
}  // namespace zoetra

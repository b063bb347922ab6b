// Clips and animated pictures through the people's calls: timing, size,
// orientation, colour, damaged files and limits. The clips and their facts
// are in tests/data/clips/ (README.md).
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <zoetra/zoetra.hpp>
#include "gif/cgif.hpp"
#include "gif/mgiflzwenc.hpp"
#include "pipeline/convert_list.hpp"
#include "platform/base/limits.hpp"
#include "support/composed_frames.hpp"
#include "support/limits_scope.hpp"
#include "support/pictures.hpp"
#include "support/temp_dir.hpp"
#include "video/video_decoder.hpp"

namespace zoetra {
namespace {

std::string Clip(const std::string& name) { return std::string(ZOETRA_SOURCE_DIR) + "/tests/data/clips/" + name; }

struct Made {
  int width = 0, height = 0;
  std::vector<int> delays;
  std::vector<test::RgbFrame> frames;
  BuilderReport report;
};

Made Make(const std::vector<PictureSource>& sources, BuilderOptions options = {}) {
  Made made;
  options.report = &made.report;
  const std::vector<std::uint8_t> bytes = Zoetra().CreateToBuffer(sources, options);
  cGIF gif;
  EXPECT_TRUE(gif.LoadFromStream(bytes));
  made.width = gif.ScreenWidthU16();
  made.height = gif.ScreenHeightU16();
  for (std::int16_t f = 1; f <= gif.FramesCount(); ++f) made.delays.push_back(gif.FrameDelay(f));
  if (auto frames = test::ComposedPictures(gif)) made.frames = std::move(*frames);
  return made;
}

int Sum(const std::vector<int>& v) {
  int total = 0;
  for (const int d : v) total += d;
  return total;
}

bool Near(std::uint32_t rgb, std::uint32_t expected, int tolerance) {
  for (int shift = 0; shift <= 16; shift += 8) {
    const int a = static_cast<int>((rgb >> shift) & 0xFF), b = static_cast<int>((expected >> shift) & 0xFF);
    if (std::abs(a - b) > tolerance) return false;
  }
  return true;
}

class ClipSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!video::VideoSupported()) GTEST_SKIP() << "built without FFmpeg's libraries";
  }
};

TEST_F(ClipSourceTest, FramesSizesAndDelaysAreThoseOfTheClip) {
  BuilderOptions part;
  part.fps = 10;
  part.start = 0.5;
  part.duration = 1;
  part.width = 32;
  struct Case {
    const char* file;
    BuilderOptions options;
    int width, height, frames, total;
    std::vector<int> first_delays;
  };
  const std::vector<Case> cases = {
      {"h264_25.mp4", {}, 64, 48, 50, 200, {4, 4, 4}},
      {"h264_30.mp4", {}, 64, 48, 90, 300, {3, 4, 3}},
      {"vp9.webm", {}, 64, 48, 25, 100, {4, 4}},
      {"vp8.webm", {}, 64, 48, 25, 100, {4, 4}},
      {"h265.mp4", {}, 64, 48, 25, 100, {4, 4}},
      {"av1.mkv", {}, 64, 48, 25, 100, {4, 4}},
      {"mjpeg.avi", {}, 64, 48, 10, 40, {4, 4}},
      {"rotated90.mp4", {}, 48, 64, 25, 100, {4, 4}},
      {"anim.gif", {}, 32, 24, 5, 115, {10, 20, 30, 5, 50}},
      {"anim.png", {}, 32, 24, 3, 60, {10, 20, 30}},
      {"anim.webp", {}, 32, 24, 3, 60, {10, 20, 30}},
      {"h264_25.mp4", part, 32, 24, 10, 100, {10, 10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const Made made = Make({Clip(c.file)}, c.options);
    EXPECT_EQ(made.width, c.width);
    EXPECT_EQ(made.height, c.height);
    EXPECT_EQ(static_cast<int>(made.delays.size()), c.frames);
    EXPECT_EQ(Sum(made.delays), c.total);
    const std::vector<int> first(made.delays.begin(),
                                 made.delays.begin() + std::min(made.delays.size(), c.first_delays.size()));
    EXPECT_EQ(first, c.first_delays);
  }
}

TEST_F(ClipSourceTest, ColoursFollowTheStreamsMatrixAndRange) {
  // Centres of the patches; expected colours from the README, read with the
  // tags. Read with the other matrix or range, each is off by 6 or more.
  struct Case {
    const char* file;
    std::vector<std::uint32_t> expected;
  };
  const std::vector<Case> cases = {
      {"bt709_limited.mp4", {0xFF0100, 0x00FF01, 0x0100FF, 0x808080, 0x282828, 0xDCDCDC}},
      {"bt601_full.mp4", {0xFE0000, 0x00FF01, 0x0000FE, 0x808080, 0x282828, 0xDCDCDC}},
  };
  const int xs[] = {8, 24, 40, 8, 24, 40}, ys[] = {8, 8, 8, 24, 24, 24};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const Made made = Make({Clip(c.file)});
    ASSERT_FALSE(made.frames.empty());
    for (int k = 0; k < 6; ++k) {
      const std::uint32_t got = made.frames.back().at(xs[k], ys[k]);
      EXPECT_TRUE(Near(got, c.expected[static_cast<std::size_t>(k)], 2))
          << "patch " << k << ": " << test::Hex(got) << " for " << test::Hex(c.expected[static_cast<std::size_t>(k)]);
    }
  }
}

TEST_F(ClipSourceTest, APhoneClipStoredSidewaysComesOutUpright) {
  const Made made = Make({Clip("rotated90.mp4")});
  ASSERT_FALSE(made.frames.empty());
  const test::RgbFrame& f = made.frames.front();
  EXPECT_TRUE(Near(f.at(12, 16), 0x0000FF, 12)) << test::Hex(f.at(12, 16));
  EXPECT_TRUE(Near(f.at(36, 16), 0xFF0000, 12)) << test::Hex(f.at(36, 16));
  EXPECT_TRUE(Near(f.at(12, 48), 0xFFFFFF, 12)) << test::Hex(f.at(12, 48));
  EXPECT_TRUE(Near(f.at(36, 48), 0x00FF00, 12)) << test::Hex(f.at(36, 48));
}

TEST_F(ClipSourceTest, AMatrixOfNoQuarterTurnIsNotFollowedAndSaysSo) {
  // rotated90.mp4 with a display matrix of 45 degrees, and of a mirror.
  const struct {
    const char* file;
    const char* says;
  } cases[] = {{"rotated45.mp4", "45 degrees"}, {"mirrored.mp4", "mirrors"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const Made made = Make({Clip(c.file)});
    EXPECT_EQ(made.width, 64);
    EXPECT_EQ(made.height, 48);
    ASSERT_FALSE(made.frames.empty());
    EXPECT_TRUE(Near(made.frames.front().at(16, 12), 0xFF0000, 12)) << test::Hex(made.frames.front().at(16, 12));
    ASSERT_EQ(made.report.warnings.size(), 1u);
    EXPECT_NE(made.report.warnings[0].find(c.file), std::string::npos) << made.report.warnings[0];
    EXPECT_NE(made.report.warnings[0].find(c.says), std::string::npos) << made.report.warnings[0];
  }
  // A quarter turn is followed without a word.
  EXPECT_TRUE(Make({Clip("rotated90.mp4")}).report.warnings.empty());
}

// The counter clips show their frame number in eight patches of 4x8, bit i
// white in patch i.
int FrameNumber(const test::RgbFrame& frame) {
  int number = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if (((frame.at(4 * bit + 2, 4) >> 8) & 0xFF) > 128) number |= 1 << bit;
  }
  return number;
}

std::vector<int> FrameNumbers(const Made& made) {
  std::vector<int> numbers;
  for (const test::RgbFrame& frame : made.frames) numbers.push_back(FrameNumber(frame));
  return numbers;
}

std::vector<int> Steps(int from, int count, int step) {
  std::vector<int> v;
  for (int k = 0; k < count; ++k) v.push_back(from + k * step);
  return v;
}

TEST_F(ClipSourceTest, PartsAreTakenFromTheClipsOwnStart) {
  // counter10.ts: 10 fps, MPEG-TS times beginning at 1.4 s, a key frame a
  // second; its seeks land on any packet, after which the first frame decoded
  // is the next key frame, or none; counter10_onekey.ts has only its first
  // key frame. counter30.mp4:
  // 30 fps in ticks of 1/600; at 15 fps every second frame shows.
  const auto part = [](double start, std::optional<double> duration, std::optional<double> fps = {}) {
    BuilderOptions o;
    o.start = start;
    o.duration = duration;
    o.fps = fps;
    return o;
  };
  const struct {
    const char* file;
    BuilderOptions options;
    std::vector<int> frames;
  } cases[] = {
      {"counter10.ts", part(1, 1), Steps(10, 10, 1)},
      {"counter10.ts", part(0.04, {}), Steps(0, 30, 1)},
      {"counter10.ts", part(2.5, 0.3), Steps(25, 3, 1)},
      {"counter10.ts", part(1.5, 1), Steps(15, 10, 1)},
      // One key frame, B-frames: a seek by time lands past the key frame.
      {"counter10_onekey.ts", part(1, 1), Steps(10, 10, 1)},
      {"counter10_onekey.ts", part(0.04, 0.5), Steps(0, 6, 1)},
      {"counter30.mp4", part(2, 3, 15), Steps(60, 45, 2)},
      {"counter30.mp4", part(0, 2, 15), Steps(0, 30, 2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.file << " from " << c.options.start);
    try {
      EXPECT_EQ(FrameNumbers(Make({Clip(c.file)}, c.options)), c.frames);
    } catch (const Error& e) {
      ADD_FAILURE() << e.description();
    }
  }
}

TEST_F(ClipSourceTest, AnAnimatedGifGivesEveryFrameComposed) {
  const Made made = Make({Clip("anim.gif")});
  ASSERT_EQ(made.frames.size(), 5u);
  const std::uint32_t red = 0xFF0000, white = 0xFFFFFF, grey = 0x808080, yellow = 0xFFFF00, blue = 0x0000FF;
  const struct {
    int x, y;
    std::uint32_t colours[5];
  } probes[] = {{4, 2, {red, white, white, white, white}},
                {24, 14, {grey, grey, yellow, yellow, yellow}},
                {12, 8, {red, red, red, 0x00FFFF, 0x00FFFF}},
                {0, 23, {blue, blue, blue, blue, 0}},
                {1, 23, {blue, blue, blue, blue, blue}}};
  for (const auto& p : probes) {
    for (int f = 0; f < 5; ++f) {
      EXPECT_TRUE(Near(made.frames[static_cast<std::size_t>(f)].at(p.x, p.y), p.colours[f], 8))
          << "(" << p.x << ", " << p.y << ") frame " << f + 1;
    }
  }
}

TEST_F(ClipSourceTest, AnimatedPngAndWebpAreComposedFrameByFrame) {
  for (const char* file : {"anim.png", "anim.webp"}) {
    SCOPED_TRACE(file);
    const Made made = Make({Clip(file)});
    ASSERT_EQ(made.frames.size(), 3u);
    const std::uint32_t at_8_8[] = {0x405080, 0xFF0000, 0xFF0000}, at_20_12[] = {0xA07880, 0xA07880, 0x0000FF};
    for (std::size_t f = 0; f < 3; ++f) {
      // The gradient goes through a palette of 256 and dithering; the squares are flat.
      EXPECT_TRUE(Near(made.frames[f].at(8, 8), at_8_8[f], f == 0 ? 16 : 6)) << test::Hex(made.frames[f].at(8, 8));
      EXPECT_TRUE(Near(made.frames[f].at(20, 12), at_20_12[f], f < 2 ? 16 : 6)) << test::Hex(made.frames[f].at(20, 12));
    }
  }
}

TEST_F(ClipSourceTest, PicturesAndClipsMixInListOrderAtTheFirstSourcesSize) {
  test::TempDir dir;
  const std::string still = dir.Path("still.bmp");
  test::WriteBmp(still, 128, 96, [](int, int) { return test::Rgb{200, 10, 10}; });
  BuilderOptions options;
  options.delay_ms = 500;
  const Made made = Make({PictureSource(still), Clip("vp9.webm"), Clip("anim.gif")}, options);
  EXPECT_EQ(made.width, 128);
  EXPECT_EQ(made.height, 96);
  ASSERT_EQ(made.delays.size(), 1u + 25 + 5);
  EXPECT_EQ(made.delays[0], 50);
  EXPECT_EQ(Sum(made.delays), 50 + 100 + 115);
  // Later sources of another size are fitted, and the report says so.
  EXPECT_EQ(made.report.other_size_picture, 2);
}

TEST_F(ClipSourceTest, DamagedAndForeignFilesGetClearAnswers) {
  // A clip cut short gives the frames before the cut and a warning naming it.
  const Made cut = Make({Clip("truncated.mp4")});
  EXPECT_GE(cut.delays.size(), 40u);
  EXPECT_LT(cut.delays.size(), 75u);
  ASSERT_EQ(cut.report.warnings.size(), 1u);
  EXPECT_NE(cut.report.warnings[0].find("truncated.mp4"), std::string::npos) << cut.report.warnings[0];
  EXPECT_NE(cut.report.warnings[0].find("cut short"), std::string::npos) << cut.report.warnings[0];

  const struct {
    const char* file;
    BuilderOptions options;
    std::int32_t number;
    const char* says;
  } cases[] = {
      {"random.mp4", {}, kErrInvalidPicture, "nor a clip"},
      {"h264_25.mp4", [] {
         BuilderOptions o;
         o.start = 30;
         return o;
       }(), kErrInvalidPicture, "between the start and the end"},
      {"h264_25.mp4", [] {
         BuilderOptions o;
         o.palette = PaletteMode::First;
         return o;
       }(), kErrInvalidArgument, "is a clip"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    try {
      Zoetra().CreateToBuffer({Clip(c.file)}, c.options);
      ADD_FAILURE() << "no failure";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), c.number) << e.description();
      EXPECT_NE(e.description().find(c.says), std::string::npos) << e.description();
      EXPECT_NE(e.description().find(c.file), std::string::npos) << e.description();
    }
  }
}

TEST_F(ClipSourceTest, LimitsHoldForClipFrames) {
  const struct {
    void (*set)(platform::Limits&);
    const char* limit;
  } cases[] = {
      {[](platform::Limits& l) { l.max_clip_frames = 20; }, "max_clip_frames"},
      {[](platform::Limits& l) { l.max_clip_seconds = 1; }, "max_clip_seconds"},
      {[](platform::Limits& l) { l.max_picture_pixels = 1000; }, "max_picture_pixels"},
  };
  for (const auto& c : cases) {
    test::LimitsScope scope;
    platform::Limits limits = platform::GetLimits();
    c.set(limits);
    platform::SetLimits(limits);
    try {
      Zoetra().CreateToBuffer({Clip("h264_25.mp4")}, {});
      ADD_FAILURE() << c.limit << " did not hold";
    } catch (const Error& e) {
      EXPECT_NE(e.description().find(c.limit), std::string::npos) << e.description();
    }
  }
  // An animated picture has no frame or running-time limit of a clip.
  test::LimitsScope scope;
  platform::Limits limits = platform::GetLimits();
  limits.max_clip_frames = 1;
  platform::SetLimits(limits);
  for (const char* animated : {"anim.gif", "anim.webp"}) {
    SCOPED_TRACE(animated);
    EXPECT_NO_THROW(Zoetra().CreateToBuffer({Clip(animated)}, {}));
  }
}

TEST_F(ClipSourceTest, TheBytesDoNotDependOnThreads) {
  BuilderOptions one, many;
  one.threads = 1;
  many.threads = 4;
  for (const PaletteMode mode : {PaletteMode::All, PaletteMode::Frame}) {
    one.palette = many.palette = mode;
    one.optimize = many.optimize = true;
    const std::vector<PictureSource> sources = {Clip("h264_30.mp4"), Clip("anim.gif")};
    EXPECT_EQ(Zoetra().CreateToBuffer(sources, one), Zoetra().CreateToBuffer(sources, many));
  }
}

TEST_F(ClipSourceTest, AClipKeptBetweenThePassesGivesTheBytesOfOneDecodedTwice) {
  // Palette all counts, then maps: a short clip is kept from the first pass,
  // a long one decoded again. Without a budget every clip is decoded again.
  BuilderOptions options;
  options.optimize = true;
  const std::vector<PictureSource> sources = {Clip("h264_30.mp4"), Clip("anim.gif"), Clip("vp9.webm")};
  std::vector<std::uint8_t> kept, again;
  for (const std::int64_t budget : {pipeline::kKeptBytes, std::int64_t{0}}) {
    std::vector<std::uint8_t>& bytes = budget > 0 ? kept : again;
    mGIFLZWEnc::VectorSink sink(bytes);
    pipeline::GifStream out(sink, "memory");
    pipeline::ConvertList(sources, options, 2, out, nullptr, budget);
  }
  EXPECT_FALSE(kept.empty());
  EXPECT_EQ(kept, again);
  EXPECT_EQ(kept, Zoetra().CreateToBuffer(sources, options));
}

// Pictures kept between the passes are packed to 3 bytes a pixel and back,
// two pixels a step: every size, odd counts and single pixels among them,
// gives the bytes of pictures decoded twice.
TEST(KeptPicturesTest, EverySizeGivesTheBytesOfPicturesDecodedTwice) {
  test::TempDir dir;
  const struct {
    int w, h;
  } sizes[] = {{1, 1}, {2, 1}, {3, 1}, {5, 3}, {7, 7}, {16, 9}};
  for (const auto& size : sizes) {
    SCOPED_TRACE(::testing::Message() << size.w << "x" << size.h);
    std::vector<PictureSource> sources;
    for (int k = 0; k < 3; ++k) {
      const std::string path = dir.Path("f" + std::to_string(size.w) + "x" + std::to_string(size.h) + "_" +
                                        std::to_string(k) + ".bmp");
      test::WriteFrame(path, size.w, size.h, k);
      sources.push_back(PictureSource(path));
    }
    const pipeline::PictureList list(sources, false);
    std::vector<std::uint8_t> kept, again;
    for (const std::int64_t budget : {pipeline::kKeptBytes, std::int64_t{0}}) {
      std::vector<std::uint8_t>& bytes = budget > 0 ? kept : again;
      mGIFLZWEnc::VectorSink sink(bytes);
      pipeline::GifStream out(sink, "memory");
      pipeline::Conversion conversion(BuilderOptions{}, 2, out, budget);
      conversion.Count(list);
      EXPECT_EQ(conversion.KeptThrough(3), budget > 0);
      conversion.Seal();
      conversion.Emit(list);
      conversion.Finish();
    }
    EXPECT_FALSE(kept.empty());
    EXPECT_EQ(kept, again);
  }
}

TEST(ClipOptionsTest, TimesParseAndBadOnesAreRefusedByName) {
  const struct {
    const char* text;
    double seconds;
  } good[] = {{"2.5", 2.5}, {"90", 90}, {"1:02.5", 62.5}, {"01:00:02", 3602}, {"0:59.999", 59.999}};
  for (const auto& g : good) EXPECT_DOUBLE_EQ(ParseTime(g.text), g.seconds) << g.text;
  for (const char* bad : {"", "abc", "1:60", "1:2:3:4", "-2", "1..2", "1.5:00", ":30", "1e3"}) {
    try {
      ParseTime(bad);
      ADD_FAILURE() << "'" << bad << "' was taken";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), kErrInvalidArgument);
      EXPECT_NE(e.description().find(std::string("\"") + bad + "\""), std::string::npos) << e.description();
    }
  }
  const struct {
    void (*set)(BuilderOptions&);
    const char* says;
  } refused[] = {
      {[](BuilderOptions& o) { o.start = -1; }, "start"},
      {[](BuilderOptions& o) { o.duration = 0; }, "duration"},
      {[](BuilderOptions& o) { o.duration = 1, o.end = 2; }, "both"},
      {[](BuilderOptions& o) { o.start = 3, o.end = 2; }, "not after the start"},
      {[](BuilderOptions& o) { o.width = 40000; }, "32767"},
      {[](BuilderOptions& o) { o.width = 10, o.fit_width = o.fit_height = 10; }, "give one"},
  };
  for (const auto& r : refused) {
    BuilderOptions o;
    r.set(o);
    try {
      CheckBuilderOptions(o);
      ADD_FAILURE() << r.says;
    } catch (const Error& e) {
      EXPECT_NE(e.description().find(r.says), std::string::npos) << e.description();
    }
  }
}

}  // namespace
}  // namespace zoetra

// The streaming conversion and the writer: frames one at a time give the list
// call's bytes in every mode, held frames past their memory budget come back
// from disk, and the frames in flight stay within a window however many come.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <zoetra/zoetra.h>
#include <zoetra/zoetra.hpp>
#include "gif/cgif.hpp"
#include "pipeline/session.hpp"
#include "pipeline/held_frames.hpp"
#include "support/caught.hpp"
#include "support/picture_files.hpp"
#include "support/temp_dir.hpp"
#include "support/yield_hook.hpp"

namespace zoetra {
namespace {

constexpr int kW = 24, kH = 16;

// Frame k's RGB pixels: a pattern that moves, repeated for k = 3 and 4 so
// that --optimize has a frame to merge.
std::vector<std::uint8_t> Rgb(int k) {
  const int seed = k == 4 ? 3 : k;
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(kW) * kH * 3);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      for (int c = 0; c < 3; ++c) rgb[(static_cast<std::size_t>(y) * kW + x) * 3 + c] = test::PatternByte(x + seed, y, c, seed);
    }
  }
  return rgb;
}

PicturePixels Pixels(const std::vector<std::uint8_t>& rgb) {
  PicturePixels p;
  p.data = rgb.data();
  p.width = kW;
  p.height = kH;
  return p;
}

class StreamingTest : public ::testing::Test {
 protected:
  StreamingTest() {
    for (int k = 0; k < 7; ++k) frames_.push_back(Rgb(k));
    file_ = dir_.Path("five.png");
    test::WriteAll(file_, test::PngFileBytes(kW, kH, 5));
  }
  // Six pictures in memory and one file, in list order.
  std::vector<PictureSource> List() const {
    std::vector<PictureSource> list;
    for (std::size_t k = 0; k < frames_.size(); ++k) {
      if (k == 5) {
        list.emplace_back(file_);
      } else {
        list.emplace_back(Pixels(frames_[k]));
      }
    }
    return list;
  }

  test::TempDir dir_;
  std::vector<std::vector<std::uint8_t>> frames_;
  std::string file_;
};

TEST_F(StreamingTest, TheWriterGivesTheListCallsBytesInEveryMode) {
  for (const PaletteMode mode : {PaletteMode::First, PaletteMode::All, PaletteMode::Frame}) {
    for (const bool optimize : {false, true}) {
      for (const bool gray : {false, true}) {
        SCOPED_TRACE(std::to_string(static_cast<int>(mode)) + (optimize ? " optimize" : "") + (gray ? " gray" : ""));
        BuilderOptions o;
        o.palette = mode;
        o.optimize = optimize;
        o.gray = gray;
        o.threads = 3;
        const std::vector<std::uint8_t> want = Zoetra().CreateToBuffer(List(), o);
        const std::string out = dir_.Path("writer.gif");
        Writer writer(out, o);
        for (const PictureSource& p : List()) writer.Add(p);
        EXPECT_EQ(writer.Finish(), 7);
        EXPECT_EQ(test::ReadAll(out), std::string(want.begin(), want.end()));

        std::vector<std::uint8_t> streamed;
        Writer to_function(
            [&](std::span<const std::uint8_t> b) {
              streamed.insert(streamed.end(), b.begin(), b.end());
              return true;
            },
            o);
        for (const PictureSource& p : List()) to_function.Add(p);
        to_function.Finish();
        EXPECT_EQ(streamed, want);
      }
    }
  }
}

// The browser's way: every frame given again after the counting pass, those
// the counting pass kept without their pixels. Whatever was kept, the bytes
// are the list call's.
TEST_F(StreamingTest, FramesGivenAgainGiveTheListCallsBytes) {
  for (const PaletteMode mode : {PaletteMode::All, PaletteMode::Frame}) {
    for (const bool optimize : {false, true}) {
      for (const std::int64_t kept_bytes : {pipeline::kKeptBytes, std::int64_t{3} * kW * kH * 3 + 200}) {
        SCOPED_TRACE(std::to_string(static_cast<int>(mode)) + (optimize ? " optimize" : "") + " keeping " +
                     std::to_string(kept_bytes));
        BuilderOptions o;
        o.palette = mode;
        o.optimize = optimize;
        o.threads = 2;
        const std::vector<std::uint8_t> want = Zoetra().CreateToBuffer(List(), o);
        std::vector<std::uint8_t> bytes;
        mGIFLZWEnc::VectorSink sink(bytes);
        pipeline::GifStream out(sink, "memory");
        pipeline::Session session(o, 2, &out, pipeline::Session::Again::Given, {}, kept_bytes);
        const std::vector<PictureSource> list = List();
        int kept = 0;
        if (session.CountsFirst()) {
          for (const PictureSource& p : list) session.Add(p);
          session.Seal();
        }
        for (const PictureSource& p : list) {
          if (session.NextKept()) {
            session.AddKept(-1);
            ++kept;
          } else {
            session.Add(p);
          }
        }
        EXPECT_EQ(session.Finish(), 7);
        EXPECT_EQ(bytes, want);
        // The small budget keeps three frames; the large one all, in the mode that counts.
        EXPECT_EQ(kept, mode == PaletteMode::Frame ? 0 : kept_bytes == pipeline::kKeptBytes ? 7 : 3);
      }
    }
  }
}

TEST_F(StreamingTest, TheSessionRefusesCallsOutOfTurn) {
  const struct Case {
    const char* what;
    PaletteMode mode;
    std::function<void(pipeline::Session&)> call;
    const char* text;
  } cases[] = {
      {"seal without a counting pass", PaletteMode::Frame, [](pipeline::Session& s) { s.Seal(); }, "does not count"},
      {"finish before the seal", PaletteMode::All, [](pipeline::Session& s) { s.Finish(); }, "not sealed"},
      {"a kept frame that was not kept", PaletteMode::Frame, [](pipeline::Session& s) { s.AddKept(-1); },
       "did not keep frame 2"},
      {"an own delay with the first picture's palette", PaletteMode::First,
       [](pipeline::Session& s) { s.FrameDelay(100); }, "own delay"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BuilderOptions o;
    o.palette = c.mode;
    std::vector<std::uint8_t> bytes;
    mGIFLZWEnc::VectorSink sink(bytes);
    pipeline::GifStream out(sink, "memory");
    std::int64_t whole = 0;
    pipeline::Session session(o, 1, &out, pipeline::Session::Again::Given,
                              [&](const std::vector<PictureSource>& list) { return whole = list.size(); });
    session.Add(Pixels(frames_[0]));
    const Error e = test::Caught([&] { c.call(session); });
    EXPECT_EQ(e.number(), kErrInvalidArgument);
    EXPECT_NE(e.description().find(c.text), std::string::npos) << e.description();
    EXPECT_EQ(whole, 0);
  }
}

TEST_F(StreamingTest, TheWriterTakesOwnDelaysAndRefusesWhatItCannotDo) {
  const std::string out = dir_.Path("delays.gif");
  {
    BuilderOptions o;
    o.palette = PaletteMode::Frame;
    Writer writer(out, o);
    writer.Add(Pixels(frames_[0]), 120);
    writer.Add(Pixels(frames_[1]));
    writer.Add(Pixels(frames_[2]), 0);
    writer.Finish();
    cGIF doc;
    ASSERT_TRUE(doc.LoadFromFile(out));
    ASSERT_EQ(doc.FramesCount(), 3);
    EXPECT_EQ(doc.FrameDelay(1), 12);
    EXPECT_EQ(doc.FrameDelay(2), 35);
    EXPECT_EQ(doc.FrameDelay(3), 0);
  }
  test::WriteAll(out, "before");
  const struct Case {
    const char* what;
    PaletteMode mode;
    std::int64_t delay;
    const char* text;
  } cases[] = {
      {"own delay with the first picture's palette", PaletteMode::First, 100, "own delay"},
      {"delay out of range", PaletteMode::All, 40000, "the frame delay 40000 ms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BuilderOptions o;
    o.palette = c.mode;
    Writer writer(out, o);
    writer.Add(Pixels(frames_[0]));
    const Error e = test::Caught([&] { writer.Add(Pixels(frames_[1]), c.delay); });
    EXPECT_EQ(e.number(), kErrInvalidArgument);
    EXPECT_NE(e.description().find(c.text), std::string::npos) << e.description();
    // After a failure the writer refuses everything, and makes no file.
    EXPECT_NE(test::Caught([&] { writer.Finish(); }).description().find("earlier failure"), std::string::npos);
  }
  {
    Writer unfinished(out, BuilderOptions{});
    unfinished.Add(Pixels(frames_[0]));
  }
  EXPECT_EQ(test::ReadAll(out), "before") << "a writer never finished leaves the old file";
  Writer finished(out, BuilderOptions{});
  finished.Add(Pixels(frames_[0]));
  finished.Finish();
  EXPECT_NE(test::Caught([&] { finished.Add(Pixels(frames_[1])); }).description().find("finished"), std::string::npos);
  EXPECT_NE(test::Caught([&] { Writer(out, BuilderOptions{}).Add(PictureSource(out)); }).number(), 0)
      << "the output cannot be one of its pictures";
}

TEST_F(StreamingTest, TheCWriterGivesTheListCallsBytes) {
  ZoetraInstance* z = zoetra_new();
  ZoetraOptions o;
  zoetra_options_init(&o);
  o.optimize = 1;
  std::vector<ZoetraPicture> pictures(frames_.size());
  for (std::size_t k = 0; k < frames_.size(); ++k) {
    pictures[k] = ZoetraPicture{nullptr, frames_[k].data(), kW, kH, 0, ZOETRA_PIXELS_RGB};
  }
  const std::string list_out = dir_.Path("list.gif"), writer_out = dir_.Path("writer.gif");
  ASSERT_EQ(zoetra_create_pictures(z, pictures.data(), static_cast<int32_t>(pictures.size()), list_out.c_str(), &o,
                                   nullptr, 0, nullptr),
            0);
  ZoetraWriter* w = nullptr;
  ASSERT_EQ(zoetra_writer_open(z, writer_out.c_str(), &o, &w), 0);
  for (const ZoetraPicture& p : pictures) ASSERT_EQ(zoetra_writer_add(z, w, &p, -1), 0);
  ZoetraPicture bad = pictures[0];
  bad.pixels = nullptr;
  EXPECT_NE(zoetra_writer_add(z, w, &bad, -1), 0);
  EXPECT_EQ(zoetra_error_number(z), kErrInvalidArgument);
  EXPECT_NE(zoetra_writer_finish(z, w, nullptr), 0) << "a failed writer finishes nothing";
  zoetra_writer_release(w);

  ASSERT_EQ(zoetra_writer_open(z, writer_out.c_str(), &o, &w), 0);
  for (const ZoetraPicture& p : pictures) ASSERT_EQ(zoetra_writer_add(z, w, &p, -1), 0);
  std::int64_t frames = 0;
  ASSERT_EQ(zoetra_writer_finish(z, w, &frames), 0) << zoetra_error_description(z);
  zoetra_writer_release(w);
  EXPECT_EQ(frames, 7);
  EXPECT_EQ(test::ReadAll(writer_out), test::ReadAll(list_out));
  zoetra_release(z);
}

TEST(HeldFramesTest, FramesPastTheMemoryBudgetComeBackFromTheTemporaryFile) {
  // 600 bytes a picture: the first two fit 1300 bytes of memory, the rest go to disk.
  pipeline::HeldFrames held(false, 1300);
  std::vector<std::vector<std::uint8_t>> given;
  for (int k = 0; k < 5; ++k) {
    given.push_back(Rgb(k));
    held.Add(PictureSource(Pixels(given.back())), k == 2 ? 7 : -1);
  }
  EXPECT_FALSE(held.AllInMemory());
  ASSERT_EQ(held.Frames(), 5u);
  for (std::size_t k = 0; k < 5; ++k) {
    pipeline::Decoded from_held, from_pixels;
    held.Read(k, false, from_held);
    pipeline::ReadPixels(Pixels(given[k]), false, from_pixels);
    ASSERT_EQ(from_held.raster.Width(), kW);
    const std::size_t bytes = static_cast<std::size_t>(from_pixels.raster.BytesPerScanline()) * kH;
    EXPECT_EQ(std::memcmp(from_held.raster.lpBits(), from_pixels.raster.lpBits(), bytes), 0) << "frame " << k;
    EXPECT_EQ(held.Delay(k), k == 2 ? 7 : -1);
  }
}

// A source that counts its reads and can fail at one frame.
class CountingSource final : public pipeline::FrameSource {
 public:
  CountingSource(std::size_t frames, std::size_t broken) : frames_(frames), broken_(broken) {}
  std::size_t Frames() const override { return frames_; }
  void Read(std::size_t k, bool keep_alpha, pipeline::Decoded& out) const override {
    ++reads;
    if (k == broken_) RaiseError(kErrInvalidPicture, "Invalid picture: frame " + std::to_string(k + 1));
    const std::vector<std::uint8_t> rgb = Rgb(static_cast<int>(k % 7));
    pipeline::ReadPixels(Pixels(rgb), keep_alpha, out);
  }
  mutable std::atomic<int> reads{0};

 private:
  std::size_t frames_, broken_;
};

TEST(PipelineTest, FramesInFlightStayWithinTheWindowAndFailuresNeverHang) {
  constexpr unsigned kThreads = 4;
  for (const PaletteMode mode : {PaletteMode::All, PaletteMode::Frame}) {
    for (const std::size_t broken : {std::size_t{1000}, std::size_t{0}, std::size_t{57}, std::size_t{119}}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(mode)) + " broken at " + std::to_string(broken));
      BuilderOptions o;
      o.palette = mode;
      o.optimize = true;
      CountingSource source(120, broken);
      int most_ahead = 0, finished = 0;
      test::HookScope hook([&](const platform::YieldInfo& info) {
        // Frames read but not yet through: the first pass ends a frame at Flip.
        const bool done = mode == PaletteMode::All ? info.stage == platform::YieldStage::Flip
                                                   : info.stage == platform::YieldStage::PaletteCopy;
        if (!done || finished >= 120) return;
        most_ahead = std::max(most_ahead, source.reads.load() - finished++);
        // A slow writer: without the window the workers would read far ahead.
        std::this_thread::sleep_for(std::chrono::microseconds(300));
      });
      std::vector<std::uint8_t> bytes;
      mGIFLZWEnc::VectorSink sink(bytes);
      pipeline::GifStream out(sink, "memory");
      const auto convert = [&] { pipeline::ConvertFrames(source, o, kThreads, out, nullptr); };
      if (broken < 120) {
        EXPECT_EQ(test::Caught(convert).description(), "Invalid picture: frame " + std::to_string(broken + 1));
        continue;
      }
      convert();
      EXPECT_LE(most_ahead, static_cast<int>(kThreads) + 3);
      EXPECT_GT(bytes.size(), 1000u);
    }
  }
}

}  // namespace
}  // namespace zoetra

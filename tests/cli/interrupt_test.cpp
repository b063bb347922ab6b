// SIGINT, SIGTERM and SIGHUP at any moment of `zoetra create` or `zoetra frames`:
// the command ends on the signal, an old output stays byte for byte, and no
// temporary file is left.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cli_support.hpp"
#include "support/writing_in.hpp"

namespace zoetra::clitest {
namespace {

using Clock = std::chrono::steady_clock;

// A full-HD picture with enough detail that loading, dithering and encoding it takes a while.
Picture Detailed(int seed) {
  Picture p(1920, 1080);
  std::uint32_t noise = 2463534242u + static_cast<std::uint32_t>(seed);
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      noise ^= noise << 13, noise ^= noise >> 17, noise ^= noise << 5;
      const std::uint32_t r = static_cast<std::uint32_t>(x * 255 / p.width);
      const std::uint32_t g = static_cast<std::uint32_t>(y * 255 / p.height);
      p.Set(x, y, (r << 16) | (g << 8) | ((noise & 0x3F) + static_cast<std::uint32_t>(seed * 40)));
    }
  }
  return p;
}

class InterruptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir_.Path("pictures"));
    // Two distinct pictures, used in turn: three frames take about half a second.
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(WritePng(dir_.Path("pictures/p" + std::to_string(i) + ".png"), Detailed(i)));
    // One thread: the moments below are fractions of the conversion and of the
    // save, whose lengths vary much less than with the frames encoded in parallel.
    // The first picture's palette converts in memory and then saves; the
    // other modes write as they go (see the test of a streamed conversion).
    create_ = {ZoetraPath(), "create", "-q", "-j", "1", "--palette", "first", "-o", dir_.Path("out.gif")};
    for (int i = 0; i < 3; ++i) create_.push_back(dir_.Path("pictures/p" + std::to_string(i % 2) + ".png"));
  }

  struct Outcome {
    RunResult result;
    bool saving = false;            // the output was seen being written
    Clock::duration save_start{};  // when it was first seen
    Clock::duration end{};
  };

  // Runs `argv` and sends `signal` `after` its start, or after it began
  // writing its output in `folder` when `in_save`; never when the command ends
  // first. Polls every half millisecond.
  static Outcome Run(const std::vector<std::string>& argv, const std::string& folder, int signal, bool in_save,
                     Clock::duration after) {
    Outcome outcome;
    const Clock::time_point start = Clock::now();
    const Running running = StartProgram(argv);
    for (;;) {
      siginfo_t ended{};
      if (::waitid(P_PID, static_cast<id_t>(running.pid), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
          ended.si_pid != 0) {
        break;  // collected below
      }
      const Clock::duration now = Clock::now() - start;
      if (!outcome.saving && test::WritingIn(running.pid, folder)) outcome.saving = true, outcome.save_start = now;
      if ((!in_save || outcome.saving) && now - (in_save ? outcome.save_start : Clock::duration{}) >= after) {
        ::kill(running.pid, signal);
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    outcome.result = FinishProgram(running);
    outcome.end = Clock::now() - start;
    return outcome;
  }

  Outcome Create(int signal, bool in_save, Clock::duration after) {
    WriteAll(dir_.Path("out.gif"), kOld);
    return Run(create_, dir_.path(), signal, in_save, after);
  }

  static constexpr const char* kOld = "the old output, which a cut-short conversion must not touch";
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
  TempDir dir_;
  std::vector<std::string> create_;
};

TEST_F(InterruptTest, ASignalAtAnyMomentKeepsTheOldOutputAndLeavesNothing) {
  // Uninterrupted: the whole file, and how long converting and saving take.
  const Outcome full = Create(SIGINT, false, Clock::duration::max());
  ASSERT_EQ(full.result.status, 0) << full.result.err;
  const std::string complete = ReadAll(dir_.Path("out.gif"));
  ASSERT_NE(complete, kOld);
  ASSERT_TRUE(full.saving) << "the save was too quick to be seen";
  const Clock::duration save_time = full.end - full.save_start;

  // Each signal once while converting, from before the handlers exist, and once
  // while saving, counted from when the output began.
  const struct {
    int signal;
    bool in_save;
    double at;  // fraction of the conversion or of the save
  } moments[] = {{SIGINT, false, 0.0}, {SIGTERM, false, 0.4}, {SIGHUP, false, 0.8},
                 {SIGTERM, true, 0.0}, {SIGHUP, true, 0.15},  {SIGINT, true, 0.3},  {SIGTERM, true, 0.6}};
  int cut_while_converting = 0, cut_while_saving = 0;
  for (const auto& m : moments) {
    const auto after = std::chrono::duration_cast<Clock::duration>((m.in_save ? save_time : full.save_start) * m.at);
    SCOPED_TRACE("signal " + std::to_string(m.signal) + (m.in_save ? " in the save" : " in the conversion") +
                 " after " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(after).count()) +
                 " ms");
    const Outcome o = Create(m.signal, m.in_save, after);
    if (o.result.status == 0) {
      // Finished before the signal was sent or handled: then the new file is whole.
      EXPECT_EQ(ReadAll(dir_.Path("out.gif")), complete);
    } else {
      EXPECT_EQ(o.result.status, 128 + m.signal) << o.result.err;
      EXPECT_EQ(ReadAll(dir_.Path("out.gif")), kOld);
      EXPECT_EQ(o.result.err, "");
      ++(o.saving ? cut_while_saving : cut_while_converting);
    }
    EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"out.gif", "pictures"})) << "a temporary file was left";
  }
  EXPECT_GE(cut_while_converting, 2);
  EXPECT_GE(cut_while_saving, 2);
}

TEST_F(InterruptTest, ASignalDuringAStreamedConversionKeepsTheOldOutput) {
  // The streamed GIF is written from the start to the end.
  create_[6] = "all";
  const Outcome full = Create(SIGINT, false, Clock::duration::max());
  ASSERT_EQ(full.result.status, 0) << full.result.err;
  ASSERT_TRUE(full.saving) << "the output was never seen being written";
  const std::string complete = ReadAll(dir_.Path("out.gif"));
  int cut = 0;
  for (int k = 0; k < 6; ++k) {
    const int signal = kSignals[k % 3];
    const auto after = std::chrono::duration_cast<Clock::duration>(full.end * (0.1 + 0.15 * k));
    SCOPED_TRACE("signal " + std::to_string(signal) + " after " +
                 std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(after).count()) + " ms");
    const Outcome o = Create(signal, false, after);
    if (o.result.status == 0) {
      EXPECT_EQ(ReadAll(dir_.Path("out.gif")), complete);
    } else {
      EXPECT_EQ(o.result.status, 128 + signal) << o.result.err;
      EXPECT_EQ(ReadAll(dir_.Path("out.gif")), kOld);
      ++cut;
    }
    EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"out.gif", "pictures"})) << "a temporary file was left";
  }
  EXPECT_GE(cut, 3);
}

TEST_F(InterruptTest, FramesLeaveOnlyWholeBitmaps) {
  ASSERT_EQ(RunProgram(create_).status, 0);
  const std::string frames = dir_.Path("frames");
  const std::vector<std::string> argv = {ZoetraPath(), "frames", "-o", frames, dir_.Path("out.gif")};
  const Outcome full = Run(argv, frames, SIGINT, false, Clock::duration::max());
  ASSERT_EQ(full.result.status, 0) << full.result.err;
  ASSERT_TRUE(full.saving) << "the saves were too quick to be seen";
  // Spread over the command, then within the first save.
  std::vector<std::pair<bool, Clock::duration>> moments;
  for (int k = 0; k < 4; ++k) moments.emplace_back(false, full.end * k / 4);
  for (int k = 0; k < 3; ++k) moments.emplace_back(true, std::chrono::milliseconds(k));
  int cut_while_saving = 0;
  for (std::size_t k = 0; k < moments.size(); ++k) {
    const int signal = kSignals[k % 3];
    const auto [in_save, after] = moments[k];
    SCOPED_TRACE("signal " + std::to_string(signal) + " after " +
                 std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(after).count()) + " us" +
                 (in_save ? " of the save" : ""));
    std::filesystem::remove_all(frames);
    const Outcome o = Run(argv, frames, signal, in_save, after);
    if (o.result.status != 0) {
      EXPECT_EQ(o.result.status, 128 + signal) << o.result.err;
      cut_while_saving += o.saving ? 1 : 0;
    }
    if (!std::filesystem::exists(frames)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(frames)) {
      const auto bitmap = ReadBmp(entry.path());
      ASSERT_TRUE(bitmap.has_value()) << entry.path();
      EXPECT_EQ(bitmap->width, 1920);
      EXPECT_EQ(bitmap->height, 1080);
    }
  }
  EXPECT_GE(cut_while_saving, 2);
}

}  // namespace
}  // namespace zoetra::clitest

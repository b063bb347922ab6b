// Conversions at the same time: on several threads, and nested in the yield
// hook of another conversion on the same thread. Every output must be byte for
// byte what the same conversion gives when it runs alone. Run under
// ThreadSanitizer too (-DZOETRA_TSAN=ON).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <zoetra/zoetra.hpp>
#include "platform/codecs/picture_loader.hpp"
#include "platform/base/yield.hpp"
#include "raster/cdib.hpp"
#include "support/picture_files.hpp"
#include "support/temp_dir.hpp"

namespace zoetra {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Job {
  std::vector<std::string> files;
  std::int16_t delay = 350;
  std::int16_t gray = 0;
  std::int16_t optimize = 0;
  std::int16_t swap = 0;
  bool to_file = false;  // CreateZoetra to a file, else CreateZoetraToBuffer
  std::string output;    // for to_file
};

// Runs one conversion and returns the GIF bytes it produced.
Bytes Convert(const Job& job) {
  Zoetra z;
  if (!job.to_file) return z.CreateZoetraToBuffer(job.files, job.delay, job.gray, job.optimize, job.swap);
  const std::string text = z.CreateZoetra(job.files, job.output, job.delay, job.gray, job.optimize, job.swap, 1);
  if (text.rfind("OK, Animated GIF: ", 0) != 0) throw std::runtime_error("conversion failed: " + text);
  const std::string bytes = test::ReadAll(job.output);
  return Bytes(bytes.begin(), bytes.end());
}

// Pictures of a few sizes, half bitmap files and half PNG, and jobs that mix
// them with every switch.
class Inputs {
 public:
  explicit Inputs(int jobs) {
    for (int i = 0; i < 10; ++i) {
      const int w = 24 + 7 * (i % 4), h = 16 + 5 * (i % 3);
      const bool png = i % 2 == 1;
      const std::string path = dir_.Path("in" + std::to_string(i) + (png ? ".png" : ".bmp"));
      test::WriteAll(path, png ? test::PngFileBytes(w, h, i + 1) : test::BitmapFileBytes(w, h, i + 1));
      pictures_.push_back(path);
    }
    for (int j = 0; j < jobs; ++j) {
      Job job;
      const int count = 2 + j % 3;
      for (int k = 0; k < count; ++k) job.files.push_back(pictures_[static_cast<std::size_t>((j * 3 + k) % 10)]);
      job.delay = static_cast<std::int16_t>(100 + 50 * j);
      job.gray = (j % 4 == 1) ? 1 : 0;
      job.optimize = (j % 3 == 0) ? 1 : 0;
      job.swap = (j % 5 == 2) ? 1 : 0;
      job.to_file = j % 2 == 0;
      job.output = dir_.Path("out" + std::to_string(j) + ".gif");
      jobs_.push_back(job);
    }
  }
  const std::vector<Job>& jobs() const { return jobs_; }
  Job WithOutput(const Job& job, const std::string& name) const {
    Job copy = job;
    copy.output = dir_.Path(name);
    return copy;
  }

 private:
  test::TempDir dir_;
  std::vector<std::string> pictures_;
  std::vector<Job> jobs_;
};

TEST(ConcurrencyTest, ParallelConversionsMatchTheSameConversionsRunAlone) {
  const Inputs inputs(16);
  std::vector<Bytes> alone;
  for (const Job& job : inputs.jobs()) {
    alone.push_back(Convert(inputs.WithOutput(job, "alone.gif")));
    ASSERT_GT(alone.back().size(), 13u);
  }

  // Every job twice over, spread across threads, each writing its own file.
  constexpr int kThreads = 4;
  const std::size_t total = inputs.jobs().size() * 2;
  std::vector<Bytes> results(total);
  std::vector<std::string> failures(total);
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (std::size_t i = next++; i < total; i = next++) {
        const Job& job = inputs.jobs()[i % inputs.jobs().size()];
        try {
          results[i] = Convert(inputs.WithOutput(job, "parallel" + std::to_string(i) + ".gif"));
        } catch (const std::exception& e) {
          failures[i] = e.what();
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (std::size_t i = 0; i < total; ++i) {
    EXPECT_EQ(failures[i], "") << "job " << i;
    EXPECT_TRUE(results[i] == alone[i % alone.size()]) << "job " << i << " differs from its run alone";
  }
}

// A conversion entered from the yield hook of another one, at each stage the
// outer one yields at: both finish, and both give what they give alone.
TEST(ConcurrencyTest, ConversionNestedInAnotherConversionsYieldMatchesRunsAlone) {
  const Inputs inputs(4);
  // The outer conversion builds an optimal palette (nested state must not leak
  // into it); the inner one uses greys, then the optimal palette of other pictures.
  Job outer = inputs.WithOutput(inputs.jobs()[0], "outer.gif");
  outer.gray = 0;
  outer.optimize = 1;
  Job inner_grey = inputs.WithOutput(inputs.jobs()[1], "inner.gif");
  inner_grey.gray = 1;
  Job inner_colour = inputs.WithOutput(inputs.jobs()[2], "inner2.gif");
  inner_colour.gray = 0;
  inner_colour.to_file = false;
  const Bytes outer_alone = Convert(outer);
  const Bytes grey_alone = Convert(inner_grey);
  const Bytes colour_alone = Convert(inner_colour);
  ASSERT_NE(grey_alone, colour_alone);

  using platform::YieldStage;
  for (const YieldStage stage : {YieldStage::PictureStart, YieldStage::ChannelSwap, YieldStage::Flip,
                                 YieldStage::Dither, YieldStage::PaletteCopy, YieldStage::Screen, YieldStage::Compact,
                                 YieldStage::Optimize, YieldStage::Saved}) {
    for (const Job* inner : {&inner_grey, &inner_colour}) {
      SCOPED_TRACE(static_cast<int>(stage));
      Bytes inner_result;
      bool entered = false;
      // Picture 2 of the outer conversion: its palette is built and in use.
      auto previous = platform::SetYieldHook([&](const platform::YieldInfo& info) {
        if (entered || info.stage != stage || (info.picture != 2 && info.stage != YieldStage::Saved)) return;
        entered = true;
        inner_result = Convert(*inner);
      });
      const Bytes outer_result = Convert(outer);
      platform::SetYieldHook(std::move(previous));
      EXPECT_TRUE(entered);
      EXPECT_TRUE(outer_result == outer_alone) << "outer conversion changed by the nested one";
      EXPECT_TRUE(inner_result == (inner == &inner_grey ? grey_alone : colour_alone))
          << "nested conversion differs from its run alone";
    }
  }
}

}  // namespace
}  // namespace zoetra

namespace zoetra {
namespace {

// One picture object shared by threads that import it at the same time. A
// bitmap is selected into one context at a time, so an import may find it
// busy and report 0; every import that succeeds has the picture's pixels.
TEST(ConcurrencyTest, SharedPictureImportedOnSeveralThreads) {
  const test::TempDir dir;
  const std::string path = dir.Path("shared.bmp");
  test::WriteAll(path, test::BitmapFileBytes(40, 30, 7));
  const platform::Picture picture = platform::LoadPicture(path);
  cDIB reference;
  ASSERT_EQ(reference.CreateFromStdPicture(picture, true), 32);
  const std::vector<std::uint8_t> expected(reference.lpBits(), reference.lpBits() + reference.Size());

  constexpr int kThreads = 4;
  constexpr int kImports = 100;
  std::atomic<int> imported{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kImports; ++i) {
        cDIB raster;
        if (raster.CreateFromStdPicture(picture, true) != 32) continue;
        ++imported;
        if (!std::equal(expected.begin(), expected.end(), raster.lpBits())) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_GT(imported.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace zoetra

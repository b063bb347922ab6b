// Host limits as a conversion meets them: oversized input pictures and files
// are refused by the loader, too many frames or pixels by the builder, each
// with a clear error and before the memory is taken; nothing is written.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <zoetra/zoetra.hpp>
#include "platform/base/error.hpp"
#include "platform/base/eventlog.hpp"
#include "platform/base/limits.hpp"
#include "platform/base/yield.hpp"
#include "support/caught.hpp"
#include "support/picture_files.hpp"
#include "support/temp_dir.hpp"

namespace zoetra {
namespace {

class LimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 3; ++i) {
      // Pictures of 30 x 10 = 300 pixels; the middle one is a PNG.
      const std::string path = dir_.Path("p" + std::to_string(i) + (i == 1 ? ".png" : ".bmp"));
      test::WriteAll(path, i == 1 ? test::PngFileBytes(30, 10, i) : test::BitmapFileBytes(30, 10, i));
      files_.push_back(path);
    }
  }
  void TearDown() override { platform::SetLimits(saved_); }

  // The conversion's failure (without showError), or number 0 when it succeeded.
  Error Convert(const std::vector<std::string>& files) {
    Zoetra z;
    try {
      const std::string text = z.CreateZoetra(files, dir_.Path("out.gif"), 350, 0, 0, 0, 0);
      EXPECT_EQ(text.rfind("OK, Animated GIF: ", 0), 0u) << text;
      return Error(0, text);
    } catch (const Error& e) {
      EXPECT_FALSE(std::filesystem::exists(dir_.Path("out.gif"))) << "a refused conversion wrote its output";
      return e;
    }
  }

  test::TempDir dir_;
  std::vector<std::string> files_;
  platform::Limits saved_ = platform::GetLimits();
};

TEST_F(LimitsTest, EachLimitRefusesJustPastItsValueWithAClearError) {
  const struct Case {
    const char* name;
    std::function<void(platform::Limits&, std::int64_t)> set;
    std::int64_t at;  // the largest value the three pictures pass
    std::int32_t number;
    const char* text;
  } cases[] = {
      {"max_picture_side", [](platform::Limits& l, std::int64_t v) { l.max_picture_side = v; }, 30,
       kErrInvalidPicture, "picture of 30 x 10 pixels exceeds the size limit of 29 pixels per side"},
      {"max_picture_pixels", [](platform::Limits& l, std::int64_t v) { l.max_picture_pixels = v; }, 300,
       kErrInvalidPicture, "and 299 pixels"},
      {"max_file_bytes", [](platform::Limits& l, std::int64_t v) { l.max_file_bytes = v; },
       static_cast<std::int64_t>(std::filesystem::file_size(files_[0])), kErrPathAccess, "file too large"},
      {"max_document_frames",
       [](platform::Limits& l, std::int64_t v) { l.max_document_frames = static_cast<std::int32_t>(v); }, 3,
       kErrOutOfMemory, "Document limit: the list of 3 pictures is over the limit of 2 frames (max_document_frames); the host "
       "raises it with SetLimits"},
      {"max_document_pixels", [](platform::Limits& l, std::int64_t v) { l.max_document_pixels = v; }, 900,
       kErrOutOfMemory, "Document limit: frames 1 to 3 hold 900 pixels, over the limit of 899 (max_document_pixels)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Limits limits = saved_;
    c.set(limits, c.at);
    platform::SetLimits(limits);
    EXPECT_EQ(Convert(files_).number(), 0);
    std::filesystem::remove(dir_.Path("out.gif"));

    c.set(limits, c.at - 1);
    platform::SetLimits(limits);
    const Error e = Convert(files_);
    EXPECT_EQ(e.number(), c.number);
    EXPECT_NE(e.description().find(c.text), std::string::npos) << e.description();
    platform::SetLimits(saved_);
  }
}

TEST_F(LimitsTest, FrameLimitIsCheckedBeforeThePictureIsLoaded) {
  platform::Limits limits = saved_;
  limits.max_document_frames = 2;
  platform::SetLimits(limits);
  // The third picture does not exist: the limit speaks first.
  const Error e = Convert({files_[0], files_[1], dir_.Path("missing.bmp")});
  EXPECT_EQ(e.number(), kErrOutOfMemory);
}

TEST_F(LimitsTest, PixelLimitIsCheckedBeforeTheFrameIsMade) {
  platform::Limits limits = saved_;
  limits.max_document_pixels = 599;
  platform::SetLimits(limits);
  std::vector<platform::YieldInfo> seen;
  auto previous = platform::SetYieldHook([&](const platform::YieldInfo& info) { seen.push_back(info); });
  const Error e = Convert(files_);
  platform::SetYieldHook(std::move(previous));
  EXPECT_EQ(e.number(), kErrOutOfMemory);
  // Picture 2 started but never reached the stages after its frame was inserted.
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().picture, 2);
  EXPECT_EQ(seen.back().stage, platform::YieldStage::PictureStart);
}

TEST_F(LimitsTest, RefusalWithShowErrorIsWrappedAndLogged) {
  std::vector<std::string> log;
  auto previous_sink = platform::SetEventLogSink([&](platform::EventType, std::string_view s) { log.emplace_back(s); });
  platform::Limits limits = saved_;
  limits.max_document_frames = 1;
  platform::SetLimits(limits);
  Zoetra z;
  const Error e = test::Caught([&] { z.CreateZoetra(files_, dir_.Path("out.gif"), 350, 0, 0, 0, 1); });
  EXPECT_EQ(e.number(), kErrComponent);
  EXPECT_NE(e.description().find("Error Code: 0x7\r\nError Description: Document limit: the list of 3 pictures"),
            std::string::npos)
      << e.description();
  platform::SetEventLogSink(std::move(previous_sink));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("max_document_frames"), std::string::npos);
}

}  // namespace
}  // namespace zoetra

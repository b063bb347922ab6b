// What the options entry points (C++ and C) refuse before any work, the same
// way from both; how a failed save is reported; and the people's defaults:
// one palette from every picture, other sizes fitted into the first one's.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <zoetra/compat.h>
#include <zoetra/zoetra.hpp>
#include "gif/cgif.hpp"
#include "support/caught.hpp"
#include "support/picture_files.hpp"
#include "support/temp_dir.hpp"
#include "support/yield_hook.hpp"

namespace zoetra {
namespace {

namespace fs = std::filesystem;

class EntryChecksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    z_ = zoetra_new();
    ASSERT_NE(z_, nullptr);
    for (int seed : {1, 2}) {
      files_.push_back(dir_.Path("p" + std::to_string(seed) + ".png"));
      test::WriteAll(files_.back(), test::PngFileBytes(12, 9, seed));
    }
  }
  void TearDown() override { zoetra_release(z_); }

  // zoetra_create on the files; the error number, or 0.
  std::int32_t CCreate(const std::vector<std::string>& files, const std::string& output,
                       const ZoetraOptions* o) {
    std::vector<const char*> names;
    for (const std::string& f : files) names.push_back(f.c_str());
    char text[512];
    const int rc = zoetra_create(z_, names.data(), static_cast<int32_t>(names.size()),
                                 output.c_str(), o, text, sizeof text, nullptr);
    EXPECT_EQ(rc, zoetra_error_number(z_)) << "the call returns the number it records";
    return zoetra_error_number(z_);
  }

  ZoetraInstance* z_ = nullptr;
  test::TempDir dir_;
  std::vector<std::string> files_;
};

TEST_F(EntryChecksTest, EveryOptionIsCheckedOnceTheSameFromCppAndC) {
  struct Case {
    const char* name;
    std::function<void(BuilderOptions&)> cpp;
    std::function<void(ZoetraOptions&)> c;  // empty: not a field of the C record
    const char* says;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {"delay -100", [](BuilderOptions& o) { o.delay_ms = -100; },
       [](ZoetraOptions& o) { o.delay_ms = -100; }, "the frame delay -100 ms is not 0 to 32767 ms"},
      {"delay 2^40",
       [](BuilderOptions& o) { o.delay_ms = std::int64_t{1} << 40; },
       {},
       "1099511627776 ms"},
      {"fps nan", [=](BuilderOptions& o) { o.fps = nan; }, {}, "the frame rate nan"},
      {"fps 0", [](BuilderOptions& o) { o.fps = 0; }, {}, "the frame rate 0 "},
      // 1000 / 0.0305 ms is past 32767 and once wrapped around in 16 bits.
      {"fps 0.0305", [](BuilderOptions& o) { o.fps = 0.0305; }, {}, "the frame rate 0.0305"},
      {"fps inf", [](BuilderOptions& o) { o.fps = INFINITY; }, {}, "the frame rate inf"},
      {"palette 7", [](BuilderOptions& o) { o.palette = static_cast<PaletteMode>(7); },
       [](ZoetraOptions& o) { o.palette = 7; }, "the palette mode 7"},
      {"threads 2000", [](BuilderOptions& o) { o.threads = 2000; },
       [](ZoetraOptions& o) { o.threads = 2000; }, "the thread count 2000"},
      {"threads -1", [](BuilderOptions& o) { o.threads = -1; }, {}, "the thread count -1"},
      {"loop -2", [](BuilderOptions& o) { o.loop = -2; }, [](ZoetraOptions& o) { o.loop = -2; },
       "the loop count -2"},
      {"loop 65536", [](BuilderOptions& o) { o.loop = 65536; },
       [](ZoetraOptions& o) { o.loop = 65536; }, "the loop count 65536"},
      {"fit 0 x 5", [](BuilderOptions& o) { o.fit_height = 5; },
       [](ZoetraOptions& o) { o.fit_height = 5; }, "the fitting size 0 x 5"},
      {"fit too wide", [](BuilderOptions& o) { o.fit_width = 40000, o.fit_height = 5; },
       [](ZoetraOptions& o) { o.fit_width = 40000, o.fit_height = 5; }, "40000 x 5"},
      {"fit over the pixel limit", [](BuilderOptions& o) { o.fit_width = o.fit_height = 32767; },
       [](ZoetraOptions& o) { o.fit_width = o.fit_height = 32767; }, "(max_picture_pixels)"},
      {"quality 0", [](BuilderOptions& o) { o.quality = 0; }, [](ZoetraOptions& o) { o.quality = 0; },
       "the quality 0 is not 1"},
      {"quality 101", [](BuilderOptions& o) { o.quality = 101; }, [](ZoetraOptions& o) { o.quality = 101; },
       "the quality 101"},
      {"background", [](BuilderOptions& o) { o.background = 0x1000000; },
       [](ZoetraOptions& o) { o.background = 0x1000000; }, "the background colour 0x1000000"},
      {"background -2", [](BuilderOptions& o) { o.background = 0xFFFFFFFEu; },
       [](ZoetraOptions& o) { o.background = -2; }, "the background colour 0xFFFFFFFE"},
  };
  const std::string out = dir_.Path("out.gif");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BuilderOptions o;
    c.cpp(o);
    const Error e = test::Caught([&] { CheckBuilderOptions(o); });
    EXPECT_EQ(e.number(), kErrInvalidArgument);
    EXPECT_NE(e.description().find(c.says), std::string::npos) << e.description();
    // Every entry point refuses it with that error, before anything is written.
    const Error file = test::Caught([&] { Zoetra().CreateZoetra(files_, out, o); });
    const Error buffer = test::Caught([&] { Zoetra().CreateToBuffer({files_[0]}, o); });
    EXPECT_EQ(file.description(), e.description());
    EXPECT_EQ(buffer.description(), e.description());
    if (c.c) {
      ZoetraOptions co;
      zoetra_options_init(&co);
      c.c(co);
      EXPECT_EQ(CCreate(files_, out, &co), kErrInvalidArgument);
      EXPECT_EQ(zoetra_error_description(z_), e.description());
    }
    EXPECT_FALSE(fs::exists(out));
  }
}

TEST_F(EntryChecksTest, AnOutputThatIsAPictureIsRefusedBeforeAnyWorkByEveryEntryPoint) {
  const std::string before = test::ReadAll(files_[1]);
  fs::create_directory(dir_.Path("sub"));
  fs::create_symlink(files_[1], dir_.Path("link.png"));
  // The same file as the output, by its name, another path to it, and a link.
  const std::string outputs[] = {files_[1], dir_.Path("sub/../p2.png"), dir_.Path("link.png")};
  for (const std::string& output : outputs) {
    SCOPED_TRACE(output);
    int stages = 0;
    {
      const test::HookScope hook([&](const platform::YieldInfo&) { ++stages; });
      for (PaletteMode mode : {PaletteMode::First, PaletteMode::All}) {
        BuilderOptions o;
        o.palette = mode;
        const Error e = test::Caught([&] { Zoetra().CreateZoetra(files_, output, o); });
        EXPECT_EQ(e.number(), kErrPathAccess);
        EXPECT_NE(e.description().find(output + " (it is picture 2 of the list"), std::string::npos)
            << e.description();
      }
      EXPECT_EQ(test::Caught([&] { Zoetra().CreateZoetra(files_, output); }).number(),
                kErrPathAccess);
      EXPECT_EQ(CCreate(files_, output, nullptr), kErrPathAccess);
    }
    EXPECT_EQ(stages, 0) << "work began before the output was refused";
    EXPECT_EQ(test::ReadAll(files_[1]), before);
  }
  EXPECT_TRUE(fs::is_symlink(dir_.Path("link.png")));
  // A new name, or an existing file that is no picture of the list, is written as ever.
  EXPECT_EQ(CCreate(files_, dir_.Path("new.gif"), nullptr), 0);
  EXPECT_EQ(CCreate(files_, dir_.Path("new.gif"), nullptr), 0);
}

TEST_F(EntryChecksTest, MissingFilesAndEmptyListsFailAtOnceInTheOptionsCalls) {
  std::vector<std::string> list = files_;
  list.push_back(dir_.Path("typo.png"));
  int stages = 0;
  const test::HookScope hook([&](const platform::YieldInfo&) { ++stages; });
  const Error missing = test::Caught([&] {
    Zoetra().CreateToBuffer({list.begin(), list.end()}, {});
  });
  EXPECT_EQ(missing.number(), kErrFileNotFound);
  EXPECT_EQ(missing.description(), "File not found: " + list.back());
  EXPECT_EQ(stages, 0) << "pictures were decoded before the missing one was found";
  fs::create_directory(dir_.Path("folder.png"));
  EXPECT_EQ(test::Caught([&] {
              Zoetra().CreateToBuffer({files_[0], dir_.Path("folder.png")}, {});
            }).number(),
            kErrPathAccess);
  EXPECT_EQ(test::Caught([&] {
              Zoetra().CreateToBuffer({files_[0], std::string("p1.png\0x", 8)}, {});
            }).description(),
            "Invalid procedure call or argument: the name of picture 2 holds a NUL byte");
  EXPECT_EQ(CCreate({}, dir_.Path("none.gif"), nullptr), kErrInvalidArgument);
  EXPECT_STREQ(zoetra_error_description(z_),
               "Invalid procedure call or argument: no pictures were given");
  // The classic call keeps its order: the missing picture is met in its turn.
  stages = 0;
  EXPECT_EQ(test::Caught([&] { Zoetra().CreateZoetraToBuffer(list); }).description(),
            "File not found");
  EXPECT_GT(stages, 0);
}

TEST_F(EntryChecksTest, AFailedSaveIsAFailureWithTheSystemsReasonButTheClassicCallKeepsItsText) {
  const std::string folder = dir_.Path("taken.gif");
  fs::create_directory(folder);
  const std::string expected =
      "Path/File access error: " + folder + " (cannot save the GIF: Is a directory)";
  const Error e = test::Caught([&] { Zoetra().CreateZoetra(files_, folder, BuilderOptions{}); });
  EXPECT_EQ(e.number(), kErrPathAccess);
  EXPECT_EQ(e.description(), expected);
  EXPECT_EQ(CCreate(files_, folder, nullptr), kErrPathAccess);
  EXPECT_EQ(zoetra_error_description(z_), expected);
  const char* names[] = {files_[0].c_str()};
  char text[256];
  EXPECT_EQ(zoetra_create_zoetra(z_, names, 1, folder.c_str(), 350, 0, 0, 0, 0, text, sizeof text,
                                 nullptr),
            0);
  EXPECT_STREQ(text, "Unexpected error saving GIF file. (Can be access denied)");
  EXPECT_TRUE(fs::is_empty(folder));
}

TEST_F(EntryChecksTest, TheOptionsDefaultToOnePaletteAndFitOtherSizesIntoTheFirst) {
  ZoetraOptions co;
  zoetra_options_init(&co);
  EXPECT_EQ(co.palette, ZOETRA_PALETTE_ALL);
  EXPECT_EQ(BuilderOptions{}.palette, PaletteMode::All);

  const std::string small = dir_.Path("small.png"), tall = dir_.Path("tall.png");
  test::WriteAll(small, test::PngFileBytes(6, 4, 3));
  test::WriteAll(tall, test::PngFileBytes(5, 30, 4));
  const std::vector<std::string> list = {files_[0], small, tall};
  for (PaletteMode mode : {PaletteMode::All, PaletteMode::Frame, PaletteMode::First}) {
    for (bool gray : {false, true}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(mode)) + (gray ? " gray" : ""));
      BuilderReport report;
      BuilderOptions o;
      o.palette = mode;
      o.gray = gray;
      o.report = &report;
      cGIF doc;
      ASSERT_TRUE(doc.LoadFromStream(Zoetra().CreateZoetraToBuffer(list, o)));
      EXPECT_EQ(report.other_size_picture, 2);
      const bool fitted = mode != PaletteMode::First;
      EXPECT_EQ(report.other_sizes_fitted, fitted);
      // Fitted: every frame and the screen take the first picture's size;
      // the first mode keeps the classic rule, a screen the size of the last.
      EXPECT_EQ(doc.ScreenWidth(), fitted ? 12 : 5);
      EXPECT_EQ(doc.ScreenHeight(), fitted ? 9 : 30);
      EXPECT_EQ(doc.FrameDIBXOR(2)->Width(), fitted ? 12 : 6);
      EXPECT_EQ(doc.FrameDIBXOR(3)->Height(), fitted ? 9 : 30);
    }
  }
}

}  // namespace
}  // namespace zoetra

// The browser build in headless Chromium: the module zoetra.js against the
// zoetra command (the same pictures and options give the same bytes), readGif
// against `zoetra info --json` and `zoetra frames`, the page from picking
// files to the download, cancelling, and a clip made by ffmpeg.
//
// The build is web/dist (bash scripts/build-web.sh), copied into each test's
// scratch directory with the test's scripts and pictures and opened from a
// file: URL. Without a build the tests skip, unless ZOETRA_WEB_REQUIRED is
// set: the test command sets it once it has built one, so that a build that
// went missing cannot pass unnoticed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_support.hpp"
#include "support/headless_chromium.hpp"

namespace zoetra::clitest {
namespace {

using test::Base64;
using test::FileUrl;
using test::FindChromium;
using test::FromBase64;
using test::HeadlessChromium;

const std::string kDist = std::string(ZOETRA_SOURCE_DIR) + "/web/dist";

// A picture that changes from frame to frame in colour and shape, so that
// palettes, dithering and frame differences all have work.
Picture Colourful(int step, int width = 64, int height = 48) {
  Picture p(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      p.Set(x, y, static_cast<std::uint32_t>(((x * 4 + step * 9) & 255) << 16 | ((y * 5) & 255) << 8 |
                                             ((x + y + step * 30) & 255)));
    }
  }
  p.Fill(6 + step * 7, 10, 20 + step * 7, 30, 0xF8F8F0);
  return p;
}

class WebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const bool required = std::getenv("ZOETRA_WEB_REQUIRED") != nullptr;
    for (const char* file : {"index.html", "zoetra.js", "zoetra-worker.js", "zoetra-engine.js", "zoetra-engine.wasm"}) {
      if (std::filesystem::exists(kDist + "/" + file)) continue;
      if (required) FAIL() << kDist << "/" << file << " is missing: bash scripts/build-web.sh failed or was not run";
      GTEST_SKIP() << "the browser build is not made (bash scripts/build-web.sh; it needs emscripten)";
    }
    chromium_ = FindChromium();
    if (chromium_.empty()) GTEST_SKIP() << "Chromium is not installed (no chromium on PATH): the web build not checked";
    std::filesystem::copy(kDist, site_, std::filesystem::copy_options::recursive);
    std::string page = "<!DOCTYPE html><meta charset=\"utf-8\"><title>calls</title>";
    for (const char* script : {"browser_frames.js", "web_calls.js"}) {
      page += "<script>\n" + ReadAll(HelperScript(script)) + "\n</script>";
    }
    WriteAll(Site("calls.html"), page);
    browser_.emplace(chromium_, dir_.path(), std::chrono::seconds(150),
                     std::vector<std::string>{"--allow-file-access-from-files"});
  }

  std::string Site(const std::string& name) const { return site_ + "/" + name; }

  // Opens a page of the site; false (the test skipped or failed) when it cannot.
  bool Open(const std::string& page) {
    if (browser_->Open(FileUrl(Site(page)))) return true;
    if (!browser_->Answered()) {
      skipped_ = true;
      return false;
    }
    ADD_FAILURE() << browser_->error() << "\nChromium's output:\n" << browser_->LogTail();
    return false;
  }

  std::string Evaluate(const std::string& expression) {
    return browser_->Evaluate(expression).value_or("evaluation failed: " + browser_->error());
  }

  // The pictures as PNG files of the site: their names.
  std::vector<std::string> WritePictures(const std::string& stem, int count, Picture (*make)(int)) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
      names.push_back(stem + std::to_string(i + 1) + ".png");
      EXPECT_TRUE(WritePng(Site(names.back()), make(i)));
    }
    return names;
  }

  // What the command makes of the site's files with `switches`, on one thread.
  std::string Command(const std::vector<std::string>& names, const std::vector<std::string>& switches) {
    const std::string out = dir_.Path("command.gif");
    std::vector<std::string> args = {"create", "-q", "--threads", "1", "-o", out};
    args.insert(args.end(), switches.begin(), switches.end());
    for (const std::string& name : names) args.push_back(Site(name));
    const RunResult r = Zoetra(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return ReadAll(out);
  }

  static std::string JsList(const std::vector<std::string>& names) {
    std::string list = "[";
    for (const std::string& name : names) list += "'" + name + "',";
    return list + "]";
  }

  TempDir dir_;
  const std::string site_ = dir_.Path("site");
  std::string chromium_;
  std::optional<HeadlessChromium> browser_;
  bool skipped_ = false;
};

#define OPEN_OR_SKIP(page)                                                      \
  if (!Open(page)) {                                                            \
    if (skipped_) GTEST_SKIP() << "Chromium cannot start here: " << browser_->error(); \
    return;                                                                     \
  }

Picture ColourfulStep(int step) { return Colourful(step); }
Picture StickerStep(int step) { return Sticker(step); }

TEST_F(WebTest, CreateGifGivesTheCommandsBytes) {
  OPEN_OR_SKIP("calls.html");
  const std::vector<std::string> colourful = WritePictures("colourful", 5, ColourfulStep);
  const std::vector<std::string> stickers = WritePictures("sticker", 5, StickerStep);
  const struct {
    const std::vector<std::string>& pictures;
    std::string options;
    std::vector<std::string> switches;
  } rows[] = {
      {colourful, "{palette: 'first'}", {"--palette", "first"}},
      {colourful, "{}", {}},
      {colourful, "{palette: 'frame'}", {"--palette", "frame"}},
      {colourful, "{optimize: true}", {"--optimize"}},
      {colourful, "{palette: 'frame', optimize: true, quality: 60}", {"--palette", "frame", "--optimize", "--quality", "60"}},
      {colourful, "{optimize: true, quality: 40, fps: 12.5, loop: 3}", {"--optimize", "--quality", "40", "--fps", "12.5", "--loop", "3"}},
      {colourful, "{delay_ms: 120, loop: null, width: 40}", {"--delay", "120", "--no-loop", "--width", "40"}},
      {colourful, "{fit: '80x80', background: '#204060'}", {"--fit", "80x80", "--background", "#204060"}},
      {stickers, "{optimize: true}", {"--optimize"}},
      {stickers, "{palette: 'frame', optimize: true, quality: 20}", {"--palette", "frame", "--optimize", "--quality", "20"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.options);
    const std::string answer = Evaluate("makeGif(" + JsList(row.pictures) + ", " + row.options + ")");
    ASSERT_EQ(answer.rfind("gif ", 0), 0u) << answer.substr(0, 500);
    const auto web = FromBase64(answer.substr(4));
    ASSERT_TRUE(web.has_value());
    const std::string command = Command(row.pictures, row.switches);
    EXPECT_TRUE(std::string(web->begin(), web->end()) == command)
        << "the module made " << web->size() << " bytes, the command " << command.size();
  }
}

TEST_F(WebTest, ReadGifGivesTheInfoAndTheFramesOfTheCommand) {
  OPEN_OR_SKIP("calls.html");
  // Transparency, disposal and cropped frames: what composing must get right.
  const std::vector<std::string> stickers = WritePictures("sticker", 5, StickerStep);
  const std::string gif = Command(stickers, {"--optimize"});
  WriteAll(dir_.Path("made.gif"), gif);
  const RunResult info = Zoetra({"info", "--json", dir_.Path("made.gif")});
  ASSERT_EQ(info.status, 0) << info.err;
  const auto frames = ZoetraFrames(dir_.Path("made.gif"), dir_.Path("frames"));
  ASSERT_TRUE(frames.has_value());

  std::istringstream answer(Evaluate("readBack('" + Base64(gif) + "', '" + dir_.Path("made.gif") + "', '" +
                                     Base64(info.out) + "')"));
  std::string line;
  std::getline(answer, line);
  EXPECT_EQ(line, "same info");
  std::size_t index = 0;
  while (std::getline(answer, line)) {
    SCOPED_TRACE("frame " + std::to_string(index + 1));
    ASSERT_LT(index, frames->size()) << "readGif gave more frames than the command";
    std::istringstream words(line);
    int width = 0, height = 0;
    std::string pixels;
    words >> width >> height >> pixels;
    const RgbFrame& want = (*frames)[index++];
    ASSERT_EQ(width, want.width);
    ASSERT_EQ(height, want.height);
    const auto rgba = FromBase64(pixels);
    ASSERT_TRUE(rgba && rgba->size() == want.rgb.size() * 4);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < want.rgb.size(); ++i) {
      const std::uint8_t* p = &(*rgba)[i * 4];
      const std::uint32_t rgb = std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
      wrong += rgb != want.rgb[i] || p[3] != 255;
    }
    EXPECT_EQ(wrong, 0u);
  }
  EXPECT_EQ(index, frames->size());
}

TEST_F(WebTest, PageMakesTheGifFromPickedFilesToTheDownload) {
  OPEN_OR_SKIP("index.html");
  // Picked out of order: the page lists them in natural order, f2 before f10.
  std::vector<std::string> natural;
  for (int i = 1; i <= 10; ++i) natural.push_back("f" + std::to_string(i) + ".png");
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(WritePng(Site(natural[i]), Colourful(i % 5, 48, 40)));
  const std::vector<std::string> picked = {Site("f10.png"), Site("f2.png"), Site("f1.png"), Site("f9.png"),
                                           Site("f3.png"),  Site("f8.png"), Site("f4.png"), Site("f7.png"),
                                           Site("f5.png"),  Site("f6.png")};
  ASSERT_EQ(Evaluate(ReadAll(HelperScript("browser_frames.js")) + ReadAll(HelperScript("web_calls.js")) + "; 'ready'"),
            "ready");
  ASSERT_TRUE(browser_->SetInputFiles("#files", picked)) << browser_->error();
  // Each picture's thumbnail shows all of it, letterboxed, not a crop of it.
  EXPECT_EQ(Evaluate("new Promise((resolve) => setTimeout(resolve, 50)).then(() => {"
                     " const t = [...document.querySelectorAll('#list img.thumb')];"
                     " return t.length + (t.every((i) => getComputedStyle(i).objectFit === 'contain') ? ' whole'"
                     " : ' cropped'); })"),
            "10 whole");
  const std::string answer = Evaluate(
      "new Promise((resolve) => setTimeout(resolve, 50)).then(() => {"
      " document.getElementById('make').click(); return pageResult(); })");
  std::istringstream lines(answer);
  std::string preview, download, bytes;
  std::getline(lines, preview);
  std::getline(lines, download);
  std::getline(lines, bytes);
  ASSERT_EQ(preview, "preview 48x40 of the download") << answer.substr(0, 500);
  const auto gif = FromBase64(bytes);
  ASSERT_TRUE(gif.has_value());
  // The page's defaults: 10 frames a second, one palette, only what changes.
  const std::string command = Command(natural, {"--fps", "10", "--optimize"});
  EXPECT_TRUE(std::string(gif->begin(), gif->end()) == command)
      << "the page made " << gif->size() << " bytes, the command " << command.size();
  // The link says the file's size as people read it.
  char size[32];
  if (command.size() < 1000) {
    std::snprintf(size, sizeof size, "%zu bytes", command.size());
  } else {
    std::snprintf(size, sizeof size, "%.1f KB", static_cast<double>(command.size()) / 1e3);
  }
  EXPECT_EQ(download, "download animation.gif | Download animation.gif (" + std::string(size) + ")");
}

TEST_F(WebTest, ProgressCancellingAndFailures) {
  OPEN_OR_SKIP("calls.html");
  const std::vector<std::string> pictures = WritePictures("colourful", 5, ColourfulStep);
  for (const char* options : {"{}", "{palette: 'first'}", "{palette: 'frame', optimize: true}"}) {
    SCOPED_TRACE(options);
    EXPECT_EQ(Evaluate("cancelAtFirstFrame(" + JsList(pictures) + ", " + options + ")"), "AbortError after 1 report");
  }
  // Each picture counts once for each pass over it: the palettes all and
  // first take every picture before making frames.
  for (const auto& [options, progress] : {std::pair{"{}", "rises to 10"}, std::pair{"{palette: 'first'}", "rises to 10"},
                                          std::pair{"{palette: 'frame'}", "rises to 5"}}) {
    EXPECT_EQ(Evaluate("progressOf(" + JsList(pictures) + ", " + options + ")"), progress) << options;
  }
  // A new call after a cancelled one has a worker of its own.
  EXPECT_EQ(Evaluate("makeGif(" + JsList(pictures) + ", {}).then((a) => a.slice(0, 4))"), "gif ");
  WriteAll(Site("notes.png"), std::string("not a picture, whatever its name says\n"));
  const struct {
    std::string call;
    std::string begins;
  } failures[] = {
      {"makeGif(['colourful1.png', 'notes.png'], {})", "failed Error: notes.png: the browser cannot read this file"},
      {"makeGif(['colourful1.png'], {quality: 0})", "failed Error: Invalid procedure call or argument"},
      {"makeGif(['colourful1.png'], {frames: 3})", "failed TypeError: unknown option frames"},
  };
  for (const auto& f : failures) {
    const std::string answer = Evaluate(f.call);
    EXPECT_EQ(answer.rfind(f.begins, 0), 0u) << f.call << " gave: " << answer;
  }
}

TEST_F(WebTest, ClipMadeByFfmpegGivesTheCommandsFramesAndTimes) {
  const std::string ffmpeg = FindTool({"ffmpeg"});
  if (ffmpeg.empty()) GTEST_SKIP() << "ffmpeg is not installed: no clip to make";
  OPEN_OR_SKIP("calls.html");
  const RunResult made = RunProgram({ffmpeg, "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                     "testsrc2=size=160x120:rate=25", "-t", "2", "-c:v", "libvpx", "-b:v", "1M",
                                     Site("clip.webm")});
  ASSERT_EQ(made.status, 0) << made.err;
  // A clip's frames are known from its length before they are read.
  EXPECT_EQ(Evaluate("progressOf(['clip.webm'], {fps: 10, palette: 'frame'})"), "rises to 20");
  for (const char* fps : {"10", "4"}) {
    SCOPED_TRACE(std::string("fps ") + fps);
    const std::string gif = Command({"clip.webm"}, {"--fps", fps});
    WriteAll(dir_.Path("clip.gif"), gif);
    const RunResult info = Zoetra({"info", "--json", dir_.Path("clip.gif")});
    const auto number = [&](const std::string& key) {
      const std::size_t at = info.out.find("\"" + key + "\":");
      return at == std::string::npos ? std::string("?") : std::to_string(std::atol(info.out.c_str() + at + key.size() + 3));
    };
    EXPECT_EQ(Evaluate("clipSummary(['clip.webm'], {fps: " + std::string(fps) + "})"),
              number("frame_count") + " frames, " + number("duration_ms") + " ms, 160x120");
  }
}

}  // namespace
}  // namespace zoetra::clitest

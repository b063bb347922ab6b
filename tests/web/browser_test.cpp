// Browser decoding: GIF files written by `zoetra create` decoded frame by frame
// by headless Chromium's ImageDecoder (WebCodecs), against our own frames.
//
// What is compared: a browser composes the frames itself, so its frames are
// compared with ours as `zoetra frames` composes them, at the size of the
// logical screen. Every pixel that giflib's reading of the file marks as
// painted by a frame must be opaque in the browser and equal to ours. A
// browser starts from an empty screen and clears disposed rectangles to
// nothing, where we show the background colour; so every other pixel (not
// painted yet, or brought back by disposal 3 to the screen before any frame)
// must be fully transparent in the browser, and its colour is not compared.
// Each frame's duration (microseconds) must be its delay (hundredths of a
// second), its timestamp the sum of the delays before it, and the track's
// repetition count what the loop block says (Infinity for a loop count of 0,
// the count itself, 0 without a loop block).
//
// How the browser is driven: one headless Chromium per case
// (support/headless_chromium.hpp). It opens a page from the case's scratch
// directory that holds the GIF files as base64 and the script of
// browser_frames.js, so nothing is fetched; the script's text answer comes back
// through Evaluate. The browser has 60 seconds for all of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_support.hpp"
#include "support/headless_chromium.hpp"
#include "support/picture_files.hpp"

namespace zoetra::clitest {
namespace {

#ifdef ZOETRA_HAVE_GIFLIB

using test::Base64;
using test::FileUrl;
using test::FindChromium;
using test::FromBase64;
using test::HeadlessChromium;

// ---------------------------------------------------------------- what the browser shows

struct BrowserFrame {
  int width = 0, height = 0;
  long long timestamp_us = -1, duration_us = -1;
  std::vector<std::uint8_t> rgba;
};

struct BrowserDecoding {
  std::string error;  // the script's own failure, "" when decoded
  long long frame_count = -1;
  std::string repetition;  // as the script printed it: "Infinity" or a number
  std::vector<BrowserFrame> frames;
};

// Reads the text browser_frames.js answers with.
std::optional<BrowserDecoding> ParseDecoding(const std::string& text) {
  BrowserDecoding d;
  if (text.rfind("error ", 0) == 0) {
    d.error = text.substr(6);
    return d;
  }
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string kind;
    words >> kind;
    if (kind == "frames") {
      words >> d.frame_count;
    } else if (kind == "repetition") {
      words >> d.repetition;
    } else if (kind == "frame") {
      BrowserFrame f;
      std::size_t index = 0;
      std::string pixels;
      words >> index >> f.width >> f.height >> f.timestamp_us >> f.duration_us >> pixels;
      if (!words || index != d.frames.size()) return std::nullopt;
      auto bytes = FromBase64(pixels);
      if (!bytes || bytes->size() != static_cast<std::size_t>(f.width) * f.height * 4)
        return std::nullopt;
      f.rgba = std::move(*bytes);
      d.frames.push_back(std::move(f));
    } else {
      return std::nullopt;
    }
  }
  return d;
}

struct BrowserResult {
  bool started = false;  // false: the browser could not be started or spoken to
  std::string problem;   // why not, or why decoding failed
  std::vector<BrowserDecoding> decodings;
  bool quit_cleanly = false;
};

// Decodes every file of `gifs` in one browser.
BrowserResult DecodeInBrowser(const std::string& chromium, const TempDir& dir,
                              const std::vector<std::string>& gifs) {
  BrowserResult result;
  const std::string script = ReadAll(HelperScript("browser_frames.js"));
  if (script.empty()) {
    result.problem = "browser_frames.js is missing";
    return result;
  }
  std::string page =
      "<!DOCTYPE html><meta charset=\"utf-8\"><title>frames</title><script>\nconst GIFS_BASE64 = [";
  for (const std::string& gif : gifs) page += "\"" + Base64(ReadAll(gif)) + "\",";
  page += "];\n</script><script>\n" + script + "\n</script>\n";
  const std::string page_path = dir.Path("page.html");
  WriteAll(page_path, page);

  HeadlessChromium browser(chromium, dir.path(), std::chrono::seconds(60));
  auto fail = [&](const std::string& what) {
    result.problem = what + ": " + browser.error() + "\nChromium's output:\n" + browser.LogTail();
    browser.Close();
    return result;
  };
  if (!browser.Open(FileUrl(page_path))) {
    result.started = browser.Answered();
    return fail(result.started ? "cannot open the page"
                               : "Chromium did not start or did not answer");
  }
  result.started = true;
  for (std::size_t i = 0; i < gifs.size(); ++i) {
    const auto text = browser.Evaluate("decodeGif(GIFS_BASE64[" + std::to_string(i) + "])");
    if (!text) return fail("the script failed");
    auto decoding = ParseDecoding(*text);
    if (!decoding) return fail("unreadable answer: " + text->substr(0, 500));
    result.decodings.push_back(std::move(*decoding));
  }
  result.quit_cleanly = browser.Close();
  return result;
}

// ---------------------------------------------------------------- our side

// What `zoetra info --json` says about the file.
struct FileFacts {
  std::string loop;  // "\"forever\"", a number, or "null"
  std::vector<long long> delays_cs;
  std::vector<long long> widths;  // the screen's, then each frame's
};

std::optional<FileFacts> Facts(const std::string& gif) {
  const RunResult r = Zoetra({"info", "--json", gif});
  if (r.status != 0) {
    ADD_FAILURE() << "zoetra info --json " << gif << " failed: " << r.err;
    return std::nullopt;
  }
  FileFacts facts;
  const std::string loop_key = "\"loop\": ";
  const std::size_t loop = r.out.find(loop_key);
  if (loop == std::string::npos) return std::nullopt;
  const std::size_t start = loop + loop_key.size();
  facts.loop = r.out.substr(start, r.out.find(',', start) - start);
  const std::string delay_key = "\"delay_cs\": ";
  for (std::size_t at = r.out.find(delay_key); at != std::string::npos;
       at = r.out.find(delay_key, at + 1)) {
    facts.delays_cs.push_back(std::stoll(r.out.substr(at + delay_key.size())));
  }
  const std::string width_key = "\"width\": ";
  for (std::size_t at = r.out.find(width_key); at != std::string::npos;
       at = r.out.find(width_key, at + 1)) {
    facts.widths.push_back(std::stoll(r.out.substr(at + width_key.size())));
  }
  if (facts.widths.size() != facts.delays_cs.size() + 1) return std::nullopt;
  return facts;
}

// The repetition count a browser gives for a loop block as info prints it.
std::string RepetitionFor(const std::string& loop) {
  if (loop == "\"forever\"") return "Infinity";
  if (loop == "null") return "0";
  return loop;
}

// How many pixels were compared: painted (colour and opacity) and not (transparency only).
struct Compared {
  std::size_t painted = 0, unpainted = 0;
};

void ExpectSameFrames(const std::string& name, const BrowserDecoding& browser,
                      const std::vector<RgbFrame>& ours,
                      const std::vector<ComposedFrame>& reference, const FileFacts& facts,
                      Compared& compared) {
  SCOPED_TRACE(name);
  ASSERT_TRUE(browser.error.empty()) << "the browser cannot decode the file: " << browser.error;
  ASSERT_EQ(browser.frame_count, static_cast<long long>(ours.size())) << "frame count";
  ASSERT_EQ(browser.frames.size(), ours.size());
  ASSERT_EQ(reference.size(), ours.size()) << "giflib's frame count";
  ASSERT_EQ(facts.delays_cs.size(), ours.size()) << "delays in zoetra info";
  EXPECT_EQ(browser.repetition, RepetitionFor(facts.loop)) << "loop block " << facts.loop;
  long long start_us = 0;
  for (std::size_t i = 0; i < ours.size(); ++i) {
    const BrowserFrame& b = browser.frames[i];
    const RgbFrame& a = ours[i];
    EXPECT_EQ(b.duration_us, facts.delays_cs[i] * 10000) << "frame " << i + 1 << " duration";
    EXPECT_EQ(b.timestamp_us, start_us) << "frame " << i + 1 << " timestamp";
    start_us += facts.delays_cs[i] * 10000;
    ASSERT_EQ(b.width, a.width) << "frame " << i + 1;
    ASSERT_EQ(b.height, a.height) << "frame " << i + 1;
    for (int y = 0; y < a.height; ++y) {
      for (int x = 0; x < a.width; ++x) {
        const std::size_t at = static_cast<std::size_t>(y) * a.width + x;
        const std::uint8_t* p = &b.rgba[at * 4];
        const std::uint32_t theirs = std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
        if (reference[i].origin[at] == Origin::Painted) {
          ++compared.painted;
          ASSERT_TRUE(p[3] == 255 && theirs == a.at(x, y))
              << "frame " << i + 1 << " pixel (" << x << ", " << y << "): ours " << Hex(a.at(x, y))
              << ", the browser's " << Hex(theirs) << " alpha " << int{p[3]};
        } else {
          ++compared.unpainted;
          ASSERT_EQ(p[3], 0) << "frame " << i + 1 << " pixel (" << x << ", " << y
                             << ") was never painted (or disposed of), yet the browser shows "
                             << Hex(theirs);
        }
      }
    }
  }
}

// ---------------------------------------------------------------- pictures

// Same-size pictures over a gradient (so the palette matters) with a block that
// moves and a dot that appears: frames differ in part, so --optimize cuts them;
// pictures 3 and 4 are equal, so --optimize merges them and adds their delays.
std::vector<std::uint8_t> Moving(int step) {
  const int shown = step == 3 ? 2 : step;
  return test::PngFileBytes(36, 28, [shown](int x, int y) {
    if (x >= 4 + 7 * shown && x < 13 + 7 * shown && y >= 6 && y < 17) {
      return test::Rgb{static_cast<std::uint8_t>(230 - 50 * shown), 40,
                       static_cast<std::uint8_t>(60 * shown)};
    }
    if (shown >= 1 && x >= 30 && x < 33 && y >= 21 && y < 24) return test::Rgb{250, 250, 250};
    return test::Rgb{static_cast<std::uint8_t>(x * 7), static_cast<std::uint8_t>(y * 9),
                     static_cast<std::uint8_t>(255 - x * 3 - y * 2)};
  });
}

// Pictures of different sizes, the last the largest. With --palette first the
// screen takes the last picture's size, so every frame fits it, and every
// frame is taken away (disposal 3) before the next, so a smaller frame leaves
// part of the screen unpainted; the other modes fit every picture into the
// first one's size, so every pixel is painted.
std::vector<std::uint8_t> Sized(int step) {
  static const int kSizes[][2] = {{30, 20}, {14, 9}, {32, 26}};
  const int w = kSizes[step][0], h = kSizes[step][1];
  return test::PngFileBytes(w, h, [step](int x, int y) {
    return test::Rgb{static_cast<std::uint8_t>(40 + 60 * step + x * 3),
                     static_cast<std::uint8_t>(200 - y * 5),
                     static_cast<std::uint8_t>((x ^ y) * 8)};
  });
}

// Why this machine's browser cannot say what it shows (the test is skipped
// then); "" when it can.
std::string SkipReason(const BrowserResult& browser) {
  if (!browser.started) return "Chromium cannot start here: " + browser.problem;
  if (browser.problem.empty() && !browser.decodings.empty() &&
      browser.decodings[0].error.find("ImageDecoder is not available") != std::string::npos) {
    return "this Chromium has no WebCodecs ImageDecoder: " + browser.decodings[0].error;
  }
  return {};
}

// ---------------------------------------------------------------- the cases

struct Row {
  const char* name;
  std::vector<std::string> switches;  // for zoetra create
  std::string repetition;             // the browser's repetition count for the files made
};

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"plain", {}, "Infinity"},
      {"optimize", {"--optimize"}, "Infinity"},
      {"palette_all", {"--palette", "all"}, "Infinity"},
      {"palette_frame", {"--palette", "frame"}, "Infinity"},
      {"palette_frame_optimize", {"--palette", "frame", "--optimize"}, "Infinity"},
      {"quality", {"--palette", "all", "--optimize", "--quality", "60"}, "Infinity"},
      {"quality_frame", {"--palette", "frame", "--optimize", "--quality", "70"}, "Infinity"},
      {"gray", {"--gray"}, "Infinity"},
      {"gray_delay", {"--gray", "--optimize", "-d", "70"}, "Infinity"},
      {"loop_3_fps", {"--loop", "3", "--fps", "25"}, "3"},
      {"no_loop", {"--no-loop", "--optimize"}, "0"},
  };
  return rows;
}

class BrowserDecodeTest : public ::testing::TestWithParam<Row> {};

TEST_P(BrowserDecodeTest, FramesDelaysAndLoopAsOurs) {
  const Row& row = GetParam();
  const std::string chromium = FindChromium();
  if (chromium.empty())
    GTEST_SKIP() << "Chromium is not installed (no chromium on PATH): browser decoding not checked";

  TempDir dir;
  struct Set {
    const char* name;
    int pictures;
    std::vector<std::uint8_t> (*make)(int);
  };
  const Set sets[] = {{"moving", 4, Moving}, {"sized", 3, Sized}};
  auto has = [&](const char* s) {
    return std::find(row.switches.begin(), row.switches.end(), s) != row.switches.end();
  };
  // Rows without a palette mode show the sized pictures in the classic way.
  const bool classic_sizes = !has("--palette");
  std::vector<std::string> gifs;
  for (const Set& set : sets) {
    std::vector<std::string> args = {"create", "-q", "-o",
                                     dir.Path(std::string(set.name) + ".gif")};
    args.insert(args.end(), row.switches.begin(), row.switches.end());
    if (classic_sizes && std::string(set.name) == "sized")
      args.insert(args.end(), {"--palette", "first"});
    for (int i = 0; i < set.pictures; ++i) {
      args.push_back(dir.Path(std::string(set.name) + std::to_string(i) + ".png"));
      WriteAll(args.back(), set.make(i));
    }
    const RunResult made = Zoetra(args);
    ASSERT_EQ(made.status, 0) << made.err;
    gifs.push_back(args[3]);
  }

  const bool optimized = has("--optimize"), own_palettes = has("frame");

  const BrowserResult browser = DecodeInBrowser(chromium, dir, gifs);
  if (const std::string why = SkipReason(browser); !why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(browser.problem.empty()) << browser.problem;
  ASSERT_EQ(browser.decodings.size(), gifs.size());
  EXPECT_TRUE(browser.quit_cleanly)
      << "Chromium did not quit when asked; its process group was killed";

  for (std::size_t g = 0; g < gifs.size(); ++g) {
    const auto facts = Facts(gifs[g]);
    ASSERT_TRUE(facts.has_value());
    EXPECT_EQ(RepetitionFor(facts->loop), row.repetition)
        << sets[g].name << ": loop block " << facts->loop;
    const auto ours = ZoetraFrames(gifs[g], dir.Path(std::string(sets[g].name) + "-frames"));
    ASSERT_TRUE(ours.has_value());
    const auto reference = GiflibCompose(gifs[g]);
    ASSERT_TRUE(reference.has_value()) << "giflib cannot read " << gifs[g];
    Compared compared;
    ExpectSameFrames(sets[g].name, browser.decodings[g], *ours, *reference, *facts, compared);
    if (HasFatalFailure()) return;
    // The files hold what the case is for.
    if (std::string(sets[g].name) == "sized") {
      if (classic_sizes) {
        EXPECT_GT(compared.unpainted, 0u)
            << "no frame of the sized pictures left the screen partly unpainted";
      } else {
        EXPECT_EQ(compared.unpainted, 0u)
            << "the sized pictures were not fitted into the first one's size";
      }
    } else if (optimized) {
      EXPECT_EQ(facts->delays_cs.size(), 3u)
          << "the optimisation should have merged the equal pictures 3 and 4";
      // A palette per frame dithers the unchanged background differently in each: no cut then.
      if (!own_palettes) {
        EXPECT_TRUE(std::any_of(facts->widths.begin() + 1, facts->widths.end(), [&](long long w) {
          return w < facts->widths[0];
        })) << "the optimisation should have cut a frame";
      }
    }
    EXPECT_GT(compared.painted, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Switches, BrowserDecodeTest, ::testing::ValuesIn(Rows()),
                         [](const auto& info) { return std::string(info.param.name); });

// Stickers keep their transparency as the browser composes them, however made.
TEST(StickerBrowserTest, TransparentExactlyWhereThePicturesAre) {
  const std::string chromium = FindChromium();
  if (chromium.empty()) GTEST_SKIP() << "Chromium is not installed (no chromium on PATH): stickers not checked";
  TempDir dir;
  std::vector<std::string> gifs;
  for (const std::vector<std::string>& switches : StickerSwitches()) {
    gifs.push_back(dir.Path("sticker" + std::to_string(gifs.size()) + ".gif"));
    ASSERT_TRUE(MakeSticker(dir, switches, gifs.back()));
  }
  const BrowserResult browser = DecodeInBrowser(chromium, dir, gifs);
  if (const std::string why = SkipReason(browser); !why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(browser.problem.empty()) << browser.problem;
  ASSERT_EQ(browser.decodings.size(), gifs.size());
  for (std::size_t g = 0; g < gifs.size(); ++g) {
    const BrowserDecoding& decoded = browser.decodings[g];
    ASSERT_TRUE(decoded.error.empty()) << decoded.error;
    ASSERT_EQ(decoded.frames.size(), 6u) << "row " << g;
    for (int i = 0; i < 6; ++i) {
      std::string first;
      EXPECT_EQ(AlphaMismatches(decoded.frames[static_cast<std::size_t>(i)].rgba, Sticker(i), first), 0u)
          << "row " << g << " frame " << i + 1 << ": " << first;
    }
  }
}

#else
TEST(BrowserDecodeTest, NeedsGiflib) {
  GTEST_SKIP() << "giflib is not available: which pixels a frame painted is not known, the browser "
                  "check is not built";
}
#endif  // ZOETRA_HAVE_GIFLIB

}  // namespace
}  // namespace zoetra::clitest

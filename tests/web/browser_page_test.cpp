// The page-level browser API the web tests stand on: a page opened from a
// file: URL with ES modules, a module Worker and WebAssembly fetched from its
// folder; a file given to its file input; its viewport as a PNG; and failures
// that say what failed.
#include <gtest/gtest.h>

#include <spng.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/headless_chromium.hpp"
#include "support/temp_dir.hpp"

namespace zoetra::test {
namespace {

// A module that the page and its worker both import.
constexpr char kSumJs[] = "export const sum = (values) => values.reduce((a, b) => a + b, 0);\n";

constexpr char kMainJs[] = R"(import { sum } from "./sum.js";
window.answer = new Promise((resolve) => {
  const worker = new Worker(new URL("worker.js", import.meta.url), { type: "module" });
  worker.onmessage = (event) => resolve("main " + sum([1, 2]) + ", " + event.data);
  worker.onerror = (event) => resolve("the worker failed: " + event.message);
});
window.picked = new Promise((resolve) => {
  document.getElementById("pick").addEventListener("change", async (event) => {
    const file = event.target.files[0];
    resolve(file.name + " " + new Uint8Array(await file.arrayBuffer()).join(","));
  });
});
)";

constexpr char kWorkerJs[] = R"(import { sum } from "./sum.js";
const { instance } = await WebAssembly.instantiateStreaming(fetch(new URL("add.wasm", import.meta.url)));
postMessage("worker " + instance.exports.add(sum([30, 10]), 2));
)";

constexpr char kIndexHtml[] = R"(<!DOCTYPE html><meta charset="utf-8"><title>page</title>
<style>html, body { margin: 0; background: rgb(12, 200, 34); }</style>
<input type="file" id="pick">
<script type="module" src="main.js"></script>
)";

// A WebAssembly module exporting add(i32, i32) -> i32.
const std::vector<std::uint8_t> kAddWasm = {
    0x00, 0x61, 0x73, 0x6d, 0x01, 0x00, 0x00, 0x00,                    // magic, version
    0x01, 0x07, 0x01, 0x60, 0x02, 0x7f, 0x7f, 0x01, 0x7f,              // type (i32, i32) -> i32
    0x03, 0x02, 0x01, 0x00,                                            // one function of it
    0x07, 0x07, 0x01, 0x03, 'a',  'd',  'd',  0x00, 0x00,              // exported as "add"
    0x0a, 0x09, 0x01, 0x07, 0x00, 0x20, 0x00, 0x20, 0x01, 0x6a, 0x0b,  // local 0 + local 1
};

struct Png {
  std::size_t width = 0, height = 0;
  std::vector<std::uint8_t> rgba;
};

std::optional<Png> DecodePng(const std::string& bytes) {
  spng_ctx* ctx = spng_ctx_new(0);
  Png png;
  spng_ihdr ihdr{};
  std::size_t size = 0;
  bool ok = spng_set_png_buffer(ctx, bytes.data(), bytes.size()) == 0 &&
            spng_get_ihdr(ctx, &ihdr) == 0 &&
            spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &size) == 0;
  if (ok) {
    png.width = ihdr.width, png.height = ihdr.height;
    png.rgba.resize(size);
    ok = spng_decode_image(ctx, png.rgba.data(), size, SPNG_FMT_RGBA8, 0) == 0;
  }
  spng_ctx_free(ctx);
  if (!ok) return std::nullopt;
  return png;
}

// Skips the test when this machine has no browser to drive.
#define OPEN_OR_SKIP(browser, url)                                                  \
  if (!(browser).Open(url)) {                                                       \
    if (!(browser).Answered())                                                      \
      GTEST_SKIP() << "Chromium cannot start here: " << (browser).error();          \
    FAIL() << (browser).error() << "\nChromium's output:\n" << (browser).LogTail(); \
  }

TEST(BrowserPageTest, ModulesWorkerWasmFileInputAndScreenshotFromAFolder) {
  const std::string chromium = FindChromium();
  if (chromium.empty())
    GTEST_SKIP() << "Chromium is not installed (no chromium on PATH): the page API not checked";
  TempDir dir;
  WriteAll(dir.Path("index.html"), std::string(kIndexHtml));
  WriteAll(dir.Path("main.js"), std::string(kMainJs));
  WriteAll(dir.Path("worker.js"), std::string(kWorkerJs));
  WriteAll(dir.Path("sum.js"), std::string(kSumJs));
  WriteAll(dir.Path("add.wasm"), kAddWasm);
  // Every byte value, so that nothing on the way may treat the file as text.
  std::vector<std::uint8_t> chosen(256);
  for (std::size_t i = 0; i < chosen.size(); ++i) chosen[i] = static_cast<std::uint8_t>(255 - i);
  WriteAll(dir.Path("chosen file.bin"), chosen);

  HeadlessChromium browser(chromium, dir.path(), std::chrono::seconds(60),
                           {"--allow-file-access-from-files"});
  OPEN_OR_SKIP(browser, FileUrl(dir.Path("index.html")));

  EXPECT_EQ(browser.Evaluate("window.answer").value_or(browser.error()), "main 3, worker 42");

  ASSERT_TRUE(browser.SetInputFiles("input#pick", {dir.Path("chosen file.bin")}))
      << browser.error();
  std::string expected = "chosen file.bin ";
  for (std::size_t i = 0; i < chosen.size(); ++i)
    expected += (i ? "," : "") + std::to_string(chosen[i]);
  EXPECT_EQ(browser.Evaluate("window.picked").value_or(browser.error()), expected);
  EXPECT_FALSE(browser.SetInputFiles("#no-such-input", {dir.Path("chosen file.bin")}));
  EXPECT_NE(browser.error().find("#no-such-input"), std::string::npos) << browser.error();

  ASSERT_TRUE(browser.SetWindowSize(320, 200)) << browser.error();
  ASSERT_TRUE(browser.Screenshot(dir.Path("page.png"))) << browser.error();
  const auto png = DecodePng(ReadAll(dir.Path("page.png")));
  ASSERT_TRUE(png.has_value()) << "the screenshot is no PNG";
  EXPECT_EQ(png->width, 320u);
  EXPECT_EQ(png->height, 200u);
  // Below the file input: the page's background.
  const std::uint8_t* p = &png->rgba[(150 * png->width + 160) * 4];
  EXPECT_EQ((std::vector<int>{p[0], p[1], p[2]}), (std::vector<int>{12, 200, 34}));

  EXPECT_TRUE(browser.Close()) << "Chromium did not quit when asked; its process group was killed";
}

TEST(BrowserPageTest, EvaluateGivesStringsAndNamesFailures) {
  const std::string chromium = FindChromium();
  if (chromium.empty())
    GTEST_SKIP() << "Chromium is not installed (no chromium on PATH): the page API not checked";
  TempDir dir;
  WriteAll(dir.Path("blank.html"), std::string("<!DOCTYPE html><title>blank</title>"));
  HeadlessChromium browser(chromium, dir.path(), std::chrono::seconds(60));
  OPEN_OR_SKIP(browser, FileUrl(dir.Path("blank.html")));

  struct Case {
    const char* expression;
    std::optional<std::string> value;  // nullopt: fails, with `error` in error()
    const char* error;
  };
  const Case cases[] = {
      {"Promise.resolve('a \"quoted\"\\\\ line\\n')", "a \"quoted\"\\ line\n", ""},
      {"'\\u00e9\\u{1F600}'", "\xC3\xA9\xF0\x9F\x98\x80", ""},
      {"Promise.reject(new Error('no frames'))", std::nullopt, "Error: no frames"},
      {"(() => { throw 'plain text'; })()", std::nullopt, "plain text"},
      {"41 + 1", std::nullopt, "gave no string"},
      // An object's own "value" key is not the result.
      {"({ type: 'string', value: 'not me' })", std::nullopt, "gave no string"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expression);
    const auto value = browser.Evaluate(c.expression);
    EXPECT_EQ(value, c.value) << browser.error();
    if (!c.value) {
      EXPECT_NE(browser.error().find(c.error), std::string::npos) << browser.error();
    }
  }

  EXPECT_FALSE(browser.Open(FileUrl(dir.Path("missing.html"))));
  EXPECT_NE(browser.error().find("missing.html"), std::string::npos) << browser.error();
  EXPECT_NE(browser.error().find("FILE_NOT_FOUND"), std::string::npos) << browser.error();
}

TEST(BrowserProtocolTest, JsonStringFieldUnescapes) {
  const struct {
    const char* message;
    std::optional<std::string> value;
  } cases[] = {
      {R"({"id":1,"result":{"value":"plain"}})", "plain"},
      {R"({"value":"q\"b\\s\/n\nt\tu\u0041"})", "q\"b\\s/n\nt\tuA"},
      {R"({"value":"\u00e9\u20ac"})", "\xC3\xA9\xE2\x82\xAC"},
      {R"({"value":"\ud83d\ude00!"})", "\xF0\x9F\x98\x80!"},
      {R"({"other":"x"})", std::nullopt},
      {R"({"value":"unended)", std::nullopt},
      {R"({"value":"\u12"})", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonStringField(c.message, "value"), c.value) << c.message;
}

}  // namespace
}  // namespace zoetra::test

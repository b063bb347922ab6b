// Test support: a headless Chromium for tests that need a browser's view of
// what we make (GIF files decoded by the browser, the WebAssembly page).
//
// The browser is spoken to over --remote-debugging-pipe (file descriptors 3
// and 4, no TCP port), with a fresh profile, home and temporary directory in
// the caller's scratch directory. It runs in a process group of its own, ended
// as a group when it has quit or when its time limit is up; the limit covers
// everything it is asked, from start to Close.
//
// Every call returns nullopt or false on failure, with the reason in error();
// a test tells "this machine cannot run a browser" (skip) from a real failure
// by Answered().
//
//   HeadlessChromium browser(FindChromium(), dir.path(), std::chrono::seconds(60),
//                            {"--allow-file-access-from-files"});
//   if (!browser.Open(FileUrl(dir.Path("index.html")))) {
//     if (!browser.Answered()) GTEST_SKIP() << browser.error();
//     FAIL() << browser.error() << browser.LogTail();
//   }
//   const std::optional<std::string> text = browser.Evaluate("window.answer");
//
// A page opened from a file: URL may import ES modules, start a module Worker
// and fetch files (.wasm too) from its folder only with
// --allow-file-access-from-files; without it the module script is refused and
// nothing of it runs.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zoetra::test {

std::string Base64(const std::string& bytes);
// nullopt when `text` is not base64.
std::optional<std::vector<std::uint8_t>> FromBase64(const std::string& text);

// The string after `"key":"` in a JSON message, unescaped (\u escapes as
// UTF-8); nullopt when absent. The protocol's messages are compact, so no
// space follows the colon.
std::optional<std::string> JsonStringField(const std::string& message, const std::string& key);

// A file: URL for an absolute path.
std::string FileUrl(const std::string& path);

// The browser's program on PATH, or "" when it is not installed.
std::string FindChromium();

// Writing to a browser that has gone must fail the write, not end the test program.
class IgnoreBrokenPipes {
 public:
  IgnoreBrokenPipes();
  ~IgnoreBrokenPipes();
  IgnoreBrokenPipes(const IgnoreBrokenPipes&) = delete;
  IgnoreBrokenPipes& operator=(const IgnoreBrokenPipes&) = delete;

 private:
  struct sigaction old_ {};
};

// One browser with one page (tab), made on first use.
class HeadlessChromium {
 public:
  // Starts `binary` with our usual switches and `flags` after them. The browser
  // writes only into `scratch`; everything must be done within `limit`.
  HeadlessChromium(const std::string& binary, const std::string& scratch,
                   std::chrono::seconds limit, const std::vector<std::string>& flags = {});
  ~HeadlessChromium();
  HeadlessChromium(const HeadlessChromium&) = delete;
  HeadlessChromium& operator=(const HeadlessChromium&) = delete;

  // Why the last call failed.
  const std::string& error() const { return error_; }
  // What the browser wrote on its standard output and error, the last lines.
  std::string LogTail() const;
  // Whether the browser has replied to anything: false after a failure means it
  // could not start (or be spoken to) here, not that the page went wrong.
  bool Answered() const { return answered_; }

  // Loads `url` in the page and waits for its load event. Fails when the
  // browser cannot load it (a missing file, say).
  bool Open(const std::string& url);
  // The string `expression` gives in the page, awaited when it is a promise.
  // A thrown exception or rejection fails, with its text in error(); so does a
  // value that is not a string.
  std::optional<std::string> Evaluate(const std::string& expression);
  // Gives the <input type="file"> that `selector` (CSS) finds these files, as
  // if chosen by the user: the page gets its input and change events.
  bool SetInputFiles(const std::string& selector, const std::vector<std::string>& paths);
  // The page's viewport in CSS pixels, at one device pixel each.
  bool SetWindowSize(int width, int height);
  // Writes what the viewport shows to `path` as PNG.
  bool Screenshot(const std::string& path);

  // Asks the browser to quit, waits for it within the time left (at least a
  // short grace), then ends whatever is left of its process group. True when
  // it quit by itself. The destructor calls it.
  bool Close();

 private:
  std::optional<std::string> Call(const std::string& method, const std::string& params,
                                  const std::string& session);
  bool AttachPage();
  bool WaitForEvent(const std::string& method, const std::string& session);
  bool Write(const std::string& message);
  std::optional<std::string> NextMessage();
  bool WaitForExit();
  bool Exited() const;
  void Shut();

  IgnoreBrokenPipes ignore_broken_pipes_;  // first made, last undone
  std::chrono::steady_clock::time_point deadline_;
  pid_t pid_ = -1;
  int to_browser_ = -1;
  int from_browser_ = -1;
  int last_id_ = 0;
  bool answered_ = false;
  bool restore_subreaper_ = false;
  std::vector<pid_t> earlier_children_;  // not the browser's
  std::string buffer_;
  std::vector<std::string> events_;
  std::string session_;  // the page's, once attached
  std::string error_;
  std::string log_path_;
};

}  // namespace zoetra::test

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
// How the browser is driven: one headless Chromium per case, with a fresh
// profile, home and temporary directory in the case's scratch directory,
// spoken to over --remote-debugging-pipe (file descriptors 3 and 4, no TCP
// port). It opens a page from the scratch directory that holds the GIF files
// as base64 and the script of browser_frames.js, so nothing is fetched; the
// script's text answer comes back through Runtime.evaluate. The browser runs in
// a process group of its own, ended as a group when it has quit or when the
// 60-second limit is up.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_support.hpp"
#include "support/picture_files.hpp"

extern char** environ;

namespace zoetra::clitest {
namespace {

#ifdef ZOETRA_HAVE_GIFLIB

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- text

std::string Base64(const std::string& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t v = std::uint32_t{static_cast<std::uint8_t>(bytes[i])} << 16;
    if (i + 1 < bytes.size()) v |= std::uint32_t{static_cast<std::uint8_t>(bytes[i + 1])} << 8;
    if (i + 2 < bytes.size()) v |= static_cast<std::uint8_t>(bytes[i + 2]);
    out += kDigits[v >> 18 & 63];
    out += kDigits[v >> 12 & 63];
    out += i + 1 < bytes.size() ? kDigits[v >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> FromBase64(const std::string& text) {
  std::vector<std::uint8_t> out;
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else if (c == '=')
      break;
    else
      return std::nullopt;
    bits = bits << 6 | static_cast<std::uint32_t>(v);
    if (++count == 4) {
      out.push_back(static_cast<std::uint8_t>(bits >> 16));
      out.push_back(static_cast<std::uint8_t>(bits >> 8));
      out.push_back(static_cast<std::uint8_t>(bits));
      bits = 0, count = 0;
    }
  }
  if (count == 3) {
    out.push_back(static_cast<std::uint8_t>(bits >> 10));
    out.push_back(static_cast<std::uint8_t>(bits >> 2));
  } else if (count == 2) {
    out.push_back(static_cast<std::uint8_t>(bits >> 4));
  } else if (count == 1) {
    return std::nullopt;
  }
  return out;
}

// The string after `"key":"` in a JSON message, unescaped; nullopt when absent.
// The protocol's messages are compact, so no space follows the colon.
std::optional<std::string> JsonStringField(const std::string& message, const std::string& key) {
  const std::string start = "\"" + key + "\":\"";
  std::size_t at = message.find(start);
  if (at == std::string::npos) return std::nullopt;
  at += start.size();
  std::string out;
  for (; at < message.size(); ++at) {
    const char c = message[at];
    if (c == '"') return out;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++at >= message.size()) break;
    switch (message[at]) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'u': {
        if (at + 4 >= message.size()) return std::nullopt;
        const unsigned long code = std::stoul(message.substr(at + 1, 4), nullptr, 16);
        at += 4;
        // Our script answers in ASCII; anything else only goes into messages.
        out += code < 0x80 ? static_cast<char>(code) : '?';
        break;
      }
      default:
        out += message[at];
        break;
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- the browser

// A file: URL for an absolute path.
std::string FileUrl(const std::string& path) {
  std::string url = "file://";
  for (const char c : path) {
    if (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-~", c) != nullptr) {
      url += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X",
                    static_cast<unsigned>(static_cast<unsigned char>(c)));
      url += escaped;
    }
  }
  return url;
}

std::string FindChromium() {
  return FindTool({"chromium", "chromium-browser"});
}

// A headless Chromium spoken to over its debugging pipe, with a time limit for
// everything it is asked. The browser and everything it starts share a process
// group, which the destructor ends.
class HeadlessChromium {
 public:
  HeadlessChromium(const std::string& binary, const std::string& scratch,
                   std::chrono::seconds limit)
      : deadline_(Clock::now() + limit) {
    const std::string home = scratch + "/home", profile = scratch + "/profile",
                      temp = scratch + "/tmp";
    ::mkdir(home.c_str(), 0700);
    ::mkdir(temp.c_str(), 0700);
    std::vector<std::string> argv = {binary,
                                     "--headless",
                                     "--remote-debugging-pipe",
                                     "--user-data-dir=" + profile,
                                     "--no-first-run",
                                     "--no-default-browser-check",
                                     "--disable-gpu",
                                     "--disable-extensions",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-default-apps",
                                     "--disable-sync",
                                     "--disable-breakpad",
                                     "--disable-crash-reporter",
                                     "--disable-dev-shm-usage",
                                     "--no-proxy-server",
                                     "--mute-audio"};
    // The browser's sandbox refuses to run as root.
    if (::geteuid() == 0) argv.push_back("--no-sandbox");
    argv.push_back("about:blank");
    // Its own home and temporary directory, so that nothing it writes outlives the scratch
    // directory.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (entry.rfind("HOME=", 0) == 0 || entry.rfind("XDG_CONFIG_HOME=", 0) == 0 ||
          entry.rfind("XDG_CACHE_HOME=", 0) == 0 || entry.rfind("TMPDIR=", 0) == 0) {
        continue;
      }
      env.push_back(entry);
    }
    env.push_back("HOME=" + home);
    env.push_back("XDG_CONFIG_HOME=" + home + "/.config");
    env.push_back("XDG_CACHE_HOME=" + home + "/.cache");
    env.push_back("TMPDIR=" + temp);
    // Everything the child needs is made before the fork: it only moves descriptors and runs the
    // program.
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int commands[2], replies[2];
    if (::pipe2(commands, O_CLOEXEC) != 0) {
      error_ = std::string("pipe: ") + std::strerror(errno);
      return;
    }
    if (::pipe2(replies, O_CLOEXEC) != 0) {
      error_ = std::string("pipe: ") + std::strerror(errno);
      ::close(commands[0]), ::close(commands[1]);
      return;
    }
    log_path_ = scratch + "/browser.log";
    const int log = ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    // The browser's helpers that outlive it come to us, not to init, so that
    // Shut can reap every one of them.
    int subreaper = 0;
    if (::prctl(PR_GET_CHILD_SUBREAPER, &subreaper) == 0 && subreaper == 0) {
      restore_subreaper_ = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
      earlier_children_ = Children();
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      // Above 4 first, so that moving one onto 3 or 4 cannot overwrite another.
      const int in = ::fcntl(commands[0], F_DUPFD, 10), out = ::fcntl(replies[1], F_DUPFD, 10);
      if (in < 0 || out < 0 || log < 0 || null < 0) ::_exit(126);
      ::dup2(null, 0), ::dup2(log, 1), ::dup2(log, 2), ::dup2(in, 3), ::dup2(out, 4);
      ::execve(args[0], args.data(), envp.data());
      ::_exit(127);
    }
    if (pid_ > 0) ::setpgid(pid_, pid_);  // also here, so no signal can miss the group
    if (pid_ < 0) error_ = std::string("fork: ") + std::strerror(errno);
    ::close(commands[0]), ::close(replies[1]);
    if (log >= 0) ::close(log);
    if (null >= 0) ::close(null);
    to_browser_ = commands[1], from_browser_ = replies[0];
    if (pid_ < 0) Shut();
  }

  ~HeadlessChromium() { Close(); }
  HeadlessChromium(const HeadlessChromium&) = delete;
  HeadlessChromium& operator=(const HeadlessChromium&) = delete;

  // Why the last call failed.
  const std::string& error() const { return error_; }
  // What the browser wrote on its standard output and error, the last lines.
  std::string LogTail() const {
    const std::string log = ReadAll(log_path_);
    return log.size() > 2000 ? "..." + log.substr(log.size() - 2000) : log;
  }

  // Sends one command and returns the reply to it; nullopt (see error()) when
  // the browser has gone, the time is up, or the reply is an error.
  std::optional<std::string> Call(const std::string& method, const std::string& params = "{}",
                                  const std::string& session = "") {
    const int id = ++last_id_;
    std::string message =
        "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params;
    if (!session.empty()) message += ",\"sessionId\":\"" + session + "\"";
    message += "}";
    message += '\0';
    if (!Write(message)) return std::nullopt;
    const std::string prefix = "{\"id\":" + std::to_string(id) + ",";
    for (;;) {
      std::optional<std::string> reply = NextMessage();
      if (!reply) return std::nullopt;
      if (reply->rfind(prefix, 0) != 0) {
        events_.push_back(std::move(*reply));
        continue;
      }
      if (reply->find("\"error\":") != std::string::npos &&
          reply->find("\"result\":") == std::string::npos) {
        error_ = method + " failed: " + *reply;
        return std::nullopt;
      }
      return reply;
    }
  }

  // Waits for an event of `method` from `session`, also one that came while waiting for a reply.
  bool WaitForEvent(const std::string& method, const std::string& session) {
    const std::string name = "\"method\":\"" + method + "\"",
                      from = "\"sessionId\":\"" + session + "\"";
    auto matches = [&](const std::string& m) {
      return m.find(name) != std::string::npos && m.find(from) != std::string::npos;
    };
    for (const std::string& m : events_) {
      if (matches(m)) return true;
    }
    for (;;) {
      std::optional<std::string> message = NextMessage();
      if (!message) return false;
      if (matches(*message)) return true;
    }
  }

  // Asks the browser to quit, waits for it within the time left, then ends
  // whatever is left of its process group. True when it quit by itself.
  bool Close() {
    if (pid_ <= 0) return false;
    bool quit = false;
    if (to_browser_ >= 0) {
      const std::string message = std::string("{\"id\":") + std::to_string(++last_id_) +
                                  ",\"method\":\"Browser.close\"}" + '\0';
      // A short grace even when the time is up: the browser's own shutdown ends its helpers.
      deadline_ = std::max(deadline_, Clock::now() + std::chrono::seconds(5));
      if (Write(message)) quit = WaitForExit();
    }
    Shut();
    return quit;
  }

 private:
  bool Write(const std::string& message) {
    std::size_t written = 0;
    while (written < message.size()) {
      const ssize_t n = ::write(to_browser_, message.data() + written, message.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error_ = std::string("the browser's pipe is closed: ") + std::strerror(errno);
        return false;
      }
      written += static_cast<std::size_t>(n);
    }
    return true;
  }

  std::optional<std::string> NextMessage() {
    for (;;) {
      const std::size_t end = buffer_.find('\0');
      if (end != std::string::npos) {
        std::string message = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return message;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
      if (left <= 0) {
        error_ = "the time is up";
        return std::nullopt;
      }
      pollfd fd = {from_browser_, POLLIN, 0};
      const int ready = ::poll(&fd, 1, static_cast<int>(std::min<long long>(left, 1000)));
      if (ready < 0 && errno != EINTR) {
        error_ = std::string("poll: ") + std::strerror(errno);
        return std::nullopt;
      }
      if (ready == 0 && Exited()) {
        // Its helpers may hold the pipe open: do not wait for them.
        error_ = "the browser has exited";
        return std::nullopt;
      }
      if (ready <= 0) continue;
      char chunk[65536];
      const ssize_t n = ::read(from_browser_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error_ = "the browser closed its pipe (it has quit or crashed)";
        return std::nullopt;
      }
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Waits, within the deadline, until the browser has exited; leaves it unreaped,
  // so its id (the group's) cannot be given to another process meanwhile.
  bool WaitForExit() {
    while (Clock::now() < deadline_) {
      if (Exited()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  bool Exited() const {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid_;
  }

  // Our children now, from /proc.
  static std::vector<pid_t> Children() {
    std::vector<pid_t> children;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string stat = ReadAll(entry.path().string() + "/stat");
      // pid (name) state ppid ...: the name may hold spaces and parentheses.
      const std::size_t close = stat.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream rest(stat.substr(close + 1));
      std::string state;
      long long parent = 0;
      if (rest >> state >> parent && parent == ::getpid())
        children.push_back(static_cast<pid_t>(std::stoll(name)));
    }
    return children;
  }

  void Shut() {
    if (to_browser_ >= 0) ::close(to_browser_), to_browser_ = -1;
    if (from_browser_ >= 0) ::close(from_browser_), from_browser_ = -1;
    if (pid_ > 0) {
      ::kill(-pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      // The rest of the group, killed above, as it is handed to us.
      const auto limit = Clock::now() + std::chrono::seconds(10);
      while (Clock::now() < limit) {
        const pid_t reaped = ::waitpid(-pid_, &status, WNOHANG);
        if (reaped > 0) continue;
        if (reaped < 0 && errno == ECHILD && ::kill(-pid_, 0) != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      // A helper that left the group (a session of its own) has still come to us.
      if (restore_subreaper_) {
        for (const pid_t child : Children()) {
          if (std::find(earlier_children_.begin(), earlier_children_.end(), child) !=
              earlier_children_.end())
            continue;
          ::kill(child, SIGKILL);
          while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
          }
        }
      }
      pid_ = -1;
    }
    if (restore_subreaper_) ::prctl(PR_SET_CHILD_SUBREAPER, 0), restore_subreaper_ = false;
  }

  Clock::time_point deadline_;
  pid_t pid_ = -1;
  int to_browser_ = -1;
  int from_browser_ = -1;
  int last_id_ = 0;
  bool restore_subreaper_ = false;
  std::vector<pid_t> earlier_children_;  // not the browser's
  std::string buffer_;
  std::vector<std::string> events_;
  std::string error_;
  std::string log_path_;
};

// Writing to a browser that has gone must fail the write, not end the test program.
class IgnoreBrokenPipes {
 public:
  IgnoreBrokenPipes() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &old_);
  }
  ~IgnoreBrokenPipes() { ::sigaction(SIGPIPE, &old_, nullptr); }
  IgnoreBrokenPipes(const IgnoreBrokenPipes&) = delete;
  IgnoreBrokenPipes& operator=(const IgnoreBrokenPipes&) = delete;

 private:
  struct sigaction old_ {};
};

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

  IgnoreBrokenPipes ignore_broken_pipes;
  HeadlessChromium browser(chromium, dir.path(), std::chrono::seconds(60));
  const auto target = browser.Call("Target.createTarget", "{\"url\":\"about:blank\"}");
  if (!target) {
    result.problem = "Chromium did not start or did not answer (" + browser.error() +
                     "); its output:\n" + browser.LogTail();
    browser.Close();
    return result;
  }
  result.started = true;
  auto fail = [&](const std::string& what) {
    result.problem = what + ": " + browser.error() + "\nChromium's output:\n" + browser.LogTail();
    browser.Close();
    return result;
  };
  const auto target_id = JsonStringField(*target, "targetId");
  if (!target_id) return fail("no target in " + *target);
  const auto attached = browser.Call("Target.attachToTarget",
                                     "{\"targetId\":\"" + *target_id + "\",\"flatten\":true}");
  const auto session = attached ? JsonStringField(*attached, "sessionId") : std::nullopt;
  if (!session) return fail("cannot attach to the page");
  if (!browser.Call("Page.enable", "{}", *session)) return fail("Page.enable");
  if (!browser.Call("Page.navigate", "{\"url\":\"" + FileUrl(page_path) + "\"}", *session))
    return fail("Page.navigate");
  if (!browser.WaitForEvent("Page.loadEventFired", *session)) return fail("the page did not load");
  for (std::size_t i = 0; i < gifs.size(); ++i) {
    const auto reply = browser.Call("Runtime.evaluate",
                                    "{\"expression\":\"decodeGif(GIFS_BASE64[" + std::to_string(i) +
                                        "])\",\"awaitPromise\":true,\"returnByValue\":true}",
                                    *session);
    if (!reply) return fail("Runtime.evaluate");
    const auto text = JsonStringField(*reply, "value");
    if (!text || reply->find("\"exceptionDetails\"") != std::string::npos) {
      return fail("the script failed: " + reply->substr(0, 2000));
    }
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

// A headless Chromium over its debugging pipe; see headless_chromium.hpp.
#include "support/headless_chromium.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/find_tool.hpp"
#include "support/temp_dir.hpp"

extern char** environ;

namespace zoetra::test {
namespace {

using Clock = std::chrono::steady_clock;

// The four hex digits after message[at] (the 'u'); `at` moves onto the last of them.
bool HexCode(const std::string& message, std::size_t& at, std::uint32_t& code) {
  if (at + 4 >= message.size()) return false;
  code = 0;
  for (std::size_t i = at + 1; i <= at + 4; ++i) {
    const char c = message[i];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) return false;
    code = code << 4 | static_cast<std::uint32_t>(digit);
  }
  at += 4;
  return true;
}

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | code >> 12);
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | code >> 18);
    out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// `text` as a JSON string, quotes included.
std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The whole number after `"key":` in a JSON message; nullopt when absent.
std::optional<long long> JsonIntField(const std::string& message, const std::string& key) {
  const std::string start = "\"" + key + "\":";
  const std::size_t at = message.find(start);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t digits = at + start.size();
  if (digits >= message.size() || !std::isdigit(static_cast<unsigned char>(message[digits])))
    return std::nullopt;
  return std::stoll(message.substr(digits, 19));
}

// Our children now, from /proc.
std::vector<pid_t> Children() {
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

}  // namespace

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
        std::uint32_t code = 0;
        if (!HexCode(message, at, code)) return std::nullopt;
        // A pair of escapes is one character beyond the first 65536.
        if (code >= 0xD800 && code < 0xDC00 && message.compare(at + 1, 2, "\\u") == 0) {
          std::size_t low_at = at + 2;
          std::uint32_t low = 0;
          if (HexCode(message, low_at, low) && low >= 0xDC00 && low < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            at = low_at;
          }
        }
        AppendUtf8(out, code);
        break;
      }
      default:
        out += message[at];
        break;
    }
  }
  return std::nullopt;
}

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

IgnoreBrokenPipes::IgnoreBrokenPipes() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, &old_);
}

IgnoreBrokenPipes::~IgnoreBrokenPipes() {
  ::sigaction(SIGPIPE, &old_, nullptr);
}

HeadlessChromium::HeadlessChromium(const std::string& binary, const std::string& scratch,
                                   std::chrono::seconds limit,
                                   const std::vector<std::string>& flags)
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
  argv.insert(argv.end(), flags.begin(), flags.end());
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

HeadlessChromium::~HeadlessChromium() {
  Close();
}

std::string HeadlessChromium::LogTail() const {
  const std::string log = ReadAll(log_path_);
  return log.size() > 2000 ? "..." + log.substr(log.size() - 2000) : log;
}

// The page's tab, made and attached on first use.
bool HeadlessChromium::AttachPage() {
  if (!session_.empty()) return true;
  const auto target = Call("Target.createTarget", "{\"url\":\"about:blank\"}", "");
  if (!target) return false;
  const auto target_id = JsonStringField(*target, "targetId");
  if (!target_id) {
    error_ = "no target in " + *target;
    return false;
  }
  const auto attached = Call("Target.attachToTarget",
                             "{\"targetId\":" + JsonQuote(*target_id) + ",\"flatten\":true}", "");
  const auto session = attached ? JsonStringField(*attached, "sessionId") : std::nullopt;
  if (!session) {
    error_ = "cannot attach to the page: " + error_;
    return false;
  }
  if (!Call("Page.enable", "{}", *session)) return false;
  session_ = *session;
  return true;
}

bool HeadlessChromium::Open(const std::string& url) {
  if (!AttachPage()) return false;
  // A load event from an earlier page must not count for this one.
  events_.clear();
  const auto reply = Call("Page.navigate", "{\"url\":" + JsonQuote(url) + "}", session_);
  if (!reply) return false;
  if (const auto failed = JsonStringField(*reply, "errorText")) {
    error_ = "cannot open " + url + ": " + *failed;
    return false;
  }
  if (!WaitForEvent("Page.loadEventFired", session_)) {
    error_ = url + " did not load: " + error_;
    return false;
  }
  return true;
}

std::optional<std::string> HeadlessChromium::Evaluate(const std::string& expression) {
  if (!AttachPage()) return std::nullopt;
  const auto reply = Call(
      "Runtime.evaluate",
      "{\"expression\":" + JsonQuote(expression) + ",\"awaitPromise\":true,\"returnByValue\":true}",
      session_);
  if (!reply) return std::nullopt;
  const std::string shown = expression.size() > 80 ? expression.substr(0, 80) + "..." : expression;
  const std::size_t thrown = reply->find("\"exceptionDetails\":");
  if (thrown != std::string::npos) {
    // An Error's description holds its message and stack; a thrown string is a value.
    const std::string details = reply->substr(thrown);
    auto text = JsonStringField(details, "description");
    if (!text) text = JsonStringField(details, "value");
    if (!text) text = JsonStringField(details, "text");
    error_ = shown + " threw: " + text.value_or(details);
    return std::nullopt;
  }
  // Only the result's own value: a returned object may hold a "value" key of its own.
  const std::string string_result = "\"result\":{\"result\":{\"type\":\"string\",";
  const std::size_t at = reply->find(string_result);
  const auto value =
      at == std::string::npos ? std::nullopt : JsonStringField(reply->substr(at), "value");
  if (!value) {
    error_ = shown + " gave no string: " + reply->substr(0, 500);
    return std::nullopt;
  }
  return value;
}

bool HeadlessChromium::SetInputFiles(const std::string& selector,
                                     const std::vector<std::string>& paths) {
  if (!AttachPage()) return false;
  const auto document = Call("DOM.getDocument", "{\"depth\":0}", session_);
  const auto root = document ? JsonIntField(*document, "nodeId") : std::nullopt;
  if (!root) {
    if (document) error_ = "no document in " + document->substr(0, 500);
    return false;
  }
  const auto found =
      Call("DOM.querySelector",
           "{\"nodeId\":" + std::to_string(*root) + ",\"selector\":" + JsonQuote(selector) + "}",
           session_);
  if (!found) return false;
  const auto node = JsonIntField(*found, "nodeId");
  if (!node || *node == 0) {
    error_ = "no element matches " + selector;
    return false;
  }
  std::string files = "[";
  for (const std::string& path : paths) files += (files.size() > 1 ? "," : "") + JsonQuote(path);
  files += "]";
  return Call("DOM.setFileInputFiles",
              "{\"files\":" + files + ",\"nodeId\":" + std::to_string(*node) + "}", session_)
      .has_value();
}

bool HeadlessChromium::SetWindowSize(int width, int height) {
  if (!AttachPage()) return false;
  return Call("Emulation.setDeviceMetricsOverride",
              "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
                  ",\"deviceScaleFactor\":1,\"mobile\":false}",
              session_)
      .has_value();
}

bool HeadlessChromium::Screenshot(const std::string& path) {
  if (!AttachPage()) return false;
  const auto reply = Call("Page.captureScreenshot", "{\"format\":\"png\"}", session_);
  if (!reply) return false;
  const auto data = JsonStringField(*reply, "data");
  const auto png = data ? FromBase64(*data) : std::nullopt;
  if (!png) {
    error_ = "no picture in the screenshot's reply: " + reply->substr(0, 500);
    return false;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(png->data()), static_cast<std::streamsize>(png->size()));
  out.close();
  if (!out) {
    error_ = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool HeadlessChromium::Close() {
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

// Sends one command and returns the reply to it; nullopt (see error()) when
// the browser has gone, the time is up, or the reply is an error.
std::optional<std::string> HeadlessChromium::Call(const std::string& method,
                                                  const std::string& params,
                                                  const std::string& session) {
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
bool HeadlessChromium::WaitForEvent(const std::string& method, const std::string& session) {
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

bool HeadlessChromium::Write(const std::string& message) {
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

std::optional<std::string> HeadlessChromium::NextMessage() {
  for (;;) {
    const std::size_t end = buffer_.find('\0');
    if (end != std::string::npos) {
      std::string message = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      answered_ = true;
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
bool HeadlessChromium::WaitForExit() {
  while (Clock::now() < deadline_) {
    if (Exited()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool HeadlessChromium::Exited() const {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid_;
}

void HeadlessChromium::Shut() {
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

}  // namespace zoetra::test

// zoetra create as people meet it: why a save failed and whose file it may not
// replace, the version after any command, and the progress line on a terminal.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "cli_support.hpp"

namespace zoetra::clitest {
namespace {

namespace fs = std::filesystem;

// What a failed save of `output` says, for the system's `reason`.
std::string SaveFailed(const std::string& output, const std::string& reason) {
  return "Path/File access error: " + output + " (cannot save the GIF: " + reason + ")";
}

// What a terminal shows for `output`: carriage returns, line feeds and "erase
// to the end of the line" applied.
std::vector<std::string> Screen(const std::string& output) {
  std::vector<std::string> lines(1);
  std::size_t column = 0;
  for (std::size_t i = 0; i < output.size(); ++i) {
    std::string& line = lines.back();
    if (output[i] == '\r') {
      column = 0;
    } else if (output[i] == '\n') {
      lines.emplace_back();
      column = 0;
    } else if (output.compare(i, 3, "\033[K") == 0) {
      line.resize(std::min(column, line.size()));
      i += 2;
    } else {
      if (line.size() <= column) line.resize(column + 1, ' ');
      line[column++] = output[i];
    }
  }
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

// How many of its 30 places each progress bar drawn in `output` has filled.
std::vector<int> BarFills(const std::string& output) {
  std::vector<int> fills;
  for (std::size_t at = output.find("\033[K["); at != std::string::npos; at = output.find("\033[K[", at + 1)) {
    const std::size_t end = output.find(']', at);
    if (end == std::string::npos) break;
    fills.push_back(static_cast<int>(std::count(output.begin() + static_cast<std::ptrdiff_t>(at),
                                                output.begin() + static_cast<std::ptrdiff_t>(end), '#')));
  }
  return fills;
}

class CreateOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Picture p(24, 16);
    p.Fill(0, 0, 24, 16, 0xFFFFFF);
    p.Fill(4, 4, 12, 12, 0xFF0000);
    ASSERT_TRUE(WritePng(Path("a.png"), p));
    p.Fill(8, 4, 16, 12, 0x0000FF);
    ASSERT_TRUE(WritePng(Path("b.png"), p));
  }
  std::string Path(const std::string& name) const { return dir_.Path(name); }
  TempDir dir_;
};

TEST_F(CreateOutputTest, AFailedSaveSaysWhyAndKeepsTheOldFile) {
  const bool root = ::geteuid() == 0;
  // A shared folder: anyone may create and rename files in it.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);
  fs::create_directory(Path("taken.gif"));
  WriteAll(Path("roots.gif"), "root's old file");
  fs::create_symlink("roots.gif", Path("link-to-roots.gif"));
  WriteAll(Path("read-only.gif"), "a read-only old file");
  ASSERT_EQ(::chmod(Path("read-only.gif").c_str(), 0444), 0);
  // As root, the tool runs as nobody for the files it may not write, and the read-only one is nobody's.
  if (root) {
    ASSERT_EQ(::chown(Path("read-only.gif").c_str(), 65534, 65534), 0);
  }
  const struct {
    std::string output;
    bool someone_elses;  // needs root to set up
    std::string reason;
  } cases[] = {
      {Path("missing/out.gif"), false, "No such file or directory"},
      {Path("taken.gif"), false, "Is a directory"},
      {"/dev/full", false, "Not a regular file"},
      {Path("read-only.gif"), false, "Permission denied"},
      {Path("roots.gif"), true, "Permission denied"},
      {Path("link-to-roots.gif"), true, "Permission denied"},
  };
  for (const auto& c : cases) {
    if (c.someone_elses && !root) continue;
    for (const bool raise : {false, true}) {
      SCOPED_TRACE(c.output + (raise ? " --raise-errors" : ""));
      std::vector<std::string> args = {"create", "-o", c.output, Path("a.png")};
      if (raise) args.push_back("--raise-errors");
      RunOptions options;
      options.unprivileged = c.reason == "Permission denied";
      const RunResult r = Zoetra(args, options);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      if (raise) {
        EXPECT_NE(r.err.find("Error Description: " + SaveFailed(c.output, c.reason)), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("(error 0x800403E9, source Basic Component)\n"), std::string::npos) << r.err;
      } else {
        EXPECT_EQ(r.err, "zoetra: " + SaveFailed(c.output, c.reason) + " (error 75)\n");
      }
    }
  }
  EXPECT_EQ(ReadAll(Path("roots.gif")), "root's old file");
  EXPECT_EQ(ReadAll(Path("read-only.gif")), "a read-only old file");
  EXPECT_TRUE(fs::is_symlink(Path("link-to-roots.gif")));
  EXPECT_TRUE(fs::is_empty(Path("taken.gif")));
  EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"a.png", "b.png", "link-to-roots.gif", "read-only.gif",
                                                      "roots.gif", "taken.gif"}));
}

TEST_F(CreateOutputTest, OtherWritesSayWhyToo) {
  // Standard output on a full device.
  const RunResult full = RunProgram({"/bin/sh", "-c", "exec \"$0\" create -o - \"$1\" >/dev/full", ZoetraPath(),
                                     Path("a.png")});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "zoetra: standard output: cannot write the GIF\n  No space left on device\n");
  // A frame file that cannot be replaced.
  ASSERT_EQ(Zoetra({"create", "-q", "-o", Path("anim.gif"), Path("a.png")}).status, 0);
  fs::create_directories(Path("frames/frame-0001.bmp"));
  const RunResult frames = Zoetra({"frames", "-o", Path("frames"), Path("anim.gif")});
  EXPECT_EQ(frames.status, 1);
  EXPECT_NE(frames.err.find("Is a directory"), std::string::npos) << frames.err;
}

TEST_F(CreateOutputTest, VersionAfterAnyCommand) {
  const std::string expected = Zoetra({"--version"}).out;
  ASSERT_EQ(expected.rfind("zoetra ", 0), 0u) << expected;
  const std::vector<std::vector<std::string>> cases = {
      {"create", "--version"}, {"create", "-o", Path("x.gif"), "-V"}, {"create", Path("a.png"), "--version"},
      {"info", "--version"},   {"info", "-V"},                       {"frames", "--version"},
      {"frames", "-o", Path("d"), "-V"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + " " + args.back());
    const RunResult r = Zoetra(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"a.png", "b.png"}));
}

TEST_F(CreateOutputTest, OnATerminalTheProgressBarMakesWayForWhatFollows) {
  fs::create_directory(Path("taken.gif"));
  WriteAll(Path("garbage.png"), "this is not a picture at all");
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> screen;
    bool drawn = true;
  } cases[] = {
      // b's colours are not a's: the palette hint follows the result line.
      {{"create", "-o", Path("out.gif"), "--palette", "first", Path("a.png"), Path("b.png")},
       {"OK, Animated GIF: " + Path("out.gif") + " created with 2 frames",
        "zoetra: hint: the colours of picture 2 (" + Path("b.png") + ") are far from the palette of the first picture;",
        "  --palette all (one palette from every picture) or --palette frame would show them better"}},
      {{"create", "-o", Path("out.gif"), "--palette", "all", Path("a.png"), Path("b.png")},
       {"OK, Animated GIF: " + Path("out.gif") + " created with 2 frames"}},
      {{"create", "-o", Path("out.gif"), Path("a.png"), Path("garbage.png")},
       {"zoetra: " + Path("garbage.png") + ": Invalid picture (not a PNG file: it starts with text \"this is not a "
        "picture at...\") (error 481)"}},
      // A streamed GIF's file is made first: a place it cannot be made fails before any work.
      {{"create", "-o", Path("taken.gif"), Path("a.png"), Path("b.png")},
       {"zoetra: " + SaveFailed(Path("taken.gif"), "Is a directory") + " (error 75)"},
       false},
      {{"create", "-o", Path("taken.gif"), "--palette", "first", Path("a.png"), Path("b.png")},
       {"zoetra: " + SaveFailed(Path("taken.gif"), "Is a directory") + " (error 75)"}},
  };
  RunOptions terminal;
  terminal.stderr_is_terminal = terminal.stdout_is_terminal = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const RunResult r = Zoetra(c.args, terminal);
    ASSERT_EQ(r.err.find("\033[K[") != std::string::npos, c.drawn) << r.err;
    EXPECT_EQ(Screen(r.err), c.screen) << r.err;
  }
}

TEST_F(CreateOutputTest, TheProgressLineFollowsThePassesAndNeverGoesBack) {
  RunOptions terminal;
  terminal.stderr_is_terminal = true;
  const struct {
    const char* mode;
    std::vector<std::string> in_order;  // drawn for three pictures (estimates may follow)
    const char* never;
  } cases[] = {
      // Every picture is read before the first frame is written.
      {"all", {"reading  0/3", "reading  3/3", "frames  0/3", "frames  3/3", "done"}, nullptr},
      // Each picture is read and written in turn.
      {"first", {"reading  0/3", "frames  0/3", "frames  3/3", "done"}, "reading  3/3"},
      // One pass or two, as the library does it: only the end is pinned.
      {"frame", {"frames  3/3", "done"}, nullptr},
  };
  for (const auto& c : cases) {
    for (const std::vector<std::string>& pictures :
         {std::vector<std::string>{Path("a.png")}, {Path("a.png"), Path("b.png"), Path("a.png")}}) {
      SCOPED_TRACE(std::string(c.mode) + " " + std::to_string(pictures.size()));
      std::vector<std::string> args = {"create", "-o", Path("out.gif"), "--palette", c.mode};
      args.insert(args.end(), pictures.begin(), pictures.end());
      const RunResult r = Zoetra(args, terminal);
      ASSERT_EQ(r.status, 0) << r.err;
      const std::vector<int> fills = BarFills(r.err);
      ASSERT_GE(fills.size(), 2u) << r.err;
      EXPECT_EQ(fills.front(), 0);
      EXPECT_EQ(fills.back(), 30);
      EXPECT_TRUE(std::is_sorted(fills.begin(), fills.end())) << ::testing::PrintToString(fills);
      if (pictures.size() != 3) continue;
      std::size_t at = 0;
      for (const std::string& text : c.in_order) {
        at = r.err.find("] " + text, at);
        ASSERT_NE(at, std::string::npos) << text << " missing or out of order in " << r.err;
      }
      if (c.never != nullptr) {
        EXPECT_EQ(r.err.find(c.never), std::string::npos) << r.err;
      }
    }
  }
}

}  // namespace
}  // namespace zoetra::clitest

// The command's messages name pictures from lists as a person may safely see
// them: bytes that drive a terminal written out, long names shortened.
#include <gtest/gtest.h>

#include <string>

#include "cli_support.hpp"

namespace zoetra::clitest {
namespace {

TEST(MessagesTest, NamesFromAListAreShownEscapedAndShortened) {
  using namespace std::string_literals;
  const TempDir dir;
  std::string deep = dir.Path("missing");
  for (int i = 0; i < 30; ++i) deep += "/folder-" + std::to_string(i);
  deep += "/last.png";
  ASSERT_GT(deep.size(), 300u);
  const std::string huge = dir.Path(std::string(1 << 20, 'n') + "/end.png");
  const auto shortened = [](const std::string& name) {
    return name.substr(0, 80) + "...(" + std::to_string(name.size() - 180) + " bytes left out)..." +
           name.substr(name.size() - 100);
  };
  const struct {
    const char* what;
    std::string line;  // of the list
    std::string err;
  } cases[] = {
      {"a window title", dir.Path("a\x1b]0;owned\x07.png"),
       "zoetra: File not found: " + dir.Path("a\\x1b]0;owned\\x07.png") + " (error 53)\n"},
      {"a long name", deep, "zoetra: File not found: " + shortened(deep) + " (error 53)\n"},
      {"1 MiB, longer than any path", huge,
       "zoetra: " + dir.Path("list.txt") + ": line 2 is longer than any file name can be (" +
           std::to_string(huge.size()) + " bytes): " + shortened(huge) + "\n"},
      {"a NUL, where the name would end", "\0"s + dir.Path("b.png"),
       "zoetra: " + dir.Path("list.txt") +
           ": line 2 holds a NUL byte, which no file name can: \\0" + dir.Path("b.png") + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteAll(dir.Path("list.txt"), "\n" + c.line + "\n");
    const RunResult r =
        Zoetra({"create", "-q", "-o", dir.Path("out.gif"), "--list", dir.Path("list.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
  }
}

}  // namespace
}  // namespace zoetra::clitest

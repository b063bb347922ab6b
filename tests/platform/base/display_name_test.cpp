#include "platform/base/display_name.hpp"

#include <gtest/gtest.h>

#include <string>

namespace zoetra::platform {
namespace {

using namespace std::string_literals;

TEST(DisplayNameTest, ControlsAndInvalidUtf8AreWrittenOut) {
  const struct {
    std::string in;
    std::string shown;
  } cases[] = {
      {"", ""},
      {"photos/shot 1.png", "photos/shot 1.png"},
      {"a\x1b]0;owned\x07z.png", "a\\x1b]0;owned\\x07z.png"},  // sets a window title
      {"line\nbreak\r\ttab", "line\\nbreak\\r\\ttab"},
      {"a\0b.png"s, "a\\0b.png"},
      {"del\x7f", "del\\x7f"},
      {"back\\slash", "back\\slash"},
      {"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80"},
      {"\xc2\xa0nbsp \xf4\x8f\xbf\xbf", "\xc2\xa0nbsp \xf4\x8f\xbf\xbf"},  // U+00A0, U+10FFFF
      {"\xc2\x9b"
       "31m",
       "\\xc2\\x9b31m"},  // CSI as a C1 control
      {"\xff\x80x", "\\xff\\x80x"},
      {"cut \xe6\x97", "cut \\xe6\\x97"},
      {"cut \xe6\x97x", "cut \\xe6\\x97x"},
      {"over\xc0\xaf", "over\\xc0\\xaf"},
      {"over\xe0\x80\xaf", "over\\xe0\\x80\\xaf"},
      {"surrogate\xed\xa0\x80", "surrogate\\xed\\xa0\\x80"},
      {"past\xf4\x90\x80\x80", "past\\xf4\\x90\\x80\\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DisplayText(c.in), c.shown) << c.shown;
    EXPECT_EQ(DisplayName(c.in), c.shown) << c.shown;
  }
}

TEST(DisplayNameTest, LongNamesKeepTheirEndsAndCountWhatIsLeftOut) {
  const std::string a80(80, 'a'), z100(100, 'z');
  const struct {
    const char* what;
    std::string in;
    std::string shown;
  } cases[] = {
      {"at the limit", std::string(kDisplayNameMax, 'n'), std::string(kDisplayNameMax, 'n')},
      {"one past it", a80 + std::string(21, 'm') + z100, a80 + "...(21 bytes left out)..." + z100},
      {"50 MB", a80 + std::string(50 << 20, 'm') + z100,
       a80 + "...(52428800 bytes left out)..." + z100},
      // Cuts fall between characters: the head gives up the character it
      // would split, the tail starts after the one it would.
      {"characters across the cuts",
       std::string(79, 'a') + "\xe6\x97\xa5" + std::string(100, 'm') + "\xe6\x97\xa5" +
           std::string(98, 'z'),
       std::string(79, 'a') + "...(106 bytes left out)..." + std::string(98, 'z')},
      {"controls in the kept ends", "\x1b" + std::string(300, 'm') + "\n",
       "\\x1b" + std::string(79, 'm') + "...(122 bytes left out)..." + std::string(99, 'm') +
           "\\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DisplayName(c.in), c.shown) << c.what;
  }
  // The text of a message is never shortened.
  EXPECT_EQ(DisplayText(std::string(1000, 'x')), std::string(1000, 'x'));
}

}  // namespace
}  // namespace zoetra::platform

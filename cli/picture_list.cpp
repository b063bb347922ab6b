// zoetra create's picture lists: names from a file, natural order, and the
// small values the slideshow options take.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "cli/commands.hpp"
#include "platform/base/display_name.hpp"

namespace zoetra::cli {

bool ReadPictureList(const std::string& file, std::vector<std::string>& names) {
  std::ifstream opened;
  std::istream* in = &std::cin;
  if (file != kStdStream) {
    opened.open(file, std::ios::binary);
    if (!opened) {
      ReportMessage("cannot read the list of pictures", file, std::strerror(errno));
      return false;
    }
    in = &opened;
  }
  const std::string list_name = file == kStdStream ? "standard input" : file;
  std::string line;
  for (std::size_t number = 1; std::getline(*in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // No file name holds a NUL (opened, the name would end there, at another
    // file), and none is as long as PATH_MAX.
    std::string wrong;
    if (line.find('\0') != std::string::npos) {
      wrong = "holds a NUL byte, which no file name can";
    } else if (line.size() >= PATH_MAX) {
      wrong = "is longer than any file name can be (" + std::to_string(line.size()) + " bytes)";
    }
    if (!wrong.empty()) {
      ReportMessage(
          "line " + std::to_string(number) + " " + wrong + ": " + platform::DisplayName(line),
          list_name);
      return false;
    }
    if (!line.empty()) names.push_back(line);
  }
  if (in->bad()) {
    ReportMessage("cannot read the list of pictures", list_name, std::strerror(errno));
    return false;
  }
  return true;
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// -1, 0 or 1 as a is before, equal to or after b, numbers by value.
int NaturalCompare(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && IsDigit(a[ei])) ++ei;
      while (ej < b.size() && IsDigit(b[ej])) ++ej;
      std::size_t si = i, sj = j;  // past leading zeros
      while (si + 1 < ei && a[si] == '0') ++si;
      while (sj + 1 < ej && b[sj] == '0') ++sj;
      // More significant digits is larger; equal lengths compare digit by digit.
      if (ei - si != ej - sj) return ei - si < ej - sj ? -1 : 1;
      if (const int c = a.substr(si, ei - si).compare(b.substr(sj, ej - sj)); c != 0) return c < 0 ? -1 : 1;
      i = ei;
      j = ej;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

}  // namespace

bool NaturalLess(std::string_view a, std::string_view b) {
  const int c = NaturalCompare(a, b);
  return c != 0 ? c < 0 : a < b;
}

bool ParseSize(std::string_view text, std::int64_t* width, std::int64_t* height) {
  const std::size_t x = text.find_first_of("xX");
  if (x == std::string_view::npos) return false;
  const auto number = [](std::string_view digits, std::int64_t* out) {
    if (digits.empty() || digits.size() > 9) return false;
    std::int64_t v = 0;
    for (const char c : digits) {
      if (!IsDigit(c)) return false;
      v = v * 10 + (c - '0');
    }
    *out = v;
    return true;
  };
  return number(text.substr(0, x), width) && number(text.substr(x + 1), height);
}

bool ParseColour(std::string_view text, std::uint32_t* rgb) {
  if (!text.empty() && text.front() == '#') text.remove_prefix(1);
  if (text.size() != 6) return false;
  std::uint32_t v = 0;
  for (const char c : text) {
    int d;
    if (IsDigit(c)) d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v * 16 + static_cast<std::uint32_t>(d);
  }
  *rgb = v;
  return true;
}

}  // namespace zoetra::cli

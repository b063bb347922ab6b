#include "platform/base/display_name.hpp"

#include <cstdio>

namespace zoetra::platform {
namespace {

// What a shortened name keeps: the start, and the end, where the file's own
// name is. Together well under kDisplayNameMax, so at least 20 bytes go.
constexpr std::size_t kHeadKept = 80;
constexpr std::size_t kTailKept = 100;

unsigned char ByteAt(std::string_view text, std::size_t at) {
  return static_cast<unsigned char>(text[at]);
}

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence at `at`, or 0 (overlong forms,
// surrogates and code points past U+10FFFF are not valid).
std::size_t Utf8Length(std::string_view text, std::size_t at) {
  const unsigned char lead = ByteAt(text, at);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  const unsigned char second = ByteAt(text, at + 1);
  if (second < low || second > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!IsContinuation(ByteAt(text, at + i))) return 0;
  }
  return length;
}

// The bytes a character takes, an invalid byte counting as one.
std::size_t CharLength(std::string_view text, std::size_t at) {
  const std::size_t length = Utf8Length(text, at);
  return length == 0 ? 1 : length;
}

bool IsControl(std::string_view text, std::size_t at, std::size_t length) {
  const unsigned char c = ByteAt(text, at);
  if (length == 1) return c < 0x20 || c == 0x7F;
  // U+0080 to U+009F: some terminals act on these as they do on ESC sequences.
  return length == 2 && c == 0xC2 && ByteAt(text, at + 1) < 0xA0;
}

void AppendEscaped(std::string& out, unsigned char c) {
  switch (c) {
    case '\0':
      out += "\\0";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    default: {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
}

}  // namespace

std::string DisplayText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = Utf8Length(text, at);
    if (length != 0 && !IsControl(text, at, length)) {
      out.append(text, at, length);
      at += length;
      continue;
    }
    const std::size_t end = at + (length == 0 ? 1 : length);
    for (; at < end; ++at) AppendEscaped(out, ByteAt(text, at));
  }
  return out;
}

std::string DisplayName(std::string_view name) {
  if (name.size() <= kDisplayNameMax) return DisplayText(name);
  // Cut between characters, never inside one.
  std::size_t head = 0;
  while (head + CharLength(name, head) <= kHeadKept) head += CharLength(name, head);
  std::size_t tail = name.size() - kTailKept;
  for (int i = 0; i < 3 && IsContinuation(ByteAt(name, tail)); ++i) ++tail;
  return DisplayText(name.substr(0, head)) + "...(" + std::to_string(tail - head) +
         " bytes left out)..." + DisplayText(name.substr(tail));
}

}  // namespace zoetra::platform

// Messages on standard error, in one format for every command.
#include <cstdio>
#include <string>

#include "cli/commands.hpp"

namespace zoetra::cli {
namespace {

void WriteLine(const std::string& line) {
  std::fputs(line.c_str(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

std::string Prefix(std::string_view subject) {
  std::string text = "zoetra: ";
  if (!subject.empty()) {
    text += subject;
    text += ": ";
  }
  return text;
}

std::string Reason(std::string_view reason) {
  return reason.empty() ? std::string() : "\n  " + std::string(reason);
}

}  // namespace

std::string ErrorNumberText(std::int32_t number) {
  char text[16];
  if (number < 0 || number > 0xFFFF) {
    std::snprintf(text, sizeof text, "0x%08X", static_cast<std::uint32_t>(number));
  } else {
    std::snprintf(text, sizeof text, "%d", static_cast<int>(number));
  }
  return text;
}

void ReportFailure(const Error& failure, std::string_view subject, std::string_view reason) {
  std::string text = Prefix(subject);
  // Error reports hold CR LF between their lines; a terminal would overwrite
  // the start of the line at each CR.
  const std::string& description = failure.description();
  for (std::size_t i = 0; i < description.size(); ++i) {
    const char c = description[i];
    if (c == '\r' && i + 1 < description.size() && description[i + 1] == '\n') continue;
    if (c == '\n' || c == '\r') {
      text += "\n  ";
    } else {
      text += c;
    }
  }
  text += " (error " + ErrorNumberText(failure.number());
  if (!failure.source().empty() && failure.source() != kPlatformSource) text += ", source " + failure.source();
  text += ")";
  WriteLine(text + Reason(reason));
}

void ReportMessage(std::string_view message, std::string_view subject, std::string_view reason) {
  WriteLine(Prefix(subject) + std::string(message) + Reason(reason));
}

}  // namespace zoetra::cli

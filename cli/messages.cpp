// Messages on standard error, in one format for every command.
#include <cstdio>
#include <string>

#include "cli/commands.hpp"
#include "platform/base/display_name.hpp"

namespace zoetra::cli {
namespace {

void WriteLine(const std::string& line) {
  std::fputs(line.c_str(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

// Names and texts from files and lists may hold anything: shown escaped, so no
// byte of theirs can drive the terminal or end the line early.
std::string Prefix(std::string_view subject) {
  std::string text = "zoetra: ";
  if (!subject.empty()) {
    text += platform::DisplayName(subject);
    text += ": ";
  }
  return text;
}

std::string Reason(std::string_view reason) {
  return reason.empty() ? std::string() : "\n  " + platform::DisplayText(reason);
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
  std::string_view description = failure.description();
  for (;;) {
    const std::size_t end = description.find_first_of("\r\n");
    text += platform::DisplayText(description.substr(0, end));
    if (end == std::string_view::npos) break;
    const bool crlf =
        description[end] == '\r' && end + 1 < description.size() && description[end + 1] == '\n';
    description.remove_prefix(end + (crlf ? 2 : 1));
    text += "\n  ";
  }
  text += " (error " + ErrorNumberText(failure.number());
  if (!failure.source().empty() && failure.source() != kPlatformSource)
    text += ", source " + platform::DisplayText(failure.source());
  text += ")";
  WriteLine(text + Reason(reason));
}

void ReportMessage(std::string_view message, std::string_view subject, std::string_view reason) {
  WriteLine(Prefix(subject) + platform::DisplayText(message) + Reason(reason));
}

}  // namespace zoetra::cli

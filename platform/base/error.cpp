#include "platform/base/error.hpp"

#include "platform/base/display_name.hpp"

namespace zoetra {

void RaiseError(std::int32_t number, std::string description, std::string source) {
  throw Error(number, std::move(description), std::move(source));
}
void RaiseOverflow() { RaiseError(kErrOverflow, "Overflow"); }
void RaiseSubscript() { RaiseError(kErrSubscript, "Subscript out of range"); }
void RaiseDivisionByZero() { RaiseError(kErrDivisionByZero, "Division by zero"); }
void RaiseTypeMismatch() { RaiseError(kErrTypeMismatch, "Type mismatch"); }
void RaiseOutOfMemory() { RaiseError(kErrOutOfMemory, "Out of memory"); }
void RaiseFileNotFound() { RaiseError(kErrFileNotFound, "File not found"); }
void RaisePathAccess(std::string_view path, std::string_view why) {
  std::string text = "Path/File access error: ";
  text.append(platform::DisplayName(path));
  if (!why.empty()) {
    text.append(" (");
    text.append(why);
    text.append(")");
  }
  RaiseError(kErrPathAccess, std::move(text));
}

namespace {
constexpr std::string_view kInvalidArgumentTitle = "Invalid procedure call or argument: ";
}  // namespace

void RaiseInvalidArgument(std::string_view why) {
  RaiseError(kErrInvalidArgument, std::string(kInvalidArgumentTitle) + std::string(why));
}

std::string_view InvalidArgumentReason(const Error& failure) {
  std::string_view why = failure.description();
  if (why.rfind(kInvalidArgumentTitle, 0) == 0) why.remove_prefix(kInvalidArgumentTitle.size());
  return why;
}

}  // namespace zoetra

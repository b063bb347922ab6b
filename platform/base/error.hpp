// Failures of the system: exceptions carrying a number, a description and a source.
//
// Every layer raises `zoetra::Error`. The numbers are the run-time error numbers
// callers and error reports depend on; the helpers below raise the platform's own
// failures with fixed texts and the source "ZoetraCom".
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "platform/base/export.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra {

// The error numbers the library raises.
inline constexpr std::int32_t kErrInvalidArgument = 5;
inline constexpr std::int32_t kErrOverflow = 6;
inline constexpr std::int32_t kErrOutOfMemory = 7;
inline constexpr std::int32_t kErrSubscript = 9;
inline constexpr std::int32_t kErrDivisionByZero = 11;
inline constexpr std::int32_t kErrTypeMismatch = 13;
inline constexpr std::int32_t kErrStopped = 18;  // the host asked the work to stop (platform/base/yield.hpp)
inline constexpr std::int32_t kErrInternal = 51;  // a failure from outside the library's own errors
inline constexpr std::int32_t kErrFileNotFound = 53;
inline constexpr std::int32_t kErrPathAccess = 75;
inline constexpr std::int32_t kErrInvalidPicture = 481;
// COM object-error base 0x80040000 + 1001: the component's own error.
inline constexpr std::int32_t kErrComponent = static_cast<std::int32_t>(0x800403E9u);

inline constexpr std::string_view kPlatformSource = "ZoetraCom";

class Error : public std::exception {
 public:
  Error(std::int32_t number, std::string description, std::string source = std::string(kPlatformSource))
      : number_(number), description_(std::move(description)), source_(std::move(source)) {}

  std::int32_t number() const noexcept { return number_; }
  const std::string& description() const noexcept { return description_; }
  const std::string& source() const noexcept { return source_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::int32_t number_;
  std::string description_;
  std::string source_;
};

[[noreturn]] void RaiseError(std::int32_t number, std::string description,
                             std::string source = std::string(kPlatformSource));
[[noreturn]] void RaiseOverflow();
[[noreturn]] void RaiseSubscript();
[[noreturn]] void RaiseDivisionByZero();
[[noreturn]] void RaiseTypeMismatch();
[[noreturn]] void RaiseOutOfMemory();
// "File not found"; the path is kept out of the description so that reports stay exact.
[[noreturn]] void RaiseFileNotFound();
// Access failure on a path that exists (permissions, I/O error): "Path/File access error: <path>".
[[noreturn]] void RaisePathAccess(std::string_view path, std::string_view why);
// A value or argument out of bounds, said why: "Invalid procedure call or argument: <why>" (5).
[[noreturn]] void RaiseInvalidArgument(std::string_view why);
// The why of such a failure, for front ends that show it as their own usage error.
std::string_view InvalidArgumentReason(const Error& failure);

}  // namespace zoetra

ZOETRA_PUBLIC_END

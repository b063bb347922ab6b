// Path helpers used on the output file name. Paths are text with exactly two
// separators, ":" and "\"; every other character (the forward slash included)
// is ordinary. FileExists swallows every failure of the attribute query; the
// text helpers cannot fail.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/export.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra::mdFile {

// True when the attribute query succeeds and the path is not a directory.
bool FileExists(std::string_view path) noexcept;
// Everything after the last "." of the last path component, or "".
std::string GetFileExtension(std::string_view path);
// The last component without its extension; with keepPath non-zero, the whole
// path without the extension of its last component.
std::string GetFileBaseName(std::string_view path, std::int16_t keepPath);

}  // namespace zoetra::mdFile

ZOETRA_PUBLIC_END

#include "component/mdfile.hpp"

#include "platform/base/files.hpp"

namespace zoetra::mdFile {
namespace {
bool IsSeparator(char c) { return c == ':' || c == '\\'; }
}  // namespace

bool FileExists(std::string_view path) noexcept {
  const auto attributes = platform::GetFileAttributes(path);
  return attributes && (*attributes & platform::kFileAttributeDirectory) == 0;
}

std::string GetFileExtension(std::string_view path) {
  for (std::size_t i = path.size(); i-- > 0;) {
    if (path[i] == '.') return std::string(path.substr(i + 1));
    if (IsSeparator(path[i])) break;
  }
  return {};
}

std::string GetFileBaseName(std::string_view path, std::int16_t keepPath) {
  // Positions are 1-based as in the host's string functions.
  std::size_t start = 1;
  std::size_t dot_end = 0;
  for (std::size_t i = path.size(); i >= 1; --i) {
    const char c = path[i - 1];
    if (c == '.') {
      if (keepPath != 0) return std::string(path.substr(0, i - 1));
      if (dot_end == 0) dot_end = i - 1;
    } else if (IsSeparator(c)) {
      start = keepPath != 0 ? 1 : i + 1;
      break;
    }
  }
  if (dot_end == 0) return start > path.size() ? std::string() : std::string(path.substr(start - 1));
  if (dot_end < start) return {};
  return std::string(path.substr(start - 1, dot_end - start + 1));
}

}  // namespace zoetra::mdFile

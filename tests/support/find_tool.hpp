// Test helper: finding another program the tests compare against or drive.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <string>

namespace zoetra::test {

// The first of `names` found on PATH (or, for an absolute name, where it says), or "".
inline std::string FindTool(std::initializer_list<const char*> names) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return {};
  for (const char* name : names) {
    if (name[0] == '/') {
      if (::access(name, X_OK) == 0) return name;
      continue;
    }
    std::string dirs = path;
    std::size_t start = 0;
    while (start <= dirs.size()) {
      const std::size_t end = std::min(dirs.find(':', start), dirs.size());
      const std::string candidate = dirs.substr(start, end - start) + "/" + name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      start = end + 1;
    }
  }
  return {};
}

}  // namespace zoetra::test

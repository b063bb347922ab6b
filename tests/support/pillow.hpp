// Test helper: the Python interpreter that has Pillow, the independent picture
// reader and writer several tests compare against.
#pragma once

#include <cstdlib>
#include <string>

namespace zoetra::test {

// Its path, or "" when no interpreter here has Pillow. The system's interpreter
// comes first: that is where the distribution installs the library.
inline const std::string& PillowPython() {
  static const std::string found = [] {
    for (const char* candidate : {"/usr/bin/python3", "python3"}) {
      const std::string command = std::string(candidate) + " -c \"import PIL\" >/dev/null 2>&1";
      if (std::system(command.c_str()) == 0) return std::string(candidate);
    }
    return std::string();
  }();
  return found;
}

}  // namespace zoetra::test

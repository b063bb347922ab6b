// Test helper: whether a process is writing a file in a folder that it will
// put in place later (the atomic writer's unnamed file, or its hidden one), as
// the process's open files in /proc show it.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace zoetra::test {

inline bool WritingIn(pid_t pid, const std::string& folder) {
  std::error_code ec;
  const std::string dir = std::filesystem::canonical(folder, ec).string() + "/";
  if (ec) return false;
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (auto it = std::filesystem::directory_iterator(fds, ec); !ec && it != decltype(it)(); it.increment(ec)) {
    char target[4096];
    const ssize_t n = ::readlink(it->path().c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    const std::string file(target, static_cast<std::size_t>(n));
    if (file.rfind(dir, 0) != 0) continue;
    const std::string name = file.substr(dir.size());
    // "#<inode> (deleted)" for a file without a name; ".<name>.<pid>....tmp" for a hidden one.
    if ((name.front() == '#' && name.ends_with(" (deleted)")) || (name.front() == '.' && name.ends_with(".tmp"))) {
      return true;
    }
  }
  return false;
}

}  // namespace zoetra::test

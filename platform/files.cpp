#include "platform/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "platform/error.hpp"

namespace zoetra::platform {
namespace {

constexpr std::size_t kWriteBuffer = 64 * 1024;

std::string Str(std::string_view s) { return std::string(s); }

[[noreturn]] void RaiseForErrno(std::string_view path, int err) {
  if (err == ENOENT || err == ENOTDIR) RaiseFileNotFound();
  RaisePathAccess(path, std::strerror(err));
}

}  // namespace

std::optional<std::uint32_t> GetFileAttributes(std::string_view path) noexcept {
  if (path.empty()) return std::nullopt;
  struct stat st {};
  if (::stat(Str(path).c_str(), &st) != 0) return std::nullopt;
  std::uint32_t attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= kFileAttributeDirectory;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attributes |= kFileAttributeReadOnly;
  return attributes == 0 ? kFileAttributeNormal : attributes;
}

std::int64_t FileLen(std::string_view path) {
  struct stat st {};
  if (path.empty()) RaiseFileNotFound();
  if (::stat(Str(path).c_str(), &st) != 0) RaiseForErrno(path, errno);
  if (S_ISDIR(st.st_mode)) RaisePathAccess(path, "is a directory");
  return static_cast<std::int64_t>(st.st_size);
}

void KillFile(std::string_view path) {
  if (path.empty()) RaiseFileNotFound();
  if (::unlink(Str(path).c_str()) != 0) RaiseForErrno(path, errno);
}

std::vector<std::uint8_t> ReadFileBytes(std::string_view path, std::size_t max_bytes) {
  if (path.empty()) RaiseFileNotFound();
  const int fd = ::open(Str(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) RaiseForErrno(path, errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    const int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    RaiseForErrno(path, err);
  }
  if (static_cast<std::uint64_t>(st.st_size) > max_bytes) {
    ::close(fd);
    RaisePathAccess(path, "file too large");
  }
  std::vector<std::uint8_t> data;
  data.reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t chunk[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      RaiseForErrno(path, err);
    }
    if (n == 0) break;
    if (data.size() + static_cast<std::size_t>(n) > max_bytes) {
      ::close(fd);
      RaisePathAccess(path, "file too large");
    }
    data.insert(data.end(), chunk, chunk + n);
  }
  ::close(fd);
  return data;
}

AtomicFile::~AtomicFile() { Abandon(); }

bool AtomicFile::Open(std::string_view target) {
  Abandon();
  failed_ = false;
  target_ = Str(target);
  if (target_.empty() || target_.back() == '/') return false;
  // Only a regular file is replaced: renaming over a device, a pipe or a socket
  // (or a link to one, like /dev/stdout) would swap the node itself for a file.
  struct stat st {};
  if (::stat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return false;
  const std::size_t slash = target_.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  static std::atomic<std::uint32_t> counter{0};
  std::random_device rd;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.%08x.tmp", static_cast<long>(::getpid()),
                  counter.fetch_add(1), static_cast<unsigned>(rd()));
    // Hidden name in the same directory so the final rename stays on one file system.
    temp_path_ = dir + "." + name + suffix;
    fd_ = ::open(temp_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) break;
    if (errno != EEXIST) break;
  }
  if (fd_ < 0) {
    temp_path_.clear();
    return false;
  }
  buffer_.clear();
  buffer_.reserve(kWriteBuffer);
  return true;
}

bool AtomicFile::Flush() {
  std::size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      failed_ = true;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  buffer_.clear();
  return true;
}

bool AtomicFile::Write(std::span<const std::uint8_t> bytes) {
  if (!ok()) return false;
  if (buffer_.size() + bytes.size() > kWriteBuffer && !Flush()) return false;
  if (bytes.size() >= kWriteBuffer) {
    buffer_.assign(bytes.begin(), bytes.end());
    return Flush();
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return true;
}

bool AtomicFile::Commit() {
  if (!ok() || !Flush() || ::fsync(fd_) != 0) {
    Abandon();
    return false;
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 || ::rename(temp_path_.c_str(), target_.c_str()) != 0) {
    ::unlink(temp_path_.c_str());
    temp_path_.clear();
    return false;
  }
  temp_path_.clear();
  return true;
}

void AtomicFile::Abandon() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temp_path_.empty()) {
    ::unlink(temp_path_.c_str());
    temp_path_.clear();
  }
  buffer_.clear();
}

}  // namespace zoetra::platform

#include "platform/base/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "platform/base/display_name.hpp"
#include "platform/base/error.hpp"

namespace zoetra::platform {
namespace {

constexpr std::size_t kWriteBuffer = 64 * 1024;

std::string Str(std::string_view s) { return std::string(s); }

[[noreturn]] void RaiseForErrno(std::string_view path, int err) {
  if (err == ENOENT || err == ENOTDIR) RaiseFileNotFound();
  RaisePathAccess(path, std::strerror(err));
}

// Every caller reads with the host's max_file_bytes as its bound.
[[noreturn]] void RaiseTooLarge(std::string_view path, std::size_t max_bytes) {
  RaisePathAccess(path, "file too large: over the limit of " + std::to_string(max_bytes) +
                            " bytes (max_file_bytes); a host raises it with SetLimits");
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

bool SameFile(std::string_view a, std::string_view b) noexcept {
  struct stat sa {
  }, sb{};
  if (a.empty() || b.empty()) return false;
  if (::stat(Str(a).c_str(), &sa) != 0 || ::stat(Str(b).c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void CheckReadable(std::string_view path) {
  const int fd = path.empty() ? -1 : ::open(Str(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int err = path.empty() ? ENOENT : errno;
    if (err == ENOENT || err == ENOTDIR)
      RaiseError(kErrFileNotFound, "File not found: " + DisplayName(path));
    RaisePathAccess(path, std::strerror(err));
  }
  struct stat st {};
  const bool directory = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  ::close(fd);
  if (directory) RaisePathAccess(path, "is a directory");
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
    RaiseTooLarge(path, max_bytes);
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
      RaiseTooLarge(path, max_bytes);
    }
    data.insert(data.end(), chunk, chunk + n);
  }
  ::close(fd);
  return data;
}

namespace {

thread_local int t_last_error = 0;

// Unfinished atomic files, readable from a signal handler: fixed storage, and
// a state per entry that says whether its path may be read.
enum TrackState : int { kFree, kFilling, kLive, kRemoving };

struct TrackedFile {
  std::atomic<int> state{kFree};
  char path[4096];
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

constexpr int kTrackedFiles = 64;
TrackedFile g_tracked[kTrackedFiles];
std::atomic<bool> g_abandoned{false};
std::atomic<bool> g_unnamed{true};

// Its slot, or -1 when the table is full or the path too long: that file is
// then not removed by AbandonUnfinishedFiles.
int Track(const std::string& path) {
  if (path.size() >= sizeof(TrackedFile::path)) return -1;
  for (int i = 0; i < kTrackedFiles; ++i) {
    int expected = kFree;
    if (!g_tracked[i].state.compare_exchange_strong(expected, kFilling)) continue;
    std::memcpy(g_tracked[i].path, path.c_str(), path.size() + 1);
    g_tracked[i].state.store(kLive);
    return i;
  }
  return -1;
}

void Untrack(int slot) {
  if (slot < 0) return;
  // A handler on another thread may be removing the file right now; wait for it.
  int expected = kLive;
  while (!g_tracked[slot].state.compare_exchange_weak(expected, kFree)) expected = kLive;
}

// Follows symbolic links from `path` to the file they lead to, which need not
// exist. 0, or the error that stops it.
int FollowLinks(std::string& path) {
  for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
    if (!S_ISLNK(st.st_mode)) return 0;
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 256), '\0');
    for (;;) {
      const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
      if (n < 0) return errno;
      if (static_cast<std::size_t>(n) < link.size()) {
        link.resize(static_cast<std::size_t>(n));
        break;
      }
      link.resize(link.size() * 2);  // changed since lstat
    }
    if (link.empty()) return ENOENT;
    if (link[0] == '/') {
      path = link;
    } else {
      const std::size_t slash = path.rfind('/');
      path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + link;
    }
  }
  return ELOOP;
}

}  // namespace

int LastFileError() noexcept { return t_last_error; }

void detail::UseUnnamedFiles(bool use) noexcept { g_unnamed.store(use); }

std::string LastFileErrorText() {
  switch (t_last_error) {
    case 0:
      return {};
    case ENOTSUP:
      return "Not a regular file";  // the writer's own refusal
    case ECANCELED:
      return "The save was abandoned";
    default:
      return std::strerror(t_last_error);
  }
}

void AbandonUnfinishedFiles() noexcept {
  // The flag first: an Open that slips past the table below sees it and cleans up.
  g_abandoned.store(true);
  const int saved_errno = errno;
  for (TrackedFile& file : g_tracked) {
    int expected = kLive;
    if (!file.state.compare_exchange_strong(expected, kRemoving)) continue;
    ::unlink(file.path);
    file.state.store(kLive);
  }
  errno = saved_errno;
}

AtomicFile::~AtomicFile() { Abandon(); }

template <typename Make>
int AtomicFile::NewHiddenFile(Make make) {
  const std::size_t slash = target_.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  static std::atomic<std::uint32_t> counter{0};
  std::random_device rd;
  int err = 0;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.%08x.tmp", static_cast<long>(::getpid()),
                  counter.fetch_add(1), static_cast<unsigned>(rd()));
    // Hidden, in the same directory so the final rename stays on one file system.
    temp_path_ = dir + "." + name + suffix;
    // Listed before it exists, so that a signal never finds it unlisted.
    slot_ = Track(temp_path_);
    err = make(temp_path_.c_str());
    if (err == 0) return 0;
    Untrack(slot_);
    slot_ = -1;
    if (err != EEXIST) break;
  }
  temp_path_.clear();
  return err;
}

bool AtomicFile::Fail(int error) {
  failed_ = true;
  Abandon();
  t_last_error = error;
  errno = error;
  return false;
}

bool AtomicFile::Open(std::string_view target) {
  Abandon();
  failed_ = false;
  t_last_error = 0;
  target_ = Str(target);
  if (target_.empty()) return Fail(ENOENT);
  if (g_abandoned.load()) return Fail(ECANCELED);
  if (const int err = FollowLinks(target_); err != 0) return Fail(err);
  if (target_.back() == '/') return Fail(EISDIR);
  struct stat st {};
  const bool exists = ::stat(target_.c_str(), &st) == 0;
  if (exists) {
    // Only a regular file is replaced: renaming over a device, a pipe or a
    // socket would swap the node itself for a file.
    if (S_ISDIR(st.st_mode)) return Fail(EISDIR);
    if (!S_ISREG(st.st_mode)) return Fail(ENOTSUP);
    // The rename needs only the folder's permission; a file the caller could
    // not write in place is not replaced either.
    if (::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) return Fail(errno);
  }
  const std::size_t slash = target_.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
  // Private until it has the old file's owner and mode.
  const mode_t mode = exists ? 0600 : 0666;
  // Unnamed where the file system allows: no crash or signal can leave it behind.
  if (g_unnamed.load() && ::access("/proc/self/fd", X_OK) == 0) {
    fd_ = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  }
  if (fd_ < 0) {
    const int err = NewHiddenFile([&](const char* path) {
      fd_ = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      return fd_ >= 0 ? 0 : errno;
    });
    if (err != 0) return Fail(err);
  }
  if (g_abandoned.load()) return Fail(ECANCELED);
  if (exists) {
    // Owner and group need privilege (or membership of the group); failures
    // leave ours, and then the set-id bits are not carried over.
    const bool owner_kept = ::fchown(fd_, st.st_uid, st.st_gid) == 0;
    if (!owner_kept && ::fchown(fd_, static_cast<uid_t>(-1), st.st_gid) != 0) {
      // the group stays ours too
    }
    if (::fchmod(fd_, st.st_mode & (owner_kept ? 07777 : 0777)) != 0) {
      // a file system without modes: it keeps its own
    }
  }
  buffer_.clear();
  buffer_.reserve(kWriteBuffer);
  return true;
}

bool AtomicFile::Flush() {
  if (g_abandoned.load()) return Fail(ECANCELED);
  std::size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
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
  if (!ok()) return Fail(t_last_error != 0 ? t_last_error : EBADF);
  if (!Flush()) return false;
  if (::fsync(fd_) != 0) return Fail(errno);
  if (temp_path_.empty() && !LinkUnnamed()) return false;
  const int fd = fd_;
  fd_ = -1;
  if (temp_path_.empty()) {
    // Linked as the target itself, which did not exist: a failure takes it away again.
    if (::close(fd) == 0) return true;
    const int err = errno;
    ::unlink(target_.c_str());
    return Fail(err);
  }
  if (::close(fd) != 0) return Fail(errno);
  // A signal from here on either finds the file unrenamed and removes it (the
  // rename then fails) or comes after the rename and finds nothing.
  if (g_abandoned.load()) return Fail(ECANCELED);
  if (::rename(temp_path_.c_str(), target_.c_str()) != 0) {
    const int err = errno;
    return Fail(g_abandoned.load() ? ECANCELED : err);
  }
  Untrack(slot_);
  slot_ = -1;
  temp_path_.clear();
  return true;
}

bool AtomicFile::LinkUnnamed() {
  if (g_abandoned.load()) return Fail(ECANCELED);
  char self[40];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
  // No file yet: the new one takes the name at once, complete and synced.
  if (::linkat(AT_FDCWD, self, AT_FDCWD, target_.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno != EEXIST) return Fail(errno);
  // Else a hidden name for the moment before the rename over the old file.
  const int err = NewHiddenFile(
      [&](const char* path) { return ::linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno; });
  return err == 0 || Fail(err);
}

void AtomicFile::Abandon() {
  const int saved_errno = errno;
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temp_path_.empty()) {
    ::unlink(temp_path_.c_str());
    temp_path_.clear();
  }
  // Only now: a signal before the unlink still finds the file listed.
  Untrack(slot_);
  slot_ = -1;
  buffer_.clear();
  errno = saved_errno;
}

}  // namespace zoetra::platform

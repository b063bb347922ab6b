// File services: attribute and length queries, deletion, whole-file reads, and
// an atomic writer that replaces a file only with a complete new one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/export.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra::platform {

inline constexpr std::uint32_t kFileAttributeReadOnly = 1;
inline constexpr std::uint32_t kFileAttributeDirectory = 16;
inline constexpr std::uint32_t kFileAttributeNormal = 128;

// Attributes of an existing path; nullopt when the query fails for any reason.
std::optional<std::uint32_t> GetFileAttributes(std::string_view path) noexcept;
// Length in bytes; a missing file raises "File not found" (53).
std::int64_t FileLen(std::string_view path);
// Deletes a file; a missing file raises 53, any other failure 75.
void KillFile(std::string_view path);
// Whether both paths exist and name the same file (through links or other paths).
bool SameFile(std::string_view a, std::string_view b) noexcept;
// Opens the file for reading and closes it again: "File not found: <path>" (53)
// when it is missing, 75 naming the path and the reason when it cannot be read
// (a directory, no permission).
void CheckReadable(std::string_view path);
// The whole file; 53 when missing, 75 when unreadable or longer than max_bytes.
std::vector<std::uint8_t> ReadFileBytes(std::string_view path, std::size_t max_bytes = SIZE_MAX);

// Writes a new file in `target`'s folder and puts it in `target`'s place on
// Commit. Where the file system allows, the file has no name until then
// (O_TMPFILE), so that a crash or a signal leaves nothing behind; elsewhere it
// is a hidden file beside the target ("." name "." pid ... ".tmp").
// A target that is a symbolic link (or a chain of them) stands for the file it
// leads to: that file is replaced, in its own folder, and the links stay; a
// dangling link gets the file it names. Open refuses a target that exists and
// is not a regular file (directory, device, pipe, socket, or a link to one), or
// that the caller may not write. A replaced file keeps its permission bits, and
// its owner and group where the process may set them; a new file gets 0666
// less the umask.
// Until then an existing target is untouched; a writer destroyed without a
// successful Commit removes its temporary file. Writes are buffered; any
// failure makes every later call fail, and Commit reports it.
class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  bool Open(std::string_view target);
  bool Write(std::span<const std::uint8_t> bytes);
  bool Write(const void* data, std::size_t size) {
    return Write(std::span(static_cast<const std::uint8_t*>(data), size));
  }
  // Flushes, syncs, closes and renames over the target. False on any failure,
  // after which the temporary file is gone and the target is as it was.
  bool Commit();
  void Abandon();
  bool ok() const { return fd_ >= 0 && !failed_; }
  // The hidden file's path; "" while the file has no name.
  const std::string& temp_path() const { return temp_path_; }

 private:
  bool Flush();
  bool Fail(int error);
  bool LinkUnnamed();
  template <typename Make>
  int NewHiddenFile(Make make);

  int fd_ = -1;
  int slot_ = -1;  // in the table of unfinished files, or -1
  bool failed_ = false;
  std::string target_;  // the file replaced: links followed
  std::string temp_path_;
  std::vector<std::uint8_t> buffer_;
};

// The system's error number (errno) behind the last failure of an AtomicFile on
// the calling thread, 0 when the last Open and everything after it succeeded.
// ENOTSUP stands for a target that is not a regular file, ECANCELED for a
// write cut short by AbandonUnfinishedFiles.
int LastFileError() noexcept;
// LastFileError as a person reads it ("Permission denied", "Not a regular
// file"), or "" when there was none.
std::string LastFileErrorText();

// For a process about to end on a signal: removes the temporary file of every
// AtomicFile of the process not yet committed, and makes their Commit and every
// later Open fail, so that no target is replaced from then on. Async-signal-safe.
void AbandonUnfinishedFiles() noexcept;

}  // namespace zoetra::platform

ZOETRA_PUBLIC_END

// Not exported: for the tests, which link the static library.
namespace zoetra::platform::detail {
// False makes later Opens use the hidden named file, as on a file system
// without unnamed files.
void UseUnnamedFiles(bool use) noexcept;
}  // namespace zoetra::platform::detail

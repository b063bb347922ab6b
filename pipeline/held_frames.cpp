#include "pipeline/held_frames.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/base/error.hpp"

namespace zoetra::pipeline {
namespace {

// An unnamed file in TMPDIR (or /tmp): gone as soon as it is closed.
int OpenSpillFile() {
  const char* dir = std::getenv("TMPDIR");
  const std::string where = dir != nullptr && *dir != '\0' ? dir : "/tmp";
  int fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::string name = where + "/zoetra-frames-XXXXXX";
    fd = ::mkstemp(name.data());
    if (fd >= 0) ::unlink(name.c_str());
  }
  if (fd < 0) {
    RaisePathAccess(where, std::string("cannot hold the frames in a temporary file: ") + std::strerror(errno));
  }
  return fd;
}

void RaiseSpill(const char* what) {
  RaiseError(kErrPathAccess, std::string("Path/File access error: the temporary file of held frames (cannot ") +
                                 what + ": " + std::strerror(errno) + ")");
}

}  // namespace

HeldFrames::HeldFrames(bool auto_orient, std::int64_t memory_bytes)
    : auto_orient_(auto_orient), memory_bytes_(memory_bytes) {}

HeldFrames::~HeldFrames() {
  if (spill_fd_ >= 0) ::close(spill_fd_);
}

void HeldFrames::Add(const PictureSource& picture, std::int32_t delay) {
  Held h;
  h.delay = delay;
  if (!picture.InMemory()) {
    h.file = picture.File();
    held_.push_back(std::move(h));
    return;
  }
  const PicturePixels& p = picture.Pixels();
  const std::size_t row = static_cast<std::size_t>(p.width) * PixelBytes(p.layout);
  const std::size_t size = row * static_cast<std::size_t>(p.height);
  h.width = p.width;
  h.height = p.height;
  h.layout = p.layout;
  const std::size_t stride = RowStride(p);
  if (in_memory_ + static_cast<std::int64_t>(size) <= memory_bytes_) {
    h.bytes.resize(size);
    for (std::int32_t y = 0; y < p.height; ++y) {
      std::memcpy(h.bytes.data() + row * static_cast<std::size_t>(y), p.data + stride * static_cast<std::size_t>(y), row);
    }
    in_memory_ += static_cast<std::int64_t>(size);
  } else {
    if (spill_fd_ < 0) spill_fd_ = OpenSpillFile();
    h.offset = spill_end_;
    for (std::int32_t y = 0; y < p.height; ++y) {
      const std::uint8_t* from = p.data + stride * static_cast<std::size_t>(y);
      std::size_t done = 0;
      while (done < row) {
        const ssize_t n = ::pwrite(spill_fd_, from + done, row - done,
                                   static_cast<off_t>(spill_end_ + static_cast<std::int64_t>(done)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) RaiseSpill("write a frame");
        done += static_cast<std::size_t>(n);
      }
      spill_end_ += static_cast<std::int64_t>(row);
    }
    spilled_ += static_cast<std::int64_t>(size);
  }
  held_.push_back(std::move(h));
}

void HeldFrames::Clear() {
  held_.clear();
  in_memory_ = 0;
  spilled_ = 0;
  spill_end_ = 0;
}

PicturePixels HeldFrames::PixelsOf(const Held& h, const std::uint8_t* data) const {
  PicturePixels p;
  p.data = data;
  p.width = h.width;
  p.height = h.height;
  p.layout = h.layout;
  return p;
}

std::vector<PictureSource> HeldFrames::List() const {
  std::vector<PictureSource> list;
  list.reserve(held_.size());
  for (const Held& h : held_) {
    if (h.offset >= 0) RaiseError(kErrInternal, "held frames in a temporary file make no list");
    if (h.file.empty()) {
      list.emplace_back(PixelsOf(h, h.bytes.data()));
    } else {
      list.emplace_back(h.file);
    }
  }
  return list;
}

void HeldFrames::Read(std::size_t k, bool keep_alpha, Decoded& out) const {
  const Held& h = held_[k];
  if (!h.file.empty()) {
    ReadFile(h.file, keep_alpha, auto_orient_, out);
  } else if (h.offset < 0) {
    ReadPixels(PixelsOf(h, h.bytes.data()), keep_alpha, out);
  } else {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(h.width) * PixelBytes(h.layout) *
                                    static_cast<std::size_t>(h.height));
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::pread(spill_fd_, bytes.data() + done, bytes.size() - done,
                                static_cast<off_t>(h.offset + static_cast<std::int64_t>(done)));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) RaiseSpill("read a frame back");
      done += static_cast<std::size_t>(n);
    }
    ReadPixels(PixelsOf(h, bytes.data()), keep_alpha, out);
  }
}

}  // namespace zoetra::pipeline

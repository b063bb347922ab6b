#include "gif/gif_scan.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "gif/gif_format.hpp"
#include "platform/base/error.hpp"
#include "platform/base/files.hpp"

namespace zoetra::gif_scan {
namespace {

constexpr std::size_t kBufferBytes = std::size_t{64} << 10;

std::string ByteCount(std::size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

bool Same(std::span<const std::uint8_t> bytes, const char* text) {
  const std::size_t n = std::strlen(text);
  return bytes.size() == n && std::memcmp(bytes.data(), text, n) == 0;
}

// `entries` colours of 3 bytes into a table of blue, green, red, 0; entries
// the data ends within stay 0.
void ReadTable(Input& in, std::int32_t entries, std::array<std::uint8_t, 1024>& table) {
  std::uint8_t rgb[3 * 256];
  const std::size_t want = 3 * static_cast<std::size_t>(entries);
  const std::size_t got = in.Read(rgb, want);
  for (std::size_t i = 0; i + 3 <= got; i += 3) {
    table[i / 3 * 4] = rgb[i + 2];
    table[i / 3 * 4 + 1] = rgb[i + 1];
    table[i / 3 * 4 + 2] = rgb[i];
  }
}

}  // namespace

Input::Input(std::span<const std::uint8_t> bytes) : window_(bytes), size_(static_cast<std::int64_t>(bytes.size())) {}

Input::Input(const std::string& path) {
  platform::CheckReadable(path);
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) RaisePathAccess(path, std::strerror(errno));
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) size_ = st.st_size;
  buffer_.resize(kBufferBytes);
}

Input::~Input() {
  if (fd_ >= 0) ::close(fd_);
}

bool Input::Refill() {
  if (fd_ < 0) return false;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
    if (n < 0 && errno == EINTR) continue;
    // A read error ends the data as the end of the file would.
    if (n <= 0) return false;
    window_ = std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(n));
    pos_ = 0;
    return true;
  }
}

int Input::Byte() {
  if (pos_ == window_.size() && !Refill()) return -1;
  ++offset_;
  return window_[pos_++];
}

std::size_t Input::Read(std::uint8_t* to, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    if (pos_ == window_.size() && !Refill()) break;
    const std::size_t k = std::min(n - done, window_.size() - pos_);
    std::memcpy(to + done, window_.data() + pos_, k);
    pos_ += k;
    done += k;
  }
  offset_ += done;
  return done;
}

void Input::Skip(std::uint64_t n) {
  while (n > 0) {
    if (pos_ == window_.size()) {
      // Whole buffers past the window are passed over without reading them.
      if (fd_ >= 0 && n > kBufferBytes && ::lseek(fd_, static_cast<off_t>(n), SEEK_CUR) >= 0) {
        offset_ += n;
        return;
      }
      if (!Refill()) return;
    }
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, window_.size() - pos_));
    pos_ += k;
    offset_ += k;
    n -= k;
  }
}

void Scanner::Warn(std::string text) {
  if (warnings_.size() < 16) {
    warnings_.push_back(std::move(text));
  } else {
    ++warnings_dropped_;
  }
}

bool Scanner::SubBlock(std::span<const std::uint8_t>& block) {
  const int count = in_.Byte();
  if (count <= 0) {
    if (count < 0) ended_ = true;
    return false;
  }
  // A sub-block cut short by the end of the data gives the bytes that are there.
  block = std::span<const std::uint8_t>(block_.data(), in_.Read(block_.data(), static_cast<std::size_t>(count)));
  if (block.size() < static_cast<std::size_t>(count)) ended_ = true;
  return true;
}

void Scanner::SkipSubBlocks() {
  for (;;) {
    const int count = in_.Byte();
    if (count <= 0) {
      if (count < 0) ended_ = true;
      return;
    }
    in_.Skip(static_cast<std::uint64_t>(count));
  }
}

bool Scanner::Start() {
  std::uint8_t head[6];
  if (in_.Read(head, 6) < 6) return false;
  screen_.signature.assign(reinterpret_cast<const char*>(head), 3);
  screen_.version.assign(reinterpret_cast<const char*>(head) + 3, 3);
  if (screen_.signature != "GIF" || (screen_.version != "87a" && screen_.version != "89a")) return false;
  // A screen record cut short is kept as zeros, as the loader keeps it.
  std::array<std::uint8_t, 7> record{};
  if (in_.Read(record.data(), record.size()) == record.size()) screen_.record = record;
  const auto& r = screen_.record;
  screen_.width = r[0] | (r[1] << 8);
  screen_.height = r[2] | (r[3] << 8);
  screen_.background = r[5];
  screen_.global = (r[4] & 0x80) != 0;
  if (screen_.global) {
    screen_.global_sorted = (r[4] & 0x08) != 0;
    screen_.global_entries = 2 << (r[4] & 0x07);
    ReadTable(in_, screen_.global_entries, screen_.global_table);
  }
  return true;
}

std::span<const std::uint8_t> Scanner::Data() {
  std::span<const std::uint8_t> block;
  if (!in_data_) return block;
  if (!SubBlock(block)) {
    in_data_ = false;
    return {};
  }
  return block;
}

bool Scanner::Next(Frame& frame) {
  if (in_data_) {
    SkipSubBlocks();
    in_data_ = false;
  }
  // The graphic control block's values wait for the image that follows it.
  Frame next;
  while (!ended_) {
    const std::uint64_t start = in_.Offset();
    const int introducer = in_.Byte();
    if (introducer < 0) break;
    const auto at_byte = [start] { return " at byte " + std::to_string(start); };
    if (introducer == gif_format::kTrailer) {
      trailer_ = true;
      break;
    }
    if (introducer == gif_format::kExtensionIntroducer) {
      const int label = in_.Byte();
      if (label < 0) break;
      std::span<const std::uint8_t> head;
      const bool has_head = SubBlock(head);
      if (label == gif_format::kGraphicControlLabel) {
        if (head.size() < 4) {
          Warn("graphic control block" + at_byte() + ": " + ByteCount(head.size()) + ", 4 needed; ignored");
        } else {
          next.delay = head[1] | (head[2] << 8);
          next.disposal = (head[0] & 0x1C) >> 2;
          next.user_input = (head[0] & 0x02) != 0;
          next.use_transparent = (head[0] & 0x01) != 0;
          if (next.use_transparent) next.transparent_index = head[3];
        }
      } else if (label == gif_format::kApplicationLabel) {
        if (head.size() != 11) {
          Warn("application block" + at_byte() + ": identifier of " + ByteCount(head.size()) +
               ", 11 needed; skipped");
        } else if (Same(head, "NETSCAPE2.0") || Same(head, "ANIMEXTS1.0")) {
          for (std::span<const std::uint8_t> sub; SubBlock(sub);) {
            if (sub.empty() || sub[0] != 1) continue;
            if (sub.size() < 3) {
              Warn("looping block" + at_byte() + ": loop sub-block of " + ByteCount(sub.size()) +
                   ", 3 needed; ignored");
              continue;
            }
            loop_count_ = sub[1] | (sub[2] << 8);
          }
          continue;  // the chain is over: its terminator was read
        }
      }
      if (has_head) SkipSubBlocks();
      continue;
    }
    if (introducer != gif_format::kImageSeparator) continue;  // a stray byte between blocks

    std::uint8_t d[9];
    if (in_.Read(d, 9) < 9) {
      ended_ = true;
      break;
    }
    next.index = ++frames_;
    next.offset = start;
    next.left = d[0] | (d[1] << 8);
    next.top = d[2] | (d[3] << 8);
    next.width = d[4] | (d[5] << 8);
    next.height = d[6] | (d[7] << 8);
    next.interlaced = (d[8] & 0x40) != 0;
    next.local = (d[8] & 0x80) != 0;
    if (next.local) {
      next.local_sorted = (d[8] & 0x20) != 0;
      next.local_entries = 2 << (d[8] & 0x07);
      ReadTable(in_, next.local_entries, next.table);
    } else {
      next.table = screen_.global_table;
    }
    const int code_size = in_.Byte();
    if (code_size < 0) {
      ended_ = true;
    } else {
      next.min_code_size = static_cast<std::uint8_t>(code_size);
      if (!gif_format::UsableMinCodeSize(next.min_code_size)) {
        Warn("frame " + std::to_string(next.index) + ": LZW minimum code size " + std::to_string(code_size) +
             " is outside 1 to 11; the frame is left empty (damaged)");
      }
      in_data_ = true;
    }
    frame = next;
    return true;
  }
  ended_ = true;
  if (warnings_dropped_ > 0) {
    warnings_.push_back("and " + std::to_string(warnings_dropped_) + " more warning" +
                        (warnings_dropped_ == 1 ? "" : "s") + " like these");
    warnings_dropped_ = 0;
  }
  return false;
}

}  // namespace zoetra::gif_scan

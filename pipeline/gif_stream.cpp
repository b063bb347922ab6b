#include "pipeline/gif_stream.hpp"

#include "pipeline/options.hpp"
#include "gif/gif_format.hpp"
#include "platform/base/arith.hpp"
#include "platform/base/error.hpp"
#include "platform/base/files.hpp"

namespace zoetra::pipeline {

void RaiseCannotSave(std::string_view name) {
  const std::string reason = platform::LastFileErrorText();
  RaisePathAccess(name, "cannot save the GIF" + (reason.empty() ? std::string() : ": " + reason));
}

void GifStream::Check(bool written) const {
  if (!written) RaiseCannotSave(name_);
}

void GifStream::Begin(std::int32_t width, std::int32_t height, const Table& global, std::int32_t entries,
                      std::int64_t loop) {
  // Hosts may raise the picture limits past what a GIF can describe.
  if (width > gif_blocks::kMaxSide || height > gif_blocks::kMaxSide) {
    RaiseError(kErrOverflow, "Overflow: the frames are " + std::to_string(width) + " x " + std::to_string(height) +
                                 " pixels, but a GIF frame is at most 32767 pixels a side");
  }
  std::array<std::uint8_t, 7> screen{static_cast<std::uint8_t>(width & 0xFF), static_cast<std::uint8_t>(width >> 8),
                                     static_cast<std::uint8_t>(height & 0xFF),
                                     static_cast<std::uint8_t>(height >> 8), 0, 0, gif_format::kSquarePixels};
  if (entries > 0) {
    global_exponent_ = gif_blocks::TableExponent(entries);
    const auto size = static_cast<std::uint8_t>(global_exponent_ - 1);
    screen[4] = static_cast<std::uint8_t>(0x80 | size << 4 | size);
  }
  Check(gif_blocks::WriteHeader(out_, true, screen));
  if (entries > 0) Check(gif_blocks::WriteColourTable(out_, global.data(), entries, global_exponent_));
  if (loop != kPlayOnce) {
    Check(gif_blocks::WriteLoopBlock(out_, static_cast<std::int16_t>(static_cast<std::uint16_t>(loop))));
  }
  started_ = true;
}

void GifStream::Put(const gif_blocks::FrameHead& head, std::vector<std::uint8_t> data) {
  Flush();
  head_ = head;
  if (head.local_table != nullptr) {
    std::copy(head.local_table, head.local_table + local_.size(), local_.begin());
    head_.local_table = local_.data();
  }
  data_ = std::move(data);
  pending_ = true;
}

void GifStream::Extend(std::int16_t delay) { head_.delay = Add16(head_.delay, delay); }

void GifStream::Redo(const gif_blocks::FrameHead& head, std::vector<std::uint8_t> data) {
  const std::int16_t delay = head_.delay;
  pending_ = false;
  Put(head, std::move(data));
  head_.delay = delay;
}

void GifStream::Dispose() { head_.disposal = 2; }

void GifStream::Flush() {
  if (!pending_) return;
  pending_ = false;
  Check(gif_blocks::WriteFrameStart(out_, head_, global_exponent_));
  Check(out_.Write(data_));
  Check(gif_blocks::WriteFrameEnd(out_));
  std::vector<std::uint8_t>().swap(data_);
}

void GifStream::End() {
  Flush();
  Check(gif_blocks::WriteTrailer(out_));
}

}  // namespace zoetra::pipeline

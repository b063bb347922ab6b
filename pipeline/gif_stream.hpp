// The writing stage: a GIF put out block by block as its frames come, so
// that nothing keeps the whole animation. The last frame waits until the next
// one comes (or the end), because a frame that shows nothing new only makes
// the one before it show longer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "gif/gif_blocks.hpp"
#include "pipeline/palette.hpp"

namespace zoetra::pipeline {

// Raises 75: `name` cannot take the GIF, with the system's reason.
[[noreturn]] void RaiseCannotSave(std::string_view name);

class GifStream {
 public:
  // `name` says where the bytes go, for the message when they cannot.
  GifStream(gif_blocks::Sink& out, std::string name) : out_(out), name_(std::move(name)) {}

  bool Started() const { return started_; }
  // The header, the global table (none when `entries` is 0) and the looping
  // block (none for kPlayOnce).
  void Begin(std::int32_t width, std::int32_t height, const Table& global, std::int32_t entries,
             std::int64_t loop);
  // The next frame: its head and its LZW sub-blocks.
  void Put(const gif_blocks::FrameHead& head, std::vector<std::uint8_t> data);
  // The frame put last shows `delay` hundredths longer; raises 6 past 32767.
  void Extend(std::int16_t delay);
  // The frame put last, made again (its delay as extended so far kept).
  void Redo(const gif_blocks::FrameHead& head, std::vector<std::uint8_t> data);
  // The frame put last clears its rectangle when its time is up.
  void Dispose();
  bool Pending() const { return pending_; }
  // The last frame and the trailer.
  void End();

 private:
  void Flush();
  void Check(bool written) const;

  gif_blocks::Sink& out_;
  std::string name_;
  bool started_ = false;
  std::int32_t global_exponent_ = 0;
  bool pending_ = false;
  gif_blocks::FrameHead head_;
  Table local_{};
  std::vector<std::uint8_t> data_;
};

}  // namespace zoetra::pipeline

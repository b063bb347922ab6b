// An animated GIF as a source of frames: composed one at a time from the
// file's blocks (gif/gif_frame_composer.hpp) and timed by the frames' delays
// in hundredths. Memory is the screen, whatever the frame count; the screen
// and the work (screen x frames) are held to the animation limits
// (platform::CheckAnimation) before anything is composed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "video/video_decoder.hpp"

namespace zoetra::pipeline {

// Whether the file is a GIF with more than one image, read no further than
// its second image; false for anything else.
bool IsAnimatedGif(const std::string& name);

class GifFrames final : public video::FrameReader {
 public:
  // Reads the blocks once for the frame count and the times: 481 naming the
  // file when it has no frame, or its screen or work is over the limits.
  explicit GifFrames(const std::string& name);
  ~GifFrames() override;

  video::Ticks TimeBase() const override { return {1, 100}; }
  std::int64_t Origin() const override { return 0; }
  std::int64_t Length() const override { return length_; }
  double Rate() const override { return 0; }
  std::int64_t FrameCount() const override { return frames_; }
  void Seek(std::int64_t) override {}  // frames before the start are passed over
  bool Next(std::int64_t& pts, std::int64_t& length, video::Shot& picture) override;
  const std::string& Stopped() const override { return stopped_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::int64_t frames_ = 0;
  std::int64_t length_ = 0;  // hundredths
  std::int64_t time_ = 0;
  std::string stopped_;
};

}  // namespace zoetra::pipeline

// WebP files, animated or still, read with libwebp's demuxer: each frame
// composed on the canvas as a viewer shows it, timed in milliseconds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "video/video_decoder.hpp"

namespace zoetra::video {

class WebpFrames final : public FrameReader {
 public:
  // Reads `path` whole (within Limits::max_file_bytes); 481 naming it when
  // it is no WebP file libwebp reads, or its canvas or its frames are over
  // the animation limits (platform::CheckAnimation), before any canvas is made.
  explicit WebpFrames(const std::string& path);
  ~WebpFrames() override;

  Ticks TimeBase() const override { return {1, 1000}; }
  std::int64_t Origin() const override { return 0; }
  std::int64_t Length() const override;
  double Rate() const override { return 0; }
  std::int64_t FrameCount() const override;
  void Seek(std::int64_t) override {}  // frames before the start are passed over
  bool Next(std::int64_t& pts, std::int64_t& length, Shot& picture) override;
  const std::string& Stopped() const override { return stopped_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::string stopped_;
};

}  // namespace zoetra::video

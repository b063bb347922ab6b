// Clips read with FFmpeg's libraries: the container is opened, the best video
// stream decoded in presentation order, and each frame, on whichever thread
// asks, converted to a 32-bit raster with the stream's own colour matrix and
// range and turned upright by the quarter turns its display matrix asks (any
// other matrix is not followed, and Warning() says so).
//
// Times are in the stream's ticks (TimeBase() seconds each). Failures raise
// zoetra::Error naming the file: 481 for content no decoder reads, 75 for an
// unreadable file; a stream that stops early ends the frames and says why in
// Stopped(). Without FFmpeg (ZOETRA_VIDEO off, or its libraries not loadable
// at run time: video/ffmpeg_library.hpp) opening raises 481 saying so.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "raster/cdib.hpp"

namespace zoetra::video {

// Whether this build reads clips at all.
bool VideoSupported();

// What a failure to open says of a file that is no clip at all (its
// container unknown), as against a clip that cannot be read.
inline constexpr std::string_view kNoClipDecoder = "no clip decoder reads it";

struct Ticks {
  std::int64_t num = 1, den = 1;  // seconds per tick
};

// A decoded frame, made into a raster on any thread, as often as asked: the
// raster is 32-bit, upright, with alpha in the fourth byte when `keep_alpha`
// and the frame has it (then `alpha` is set), else fourth bytes 0.
class FramePicture {
 public:
  virtual ~FramePicture() = default;
  virtual void ToRaster(cDIB& raster, bool keep_alpha, bool& alpha) const = 0;
};
using Shot = std::shared_ptr<const FramePicture>;

// A frame already composed as a 32-bit raster (animated pictures): copied out
// on each ToRaster, alpha cleared unless kept.
class RasterPicture final : public FramePicture {
 public:
  explicit RasterPicture(bool has_alpha) : has_alpha_(has_alpha) {}
  void ToRaster(cDIB& out, bool keep_alpha, bool& alpha) const override;
  cDIB raster;

 private:
  bool has_alpha_;
};

// Frames one after the other, with their times: a clip, or an animated picture.
class FrameReader {
 public:
  virtual ~FrameReader() = default;
  virtual Ticks TimeBase() const = 0;
  // Where the stream's time starts, in ticks (its first presentation time).
  virtual std::int64_t Origin() const = 0;
  // The stream's length in ticks, and frames per second, when known; else 0.
  virtual std::int64_t Length() const = 0;
  virtual double Rate() const = 0;
  // Frames in all, when known without decoding; else 0.
  virtual std::int64_t FrameCount() const { return 0; }
  // Goes back to the key frame at or before `ticks`; later frames come from
  // there (from the first frame, where a clip's seek misses that key frame).
  virtual void Seek(std::int64_t ticks) = 0;
  // The next frame: its presentation time and length in ticks (length 0:
  // not known) and its picture. False at the end.
  virtual bool Next(std::int64_t& pts, std::int64_t& length, Shot& picture) = 0;
  // Why the frames ended before the stream's end ("" when they did not).
  virtual const std::string& Stopped() const = 0;
  // What a person should know of how the frames are shown ("" when nothing).
  virtual const std::string& Warning() const {
    static const std::string kNothing;
    return kNothing;
  }
};

class VideoDecoder final : public FrameReader {
 public:
  // Opens `path` and its best video stream; `threads` decode it (0: one).
  VideoDecoder(const std::string& path, unsigned threads);
  ~VideoDecoder() override;
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  Ticks TimeBase() const override;
  std::int64_t Origin() const override;
  std::int64_t Length() const override;
  double Rate() const override;
  void Seek(std::int64_t ticks) override;
  bool Next(std::int64_t& pts, std::int64_t& length, Shot& picture) override;
  const std::string& Stopped() const override;
  // A display matrix that is not followed (no quarter turn).
  const std::string& Warning() const override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zoetra::video

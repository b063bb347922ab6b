// Sources whose frames come one after the other with times of their own:
// clips (FFmpeg's libraries decode them) and animated GIFs (composed as a
// viewer composes them). A reader turns their times into GIF delays
// (pipeline/clip_timing.hpp) and hands its frames over in batches, each a
// FrameSource the conversion takes in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/options.hpp"
#include "pipeline/clip_timing.hpp"
#include "pipeline/source.hpp"
#include "video/video_decoder.hpp"

namespace zoetra::pipeline {

enum class SourceKind : std::uint8_t { Picture, Clip, AnimatedGif, Webp };

// What a file of a list is, from its content: a picture the picture loader
// reads (a GIF of one frame included), an animated GIF, a WebP file (still or
// animated), or anything else, which is left to the clip decoder.
SourceKind KindOf(const std::string& name);

// The frames of one batch: decoded pictures, made into rasters by the
// workers that read them.
class ClipFrames final : public FrameSource {
 public:
  std::size_t Frames() const override { return frames_.size(); }
  void Read(std::size_t k, bool keep_alpha, Decoded& out) const override;
  std::int32_t Delay(std::size_t k) const override { return delays_[k]; }
  // A clip decodes again faster than a picture file: its frames are kept only
  // when all of them fit, so that it need not be decoded a second time.
  std::int64_t KeepOnlyThrough() const override { return keep_through_; }
  void KeepOnlyThrough(std::int64_t frames) { keep_through_ = frames; }

  void Clear();
  void Add(video::Shot picture, std::int16_t delay);

 private:
  std::vector<video::Shot> frames_;
  std::vector<std::int32_t> delays_;
  std::int64_t keep_through_ = std::numeric_limits<std::int64_t>::max();
};

// Frames the counting pass kept, all of them: the mapping pass needs only
// their delays.
class KeptFrames final : public FrameSource {
 public:
  explicit KeptFrames(std::vector<std::int32_t> delays) : delays_(std::move(delays)) {}
  std::size_t Frames() const override { return delays_.size(); }
  void Read(std::size_t k, bool, Decoded&) const override;
  std::int32_t Delay(std::size_t k) const override { return delays_[k]; }

 private:
  std::vector<std::int32_t> delays_;
};

class ClipReader {
 public:
  // `threads` decode the clip.
  ClipReader(const std::string& name, SourceKind kind, const BuilderOptions& options, unsigned threads);
  ~ClipReader();

  // The next frames, at most `most`, into `batch`; false when none are left.
  bool Fill(ClipFrames& batch, std::size_t most);
  // What a person should know once the frames are read, naming the file:
  // where a damaged clip stopped, a turn it asks for that is not made; ""
  // when nothing.
  std::string Warning() const;
  // Why a clip gave no frame at all: the decoder's reason, or "".
  const std::string& Stopped() const { return reader_->Stopped(); }
  // Frames the clip should give, for progress; 0 when not known.
  std::int64_t Expected() const { return expected_; }

 private:
  struct Frame {
    video::Shot picture;
    std::int64_t pts = 0;
  };
  bool FillNamed(ClipFrames& batch, std::size_t most);
  bool Decode(Frame& frame);

  std::string name_;
  std::unique_ptr<video::FrameReader> reader_;
  std::unique_ptr<ClipTiming> timing_;
  std::int32_t min_hundredths_ = 2;
  std::int16_t still_delay_ = 0;  // a source of one frame with no time: the options' delay
  Frame held_, incoming_;
  bool have_incoming_ = false, ended_ = false, decoded_any_ = false;
  // The last GIF frame found waits for its delay.
  std::unique_ptr<ClipPacer<video::Shot>> pacer_;
  std::int64_t last_pts_ = 0, last_length_ = 0, step_ = 0;
  std::int64_t expected_ = 0;
  std::int64_t shown_ = 0;
};

}  // namespace zoetra::pipeline

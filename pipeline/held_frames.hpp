// Pictures handed over one at a time, held until a conversion reads them:
// files by name, pixels copied. Past `memory_bytes` of pixels, copies go to
// an unnamed temporary file instead of memory, so a long run of frames costs
// disk, not memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/source.hpp"

namespace zoetra::pipeline {

class HeldFrames final : public FrameSource {
 public:
  HeldFrames(bool auto_orient, std::int64_t memory_bytes);
  ~HeldFrames() override;
  HeldFrames(const HeldFrames&) = delete;
  HeldFrames& operator=(const HeldFrames&) = delete;

  // Holds a picture that CheckPixels / CheckReadable have passed; `delay` in
  // hundredths or -1.
  void Add(const PictureSource& picture, std::int32_t delay);
  // Lets go of every picture held (the file keeps its size for the next ones).
  void Clear();
  // The pictures as a list, for a conversion that wants one; only while
  // nothing went to the temporary file.
  std::vector<PictureSource> List() const;
  bool AllInMemory() const { return spilled_ == 0; }

  std::size_t Frames() const override { return held_.size(); }
  void Read(std::size_t k, bool keep_alpha, Decoded& out) const override;
  std::int32_t Delay(std::size_t k) const override { return held_[k].delay; }

 private:
  struct Held {
    std::string file;  // or pixels:
    std::vector<std::uint8_t> bytes;  // packed rows, when in memory
    std::int64_t offset = -1;         // in the temporary file, when there
    std::int32_t width = 0, height = 0;
    PixelLayout layout = PixelLayout::RGB;
    std::int32_t delay = -1;
  };
  PicturePixels PixelsOf(const Held& h, const std::uint8_t* data) const;

  bool auto_orient_;
  std::int64_t memory_bytes_;
  std::int64_t in_memory_ = 0;
  std::int64_t spilled_ = 0;
  int spill_fd_ = -1;
  std::int64_t spill_end_ = 0;
  std::vector<Held> held_;
};

}  // namespace zoetra::pipeline

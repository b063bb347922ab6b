// One conversion on the streaming pipeline:
//
//   source -> preparation -> palette -> mapping -> change since the frame
//   before -> LZW encoding -> writing
//
// The conversion only schedules; each stage is a file of its own (prepare,
// palette, frame_diff, frame_encoder, last_frame, gif_stream). Workers take a
// frame through every stage up to its encoding; the calling thread then
// writes the frames in order, each as soon as it and every earlier one are
// done. Memory holds a small window of frames (the threads
// plus two), never the animation. Palette `all` first counts every picture's
// colours in a pass of its own, keeping the first pictures for the mapping
// pass while they fit kKeptBytes, and reads the rest again.
//
// The yield hook sees, for each frame, PictureStart, ChannelSwap and Flip
// when the picture is read and prepared (in the counting pass for `all`),
// then Dither and PaletteCopy when its frame is made and written; at the end
// Screen, Compact and Optimize. Failures reach the calling thread in frame
// order, a picture's after its PictureStart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "colour/mquantize.hpp"
#include "pipeline/frame_encoder.hpp"
#include "pipeline/gif_stream.hpp"
#include "pipeline/last_frame.hpp"
#include "pipeline/options.hpp"
#include "pipeline/palette.hpp"
#include "pipeline/prepare.hpp"
#include "pipeline/quality.hpp"
#include "postprocess/frame_ops.hpp"
#include "pipeline/source.hpp"
#include "platform/base/yield.hpp"

namespace zoetra::pipeline {

class ScreenBoard;

// Prepared pictures the counting pass keeps for the mapping pass (three
// bytes a pixel): 21 of 1920 x 1080, 48 of 1280 x 720.
inline constexpr std::int64_t kKeptBytes = std::int64_t{128} << 20;

class Conversion {
 public:
  // `options` must have passed CheckBuilderOptions. Frames of another size
  // than the first are fitted into the first one's size.
  // `kept_bytes`: the budget of pictures kept between the passes (tests shrink it).
  Conversion(const BuilderOptions& options, unsigned threads, GifStream& out, std::int64_t kept_bytes = kKeptBytes);
  ~Conversion();
  Conversion(const Conversion&) = delete;
  Conversion& operator=(const Conversion&) = delete;

  // Whether Count must see every frame (then Seal) before Emit sees any.
  bool CountsFirst() const;
  // Frames the whole conversion will have, for the yield hook; 0: not known.
  void Total(std::int64_t frames) { total_ = frames; }

  // Sources are taken in turn; frames are numbered on from the last one.
  void Count(const FrameSource& source);
  void Seal();
  void Emit(const FrameSource& source);
  // What is pending, and the end of the file. Raises 5 when no frame came.
  void Finish();

  std::int64_t Frames() const { return emitted_; }
  std::int64_t Counted() const { return counted_; }
  // Whether the counting pass kept every frame before `frames` for the mapping pass.
  bool KeptThrough(std::int64_t frames) const { return frames <= static_cast<std::int64_t>(kept_.size()); }
  // The frames, and the first picture fitted into the first one's size.
  void Fill(BuilderReport& report) const;

 private:
  struct Item;
  // `work(k, item, worker)` on the workers (item.failure is already set when
  // the first picture, read ahead, failed); `finish(k, frame, item)` here, in order.
  template <class Work, class Done>
  void Pass(const FrameSource& source, std::int64_t base, bool read_first_ahead, Work&& work, Done&& finish);
  void Yield(platform::YieldStage stage, std::int64_t frame) const;
  void Read(const FrameSource& source, std::size_t k, Item& item) const;
  void Made(const Item& item, std::int64_t frame);
  void MakeFrame(Item& item, std::int64_t frame, unsigned worker) const;
  // EncodeFrame with this conversion's global table and quality.
  bool Encode(const EncodeRequest& request, EncodedFrame& out) const;

  BuilderOptions options_;
  unsigned threads_;
  GifStream& out_;
  std::unique_ptr<PaletteStrategy> strategy_;
  Preparation preparation_;
  std::unique_ptr<ScreenBoard> board_;  // with optimize
  Tradeoffs tradeoffs_;
  LastFrame last_frame_;  // with optimize
  std::int16_t delay_ = 0;
  bool sealed_ = false;
  std::int64_t total_ = 0;
  std::int64_t counted_ = 0;
  std::int64_t emitted_ = 0;
  std::int64_t refitted_ = 0;
  std::int64_t kept_bytes_;
  std::int32_t screen_width_ = 0, screen_height_ = 0;
  std::vector<mQuantize::ColourHistogram> counts_;  // one a worker, until Seal
  // Frame g's picture (blue, green, red), for the first frames; let go when mapped.
  std::vector<std::vector<std::uint8_t>> kept_;
};

}  // namespace zoetra::pipeline

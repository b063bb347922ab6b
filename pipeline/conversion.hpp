// One conversion on the streaming pipeline:
//
//   source -> preparation -> palette -> mapping -> change since the frame
//   before -> LZW encoding -> writing
//
// Workers take a frame through every stage up to its encoding; the calling
// thread then writes the frames in order, each as soon as it and every
// earlier one are done. Memory holds a small window of frames (the threads
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
#include "pipeline/options.hpp"
#include "pipeline/gif_stream.hpp"
#include "pipeline/palette.hpp"
#include "pipeline/prepare.hpp"
#include "pipeline/quality.hpp"
#include "postprocess/frame_ops.hpp"
#include "pipeline/source.hpp"
#include "platform/base/yield.hpp"

namespace zoetra::pipeline {

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
  class Board;
  // `work(k, item, worker)` on the workers (item.failure is already set when
  // the first picture, read ahead, failed); `finish(k, frame, item)` here, in order.
  template <class Work, class Done>
  void Pass(const FrameSource& source, std::int64_t base, bool read_first_ahead, Work&& work, Done&& finish);
  void Yield(platform::YieldStage stage, std::int64_t frame) const;
  void Read(const FrameSource& source, std::size_t k, Item& item) const;
  void Made(const Item& item, std::int64_t frame);
  void MakeFrame(Item& item, std::int64_t frame, unsigned worker) const;
  // `cut` as frame `frame` at (left, top), with its own table (compacted)
  // or the global one; `transparent` -1: none. With `below` > 0, gives up
  // (false) as soon as the data would reach `below` bytes.
  bool Encode(cDIB& cut, std::int32_t left, std::int32_t top, const Table* local, std::int32_t entries,
              std::int32_t transparent, std::int32_t disposal, std::int64_t frame, gif_blocks::FrameHead& head,
              Table& table, std::vector<std::uint8_t>& data, std::size_t below = 0) const;
  // The frame written last made again to clear all that shows when its time is up.
  void ClearLast();

  BuilderOptions options_;
  unsigned threads_;
  GifStream& out_;
  std::unique_ptr<PaletteStrategy> strategy_;
  Preparation preparation_;
  std::unique_ptr<Board> board_;
  Tradeoffs tradeoffs_;
  // With optimize: the frame written last, and what the screen shows after it.
  struct LastFrame {
    cDIB cut;
    gif_blocks::FrameHead head;
    Table table{};
    frame_ops::ChangeRect opaque;
  };
  LastFrame last_frame_;
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

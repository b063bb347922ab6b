#include "pipeline/gif_frames.hpp"

#include "gif/gif_frame_composer.hpp"
#include "gif/gif_scan.hpp"
#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"
#include "platform/codecs/picture_loader.hpp"

namespace zoetra::pipeline {

bool IsAnimatedGif(const std::string& name) {
  gif_scan::Input input(name);
  gif_scan::Scanner scan(input);
  if (!scan.Start()) return false;
  gif_scan::Frame frame;
  return scan.Next(frame) && scan.Next(frame);
}

struct GifFrames::State {
  explicit State(const std::string& name) : input(name), scan(input), composer(scan) {}
  gif_scan::Input input;
  gif_scan::Scanner scan;
  GifFrameComposer composer;
};

GifFrames::GifFrames(const std::string& name) {
  // The first pass reads no pixels: the frames, their times, how the file ends.
  gif_scan::Input input(name);
  gif_scan::Scanner scan(input);
  if (!scan.Start()) platform::RaiseInvalidPicture(name + ": not a GIF file");
  for (gif_scan::Frame f; scan.Next(f);) {
    ++frames_;
    length_ += f.delay;
  }
  if (frames_ < 1) platform::RaiseInvalidPicture(name + ": a GIF file with no frame that can be read");
  if (!scan.Trailer()) {
    stopped_ = scan.Warnings().empty() ? "the file ends before its last frame" : scan.Warnings().back();
  }
  platform::CheckAnimation(name, scan.screen().width, scan.screen().height, frames_, input.Size());

  state_ = std::make_unique<State>(name);
  if (!state_->scan.Start()) platform::RaiseInvalidPicture(name + ": not a GIF file");
  if (!state_->composer.Start()) platform::RaiseInvalidPicture(name + ": " + state_->composer.StartFailure());
}

GifFrames::~GifFrames() = default;

bool GifFrames::Next(std::int64_t& pts, std::int64_t& length, video::Shot& picture) {
  GifFrameComposer& composer = state_->composer;
  // A file that grew since it was counted gives no more than was counted.
  if (composer.Frame().index >= frames_ || !composer.Next()) return false;
  pts = time_;
  length = composer.Frame().delay;
  time_ += length;
  auto shot = std::make_shared<video::RasterPicture>(false);
  if (composer.Screen().CloneTo(shot->raster) == 0) RaiseOutOfMemory();
  picture = std::move(shot);
  return true;
}

}  // namespace zoetra::pipeline

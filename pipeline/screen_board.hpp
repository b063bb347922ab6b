// With optimize, the screen passes from each frame to the next here: a
// frame's job takes the screen the frame before published, runs its Step,
// and publishes it on.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "pipeline/frame_diff.hpp"

namespace zoetra::pipeline {

class ScreenBoard {
 public:
  // A null `shown`: the frame failed; the next one has nothing to compare.
  void Publish(std::int64_t frame, std::unique_ptr<Screen> shown) {
    {
      std::lock_guard lock(mutex_);
      frames_[frame] = std::move(shown);
    }
    published_.notify_all();
  }
  // Waits until `frame` is published (its job was claimed before the
  // caller's, so it is running), then lets go of it.
  std::unique_ptr<Screen> Take(std::int64_t frame) {
    std::unique_lock lock(mutex_);
    published_.wait(lock, [&] { return frames_.count(frame) != 0; });
    std::unique_ptr<Screen> shown = std::move(frames_[frame]);
    frames_.erase(frame);
    return shown;
  }

 private:
  std::mutex mutex_;
  std::condition_variable published_;
  std::unordered_map<std::int64_t, std::unique_ptr<Screen>> frames_;
};

}  // namespace zoetra::pipeline

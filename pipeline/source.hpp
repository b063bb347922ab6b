// Where a conversion's pictures come from. A source gives its frames by
// number, on any thread, as often as asked: palette `all` reads a picture a
// second time for its mapping pass unless the picture was kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pipeline/options.hpp"
#include "platform/base/error.hpp"
#include "raster/cdib.hpp"

namespace zoetra::pipeline {

// A picture as read: a 32-bit raster, bottom row first as every loader gives
// it, and whether it has alpha to blend.
struct Decoded {
  cDIB raster;
  bool alpha = false;
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual std::size_t Frames() const = 0;
  // Frame k into `out`; alpha is read only when `keep_alpha`. Any thread.
  virtual void Read(std::size_t k, bool keep_alpha, Decoded& out) const = 0;
  // How long frame k shows, in hundredths of a second; -1: the options' delay.
  virtual std::int32_t Delay(std::size_t) const { return -1; }
  // Palette `all` keeps the first frames of its counting pass for its mapping
  // pass, while they fit its budget. A source whose frames are cheap to read
  // again says up to which frame of the conversion (counted from its first)
  // the budget must reach before any of its frames is worth keeping; 0: none
  // need be, every frame that fits is kept.
  virtual std::int64_t KeepOnlyThrough() const { return 0; }
};

// Bytes between the starts of two rows of a picture in memory.
std::size_t RowStride(const PicturePixels& p);
// Refuses, with error 5 naming it, a picture in memory that cannot be read:
// no pixels, a size that is not positive, an unknown layout, short rows.
void CheckPixels(const std::vector<PictureSource>& pictures);
// The same for one picture, named as picture `number`.
void CheckPicture(const PictureSource& picture, std::size_t number);

// Raises `failure` again, its text led by `name` unless it names it already.
[[noreturn]] void RaiseNamed(const Error& failure, const std::string& name);

void ReadPixels(const PicturePixels& pixels, bool keep_alpha, Decoded& out);
// A picture file; with `auto_orient`, a JPEG turned upright by its EXIF orientation.
void ReadFile(const std::string& name, bool keep_alpha, bool auto_orient, Decoded& out);

// The pictures of a list: files and pictures in memory, mixed.
class PictureList final : public FrameSource {
 public:
  // `name_failures`: a failure's text begins with its file's name.
  PictureList(std::span<const PictureSource> pictures, bool auto_orient, bool name_failures = false)
      : pictures_(pictures), auto_orient_(auto_orient), name_failures_(name_failures) {}
  std::size_t Frames() const override { return pictures_.size(); }
  void Read(std::size_t k, bool keep_alpha, Decoded& out) const override;

 private:
  std::span<const PictureSource> pictures_;
  bool auto_orient_;
  bool name_failures_;
};

}  // namespace zoetra::pipeline

// GifFrameComposer: the frames of a GIF file composed one at a time as a
// viewer shows them, straight from the file's blocks (gif/gif_scan.hpp):
// each image is decoded a row at a time onto the screen, so the memory is
// the screen (and its copy for disposal 3) whatever the frame count and the
// frames' sizes. The picture on the screen is the one cGIFComposer
// (gif/gif_compose.hpp) shows for the same frame of a loaded document, byte
// for byte: the same background, clipping, transparency and disposal rules.
//
//   gif_scan::Input input(path);
//   gif_scan::Scanner scan(input);
//   if (!scan.Start()) ...;                       // not a GIF
//   platform::CheckAnimation(...);                // the caller bounds the screen
//   GifFrameComposer composer(scan);
//   if (!composer.Start()) ...;                   // empty or unallocatable screen
//   while (composer.Next()) use(composer.Frame(), composer.Screen());
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "gif/gif_scan.hpp"
#include "raster/cdib.hpp"

namespace zoetra {

class GifFrameComposer {
 public:
  // `scan` has started and has read no frame yet; it must outlive the composer.
  explicit GifFrameComposer(gif_scan::Scanner& scan) : scan_(scan) {}

  // Makes the screen in the background colour: false when it is empty or
  // cannot be allocated (StartFailure says which). The caller holds the
  // screen to the limits first (platform::CheckAnimation).
  bool Start();
  std::string StartFailure() const;
  // Disposes of the frame shown, reads the next and draws it; false at the
  // end of the frames. 7 (out of memory) when disposal 3 needs a copy of the
  // screen that cannot be made.
  bool Next();

  // The frame on the screen; index 0 before the first.
  const gif_scan::Frame& Frame() const { return frame_; }
  // 32-bit, memory row 0 the bottom row, blue, green, red, 0: as cGIFComposer's.
  const cDIB& Screen() const { return screen_; }

 private:
  void Dispose();
  void Draw();

  gif_scan::Scanner& scan_;
  gif_scan::Frame frame_;
  cDIB screen_;
  cDIB before_;  // the picture before the frame shown, when it has disposal 3
  std::uint32_t background_ = 0;  // as a screen pixel
  bool started_ = false;
};

}  // namespace zoetra

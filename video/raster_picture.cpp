#include <cstddef>

#include "platform/base/error.hpp"
#include "video/video_decoder.hpp"

namespace zoetra::video {

void RasterPicture::ToRaster(cDIB& out, bool keep_alpha, bool& alpha) const {
  if (raster.CloneTo(out) == 0) RaiseOutOfMemory();
  alpha = keep_alpha && has_alpha_;
  if (alpha) return;
  std::uint8_t* p = out.lpBits();
  const std::size_t bytes = static_cast<std::size_t>(out.BytesPerScanline()) * static_cast<std::size_t>(out.Height());
  for (std::size_t i = 3; i < bytes; i += 4) p[i] = 0;
}

}  // namespace zoetra::video

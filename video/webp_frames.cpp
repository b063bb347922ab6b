#include "video/webp_frames.hpp"

#include <webp/demux.h>

#include <cstring>
#include <vector>

#include "platform/base/error.hpp"
#include "platform/base/files.hpp"
#include "platform/base/limits.hpp"
#include "platform/codecs/picture_loader.hpp"

namespace zoetra::video {

struct WebpFrames::State {
  std::vector<std::uint8_t> bytes;
  WebPAnimDecoder* decoder = nullptr;
  WebPAnimInfo info{};
  bool alpha = false;
  std::int64_t time = 0;  // where the last frame ended, ms
  ~State() { WebPAnimDecoderDelete(decoder); }
};

WebpFrames::WebpFrames(const std::string& path) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.bytes = platform::ReadFileBytes(path, static_cast<std::size_t>(platform::GetLimits().max_file_bytes));
  const WebPData data{s.bytes.data(), s.bytes.size()};
  // The decoder allocates its canvas at once: the canvas the header declares
  // and the frames it holds are held to the limits before that.
  {
    WebPDemuxer* demux = WebPDemux(&data);
    if (demux == nullptr) platform::RaiseInvalidPicture(path + ": a WebP file that cannot be read (damaged, or not WebP)");
    const std::int64_t width = WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH);
    const std::int64_t height = WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT);
    const std::int64_t frames = WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT);
    WebPDemuxDelete(demux);
    platform::CheckAnimation(path, width, height, frames, static_cast<std::int64_t>(s.bytes.size()));
  }
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) RaiseOutOfMemory();
  options.color_mode = MODE_BGRA;
  options.use_threads = 0;
  s.decoder = WebPAnimDecoderNew(&data, &options);
  if (s.decoder == nullptr || !WebPAnimDecoderGetInfo(s.decoder, &s.info)) {
    platform::RaiseInvalidPicture(path + ": a WebP file that cannot be read (damaged, or not WebP)");
  }
  if (const WebPDemuxer* demux = WebPAnimDecoderGetDemuxer(s.decoder)) {
    s.alpha = (WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS) & ALPHA_FLAG) != 0;
  }
}

WebpFrames::~WebpFrames() = default;

std::int64_t WebpFrames::FrameCount() const { return state_->info.frame_count; }

std::int64_t WebpFrames::Length() const {
  const WebPDemuxer* demux = WebPAnimDecoderGetDemuxer(state_->decoder);
  std::int64_t sum = 0;
  WebPIterator it;
  if (demux != nullptr && WebPDemuxGetFrame(demux, 1, &it)) {
    do {
      sum += it.duration;
    } while (WebPDemuxNextFrame(&it));
    WebPDemuxReleaseIterator(&it);
  }
  return sum;
}

bool WebpFrames::Next(std::int64_t& pts, std::int64_t& length, Shot& picture) {
  State& s = *state_;
  if (!WebPAnimDecoderHasMoreFrames(s.decoder)) return false;
  std::uint8_t* pixels = nullptr;
  int end = 0;
  if (!WebPAnimDecoderGetNext(s.decoder, &pixels, &end)) {
    stopped_ = "a frame cannot be decoded";
    return false;
  }
  pts = s.time;
  // A still picture has no time of its own: length 0 leaves it to the options.
  length = s.info.frame_count > 1 ? std::max<std::int64_t>(end - s.time, 0) : 0;
  s.time = std::max<std::int64_t>(end, s.time);
  const int width = static_cast<int>(s.info.canvas_width), height = static_cast<int>(s.info.canvas_height);
  auto shot = std::make_shared<RasterPicture>(s.alpha);
  cDIB& raster = shot->raster;
  if (!raster.Create(width, height, 32)) RaiseOutOfMemory();
  const std::size_t row = static_cast<std::size_t>(width) * 4;
  const std::size_t stride = static_cast<std::size_t>(raster.BytesPerScanline());
  // The raster keeps its bottom row first.
  for (int y = 0; y < height; ++y) {
    std::memcpy(raster.lpBits() + static_cast<std::size_t>(height - 1 - y) * stride,
                pixels + static_cast<std::size_t>(y) * row, row);
  }
  picture = std::move(shot);
  return true;
}

}  // namespace zoetra::video

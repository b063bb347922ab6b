// A build without FFmpeg's libraries: clips are refused by name.
#include "platform/base/error.hpp"
#include "platform/codecs/picture_loader.hpp"
#include "video/video_decoder.hpp"

namespace zoetra::video {

bool VideoSupported() { return false; }

struct VideoDecoder::State {};

VideoDecoder::VideoDecoder(const std::string& path, unsigned) {
  RaiseError(kErrInvalidPicture, std::string(platform::kInvalidPictureText) + " (" + path +
                                     ": this build of zoetra reads no clips; it was built without FFmpeg's "
                                     "libraries (ZOETRA_VIDEO off))");
}
VideoDecoder::~VideoDecoder() = default;
Ticks VideoDecoder::TimeBase() const { return {}; }
std::int64_t VideoDecoder::Origin() const { return 0; }
std::int64_t VideoDecoder::Length() const { return 0; }
double VideoDecoder::Rate() const { return 0; }
void VideoDecoder::Seek(std::int64_t) {}
bool VideoDecoder::Next(std::int64_t&, std::int64_t&, Shot&) { return false; }
const std::string& VideoDecoder::Stopped() const {
  static const std::string none;
  return none;
}
const std::string& VideoDecoder::Warning() const { return Stopped(); }

}  // namespace zoetra::video

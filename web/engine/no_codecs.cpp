// The browser decodes every picture and clip before the engine sees its
// pixels, so this build carries no decoder: a file that reaches one is
// refused by name of what is missing.
#include "platform/codecs/exif_orientation.hpp"
#include "platform/codecs/picture_codecs.hpp"
#include "platform/codecs/picture_loader.hpp"
#include "video/webp_frames.hpp"

namespace zoetra::platform::detail {

namespace {
[[noreturn]] void NoDecoder(std::string_view kind) {
  RaiseInvalidPicture(std::string(kind) + " files are decoded by the browser in this build; the engine takes pixels");
}
}  // namespace

HBITMAP DecodePng(std::span<const std::uint8_t>, bool*) { NoDecoder("PNG"); }
HBITMAP DecodeJpeg(std::span<const std::uint8_t>) { NoDecoder("JPEG"); }

}  // namespace zoetra::platform::detail

namespace zoetra::platform {

int JpegOrientation(std::span<const std::uint8_t>) noexcept { return 1; }
int JpegFileOrientation(std::string_view) noexcept { return 1; }

}  // namespace zoetra::platform

namespace zoetra::video {

struct WebpFrames::State {};
WebpFrames::WebpFrames(const std::string&) { platform::detail::NoDecoder("WebP"); }
WebpFrames::~WebpFrames() = default;
std::int64_t WebpFrames::Length() const { return 0; }
std::int64_t WebpFrames::FrameCount() const { return 0; }
bool WebpFrames::Next(std::int64_t&, std::int64_t&, Shot&) { return false; }

}  // namespace zoetra::video

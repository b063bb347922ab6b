// GIF files as input pictures: the picture loader hands GIF content to our
// reader, and the picture is the first frame as an 8-bit bitmap.
#include <array>
#include <cstring>

#include "gif/cgif.hpp"
#include "platform/base/error.hpp"
#include "platform/codecs/picture_loader.hpp"

namespace zoetra {
namespace {

platform::Picture DecodeGifPicture(std::span<const std::uint8_t> file) {
  cGIF document;
  // Only the first image is read, and its size is checked before it is allocated.
  if (!document.LoadFirstImage(file)) platform::RaiseInvalidPicture("not a GIF87a or GIF89a file");
  if (document.FramesCount() < 1) platform::RaiseInvalidPicture("GIF file without an image");
  const cDIB& frame = *document.FrameDIBXOR(1);
  if (frame.hDIB() == 0) platform::RaiseInvalidPicture("GIF image of zero size");
  const std::int32_t w = frame.Width();
  const std::int32_t h = frame.Height();
  platform::CheckPictureSize(w, h);

  // The frame's table already shows a transparent entry as black.
  std::array<platform::RGBQuad, 256> colors{};
  frame.GetPalette(std::span(reinterpret_cast<std::uint8_t*>(colors.data()), sizeof colors));
  platform::BitmapInfoHeader header{};
  header.size = 40;
  header.width = w;
  header.height = h;
  header.planes = 1;
  header.bit_count = 8;
  std::uint8_t* bits = nullptr;
  const platform::HBITMAP bitmap = platform::CreateDIBSection(0, header, colors, &bits);
  if (bitmap == 0) RaiseOutOfMemory();
  // GIF rows run top-down, bitmap rows bottom-up.
  const std::int32_t stride = frame.BytesPerScanline();
  for (std::int32_t y = 0; y < h; ++y) {
    std::memcpy(bits + static_cast<std::size_t>(h - 1 - y) * stride,
                frame.lpBits() + static_cast<std::size_t>(y) * stride, static_cast<std::size_t>(stride));
  }
  return std::make_shared<platform::StdPicture>(platform::PictureType::Bitmap, bitmap, true, w, h);
}

}  // namespace

// An atomic store of the same pointer: repeating it is harmless, and it
// reinstalls the decoder after a host has uninstalled it.
void RegisterGifPictures() { platform::SetGifPictureDecoder(&DecodeGifPicture); }

}  // namespace zoetra

#include "pipeline/source.hpp"

#include "gif/cgif.hpp"
#include "platform/base/limits.hpp"
#include "platform/codecs/exif_orientation.hpp"
#include "platform/codecs/picture_loader.hpp"
#include "raster/picture_fit.hpp"

namespace zoetra::pipeline {

std::size_t RowStride(const PicturePixels& p) {
  return p.stride != 0 ? p.stride : static_cast<std::size_t>(p.width) * PixelBytes(p.layout);
}

void CheckPicture(const PictureSource& picture, std::size_t number) {
  if (!picture.InMemory()) return;
  const PicturePixels& p = picture.Pixels();
  std::string wrong;
  if (p.data == nullptr) {
    wrong = "has no pixels";
  } else if (p.width <= 0 || p.height <= 0) {
    wrong = "is " + std::to_string(p.width) + " x " + std::to_string(p.height) + " pixels";
  } else if (p.layout != PixelLayout::RGB && p.layout != PixelLayout::RGBA && p.layout != PixelLayout::BGRA) {
    wrong = "has an unknown pixel layout";
  } else if (RowStride(p) / PixelBytes(p.layout) < static_cast<std::size_t>(p.width)) {
    wrong = "has rows " + std::to_string(RowStride(p)) + " bytes apart, fewer than the " +
            std::to_string(static_cast<std::size_t>(p.width) * PixelBytes(p.layout)) + " bytes of a row";
  }
  if (!wrong.empty()) RaiseInvalidArgument("picture " + std::to_string(number) + " (in memory) " + wrong);
}

void CheckPixels(const std::vector<PictureSource>& pictures) {
  for (std::size_t i = 0; i < pictures.size(); ++i) CheckPicture(pictures[i], i + 1);
}

void RaiseNamed(const Error& failure, const std::string& name) {
  if (failure.description().find(name) != std::string::npos) throw failure;
  RaiseError(failure.number(), name + ": " + failure.description(), failure.source());
}

void ReadPixels(const PicturePixels& p, bool keep_alpha, Decoded& out) {
  platform::CheckPictureSize(p.width, p.height);
  out.alpha = keep_alpha && p.layout != PixelLayout::RGB;
  if (out.raster.CreateFromPixels(p.data, p.width, p.height, RowStride(p), p.layout, out.alpha) == 0) {
    RaiseOutOfMemory();
  }
}

void ReadFile(const std::string& name, bool keep_alpha, bool auto_orient, Decoded& out) {
  // Every conversion reads through here, so GIF inputs work in hosts that
  // never registered the decoder themselves.
  RegisterGifPictures();
  {
    // The raster takes the decoded picture's pixels over where it can.
    platform::Picture picture = platform::LoadPicture(name, {.keep_alpha = keep_alpha});
    out.alpha = picture && picture->HasAlpha();
    if (out.raster.TakeStdPicture(std::move(picture)) == 0) {
      RaiseError(kErrInvalidPicture, "Invalid picture: " + name + " holds no bitmap (icon or metafile)");
    }
  }
  if (auto_orient) OrientPicture(out.raster, platform::JpegFileOrientation(name));
}

void PictureList::Read(std::size_t k, bool keep_alpha, Decoded& out) const {
  const PictureSource& picture = pictures_[k];
  if (picture.InMemory()) {
    ReadPixels(picture.Pixels(), keep_alpha, out);
    return;
  }
  try {
    ReadFile(picture.File(), keep_alpha, auto_orient_, out);
  } catch (const Error& e) {
    if (!name_failures_) throw;
    RaiseNamed(e, picture.File());
  }
}

}  // namespace zoetra::pipeline

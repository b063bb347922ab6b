#include "platform/codecs/picture.hpp"


namespace zoetra::platform {

StdPicture::StdPicture(PictureType type, Handle handle, bool owned, std::int32_t width, std::int32_t height)
    : type_(type), handle_(handle), owned_(owned), width_(width), height_(height) {}

StdPicture::~StdPicture() {
  if (!owned_ || handle_ == 0) return;
  switch (type_) {
    case PictureType::Bitmap: DeleteObject(handle_); break;
    case PictureType::Icon: DestroyIcon(handle_); break;
    case PictureType::Metafile:
    case PictureType::EnhMetafile: DeleteObject(handle_); break;
    default: break;
  }
}

Handle StdPicture::TakeBitmap() {
  if (!owned_ || type_ != PictureType::Bitmap) return 0;
  const Handle bitmap = handle_;
  handle_ = 0;
  owned_ = false;
  return bitmap;
}

Picture OleCreatePictureIndirect(const PictDesc& desc, bool own) {
  if (desc.size != 20 || desc.type != 1) return nullptr;
  BitmapDesc bd{};
  if (!GetBitmapDesc(desc.bitmap, &bd)) return nullptr;
  return std::make_shared<StdPicture>(PictureType::Bitmap, desc.bitmap, own, bd.width, bd.height);
}

}  // namespace zoetra::platform

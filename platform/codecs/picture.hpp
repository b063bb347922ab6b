// Picture objects and the picture loader.
//
// A picture object is shared by reference. A bitmap picture owns its bitmap
// (a DIB section of the drawing layer) and deletes it when the last reference
// goes; icon and metafile pictures carry a handle that is not a bitmap.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/base/export.hpp"
#include "platform/drawing/gdi.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra::platform {

enum class PictureType : std::int16_t { None = 0, Bitmap = 1, Metafile = 2, Icon = 3, EnhMetafile = 4 };

class StdPicture {
 public:
  StdPicture(PictureType type, Handle handle, bool owned, std::int32_t width = 0, std::int32_t height = 0);
  ~StdPicture();
  StdPicture(const StdPicture&) = delete;
  StdPicture& operator=(const StdPicture&) = delete;

  PictureType Type() const { return type_; }
  // The default property: the bitmap handle for a bitmap picture.
  Handle handle() const { return handle_; }
  // Size in pixels (the host keeps hundredths of a millimetre; nothing here needs them).
  std::int32_t Width() const { return width_; }
  std::int32_t Height() const { return height_; }
  // True when a 32-bit bitmap carries alpha in the fourth byte of each pixel
  // (asked for with PictureLoadOptions::keep_alpha); otherwise that byte is 0.
  bool HasAlpha() const { return alpha_; }
  void SetHasAlpha(bool alpha) { alpha_ = alpha; }
  // Hands an owned bitmap over to the caller, who deletes it; the picture is
  // left empty. Returns 0 (and keeps everything) for any other picture.
  Handle TakeBitmap();

 private:
  PictureType type_;
  Handle handle_;
  bool owned_;
  std::int32_t width_;
  std::int32_t height_;
  bool alpha_ = false;
};

using Picture = std::shared_ptr<StdPicture>;

// The published 20-byte picture description, as handed to OleCreatePictureIndirect.
struct PictDesc {
  std::uint32_t size = 20;
  std::uint32_t type = 1;  // 1 = bitmap
  Handle bitmap = 0;
  Handle palette = 0;
  std::uint32_t reserved = 0;
};

// A picture object from a description; with `own` the picture deletes the bitmap.
Picture OleCreatePictureIndirect(const PictDesc& desc, bool own);

}  // namespace zoetra::platform

ZOETRA_PUBLIC_END

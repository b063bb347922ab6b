#include "platform/picture_loader.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/bmp_reader.hpp"
#include "platform/error.hpp"
#include "platform/files.hpp"
#include "platform/gdi_objects.hpp"
#include "platform/le_bytes.hpp"
#include "platform/limits.hpp"
#include "platform/picture_codecs.hpp"

namespace zoetra::platform {
namespace {

using detail::LeBytes;

std::atomic<GifPictureDecoder> g_gif_decoder{nullptr};

constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint32_t kPlaceableMetafileKey = 0x9AC6CDD7;
constexpr std::uint32_t kEmfHeaderRecord = 1;
constexpr std::uint32_t kEmfSignature = 0x464D4520;  // " EMF"
constexpr double kScreenDpi = 96.0;

bool StartsWith(std::span<const std::uint8_t> file, const void* prefix, std::size_t n) {
  return file.size() >= n && std::memcmp(file.data(), prefix, n) == 0;
}

bool IsPng(std::span<const std::uint8_t> f) { return StartsWith(f, kPngSignature, sizeof kPngSignature); }
bool IsJpeg(std::span<const std::uint8_t> f) { return f.size() >= 3 && f[0] == 0xFF && f[1] == 0xD8 && f[2] == 0xFF; }
bool IsGif(std::span<const std::uint8_t> f) { return StartsWith(f, "GIF87a", 6) || StartsWith(f, "GIF89a", 6); }

// Icon and cursor files: reserved 0, type 1 or 2, a directory of 16-byte entries.
bool IsIcon(const LeBytes& in) {
  std::uint16_t reserved = 1, type = 0, count = 0;
  if (!in.U16(0, &reserved) || !in.U16(2, &type) || !in.U16(4, &count)) return false;
  return reserved == 0 && (type == 1 || type == 2) && count > 0 && in.Has(6, std::uint64_t{count} * 16);
}

bool IsPlaceableMetafile(const LeBytes& in) {
  std::uint32_t key = 0;
  return in.U32(0, &key) && key == kPlaceableMetafileKey && in.Has(0, 22 + 18);
}

// A bare metafile header: type 1 (memory) or 2 (disk), 9 words, version 1 or 3.
bool IsStandardMetafile(const LeBytes& in) {
  std::uint16_t type = 0, words = 0, version = 0;
  if (!in.U16(0, &type) || !in.U16(2, &words) || !in.U16(4, &version) || !in.Has(0, 18)) return false;
  return (type == 1 || type == 2) && words == 9 && (version == 0x0100 || version == 0x0300);
}

bool IsEnhancedMetafile(const LeBytes& in) {
  std::uint32_t record = 0, signature = 0;
  return in.U32(0, &record) && record == kEmfHeaderRecord && in.U32(40, &signature) && signature == kEmfSignature;
}

std::int32_t ClampSide(double v) { return static_cast<std::int32_t>(std::clamp(v, 0.0, 32767.0)); }

Picture IconPicture(const LeBytes& in) {
  // The largest image of the directory; a size byte of 0 means 256.
  auto icon = std::make_shared<detail::IconObject>();
  const std::uint16_t count = in.U16At(4);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint8_t w = 0, h = 0;
    in.U8(6 + 16 * i, &w);
    in.U8(7 + 16 * i, &h);
    const std::int32_t width = w == 0 ? 256 : w, height = h == 0 ? 256 : h;
    if (width * height > icon->width * icon->height) {
      icon->width = width;
      icon->height = height;
    }
  }
  const Handle handle = detail::Register(detail::Kind::Icon, icon);
  if (handle == 0) RaiseOutOfMemory();
  return std::make_shared<StdPicture>(PictureType::Icon, handle, true, icon->width, icon->height);
}

Picture MetafilePicture(bool enhanced, std::int32_t width, std::int32_t height) {
  auto meta = std::make_shared<detail::MetafileObject>();
  meta->enhanced = enhanced;
  const Handle handle = detail::Register(detail::Kind::Metafile, meta);
  if (handle == 0) RaiseOutOfMemory();
  return std::make_shared<StdPicture>(enhanced ? PictureType::EnhMetafile : PictureType::Metafile, handle, true,
                                      width, height);
}

Picture PlaceableMetafilePicture(const LeBytes& in) {
  // Bounding box in metafile units, and units per inch.
  const auto left = static_cast<std::int16_t>(in.U16At(6));
  const auto top = static_cast<std::int16_t>(in.U16At(8));
  const auto right = static_cast<std::int16_t>(in.U16At(10));
  const auto bottom = static_cast<std::int16_t>(in.U16At(12));
  const std::uint16_t inch = in.U16At(14);
  if (inch == 0) return MetafilePicture(false, 0, 0);
  return MetafilePicture(false, ClampSide(std::abs(right - left) * kScreenDpi / inch),
                         ClampSide(std::abs(bottom - top) * kScreenDpi / inch));
}

Picture EnhancedMetafilePicture(const LeBytes& in) {
  // Bounds in device units, inclusive.
  std::int32_t left = 0, top = 0, right = -1, bottom = -1;
  in.I32(8, &left);
  in.I32(12, &top);
  in.I32(16, &right);
  in.I32(20, &bottom);
  return MetafilePicture(true, ClampSide(double(right) - left + 1), ClampSide(double(bottom) - top + 1));
}

Picture BitmapPicture(HBITMAP bitmap) {
  detail::BitmapGuard guard(bitmap);
  PictDesc desc;
  desc.bitmap = bitmap;
  Picture picture = OleCreatePictureIndirect(desc, true);
  if (!picture) RaiseOutOfMemory();
  guard.Release();
  return picture;
}

}  // namespace

void RaiseInvalidPicture(std::string_view why) {
  std::string text(kInvalidPictureText);
  if (!why.empty()) {
    text += " (";
    text += why;
    text += ")";
  }
  RaiseError(kErrInvalidPicture, std::move(text));
}

void CheckPictureSize(std::int64_t width, std::int64_t height) {
  const Limits limits = GetLimits();
  if (width <= limits.max_picture_side && height <= limits.max_picture_side &&
      width * height <= limits.max_picture_pixels) {
    return;
  }
  RaiseInvalidPicture("picture of " + std::to_string(width) + " x " + std::to_string(height) +
                      " pixels exceeds the size limit of " + std::to_string(limits.max_picture_side) +
                      " pixels per side and " + std::to_string(limits.max_picture_pixels) + " pixels");
}

void SetGifPictureDecoder(GifPictureDecoder decoder) { g_gif_decoder.store(decoder); }

Picture LoadPictureFromMemory(std::span<const std::uint8_t> file) {
  const LeBytes in(file);
  if (HasBitmapFileSignature(file)) return BitmapPicture(DecodeBitmapFile(file));
  if (IsPng(file)) return BitmapPicture(detail::DecodePng(file));
  if (IsJpeg(file)) return BitmapPicture(detail::DecodeJpeg(file));
  if (IsGif(file)) {
    // GIF decoding belongs to the GIF codec, which installs its decoder here.
    if (const GifPictureDecoder decoder = g_gif_decoder.load()) return decoder(file);
    RaiseInvalidPicture();
  }
  if (IsIcon(in)) return IconPicture(in);
  if (IsPlaceableMetafile(in)) return PlaceableMetafilePicture(in);
  if (IsEnhancedMetafile(in)) return EnhancedMetafilePicture(in);
  if (IsStandardMetafile(in)) return MetafilePicture(false, 0, 0);
  RaiseInvalidPicture();
}

Picture LoadPicture(std::string_view path) {
  const std::int64_t max_bytes = std::max<std::int64_t>(0, GetLimits().max_file_bytes);
  const std::vector<std::uint8_t> file = ReadFileBytes(path, static_cast<std::size_t>(max_bytes));
  return LoadPictureFromMemory(file);
}

namespace detail {

NewSurface NewPictureSurface(std::int32_t width, std::int32_t height, int bpp, std::span<const RGBQuad> colors) {
  std::shared_ptr<BitmapObject> object;
  NewSurface s;
  s.handle = NewBitmap(width, height, bpp, colors, &object);
  if (s.handle == 0 || !object) RaiseOutOfMemory();
  s.bits = object->bits();
  s.stride = object->stride;
  return s;
}

}  // namespace detail
}  // namespace zoetra::platform

#include "platform/codecs/picture_loader.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/codecs/bmp_reader.hpp"
#include "platform/base/error.hpp"
#include "platform/base/files.hpp"
#include "platform/base/le_bytes.hpp"
#include "platform/base/limits.hpp"
#include "platform/codecs/picture_codecs.hpp"

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
  std::int32_t best_w = 0, best_h = 0;
  const std::uint16_t count = in.U16At(4);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint8_t w = 0, h = 0;
    in.U8(6 + 16 * i, &w);
    in.U8(7 + 16 * i, &h);
    const std::int32_t width = w == 0 ? 256 : w, height = h == 0 ? 256 : h;
    if (width * height > best_w * best_h) {
      best_w = width;
      best_h = height;
    }
  }
  const HICON handle = CreateIconHandle(best_w, best_h);
  if (handle == 0) RaiseOutOfMemory();
  return std::make_shared<StdPicture>(PictureType::Icon, handle, true, best_w, best_h);
}

Picture MetafilePicture(bool enhanced, std::int32_t width, std::int32_t height) {
  const HMETAFILE handle = CreateMetafileHandle(enhanced);
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

// --- why a file is in no format we read ---

struct Signature {
  std::string_view bytes;
  std::string_view name;
};
// Signatures of the formats we read, to tell a file cut inside its first bytes.
constexpr Signature kReadSignatures[] = {{{"\x89PNG\r\n\x1A\n", 8}, "PNG"},
                                         {{"\xFF\xD8\xFF", 3}, "JPEG"},
                                         {"GIF89a", "GIF"},
                                         {"GIF87a", "GIF"}};

bool StartsWithText(std::span<const std::uint8_t> file, std::string_view text) {
  return StartsWith(file, text.data(), text.size());
}

// The lower-case text of the first `n` bytes, with leading white space (and a
// UTF-8 byte-order mark) skipped.
std::string LeadingTextLower(std::span<const std::uint8_t> file, std::size_t n) {
  std::size_t at = StartsWithText(file, "\xEF\xBB\xBF") ? 3 : 0;
  while (at < file.size() && std::isspace(file[at]) != 0) ++at;
  std::string text;
  for (; at < file.size() && text.size() < n; ++at)
    text += static_cast<char>(std::tolower(file[at]));
  return text;
}

bool HasTextAt(std::span<const std::uint8_t> file, std::size_t at, std::string_view text) {
  return file.size() >= at && StartsWithText(file.subspan(at), text);
}

constexpr std::string_view kMp4 = "an MP4 video";
constexpr std::string_view kHeif = "a HEIF picture, a format not read here";
constexpr std::string_view kAvif = "an AVIF picture, a format not read here";
constexpr std::string_view k3gp = "a 3GP video";
// ISO base media files by the major brand of their ftyp box; a brand of three
// characters stands for every brand it starts.
constexpr Signature kIsoBrands[] = {
    {"avif", kAvif}, {"avis", kAvif}, {"heic", kHeif}, {"heix", kHeif},
    {"mif1", kHeif}, {"msf1", kHeif}, {"iso", kMp4},   {"mp4", kMp4},
    {"mp71", kMp4},  {"avc1", kMp4},  {"dash", kMp4},  {"M4V", kMp4},
    {"f4v ", kMp4},  {"mmp4", kMp4},  {"MSNV", kMp4},  {"XAVC", kMp4},
    {"3gp", k3gp},   {"3gg", k3gp},   {"3g2", k3gp},   {"qt  ", "a QuickTime (MOV) video"}};

// Matroska's EBML header names its document type, "webm" for WebM files.
std::string_view MatroskaKind(std::span<const std::uint8_t> f) {
  const std::size_t end = std::min<std::size_t>(f.size(), 64);
  for (std::size_t at = 4; at + 3 <= end; ++at) {
    if (f[at] != 0x42 || f[at + 1] != 0x82) continue;
    const std::size_t length = std::min<std::size_t>(f[at + 2] & 0x7F, end - at - 3);
    const std::span<const std::uint8_t> type = f.subspan(at + 3, length);
    if (StartsWithText(type, "webm")) return "a WebM video";
    if (StartsWithText(type, "matroska")) return "a Matroska video";
    break;
  }
  return "a WebM or Matroska video";
}

// Videos (and other media) by their first bytes, or empty.
std::string_view KnownMediaFormat(std::span<const std::uint8_t> f) {
  if (f.size() >= 12 && HasTextAt(f, 4, "ftyp")) {
    const std::string_view brand(reinterpret_cast<const char*>(f.data()) + 8, 4);
    for (const Signature& s : kIsoBrands) {
      if (brand.starts_with(s.bytes)) return s.name;
    }
  }
  // QuickTime files older than the ftyp box start with one of these atoms
  // (its size first, below 16 MiB: not text).
  for (const std::string_view atom : {"moov", "mdat", "wide", "pnot"}) {
    if (HasTextAt(f, 4, atom) && f[0] == 0) return "a QuickTime (MOV) video";
  }
  if (StartsWithText(f, "\x1A\x45\xDF\xA3")) return MatroskaKind(f);
  if (StartsWithText(f, "RIFF") && HasTextAt(f, 8, "AVI ")) return "an AVI video";
  if (StartsWithText(f, "FLV\x01")) return "a Flash (FLV) video";
  if (StartsWithText(f, "OggS")) {
    // The first page holds the first stream's header; a video's comes first.
    const std::size_t packet = f.size() > 26 ? 27 + std::size_t{f[26]} : f.size();
    return HasTextAt(f, packet, "\x80theora") ? "an Ogg video" : "an Ogg audio or video file";
  }
  if (StartsWithText(f, {"\0\0\1\xBA", 4}) || StartsWithText(f, {"\0\0\1\xB3", 4}))
    return "an MPEG video";
  // Transport streams: 188-byte packets, each starting 0x47 (192 with the
  // timestamps of M2TS files). Five in a row, since 0x47 is also a 'G'.
  for (const std::size_t packet : {188u, 192u}) {
    const std::size_t first = packet - 188;
    bool packets = f.size() > first + 4 * packet;
    for (std::size_t k = 0; packets && k < 5; ++k) packets = f[first + k * packet] == 0x47;
    if (packets) return "an MPEG transport stream (video)";
  }
  if (StartsWithText(f, "\x30\x26\xB2\x75\x8E\x66\xCF\x11")) return "a Windows Media (ASF) video";
  return {};
}

// A format people mistake for a picture we read, or empty.
std::string_view KnownOtherFormat(std::span<const std::uint8_t> f) {
  if (f.size() >= 12 && StartsWithText(f, "RIFF") && std::memcmp(f.data() + 8, "WEBP", 4) == 0)
    return "a WebP picture, a format not read here";
  if (StartsWithText(f, {"II*\0", 4}) || StartsWithText(f, {"MM\0*", 4}))
    return "a TIFF picture, a format not read here";
  if (const std::string_view media = KnownMediaFormat(f); !media.empty()) return media;
  if (StartsWithText(f, "%PDF")) return "a PDF document";
  const std::string lead = LeadingTextLower(f, 512);
  if (lead.starts_with("<!doctype html") || lead.starts_with("<html")) return "an HTML page";
  if (lead.starts_with("<svg") ||
      (lead.starts_with("<?xml") && lead.find("<svg") != std::string::npos)) {
    return "an SVG drawing, a format not read here";
  }
  return {};
}

// What the first bytes look like: `text "..."` when they read as text, else
// their values in hexadecimal.
std::string FirstBytes(std::span<const std::uint8_t> f) {
  constexpr std::size_t kTextShown = 24;
  constexpr std::size_t kBytesShown = 8;
  const std::size_t probe = std::min<std::size_t>(f.size(), 64);
  const bool text =
      std::all_of(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(probe), [](std::uint8_t c) {
        return (c >= 0x20 && c != 0x7F) || c == '\t' || c == '\n' || c == '\r';
      });
  char hex[8];
  std::string out;
  if (text) {
    out = "text \"";
    for (std::size_t i = 0; i < std::min(f.size(), kTextShown); ++i) {
      const std::uint8_t c = f[i];
      switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '"':
        case '\\': out += {'\\', static_cast<char>(c)}; break;
        default:
          if (c < 0x80) {
            out += static_cast<char>(c);
          } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
          }
      }
    }
    out += f.size() > kTextShown ? "...\"" : "\"";
    return out;
  }
  out = "bytes";
  for (std::size_t i = 0; i < std::min(f.size(), kBytesShown); ++i) {
    std::snprintf(hex, sizeof hex, " %02X", f[i]);
    out += hex;
  }
  if (f.size() > kBytesShown) out += " ...";
  return out;
}

// The format the file's name promises, or empty.
std::string_view FormatOfName(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  std::string ext(path.substr(dot + 1));
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "png") return "PNG";
  if (ext == "jpg" || ext == "jpeg" || ext == "jpe" || ext == "jfif") return "JPEG";
  if (ext == "bmp" || ext == "dib") return "bitmap";
  if (ext == "gif") return "GIF";
  return {};
}

// Raises 481 for a file in no format we read, saying what it is instead.
[[noreturn]] void RaiseUnknownContent(std::span<const std::uint8_t> file, std::string_view path) {
  if (file.empty()) RaiseInvalidPicture("the file is empty");
  for (const Signature& s : kReadSignatures) {
    if (file.size() < s.bytes.size() && StartsWith(file, s.bytes.data(), file.size())) {
      RaiseInvalidPicture(std::string(s.name) + " file cut short after " +
                          std::to_string(file.size()) + " bytes");
    }
  }
  const std::string_view named = FormatOfName(path);
  std::string why = named.empty() ? "not a picture in a format read here (BMP, PNG, JPEG, GIF)"
                                  : "not a " + std::string(named) + " file";
  const std::string_view other = KnownOtherFormat(file);
  if (!other.empty()) {
    why += ": it is " + std::string(other);
  } else {
    why += ": it starts with " + FirstBytes(file);
  }
  RaiseInvalidPicture(why);
}

Picture Decode(std::span<const std::uint8_t> file, std::string_view path, const PictureLoadOptions& options = {}) {
  const LeBytes in(file);
  const bool bitmap = HasBitmapFileSignature(file);
  if (bitmap || IsPng(file)) {
    bool alpha = false;
    bool* wanted = options.keep_alpha ? &alpha : nullptr;
    Picture picture = BitmapPicture(bitmap ? DecodeBitmapFile(file, wanted) : detail::DecodePng(file, wanted));
    picture->SetHasAlpha(alpha);
    return picture;
  }
  if (IsJpeg(file)) return BitmapPicture(detail::DecodeJpeg(file));
  if (IsGif(file)) {
    // GIF decoding belongs to the GIF codec, which installs its decoder here.
    if (const GifPictureDecoder decoder = g_gif_decoder.load()) return decoder(file);
    RaiseInvalidPicture("no GIF decoder is installed");
  }
  if (IsIcon(in)) return IconPicture(in);
  if (IsPlaceableMetafile(in)) return PlaceableMetafilePicture(in);
  if (IsEnhancedMetafile(in)) return EnhancedMetafilePicture(in);
  if (IsStandardMetafile(in)) return MetafilePicture(false, 0, 0);
  RaiseUnknownContent(file, path);
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
  if (WithinPictureLimits(limits, width, height)) return;
  RaiseInvalidPicture("picture of " + std::to_string(width) + " x " + std::to_string(height) +
                      " pixels exceeds the size limit of " + std::to_string(limits.max_picture_side) +
                      " pixels per side (max_picture_side) and " + std::to_string(limits.max_picture_pixels) +
                      " pixels (max_picture_pixels); a host raises them with SetLimits");
}

void SetGifPictureDecoder(GifPictureDecoder decoder) { g_gif_decoder.store(decoder); }
GifPictureDecoder GetGifPictureDecoder() { return g_gif_decoder.load(); }

Picture LoadPictureFromMemory(std::span<const std::uint8_t> file) {
  return Decode(file, {});
}

Picture LoadPicture(std::string_view path) { return LoadPicture(path, PictureLoadOptions{}); }

Picture LoadPicture(std::string_view path, const PictureLoadOptions& options) {
  const std::int64_t max_bytes = std::max<std::int64_t>(0, GetLimits().max_file_bytes);
  const std::vector<std::uint8_t> file = ReadFileBytes(path, static_cast<std::size_t>(max_bytes));
  return Decode(file, path, options);
}

namespace detail {

NewSurface NewPictureSurface(std::int32_t width, std::int32_t height, int bpp, std::span<const RGBQuad> colors) {
  BitmapInfoHeader header{};
  header.size = sizeof header;
  header.width = width;
  header.height = height;
  header.planes = 1;
  header.bit_count = static_cast<std::int16_t>(bpp);
  NewSurface s;
  s.handle = CreateDIBSection(0, header, colors, &s.bits);
  if (s.handle == 0 || s.bits == nullptr) RaiseOutOfMemory();
  s.stride = static_cast<std::int32_t>(DibStride(width, bpp));
  return s;
}

}  // namespace detail
}  // namespace zoetra::platform

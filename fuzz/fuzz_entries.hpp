// The fuzz targets' bodies, shared by the libFuzzer programs (fuzz/*_fuzzer.cpp)
// and by the regression test that replays every kept input (tests/fuzz/).
//
// Each entry takes one input, runs it through one parser, and checks what the
// parser promises: a clear zoetra::Error or a result whose shape is sound.
// Expected failures (zoetra::Error) are swallowed; a broken promise throws
// Mismatch, which the fuzzer program turns into an abort so it is kept as a
// crash input. The callers set small limits first (FuzzLimits) so no input
// can make the library allocate hundreds of megabytes.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "gif/cgif.hpp"
#include "gif/gif_compose.hpp"
#include "gif/gif_frame_composer.hpp"
#include "gif/gif_scan.hpp"
#include "gif/mgiflzwdec.hpp"
#include "gif/mgiflzwenc.hpp"
#include "pipeline/clip_source.hpp"
#include "pipeline/clip_timing.hpp"
#include "platform/codecs/bmp_reader.hpp"
#include "platform/codecs/exif_orientation.hpp"
#include "platform/drawing/clipboard.hpp"
#include "platform/base/error.hpp"
#include "platform/drawing/gdi.hpp"
#include "platform/base/limits.hpp"
#include "platform/codecs/module_resources.hpp"
#include "platform/codecs/picture_loader.hpp"
#include "raster/cdib.hpp"
#include "raster/picture_fit.hpp"

namespace zoetra::fuzz {

// A promise the library broke for this input.
class Mismatch : public std::logic_error {
 public:
  explicit Mismatch(const std::string& what) : std::logic_error(what) {}
};

inline void Expect(bool ok, const char* what) {
  if (!ok) throw Mismatch(what);
}

// Limits for fuzzing: every legal input stays within a few tens of megabytes.
inline platform::Limits FuzzLimits() {
  platform::Limits l;
  l.max_picture_side = 2048;
  l.max_picture_pixels = std::int64_t{1} << 18;   // 1 MiB at 32 bits
  l.max_document_pixels = std::int64_t{1} << 19;  // all frames of one GIF
  l.max_document_frames = 64;
  l.max_file_bytes = std::int64_t{1} << 20;
  l.max_clip_frames = 64;
  l.max_clip_seconds = 600;
  return l;
}


// Reads fuzzer bytes as parameters; an exhausted input reads zeros.
class Params {
 public:
  Params(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t U16() { return static_cast<std::uint16_t>(U8() | (U8() << 8)); }
  // A value in [lo, hi].
  std::int32_t Range(std::int32_t lo, std::int32_t hi) {
    const std::uint32_t span = static_cast<std::uint32_t>(hi - lo) + 1;
    return lo + static_cast<std::int32_t>(U16() % span);
  }
  bool Bit() { return (U8() & 1) != 0; }
  std::size_t left() const { return size_ - std::min(pos_, size_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

inline bool Flag(std::int16_t v) { return v != 0; }

// The raster's rows hold exactly `width` meaningful bytes; padding must stay 0.
inline void ExpectCleanPadding(const cDIB& raster) {
  if (raster.hDIB() == 0 || raster.BPP() != 8) return;
  const std::int32_t stride = raster.BytesPerScanline();
  for (std::int32_t r = 0; r < raster.Height(); ++r) {
    const std::uint8_t* row = raster.lpBits() + static_cast<std::size_t>(r) * stride;
    for (std::int32_t x = raster.Width(); x < stride; ++x) Expect(row[x] == 0, "row padding written");
  }
}

// Shape of a loaded document: counts within limits, rasters of the sizes read,
// masks that mark exactly the transparent pixels.
inline void ExpectSoundDocument(const cGIF& gif) {
  const platform::Limits limits = platform::GetLimits();
  Expect(gif.FramesCount() >= 0 && gif.FramesCount() <= limits.max_document_frames, "frame count over the limit");
  Expect(gif.FramesCount() <= gif.SlotsCount(), "more frames than slots");
  std::int64_t pixels = 0;
  for (std::int32_t i = 1; i <= gif.FramesCount(); ++i) {
    const auto n = static_cast<std::int16_t>(i);
    const auto image = gif.FrameDIBXOR(n);
    const auto mask = gif.FrameDIBAND(n);
    Expect(image && mask, "frame without rasters");
    if (image->hDIB() == 0) continue;
    Expect(image->BPP() == 8 && mask->BPP() == 1, "frame rasters of the wrong depth");
    Expect(mask->Width() == image->Width() && mask->Height() == image->Height(), "mask size differs from image");
    pixels += std::int64_t{image->Width()} * image->Height();
    ExpectCleanPadding(*image);
    if (gif.FrameUseTransparentColor(n) == 0) continue;
    const std::uint8_t index = gif.FrameTransparentColorIndex(n);
    const std::int32_t in_stride = image->BytesPerScanline();
    const std::int32_t mask_stride = mask->BytesPerScanline();
    for (std::int32_t r = 0; r < image->Height(); ++r) {
      const std::uint8_t* in = image->lpBits() + static_cast<std::size_t>(r) * in_stride;
      const std::uint8_t* m = mask->lpBits() + static_cast<std::size_t>(r) * mask_stride;
      for (std::int32_t x = 0; x < image->Width(); ++x) {
        const bool bit = ((m[x >> 3] >> (7 - (x & 7))) & 1) != 0;
        Expect(bit == (in[x] == index), "mask disagrees with the transparent index");
      }
    }
  }
  Expect(pixels <= limits.max_document_pixels, "document pixels over the limit");
}

// --- gif_reader: cGIF::LoadFromStream, then drawing, composing and saving what was read ---
inline int GifReader(const std::uint8_t* data, std::size_t size) {
  cGIF gif;
  bool loaded = false;
  try {
    loaded = gif.LoadFromStream(std::span(data, size));
  } catch (const Error&) {
    Expect(size < 6, "LoadFromStream raised for a stream of 6 bytes or more");
    return 0;
  }
  if (!loaded) return 0;
  ExpectSoundDocument(gif);

  // Every frame drawn onto a small surface at three scales, cropped and not.
  cDIB canvas;
  if (canvas.Create(64, 64, 32)) {
    for (std::int32_t i = 1; i <= gif.FramesCount(); ++i) {
      const auto n = static_cast<std::int16_t>(i);
      for (const float scale : {0.5f, 1.0f, 2.0f}) {
        gif.FrameDraw(canvas.hDC(), n, -3, 5, scale, (n & 1) != 0);
      }
    }
  }

  // Every frame composed as a viewer shows it, on logical screens small enough
  // for two 32-bit rasters of at most 256 KiB.
  if (std::int64_t{gif.ScreenWidthU16()} * gif.ScreenHeightU16() <= std::int64_t{1} << 16) {
    cGIFComposer composer(gif);
    if (composer.Start()) {
      std::int32_t shown = 0;
      while (composer.Next() == cGIFComposer::kShown) ++shown;
      Expect(shown == gif.FramesCount(), "the composer did not show every frame");
    }
  }

  // The streaming reader shows the same frames, byte for byte, from the same
  // bytes (when the document was not cut at a limit of its own).
  if (!gif.LoadedToLimit() && std::int64_t{gif.ScreenWidthU16()} * gif.ScreenHeightU16() <= std::int64_t{1} << 16) {
    gif_scan::Input input(std::span(data, size));
    gif_scan::Scanner scan(input);
    Expect(scan.Start(), "the scanner refused a GIF the document reader loaded");
    cGIFComposer classic(gif);
    GifFrameComposer streamed(scan);
    if (classic.Start()) {
      Expect(streamed.Start(), "the streaming composer did not start");
      while (classic.Next() == cGIFComposer::kShown) {
        Expect(streamed.Next(), "the streaming composer showed fewer frames");
        Expect(std::memcmp(classic.Screen().lpBits(), streamed.Screen().lpBits(),
                           static_cast<std::size_t>(classic.Screen().Size())) == 0,
               "the streaming composer showed another picture");
      }
      Expect(!streamed.Next(), "the streaming composer showed more frames");
    }
  }

  // What was read must save, and read back to the same number of frames.
  std::vector<std::uint8_t> saved;
  if (gif.SaveToBuffer(saved)) {
    cGIF again;
    Expect(again.LoadFromStream(saved), "a saved document does not load");
    Expect(again.FramesCount() == gif.FramesCount(), "frame count changed through save and load");
  }
  return 0;
}

// --- lzw_decoder: mGIFLZWDec::DecodeImage alone, options from the last 4 bytes ---
// Tail: width - 1 low byte; height - 1 low 6 bits; width - 1 bits 8-9, height - 1
// bits 6-7 and interlace; code size.
// The body is decoded as code data, then used as pixels for an encode/decode
// round trip that must give the pixels back.
inline int LzwDecoder(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t* tail = data + size - 4;
  const std::int32_t width = 1 + tail[0] + ((tail[2] & 0x03) << 8);
  const std::int32_t height = 1 + (tail[1] & 0x3F) + ((tail[2] & 0x0C) << 4);
  const std::int16_t interlaced = (tail[2] & 0x10) != 0 ? -1 : 0;
  const std::uint8_t code_size = static_cast<std::uint8_t>(tail[3] % 13);
  const std::span<const std::uint8_t> body(data, size - 4);

  cDIB raster;
  if (!raster.Create(width, height, 8)) return 0;
  mGIFLZWDec::DecodeImage(raster, interlaced, code_size, body);
  ExpectCleanPadding(raster);

  // Round trip: the body's bytes (cycled, masked below the clear code) as pixels.
  const std::uint8_t min_code_size = static_cast<std::uint8_t>(2 + tail[3] % 7);  // 2..8
  const std::uint32_t value_mask = (1u << min_code_size) - 1;
  cDIB pixels;
  if (!pixels.Create(width, height, 8)) return 0;
  const std::int32_t stride = pixels.BytesPerScanline();
  std::size_t k = 0;
  for (std::int32_t r = 0; r < height; ++r) {
    std::uint8_t* row = pixels.lpBits() + static_cast<std::size_t>(r) * stride;
    for (std::int32_t x = 0; x < width; ++x, ++k) {
      row[x] = body.empty() ? 0 : static_cast<std::uint8_t>(body[k % body.size()] & value_mask);
    }
  }
  std::vector<std::uint8_t> blocks;
  mGIFLZWEnc::VectorSink sink(blocks);
  Expect(mGIFLZWEnc::EncodeFrame(sink, pixels, static_cast<std::uint8_t>(min_code_size + 1), interlaced),
         "the encoder refused pixels below the clear code");
  // Sub-blocks to plain code data.
  std::vector<std::uint8_t> codes;
  for (std::size_t i = 0; i < blocks.size();) {
    const std::size_t n = blocks[i];
    Expect(n >= 1 && n <= 254 && i + 1 + n <= blocks.size(), "malformed sub-block from the encoder");
    codes.insert(codes.end(), blocks.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                 blocks.begin() + static_cast<std::ptrdiff_t>(i + 1 + n));
    i += 1 + n;
  }
  cDIB decoded;
  if (!decoded.Create(width, height, 8)) return 0;
  mGIFLZWDec::DecodeImage(decoded, interlaced, min_code_size, codes);
  Expect(std::memcmp(decoded.lpBits(), pixels.lpBits(), static_cast<std::size_t>(pixels.Size())) == 0,
         "LZW round trip changed the pixels");
  return 0;
}

// Shape of a decoded bitmap: within the picture limits, a known depth.
inline void ExpectSoundBitmap(platform::HBITMAP bitmap) {
  platform::BitmapDesc desc{};
  Expect(platform::GetBitmapDesc(bitmap, &desc), "decoder returned a dead handle");
  const platform::Limits limits = platform::GetLimits();
  Expect(desc.width > 0 && desc.height > 0 && desc.width <= limits.max_picture_side &&
             desc.height <= limits.max_picture_side &&
             std::int64_t{desc.width} * desc.height <= limits.max_picture_pixels,
         "bitmap size outside the picture limits");
  const int bpp = desc.bits_pixel;
  Expect(bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32, "bitmap of an unknown depth");
}

// Imports a bitmap into a 32-bit raster (every depth through the transfer code).
inline void ImportBitmap(platform::HBITMAP bitmap) {
  platform::PictDesc desc;
  desc.bitmap = bitmap;
  const platform::Picture picture = platform::OleCreatePictureIndirect(desc, true);
  Expect(picture != nullptr, "no picture object for a bitmap");
  cDIB raster;
  Expect(raster.CreateFromStdPicture(picture, true) == 32, "a decoded bitmap does not import");
  Expect(raster.Width() == picture->Width() && raster.Height() == picture->Height(), "import changed the size");
}

// --- bmp_reader: bitmap files, and the same bytes as a packed bitmap ---
inline int BmpReader(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  for (const bool file : {true, false}) {
    platform::HBITMAP bitmap = 0;
    try {
      bitmap = file ? platform::DecodeBitmapFile(bytes) : platform::DecodePackedDib(bytes);
    } catch (const Error& e) {
      Expect(e.number() == kErrInvalidPicture || e.number() == kErrOutOfMemory, "unexpected error number");
      continue;
    }
    ExpectSoundBitmap(bitmap);
    ImportBitmap(bitmap);
  }
  return 0;
}

// --- module_resources: a module's bitmap resource, id from the last byte ---
inline int ModuleResources(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::span<const std::uint8_t> module(data, size - 1);
  const std::uint32_t id = data[size - 1];
  for (const std::uint32_t type : {platform::kRtBitmap, std::uint32_t{3}}) {
    const platform::ResourceData found = platform::FindModuleResource(module, type, id);
    if (found.status != platform::ResourceStatus::Found) continue;
    Expect(found.bytes.empty() || (found.bytes.data() >= module.data() &&
                                   found.bytes.data() + found.bytes.size() <= module.data() + module.size()),
           "resource bytes outside the module");
    try {
      const platform::HBITMAP bitmap = platform::DecodePackedDib(found.bytes);
      ExpectSoundBitmap(bitmap);
      platform::DeleteObject(bitmap);
    } catch (const Error&) {
    }
  }
  return 0;
}

// --- clipboard: the input as a format-8 block, imported, exported again ---
inline int ClipboardImport(const std::uint8_t* data, std::size_t size) {
  const platform::HGLOBAL block = platform::GlobalAlloc(0, size);
  if (block == 0) return 0;
  if (size > 0) std::memcpy(platform::GlobalLock(block), data, size);
  if (size > 0) platform::GlobalUnlock(block);
  Expect(platform::OpenClipboard(0), "clipboard cannot be opened");
  platform::EmptyClipboard();
  if (platform::SetClipboardData(platform::kCfDib, block) == 0) platform::GlobalFree(block);
  platform::CloseClipboard();

  cDIB raster;
  const std::int32_t bpp = raster.CreateFromClipboard();
  if (bpp == 0) {
    Expect(raster.hDIB() == 0, "refused block left a raster");
    return 0;
  }
  // Accepted: the block held header, table and pixels; exporting gives them back.
  const std::size_t table = bpp <= 8 ? (std::size_t{4} << bpp) : 0;
  const std::size_t body = table + static_cast<std::size_t>(raster.Size());
  Expect(size >= 40 + body, "accepted a block shorter than its pixels");
  const platform::HGLOBAL exported = raster.CopyToClipboard();
  Expect(exported != 0, "an imported raster does not export");
  Expect(platform::OpenClipboard(0), "clipboard cannot be opened");
  const platform::HGLOBAL held = platform::GetClipboardData(platform::kCfDib);
  const std::uint8_t* out = platform::GlobalLock(held);
  const bool same = out != nullptr && platform::GlobalSize(held) == 40 + body &&
                    std::memcmp(out + 40, data + 40, body) == 0;
  if (out != nullptr) platform::GlobalUnlock(held);
  platform::EmptyClipboard();
  platform::CloseClipboard();
  Expect(same, "clipboard export differs from the imported table and pixels");
  return 0;
}

// --- picture_loader: platform::LoadPictureFromMemory with GIF decoding installed ---
inline int PictureLoader(const std::uint8_t* data, std::size_t size) {
  RegisterGifPictures();
  platform::Picture picture;
  try {
    picture = platform::LoadPictureFromMemory(std::span(data, size));
  } catch (const Error& e) {
    Expect(e.number() == kErrInvalidPicture || e.number() == kErrOutOfMemory, "unexpected error number");
    return 0;
  }
  Expect(picture != nullptr, "loader returned no picture");
  if (picture->Type() != platform::PictureType::Bitmap) {
    cDIB raster;
    Expect(raster.CreateFromStdPicture(picture, true) == 0, "a picture that is not a bitmap imported");
    return 0;
  }
  ExpectSoundBitmap(picture->handle());
  cDIB raster;
  Expect(raster.CreateFromStdPicture(picture, true) == 32, "a loaded bitmap does not import");
  return 0;
}

// --- gif_round_trip: a document built from the input, saved, loaded, compared ---
inline std::int32_t RoundedEntries(std::int32_t entries) {
  std::int32_t n = 2;
  while (n < entries) n *= 2;
  return n;
}

inline void FillPalette(Params& p, std::uint8_t* table, std::int32_t entries) {
  std::memset(table, 0, cGIF::kPaletteBytes);
  for (std::int32_t i = 0; i < entries; ++i) {
    table[4 * i] = p.U8();
    table[4 * i + 1] = p.U8();
    table[4 * i + 2] = p.U8();
  }
}

// The first 2^k entries as the file carries them: given colours, then black.
inline bool SamePalette(const std::uint8_t* written, std::int32_t entries, const std::uint8_t* read) {
  const std::int32_t rounded = RoundedEntries(entries);
  for (std::int32_t i = 0; i < rounded * 4; ++i) {
    const std::uint8_t expected = i < entries * 4 ? written[i] : 0;
    if (read[i] != expected) return false;
  }
  return true;
}

inline int GifRoundTrip(const std::uint8_t* data, std::size_t size) {
  Params p(data, size);
  cGIF doc;
  doc.Destroy();
  doc.GlobalPaletteExists(p.Bit() ? -1 : 0);
  std::int32_t global_entries = 0;
  if (doc.GlobalPaletteExists() != 0) {
    global_entries = p.Range(1, 256);
    doc.GlobalPaletteEntries(static_cast<std::int16_t>(global_entries));
    doc.GlobalPaletteSorted(p.Bit() ? -1 : 0);
    FillPalette(p, doc.lpGlobalPalette(), global_entries);
  }
  const std::int16_t frames = static_cast<std::int16_t>(p.Range(0, 6));
  for (std::int32_t i = 1; i <= frames; ++i) {
    const auto n = static_cast<std::int16_t>(i);
    const std::int16_t w = static_cast<std::int16_t>(p.Range(0, 40));
    const std::int16_t h = static_cast<std::int16_t>(p.Range(0, 40));
    doc.FrameInsert(n, w, h);
    doc.FrameLeft(n, static_cast<std::int16_t>(p.U16()));
    doc.FrameTop(n, static_cast<std::int16_t>(p.U16()));
    doc.FrameDelay(n, static_cast<std::int16_t>(p.U16()));
    doc.FrameDisposalMethod(n, p.Range(0, 7));
    doc.FrameUserInput(n, p.Bit() ? -1 : 0);
    doc.FrameInterlaced(n, p.Bit() ? -1 : 0);
    if (p.Bit()) {
      doc.FrameUseTransparentColor(n, -1);
      doc.FrameTransparentColorIndex(n, p.U8());
    }
    // Without a global table every frame needs its own.
    std::int32_t entries = global_entries;
    if (global_entries == 0 || p.Bit()) {
      entries = p.Range(1, 256);
      doc.LocalPaletteUsed(n, -1);
      doc.LocalPaletteEntries(n, static_cast<std::int16_t>(entries));
      doc.LocalPaletteSorted(n, p.Bit() ? -1 : 0);
      FillPalette(p, doc.lpLocalPalette(n), entries);
    }
    // Pixels below the clear code of the table's code size.
    std::int32_t code_size = 1;
    while ((1 << code_size) < entries) ++code_size;
    code_size = std::max(code_size, 2);
    const auto image = doc.FrameDIBXOR(n);
    if (image->hDIB() == 0) continue;
    const std::int32_t stride = image->BytesPerScanline();
    for (std::int32_t r = 0; r < image->Height(); ++r) {
      std::uint8_t* row = image->lpBits() + static_cast<std::size_t>(r) * stride;
      for (std::int32_t x = 0; x < image->Width(); ++x) {
        row[x] = static_cast<std::uint8_t>(p.U8() & ((1 << code_size) - 1));
      }
    }
  }
  doc.ScreenWidth(static_cast<std::int16_t>(p.U16()));
  doc.ScreenHeight(static_cast<std::int16_t>(p.U16()));
  doc.ScreenBackgroundColorIndex(p.U8());
  doc.ScreenPixelAspectRatio((static_cast<float>(p.U8()) + 15.0f) / 64.0f);
  doc.AnimationLoops(static_cast<std::int16_t>(p.U16() & 0x7FFF));

  std::vector<std::uint8_t> bytes;
  Expect(doc.SaveToBuffer(bytes), "a valid document does not save");
  cGIF back;
  Expect(back.LoadFromStream(bytes), "a saved document does not load");

  Expect(back.FramesCount() == frames, "frame count");
  Expect(back.ScreenWidth() == doc.ScreenWidth() && back.ScreenHeight() == doc.ScreenHeight(), "screen size");
  Expect(back.ScreenBackgroundColorIndex() == doc.ScreenBackgroundColorIndex(), "background index");
  Expect(back.ScreenPixelAspectRatio() == doc.ScreenPixelAspectRatio(), "aspect ratio");
  // The looping extension is written only for a document with frames.
  Expect(back.AnimationLoops() == (frames > 0 ? doc.AnimationLoops() : 0), "loop count");
  Expect(Flag(back.GlobalPaletteExists()) == Flag(doc.GlobalPaletteExists()), "global palette flag");
  if (global_entries > 0) {
    Expect(back.GlobalPaletteEntries() == RoundedEntries(global_entries), "global palette size");
    Expect(Flag(back.GlobalPaletteSorted()) == Flag(doc.GlobalPaletteSorted()), "global sorted flag");
    Expect(SamePalette(doc.lpGlobalPalette(), global_entries, back.lpGlobalPalette()), "global palette");
  }
  for (std::int32_t i = 1; i <= frames; ++i) {
    const auto n = static_cast<std::int16_t>(i);
    Expect(back.FrameLeft(n) == doc.FrameLeft(n) && back.FrameTop(n) == doc.FrameTop(n), "frame position");
    Expect(back.FrameDelay(n) == doc.FrameDelay(n), "frame delay");
    Expect(back.FrameDisposalMethod(n) == doc.FrameDisposalMethod(n), "disposal method");
    Expect(Flag(back.FrameUserInput(n)) == Flag(doc.FrameUserInput(n)), "user input flag");
    Expect(Flag(back.FrameInterlaced(n)) == Flag(doc.FrameInterlaced(n)), "interlace flag");
    Expect(Flag(back.FrameUseTransparentColor(n)) == Flag(doc.FrameUseTransparentColor(n)), "transparency flag");
    if (doc.FrameUseTransparentColor(n) != 0) {
      Expect(back.FrameTransparentColorIndex(n) == doc.FrameTransparentColorIndex(n), "transparent index");
    }
    Expect(Flag(back.LocalPaletteUsed(n)) == Flag(doc.LocalPaletteUsed(n)), "local palette flag");
    if (doc.LocalPaletteUsed(n) != 0) {
      const std::int32_t entries = doc.LocalPaletteEntries(n);
      Expect(back.LocalPaletteEntries(n) == RoundedEntries(entries), "local palette size");
      Expect(Flag(back.LocalPaletteSorted(n)) == Flag(doc.LocalPaletteSorted(n)), "local sorted flag");
      Expect(SamePalette(doc.lpLocalPalette(n), entries, back.lpLocalPalette(n)), "local palette");
    }
    const auto a = doc.FrameDIBXOR(n);
    const auto b = back.FrameDIBXOR(n);
    Expect(a->Width() == b->Width() && a->Height() == b->Height(), "frame size");
    if (a->hDIB() == 0) continue;
    const std::int32_t stride = a->BytesPerScanline();
    for (std::int32_t r = 0; r < a->Height(); ++r) {
      Expect(std::memcmp(a->lpBits() + static_cast<std::size_t>(r) * stride,
                         b->lpBits() + static_cast<std::size_t>(r) * stride, static_cast<std::size_t>(a->Width())) == 0,
             "frame pixels");
    }
  }
  ExpectSoundDocument(back);
  return 0;
}

// --- exif_orientation: the EXIF orientation of the input as a JPEG file ---
// Any input gives 1..8; the value turns a small raster into the shape it promises.
inline int ExifOrientation(const std::uint8_t* data, std::size_t size) {
  const int orientation = platform::JpegOrientation(std::span(data, size));
  Expect(orientation >= 1 && orientation <= 8, "orientation outside 1..8");
  Expect(platform::JpegOrientation(std::span(data, size)) == orientation, "orientation differs on a second read");
  cDIB raster;
  if (!raster.Create(3, 2, 32)) return 0;
  OrientPicture(raster, orientation);
  const bool turned = orientation >= 5;
  Expect(raster.Width() == (turned ? 2 : 3) && raster.Height() == (turned ? 3 : 2), "oriented raster of a wrong size");
  return 0;
}

// Clip times as a decoder might give them (any order, any gap) through the
// timing: starts rise, delays fit a GIF, and the limits hold.
inline void ClipTimes(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return;
  pipeline::ClipWindow window;
  const std::int64_t den = 1 + (data[0] | (data[1] << 8));
  if (data[2] & 1) window.fps = 1 + data[2] / 2.0;
  window.start = data[3] / 16.0;
  if (data[4] != 0) window.end = window.start + data[4] / 8.0;
  window.min_hundredths = data[5] & 1 ? 0 : 2;
  window.max_frames = platform::GetLimits().max_clip_frames;
  window.max_seconds = platform::GetLimits().max_clip_seconds;
  pipeline::ClipTiming timing("fuzz", 1, den, 0, window);
  std::int64_t pts = 0, last = -1, count = 0;
  const auto take = [&] {
    for (std::int64_t s = 0; timing.NextStart(s);) {
      Expect(s >= 0 && (last < 0 || s >= last + window.min_hundredths), "GIF frames out of order");
      last = s;
      ++count;
    }
  };
  try {
    for (std::size_t i = 6; i + 1 < size; i += 2) {
      pts += static_cast<std::int16_t>(data[i] | (data[i + 1] << 8));
      if (timing.Add(pts)) take();
      if (timing.Done()) break;
    }
    timing.End(pts + den / 25);
    take();
    Expect(count <= window.max_frames, "more frames than the limit");
    Expect(last < 0 || timing.EndHundredths() >= last || window.end.has_value(), "the last frame ends before it starts");
  } catch (const Error&) {
  }
}

// Any bytes as a file of a list: the probe says what it is, and a clip or
// animated picture gives frames within the limits, or a clear error.
inline void ClipFile(const std::uint8_t* data, std::size_t size) {
  char name[] = "/tmp/zoetra-fuzz-clip-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) return;
  const bool written = ::write(fd, data, size) == static_cast<ssize_t>(size);
  ::close(fd);
  try {
    const pipeline::SourceKind kind = written ? pipeline::KindOf(name) : pipeline::SourceKind::Picture;
    if (kind != pipeline::SourceKind::Picture) {
      BuilderOptions options;
      pipeline::ClipReader reader(name, kind, options, 1);
      pipeline::ClipFrames batch;
      std::int64_t frames = 0, width = 0, height = 0;
      while (reader.Fill(batch, 4)) {
        for (std::size_t k = 0; k < batch.Frames(); ++k) {
          pipeline::Decoded frame;
          batch.Read(k, true, frame);
          Expect(platform::WithinPictureLimits(platform::GetLimits(), frame.raster.Width(), frame.raster.Height()),
                 "a frame past the picture limits");
          Expect(batch.Delay(k) >= 0, "a negative delay");
          width = std::max<std::int64_t>(width, frame.raster.Width());
          height = std::max<std::int64_t>(height, frame.raster.Height());
          ++frames;
        }
      }
      // A clip is held to its frame limit; an animated picture (a frame each
      // of its own, without a rate) to the animation limits.
      if (kind == pipeline::SourceKind::Clip) {
        Expect(frames <= platform::GetLimits().max_clip_frames, "more frames than the limit");
      } else {
        Expect(platform::AnimationOverLimits(platform::GetLimits(), width, height, frames,
                                             static_cast<std::int64_t>(size))
                   .empty(),
               "more frames than the animation limits");
      }
    }
  } catch (const Error&) {
  }
  std::remove(name);
}

// The first byte chooses: the timing alone (odd) or a whole file (even).
inline int ClipSource(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1) {
    ClipTimes(data + 1, size - 1);
  } else {
    ClipFile(data + 1, size - 1);
  }
  return 0;
}

struct Target {
  const char* name;
  int (*run)(const std::uint8_t* data, std::size_t size);
};

inline constexpr std::array<Target, 9> kTargets{{
    {"gif_reader", &GifReader},
    {"lzw_decoder", &LzwDecoder},
    {"bmp_reader", &BmpReader},
    {"module_resources", &ModuleResources},
    {"clipboard", &ClipboardImport},
    {"picture_loader", &PictureLoader},
    {"gif_round_trip", &GifRoundTrip},
    {"exif_orientation", &ExifOrientation},
    {"clip_source", &ClipSource},
}};

}  // namespace zoetra::fuzz

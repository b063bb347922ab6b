// Reading GIF87a / GIF89a files into a cGIF document: one forward pass over the
// bytes, blocks in any order, every extension but graphic control and the
// looping one skipped by its sub-block lengths. Past a valid header nothing
// fails the load: damaged or missing data ends it with the frames read so far,
// and blocks too short for their fields are passed over with a warning. Host
// limits bound what a file can make us allocate.
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "gif/cgif.hpp"
#include "gif/gif_format.hpp"
#include "gif/mgiflzwdec.hpp"
#include "platform/base/error.hpp"
#include "platform/base/files.hpp"
#include "platform/base/le_bytes.hpp"
#include "platform/base/limits.hpp"
#include "platform/codecs/picture_loader.hpp"

namespace zoetra {

namespace {

using gif_format::kTrailer;
constexpr std::uint8_t kExtension = gif_format::kExtensionIntroducer;
constexpr std::uint8_t kImage = gif_format::kImageSeparator;
constexpr std::uint8_t kGraphicControl = gif_format::kGraphicControlLabel;
constexpr std::uint8_t kApplication = gif_format::kApplicationLabel;

constexpr std::size_t kScreenBytes = 7;
constexpr std::size_t kGraphicControlBytes = 4;  // packed, delay, transparent index
constexpr std::size_t kImageBytes = 9;           // left, top, width, height, packed
constexpr std::size_t kApplicationIdBytes = 11;  // identifier, authentication code
constexpr std::size_t kLoopBytes = 3;            // sub-block id 1, count

constexpr std::int16_t kTrue = -1;

std::int16_t Flag(bool b) { return b ? kTrue : 0; }

// (value AND mask) shifted down to the mask's lowest set bit; 0 for an empty mask.
std::uint8_t GetBitField(std::uint8_t value, std::uint8_t mask) {
  if (mask == 0) return 0;
  std::uint8_t v = value & mask;
  while ((mask & 1) == 0) {
    mask >>= 1;
    v >>= 1;
  }
  return v;
}

// The input and a position in it. Reads past the end never happen: callers ask
// Has() first, reads through `bytes` are checked, and sub-block chains stop at
// the end of the data.
struct Cursor {
  std::span<const std::uint8_t> data;
  std::size_t pos = 0;
  platform::detail::LeBytes bytes{data};

  bool AtEnd() const { return pos >= data.size(); }
  bool Has(std::size_t n) const { return bytes.Has(pos, n); }
  const std::uint8_t* Here() const { return data.data() + pos; }
  std::uint8_t Byte() const { return data[pos]; }
  // The 16-bit field `offset` bytes ahead; 0 when it is not there.
  std::uint16_t U16(std::size_t offset) const { return bytes.U16At(std::uint64_t{pos} + offset); }
  void Skip(std::size_t n) { pos = n > data.size() - std::min(pos, data.size()) ? data.size() + 1 : pos + n; }

  // With the position on a count byte: the sub-block's contents in `out` and
  // the position past it; false, on the 0 count (or at the end), when the
  // chain is over. A sub-block cut short by the end of the data yields the
  // bytes that are there.
  bool NextSubBlock(std::span<const std::uint8_t>& out) {
    if (AtEnd() || data[pos] == 0) return false;
    const std::size_t n = data[pos];
    out = data.subspan(pos + 1, std::min(n, data.size() - pos - 1));
    Skip(n + 1);
    return true;
  }
  // The rest of the chain: its contents appended to `out` (when given), the
  // position left on the 0 count.
  void SubBlocks(std::vector<std::uint8_t>* out) {
    for (std::span<const std::uint8_t> b; NextSubBlock(b);) {
      if (out) out->insert(out->end(), b.begin(), b.end());
    }
  }
};

bool SameBytes(std::span<const std::uint8_t> bytes, std::string_view text) {
  return bytes.size() == text.size() && std::memcmp(bytes.data(), text.data(), text.size()) == 0;
}

std::string ByteCount(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

std::string FrameSizeText(std::int32_t frame, std::int32_t width, std::int32_t height) {
  return "frame " + std::to_string(frame) + " (" + std::to_string(width) + " x " +
         std::to_string(height) + ")";
}

// Reads `entries` colours of 3 bytes into a 1024-byte table (blue, green, red, 0).
// A table cut short keeps the entries that are complete; the others stay 0.
// The caller moves past the table.
void ReadColourTable(Cursor in, std::int32_t entries, std::uint8_t* table) {
  for (std::int32_t i = 0; i < entries && in.Has(3); ++i) {
    const std::uint8_t* rgb = in.Here();
    table[4 * i] = rgb[2];
    table[4 * i + 1] = rgb[1];
    table[4 * i + 2] = rgb[0];
    in.Skip(3);
  }
}

// Fills frame nFrame's raster from its gathered image data and builds its mask.
void DecodeFrameImage(cGIF& gif, std::int16_t nFrame, std::uint8_t MinCodeSize, std::span<const std::uint8_t> Data) {
  const std::shared_ptr<cDIB> image = gif.FrameDIBXOR(nFrame);
  if (!image) return;
  const bool transparent = gif.FrameUseTransparentColor(nFrame) != 0;
  const std::uint8_t index = gif.FrameTransparentColorIndex(nFrame);
  // The raster shows the transparent entry black, for masked drawing; the
  // document's table keeps the colour from the file.
  std::array<std::uint8_t, cGIF::kPaletteBytes> shown;
  std::memcpy(shown.data(), gif.lpLocalPalette(nFrame), shown.size());
  if (transparent) {
    const std::size_t e = std::size_t{index} * 4;
    shown[e] = shown[e + 1] = shown[e + 2] = 0;
  }
  image->SetPalette(shown);
  mGIFLZWDec::DecodeImage(*image, gif.FrameInterlaced(nFrame), MinCodeSize, Data);
  if (transparent) gif.FrameMask(nFrame, index);
}

}  // namespace

bool cGIF::LoadFromFile(std::string_view Filename) {
  try {
    const platform::Limits limits = platform::GetLimits();
    const std::int64_t length = platform::FileLen(Filename);
    if (length <= 0 || length > limits.max_file_bytes) {
      Destroy();
      return false;
    }
    const std::vector<std::uint8_t> bytes =
        platform::ReadFileBytes(Filename, static_cast<std::size_t>(limits.max_file_bytes));
    return LoadFromStream(bytes);
  } catch (...) {
    Destroy();
    return false;
  }
}

bool cGIF::LoadFromStream(std::span<const std::uint8_t> Stream) { return Load(Stream, false); }

bool cGIF::LoadFirstImage(std::span<const std::uint8_t> Stream) { return Load(Stream, true); }

void cGIF::Warn(std::string text) {
  if (load_warnings_.size() < kMaxLoadWarnings) {
    load_warnings_.push_back(std::move(text));
  } else {
    ++warnings_dropped_;
  }
}

bool cGIF::Load(std::span<const std::uint8_t> Stream, bool FirstImageOnly) {
  Destroy();
  if (Stream.size() < 6) RaiseSubscript();
  signature_.assign(reinterpret_cast<const char*>(Stream.data()), 3);
  if (signature_ != "GIF") return false;
  version_.assign(reinterpret_cast<const char*>(Stream.data()) + 3, 3);
  if (version_ != "87a" && version_ != "89a") return false;

  const platform::Limits limits = platform::GetLimits();
  const std::int32_t max_frames = std::min<std::int32_t>(limits.max_document_frames, kMaxFrames);
  std::int64_t pixels_read = 0;

  Cursor in{Stream, 6};
  if (in.Has(kScreenBytes)) std::memcpy(screen_.data(), in.Here(), kScreenBytes);
  in.Skip(kScreenBytes);

  const std::uint8_t screen_packed = screen_[4];
  global_exists_ = Flag(GetBitField(screen_packed, 0x80) != 0);
  if (global_exists_ != 0) {
    global_sorted_ = Flag(GetBitField(screen_packed, 0x08) != 0);
    global_entries_ = static_cast<std::int16_t>(2 << GetBitField(screen_packed, 0x07));
    ReadColourTable(in, global_entries_, global_palette_.data());
    in.Skip(3 * static_cast<std::size_t>(global_entries_));
  }

  std::int32_t n = 0;  // frames read; at most max_frames, so it fits the 16-bit frame numbers
  std::vector<std::uint8_t> block;  // gathered sub-block contents, reused
  bool oversized = false;           // FirstImageOnly: the image is over the picture limits
  std::string limit_reached;        // why the load stopped at a limit
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  while (!in.AtEnd()) {
    const std::uint8_t introducer = in.Byte();
    const std::size_t start = in.pos;
    const auto at_byte = [start] { return " at byte " + std::to_string(start); };
    try {
      if (introducer == kTrailer) {
        loaded_trailer_ = true;
        break;
      }
      if (introducer == kExtension) {
        in.Skip(1);
        if (in.AtEnd()) break;
        const std::uint8_t label = in.Byte();
        in.Skip(1);
        // A known block's fields are in its first sub-block; what follows it,
        // in any block, is skipped by the sub-block lengths to the terminator.
        std::span<const std::uint8_t> head;
        in.NextSubBlock(head);
        if (label == kGraphicControl) {
          // Values for the frame that the next image descriptor creates.
          if (head.size() < kGraphicControlBytes) {
            Warn("graphic control block" + at_byte() + ": " + ByteCount(head.size()) + ", " +
                 std::to_string(kGraphicControlBytes) + " needed; ignored");
          } else if (n < max_frames) {
            EnsureSlots(n + 1);
            FrameRecord& r = slots_[static_cast<std::size_t>(n)];
            const std::uint8_t packed = head[0];
            r.delay = static_cast<std::int16_t>(head[1] | (head[2] << 8));
            r.disposal = GetBitField(packed, 0x1C);
            r.user_input = Flag(GetBitField(packed, 0x02) != 0);
            r.use_transparent = Flag(GetBitField(packed, 0x01) != 0);
            if (r.use_transparent != 0) r.transparent_index = head[3];
          }
        } else if (label == kApplication) {
          if (head.size() != kApplicationIdBytes) {
            Warn("application block" + at_byte() + ": identifier of " + ByteCount(head.size()) +
                 ", " + std::to_string(kApplicationIdBytes) + " needed; skipped");
          } else if (SameBytes(head, "NETSCAPE2.0") || SameBytes(head, "ANIMEXTS1.0")) {
            // Sub-block 1 carries the loop count; counts of 32768 and up do
            // not fit AnimationLoops and leave it as it was.
            for (std::span<const std::uint8_t> sub; in.NextSubBlock(sub);) {
              if (sub.empty() || sub[0] != 1) continue;
              if (sub.size() < kLoopBytes) {
                Warn("looping block" + at_byte() + ": loop sub-block of " + ByteCount(sub.size()) +
                     ", " + std::to_string(kLoopBytes) + " needed; ignored");
                continue;
              }
              loaded_loop_count_ = sub[1] | (sub[2] << 8);
              if (sub[2] < 0x80) animation_loops_ = static_cast<std::int16_t>(loaded_loop_count_);
            }
          }
        }
        in.SubBlocks(nullptr);
      } else if (introducer == kImage) {
        in.Skip(1);
        if (!in.Has(kImageBytes)) break;
        const std::uint8_t* body = in.Here();
        width = in.U16(4);
        height = in.U16(6);
        const std::uint8_t packed = body[8];
        if (FirstImageOnly) {
          oversized = !platform::WithinPictureLimits(limits, width, height);
          if (oversized) break;
        }
        // Refuse before allocating: the frame count, the document's decoded
        // pixels, and a raster larger than the platform can address end the load.
        const std::int64_t pixels = std::int64_t{width} * height;
        const std::int64_t raster_bytes = (std::int64_t{width} + 3) / 4 * 4 * height;
        const auto frame = [&] { return FrameSizeText(n + 1, width, height); };
        if (n >= max_frames) {
          limit_reached =
              frame() + " and those after it are not read: a document holds at most " +
              std::to_string(max_frames) + " frames" +
              (max_frames == limits.max_document_frames ? " (max_document_frames)" : "");
        } else if (pixels > limits.max_document_pixels - pixels_read) {
          limit_reached =
              frame() + " and those after it are not read: the frames would decode to more than " +
              std::to_string(limits.max_document_pixels) + " pixels (max_document_pixels)";
        } else if (raster_bytes > std::numeric_limits<std::int32_t>::max()) {
          limit_reached =
              frame() + " and those after it are not read: the frame is too large for a raster";
        }
        if (!limit_reached.empty()) break;
        EnsureSlots(n + 1);
        ++n;
        FrameRecord& r = slots_[static_cast<std::size_t>(n) - 1];
        r.left = static_cast<std::int16_t>(in.U16(0));
        r.top = static_cast<std::int16_t>(in.U16(2));
        r.interlaced = Flag(GetBitField(packed, 0x40) != 0);
        r.local_used = Flag(GetBitField(packed, 0x80) != 0);
        in.Skip(kImageBytes);
        if (r.local_used != 0) {
          r.local_sorted = Flag(GetBitField(packed, 0x20) != 0);
          r.local_entries = static_cast<std::int16_t>(2 << GetBitField(packed, 0x07));
          ReadColourTable(in, r.local_entries, r.local_palette.data());
          in.Skip(3 * static_cast<std::size_t>(r.local_entries));
        } else {
          r.local_sorted = global_sorted_;
          r.local_entries = global_entries_;
          r.local_palette = global_palette_;
        }
        pixels_read += pixels;
        CreateRasters(r, width, height);
        SetFramesCount(static_cast<std::int16_t>(n));

        std::uint8_t min_code_size = 0;
        if (!in.AtEnd()) {
          min_code_size = in.Byte();
          if (!gif_format::UsableMinCodeSize(min_code_size)) {
            Warn("frame " + std::to_string(n) + ": LZW minimum code size " +
                 std::to_string(min_code_size) +
                 " is outside 1 to 11; the frame is left empty (damaged)");
          }
        }
        in.Skip(1);
        block.clear();
        in.SubBlocks(&block);
        DecodeFrameImage(*this, static_cast<std::int16_t>(n), min_code_size, block);
        if (FirstImageOnly) break;
      }
      // Anything else is a stray byte between blocks.
    } catch (const Error&) {
      // A failing step costs only itself; the pass goes on with the next block.
    }
    in.Skip(1);
  }
  SetFramesCount(static_cast<std::int16_t>(n));
  if (warnings_dropped_ > 0) {
    load_warnings_.push_back("and " + std::to_string(warnings_dropped_) + " more warning" +
                             (warnings_dropped_ == 1 ? "" : "s") + " like these");
  }
  if (!limit_reached.empty()) {
    load_warnings_.push_back(std::move(limit_reached));
    loaded_to_limit_ = true;
  }
  if (oversized) platform::CheckPictureSize(width, height);
  return true;
}

}  // namespace zoetra

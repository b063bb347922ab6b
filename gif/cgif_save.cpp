#include <array>
#include <cstring>
#include <new>

#include "gif/cgif.hpp"
#include "gif/gif_format.hpp"
#include "gif/mgiflzwenc.hpp"
#include "platform/base/files.hpp"
#include "platform/base/ordered_parallel.hpp"

namespace zoetra {

namespace {

constexpr std::int32_t kMaxTableEntries = 256;
using gif_format::kExtensionIntroducer;
using gif_format::kImageSeparator;
using gif_format::kTrailer;

class AtomicFileSink final : public mGIFLZWEnc::ByteSink {
 public:
  explicit AtomicFileSink(platform::AtomicFile& file) : file_(file) {}
  bool Write(std::span<const std::uint8_t> bytes) override { return file_.Write(bytes); }

 private:
  platform::AtomicFile& file_;
};

// Smallest e >= 1 with 2^e >= entries.
std::int32_t TableExponent(std::int32_t entries) {
  std::int32_t e = 1;
  while ((1 << e) < entries) ++e;
  return e;
}

// 2^exponent entries of red, green, blue; entries past `entries` are zero.
bool WriteColourTable(mGIFLZWEnc::ByteSink& out, const std::uint8_t* palette, std::int32_t entries,
                      std::int32_t exponent) {
  std::array<std::uint8_t, 3 * kMaxTableEntries> rgb{};
  for (std::int32_t i = 0; i < entries; ++i) {
    const std::uint8_t* quad = palette + 4 * i;
    rgb[3 * i] = quad[2];
    rgb[3 * i + 1] = quad[1];
    rgb[3 * i + 2] = quad[0];
  }
  return out.Write(std::span<const std::uint8_t>(rgb.data(), static_cast<std::size_t>(3) << exponent));
}

// The LZW minimum code size of a frame: its table's exponent, at least 2.
template <class Record>
std::int32_t CodeSize(const Record& r, std::int32_t global_exponent) {
  const std::int32_t e = r.local_used != 0 ? TableExponent(r.local_entries) : global_exponent;
  return e < 2 ? 2 : e;
}

void PutU16(std::uint8_t* p, std::int32_t v) {
  const auto u = static_cast<std::uint16_t>(static_cast<std::int16_t>(v));
  p[0] = static_cast<std::uint8_t>(u & 0xFF);
  p[1] = static_cast<std::uint8_t>(u >> 8);
}

}  // namespace

bool cGIF::WriteDocument(mGIFLZWEnc::ByteSink& out) {
  try {
    // A document that was never given a frame nor destroyed has nothing to describe.
    if (slots_.empty()) return false;
    const bool frames = frames_count_ > 0;
    const bool gif89 = frames || slots_[0].use_transparent != 0;

    std::int32_t g = 0;
    std::uint8_t packed = 0;
    if (global_exists_ != 0) {
      if (global_entries_ > kMaxTableEntries) return false;
      g = TableExponent(global_entries_);
      packed = static_cast<std::uint8_t>(0x80 | ((g - 1) << 4) | (global_sorted_ != 0 ? 0x08 : 0) | (g - 1));
    }
    screen_[4] = packed;

    std::array<std::uint8_t, 13> head{'G', 'I', 'F', '8', gif89 ? std::uint8_t{'9'} : std::uint8_t{'7'}, 'a'};
    std::memcpy(head.data() + 6, screen_.data(), screen_.size());
    if (!out.Write(head)) return false;
    if (g > 0 && !WriteColourTable(out, global_palette_.data(), global_entries_, g)) return false;

    if (frames && loop_block_) {
      std::array<std::uint8_t, 19> loop{kExtensionIntroducer, gif_format::kApplicationLabel, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E',
                                        '2', '.', '0', 0x03, 0x01, 0, 0, 0x00};
      PutU16(loop.data() + 16, animation_loops_);
      if (!out.Write(loop)) return false;
    }

    // Frame n's blocks; its pixels are LZW-encoded here, or were into `encoded`.
    const auto write_frame = [&](std::int32_t n, const std::vector<std::uint8_t>* encoded) {
      const FrameRecord& r = slots_[static_cast<std::size_t>(n)];
      const bool local = r.local_used != 0;
      std::int32_t l = 0;
      if (local) {
        if (r.local_entries > kMaxTableEntries) return false;
        l = TableExponent(r.local_entries);
      }

      const std::int32_t control =
          (r.use_transparent != 0 ? 0x01 : 0) | (r.user_input != 0 ? 0x02 : 0) | r.disposal * 4;
      if (control > 0xFF) return false;
      const std::array<std::uint8_t, 8> gce{kExtensionIntroducer,
                                            gif_format::kGraphicControlLabel,
                                            0x04,
                                            static_cast<std::uint8_t>(control),
                                            static_cast<std::uint8_t>(static_cast<std::uint16_t>(r.delay) & 0xFF),
                                            static_cast<std::uint8_t>(static_cast<std::uint16_t>(r.delay) >> 8),
                                            static_cast<std::uint8_t>(r.use_transparent != 0 ? r.transparent_index : 0),
                                            0x00};
      if (!out.Write(gce)) return false;

      const std::int32_t width = r.image ? r.image->Width() : 0;
      const std::int32_t height = r.image ? r.image->Height() : 0;
      if (width > kMaxFrames || height > kMaxFrames) return false;
      // Without either table the size field would be -1: no valid descriptor exists.
      const std::int32_t size_field = local ? l - 1 : g - 1;
      if (size_field < 0) return false;
      std::array<std::uint8_t, 10> descriptor{kImageSeparator};
      PutU16(descriptor.data() + 1, r.left);
      PutU16(descriptor.data() + 3, r.top);
      PutU16(descriptor.data() + 5, width);
      PutU16(descriptor.data() + 7, height);
      descriptor[9] = static_cast<std::uint8_t>(size_field | (r.local_sorted != 0 ? 0x20 : 0) |
                                                (r.interlaced != 0 ? 0x40 : 0) | (local ? 0x80 : 0));
      if (!out.Write(descriptor)) return false;
      if (local && !WriteColourTable(out, r.local_palette.data(), r.local_entries, l)) return false;

      const std::int32_t min_code_size = CodeSize(r, g);
      const std::uint8_t code_size_byte = static_cast<std::uint8_t>(min_code_size);
      if (!out.Write(std::span<const std::uint8_t>(&code_size_byte, 1))) return false;
      if (encoded != nullptr) {
        if (!out.Write(*encoded)) return false;
      } else if (r.image &&
                 !mGIFLZWEnc::EncodeFrame(out, *r.image, static_cast<std::uint8_t>(min_code_size + 1), r.interlaced)) {
        return false;
      }
      const std::uint8_t terminator = 0x00;
      return out.Write(std::span<const std::uint8_t>(&terminator, 1));
    };

    if (save_threads_ <= 1 || frames_count_ < 2) {
      for (std::int32_t n = 0; n < frames_count_; ++n) {
        if (!write_frame(n, nullptr)) return false;
      }
    } else {
      // Frames are encoded on worker threads, a few ahead, and written in order.
      struct WriteFailed {};
      const auto count = static_cast<std::size_t>(frames_count_);
      std::vector<std::vector<std::uint8_t>> encoded(count);
      std::vector<char> encoded_ok(count, 0);
      platform::OrderedParallel(
          count, save_threads_,
          [&](std::size_t k, unsigned) {
            const FrameRecord& r = slots_[k];
            if (!r.image) {
              encoded_ok[k] = 1;
              return;
            }
            mGIFLZWEnc::VectorSink sink(encoded[k]);
            encoded_ok[k] = mGIFLZWEnc::EncodeFrame(sink, *r.image, static_cast<std::uint8_t>(CodeSize(r, g) + 1),
                                                    r.interlaced)
                                ? 1
                                : 0;
          },
          [&](std::size_t k) {
            if (!encoded_ok[k] || !write_frame(static_cast<std::int32_t>(k), &encoded[k])) throw WriteFailed{};
            std::vector<std::uint8_t>().swap(encoded[k]);
          },
          std::size_t{save_threads_} + 2);
    }

    const std::uint8_t trailer = kTrailer;
    return out.Write(std::span<const std::uint8_t>(&trailer, 1));
  } catch (...) {
    // Failures of the raster layer or of memory end the save like a write error.
    return false;
  }
}

bool cGIF::Save(std::string_view Filename) {
  try {
    // The target is replaced only by a complete file; on failure it stays as it was.
    platform::AtomicFile file;
    if (!file.Open(Filename)) return false;
    AtomicFileSink sink(file);
    if (!WriteDocument(sink)) {
      file.Abandon();
      return false;
    }
    return file.Commit();
  } catch (...) {
    return false;
  }
}

bool cGIF::SaveToBuffer(std::vector<std::uint8_t>& out) {
  out.clear();
  try {
    mGIFLZWEnc::VectorSink sink(out);
    if (WriteDocument(sink)) return true;
  } catch (...) {
  }
  out.clear();
  return false;
}

}  // namespace zoetra

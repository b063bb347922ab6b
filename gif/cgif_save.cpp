#include <array>
#include <cstring>
#include <new>

#include "gif/cgif.hpp"
#include "gif/gif_blocks.hpp"
#include "gif/mgiflzwenc.hpp"
#include "platform/base/files.hpp"
#include "platform/base/ordered_parallel.hpp"

namespace zoetra {


bool cGIF::WriteDocument(mGIFLZWEnc::ByteSink& out) {
  try {
    // A document that was never given a frame nor destroyed has nothing to describe.
    if (slots_.empty()) return false;
    const bool frames = frames_count_ > 0;
    const bool gif89 = frames || slots_[0].use_transparent != 0;

    std::int32_t g = 0;
    std::uint8_t packed = 0;
    if (global_exists_ != 0) {
      if (global_entries_ > gif_blocks::kMaxTableEntries) return false;
      g = gif_blocks::TableExponent(global_entries_);
      packed = static_cast<std::uint8_t>(0x80 | ((g - 1) << 4) | (global_sorted_ != 0 ? 0x08 : 0) | (g - 1));
    }
    screen_[4] = packed;

    if (!gif_blocks::WriteHeader(out, gif89, screen_)) return false;
    if (g > 0 && !gif_blocks::WriteColourTable(out, global_palette_.data(), global_entries_, g)) return false;
    if (frames && loop_block_ && !gif_blocks::WriteLoopBlock(out, animation_loops_)) return false;

    const auto head_of = [](const FrameRecord& r) {
      gif_blocks::FrameHead h;
      h.left = r.left;
      h.top = r.top;
      h.width = r.image ? r.image->Width() : 0;
      h.height = r.image ? r.image->Height() : 0;
      h.disposal = r.disposal;
      h.delay = r.delay;
      h.user_input = r.user_input != 0;
      h.use_transparent = r.use_transparent != 0;
      h.transparent_index = static_cast<std::uint8_t>(r.transparent_index);
      h.interlaced = r.interlaced != 0;
      if (r.local_used != 0) {
        h.local_table = r.local_palette.data();
        h.local_entries = r.local_entries;
      }
      h.local_sorted = r.local_sorted != 0;  // written as stored, with or without a table
      return h;
    };
    // Frame n's blocks; its pixels are LZW-encoded here, or were into `encoded`.
    const auto write_frame = [&](std::int32_t n, const std::vector<std::uint8_t>* encoded) {
      const FrameRecord& r = slots_[static_cast<std::size_t>(n)];
      const gif_blocks::FrameHead head = head_of(r);
      if (!gif_blocks::WriteFrameStart(out, head, g)) return false;
      const std::int32_t min_code_size = gif_blocks::MinCodeSize(head, g);
      if (encoded != nullptr) {
        if (!out.Write(*encoded)) return false;
      } else if (r.image &&
                 !mGIFLZWEnc::EncodeFrame(out, *r.image, static_cast<std::uint8_t>(min_code_size + 1), r.interlaced)) {
        return false;
      }
      return gif_blocks::WriteFrameEnd(out);
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
            const std::int32_t code_size = gif_blocks::MinCodeSize(head_of(r), g);
            encoded_ok[k] = mGIFLZWEnc::EncodeFrame(sink, *r.image, static_cast<std::uint8_t>(code_size + 1),
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

    return gif_blocks::WriteTrailer(out);
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
    gif_blocks::AtomicFileSink sink(file);
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

#include "gif/mgiflzwenc.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <memory>

namespace zoetra {

namespace mGIFLZWEnc {
namespace {

// A slot holds (key << 12) | code with key = pixel * 4096 + prefix (20 bits).
// Stored codes are at least clear + 2 >= 6, so an all-zero word marks an empty
// slot; a live slot whose key is 0 reads as a value below 4096.
constexpr std::uint32_t kEmptySlot = 0;
constexpr std::uint32_t kCodeBits = 0xFFF;
constexpr std::uint32_t kHashShift = 4;  // 5003 doubled to 65536 takes 4 steps: 8 - 4
constexpr std::int32_t kBlocksPerWrite = 32;
constexpr std::size_t kDataChunk = static_cast<std::size_t>(kSubBlockData) * kBlocksPerWrite;

// Longest run string c^n whose code is kept per pixel value c, and the run
// length from which the encoder looks there (see Encoder::Row).
constexpr std::uint32_t kRunCodes = 256;
constexpr std::ptrdiff_t kRunStart = 4;

struct State {
  std::uint32_t table[kHashSize];
  // run_code[c][n - 1] is the code of the string of n pixels c, for n up to
  // run_length[c]; the string of one pixel is the pixel value itself.
  // run_top[c] repeats the code of the longest, so that noting a new string
  // touches two small tables only.
  std::uint16_t run_length[256];
  std::uint16_t run_top[256];
  std::uint16_t run_code[256][kRunCodes];
  std::uint8_t data[kDataChunk + 16];  // slack for the 4-byte stores past the chunk end
  std::uint8_t framed[kBlocksPerWrite * (kSubBlockData + 1)];
};

// Allocated on first use in each thread and reused for every later frame.
State& ThreadState() {
  thread_local std::unique_ptr<State> state;
  if (!state) {
    state = std::make_unique<State>();
    for (std::uint32_t c = 0; c < 256; ++c) state->run_code[c][0] = static_cast<std::uint16_t>(c);
  }
  return *state;
}

inline std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline void Store32(std::uint8_t* p, std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, 4);
  } else {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
  }
}

// Frames `len` data bytes as sub-blocks of 254 (the last one shorter) and
// hands them to the sink, up to kBlocksPerWrite blocks per call.
bool WriteBlocks(State& st, ByteSink& out, const std::uint8_t* data, std::size_t len) {
  while (len > 0) {
    std::size_t framed = 0;
    for (std::int32_t b = 0; b < kBlocksPerWrite && len > 0; ++b) {
      const std::size_t n = len < static_cast<std::size_t>(kSubBlockData) ? len : kSubBlockData;
      st.framed[framed] = static_cast<std::uint8_t>(n);
      std::memcpy(st.framed + framed + 1, data, n);
      framed += n + 1;
      data += n;
      len -= n;
    }
    if (!out.Write(std::span<const std::uint8_t>(st.framed, framed))) return false;
  }
  return true;
}

class Encoder {
 public:
  Encoder(State& st, ByteSink& out, std::int32_t initial_width)
      : st_(st),
        out_(out),
        initial_width_(initial_width),
        clear_code_(1u << (initial_width - 1)),
        end_code_(clear_code_ + 1) {
    ResetTable();
    width_ = initial_width_;
    largest_ = (1u << width_) - 1;
    code_mask_ = largest_;
  }

  bool failed() const { return failed_; }

  void Start() { Emit(clear_code_); }

  // Feeds one row of pixels, carrying the current string across rows.
  inline void Row(const std::uint8_t* p, const std::uint8_t* end) {
    std::uint32_t prefix = prefix_;
    std::uint32_t seen = 0;
    std::uint32_t* const table = st_.table;
    for (; p != end; ++p) {
      const std::uint32_t c = *p;
      seen |= c;
      const std::uint32_t key = (c << 12) | prefix;
      const std::uint32_t tagged = key << 12;
      std::uint32_t slot = (c << kHashShift) ^ prefix;
      std::uint32_t e = table[slot];
      // A match leaves just the code (1..4095) after removing the key; an empty
      // slot leaves 0 and any other key leaves 4096 or more.
      if ((e ^ tagged) - 1u < kCodeBits) {
        prefix = e & kCodeBits;
        continue;
      }
      if (e != kEmptySlot) {
        const std::uint32_t step = slot == 0 ? 1 : kHashSize - slot;
        bool found = false;
        for (;;) {
          slot = slot >= step ? slot - step : slot + kHashSize - step;
          e = table[slot];
          if ((e ^ tagged) - 1u < kCodeBits) {
            found = true;
            break;
          }
          // An empty slot, or one whose key is 0, ends the probe; the new string
          // takes it (a key-0 string stored there is lost, which costs ratio only).
          if (e <= kCodeBits) {
            // Key 0 is pixel 0 after pixel 0: the run string of two 0s is gone.
            if (e != kEmptySlot) {
              st_.run_length[0] = 1;
              st_.run_top[0] = 0;
            }
            break;
          }
        }
        if (found) {
          prefix = e & kCodeBits;
          continue;
        }
      }
      Emit(prefix);
      if (next_free_ < static_cast<std::uint32_t>(kCodeLimit)) {
        table[slot] = (key << 12) | next_free_;
        NoteRun(c, prefix);
        ++next_free_;
      } else {
        ResetTable();
        Emit(clear_code_);  // goes out at 12 bits; the width drops right after it
        width_ = initial_width_;
        largest_ = (1u << width_) - 1;
        code_mask_ = largest_;
      }
      prefix = c;
      // More pixels c: the strings c c, c c c, ... that the table holds would
      // each be found by a lookup; their codes are known, so take the longest
      // one the run covers at once. (Lookups that find a string change nothing.)
      // Only runs of some length pay for the look-aside: four more pixels c.
      if (end - p <= kRunStart || p[1] != c || Load32(p + 1) != c * 0x01010101u) continue;
      if (const std::uint32_t known = st_.run_length[c]; known > kRunStart) {
        const std::size_t limit =
            std::min<std::size_t>(known - 1, static_cast<std::size_t>(end - p - 1));
        std::size_t more = kRunStart;
        while (more < limit && p[more + 1] == c) ++more;
        prefix = st_.run_code[c][more];
        p += more;
      }
    }
    prefix_ = prefix;
    // The clear code is a power of two: a pixel at or above it sets a bit the OR keeps.
    if (seen >= clear_code_) failed_ = true;
  }

  void SeedPrefix(std::uint32_t first) {
    prefix_ = first;
    if (first >= clear_code_) failed_ = true;
  }

  // Emits the last prefix and the end code, then writes out every pending byte.
  bool Finish(bool any_pixels = true) {
    if (any_pixels) Emit(prefix_);
    Emit(end_code_);
    if (failed_) return false;
    while (bits_ > 0) {
      st_.data[pos_++] = static_cast<std::uint8_t>(acc_);
      acc_ >>= 8;
      bits_ -= 8;
    }
    if (!failed_ && !WriteBlocks(st_, out_, st_.data, pos_)) failed_ = true;
    pos_ = 0;
    return !failed_;
  }

 private:
  void ResetTable() {
    std::memset(st_.table, 0, sizeof st_.table);
    std::fill(std::begin(st_.run_length), std::end(st_.run_length), std::uint16_t{1});
    for (std::uint32_t c = 0; c < 256; ++c) st_.run_top[c] = static_cast<std::uint16_t>(c);
    next_free_ = clear_code_ + 2;
  }

  // A new string of pixel c after `prefix`: when the prefix is the longest
  // known run of c, the new string is the next longer one.
  void NoteRun(std::uint32_t c, std::uint32_t prefix) {
    if (st_.run_top[c] != prefix) return;
    const std::uint32_t n = st_.run_length[c];
    if (n >= kRunCodes) return;
    st_.run_code[c][n] = static_cast<std::uint16_t>(next_free_);
    st_.run_top[c] = static_cast<std::uint16_t>(next_free_);
    st_.run_length[c] = static_cast<std::uint16_t>(n + 1);
  }

  inline void Emit(std::uint32_t code) {
    acc_ |= static_cast<std::uint64_t>(code & code_mask_) << bits_;
    bits_ += static_cast<std::int32_t>(width_);
    if (bits_ >= 32) {
      Store32(st_.data + pos_, static_cast<std::uint32_t>(acc_));
      pos_ += 4;
      acc_ >>= 32;
      bits_ -= 32;
      if (pos_ >= kDataChunk) FlushChunk();
    }
    if (next_free_ > largest_) {
      ++width_;
      largest_ = width_ == static_cast<std::uint32_t>(kMaxCodeWidth) ? static_cast<std::uint32_t>(kCodeLimit)
                                                                     : (1u << width_) - 1;
      code_mask_ = (1u << width_) - 1;
    }
  }

  void FlushChunk() {
    if (!failed_ && !WriteBlocks(st_, out_, st_.data, kDataChunk)) failed_ = true;
    const std::size_t rest = pos_ - kDataChunk;
    std::memmove(st_.data, st_.data + kDataChunk, rest);
    pos_ = rest;
  }

  State& st_;
  ByteSink& out_;
  const std::uint32_t initial_width_;
  const std::uint32_t clear_code_;
  const std::uint32_t end_code_;
  std::uint32_t width_ = 0;
  std::uint32_t largest_ = 0;
  std::uint32_t code_mask_ = 0;
  std::uint32_t next_free_ = 0;
  std::uint32_t prefix_ = 0;
  std::uint64_t acc_ = 0;
  std::int32_t bits_ = 0;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

}  // namespace

bool EncodeFrame(ByteSink& out, const cDIB& raster, std::uint8_t InitialCodeWidth, std::int16_t Interlaced) {
  if (raster.BPP() != 8) return true;
  if (InitialCodeWidth < 3 || InitialCodeWidth > 9) return false;
  const std::int32_t width = raster.Width();
  const std::int32_t height = raster.Height();
  RasterByteView view;
  BindRasterByteView(view, raster);

  Encoder enc(ThreadState(), out, InitialCodeWidth);
  enc.Start();
  if (width <= 0 || height <= 0 || view.base == nullptr || view.row_length < width) {
    // No pixels: a bare clear/end pair keeps the stream well formed.
    return enc.Finish(false);
  }

  const bool interlace = Interlaced != 0;
  std::int32_t row = 0;
  std::int32_t pass = 0;
  const std::uint8_t* first = view.row(0);
  enc.SeedPrefix(first[0]);
  enc.Row(first + 1, first + width);
  for (std::int32_t rows_left = height - 1; rows_left > 0 && !enc.failed(); --rows_left) {
    row = interlace ? gif_format::NextInterlacedRow(row, pass, height) : row + 1;
    const std::uint8_t* p = view.row(row);
    enc.Row(p, p + width);
  }
  return enc.Finish();
}

}  // namespace mGIFLZWEnc
}  // namespace zoetra

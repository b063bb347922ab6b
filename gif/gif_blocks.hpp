// The blocks of a GIF file, written one at a time: the document's save and
// the streaming writer put out the same bytes for the same frames through
// these. Each returns false when the sink refused a write or a field cannot
// be written (a table past 256 entries, a side past 32767, a frame that has
// no colour table at all); what was written before is then to be discarded.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "gif/mgiflzwenc.hpp"
#include "platform/base/files.hpp"

namespace zoetra::gif_blocks {

using Sink = mGIFLZWEnc::ByteSink;

// Bytes into a file that replaces its target only once complete.
class AtomicFileSink final : public Sink {
 public:
  explicit AtomicFileSink(platform::AtomicFile& file) : file_(file) {}
  bool Write(std::span<const std::uint8_t> bytes) override { return file_.Write(bytes); }

 private:
  platform::AtomicFile& file_;
};

inline constexpr std::int32_t kMaxTableEntries = 256;
inline constexpr std::int32_t kMaxSide = 32767;

// Smallest e >= 1 with 2^e >= entries: a colour table holds 2^e entries.
std::int32_t TableExponent(std::int32_t entries);

// The signature ("GIF89a", or "GIF87a" when nothing needs 89a) and the screen
// record; `screen` is width, height, packed byte, background index, aspect.
bool WriteHeader(Sink& out, bool gif89, const std::array<std::uint8_t, 7>& screen);
// 2^exponent entries of red, green, blue from a table of blue, green, red, 0;
// entries past `entries` are zero.
bool WriteColourTable(Sink& out, const std::uint8_t* table, std::int32_t entries, std::int32_t exponent);
// The looping block: `loops` repeats as 16 unsigned bits, 0 forever.
bool WriteLoopBlock(Sink& out, std::int16_t loops);

// Everything a frame says about itself besides its pixels.
struct FrameHead {
  std::int32_t left = 0, top = 0, width = 0, height = 0;
  std::int32_t disposal = 0;
  std::int16_t delay = 0;  // hundredths, as 16 bits
  bool user_input = false;
  bool use_transparent = false;
  std::uint8_t transparent_index = 0;
  bool interlaced = false;
  const std::uint8_t* local_table = nullptr;  // blue, green, red, 0; null: the global table
  std::int32_t local_entries = 0;
  bool local_sorted = false;  // the descriptor's sort flag
};

// The LZW minimum code size of a frame: its table's exponent, at least 2.
std::int32_t MinCodeSize(const FrameHead& frame, std::int32_t global_exponent);
// The graphic control block, the image descriptor, the local table and the
// minimum code size byte: what comes before the frame's LZW data.
// `global_exponent` is 0 when the file has no global table.
bool WriteFrameStart(Sink& out, const FrameHead& frame, std::int32_t global_exponent);
// The block terminator after the frame's data.
bool WriteFrameEnd(Sink& out);
bool WriteTrailer(Sink& out);

}  // namespace zoetra::gif_blocks

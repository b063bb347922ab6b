// A GIF file walked block by block without decoding its pixels: the screen,
// then one record per image (its rectangle, timing, disposal, transparency,
// interlace, colour table, where its LZW data lies), read through a bounded
// buffer so that a file of any length and any frame count costs the same
// memory. `zoetra info` lists the records; the frame composer
// (gif/gif_frame_composer.hpp) decodes each image's data as it comes.
//
// The blocks are read as cGIF's loader reads them (gif/cgif_load.cpp): any
// order, every extension but graphic control and looping skipped by its
// sub-block lengths, damaged data ending the frames, blocks too short for
// their fields passed over with the loader's own warnings. There is no
// frame or pixel limit here: callers bound what they compose.
//
//   gif_scan::Input input(path);                 // or Input(bytes)
//   gif_scan::Scanner scan(input);
//   if (!scan.Start()) ...;                      // not a GIF
//   for (gif_scan::Frame f; scan.Next(f);) use(f);   // scan.Data() for its LZW data
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zoetra::gif_scan {

// Bytes in order, from memory or from a file through a 64 KiB buffer.
class Input {
 public:
  explicit Input(std::span<const std::uint8_t> bytes);
  // 53 naming the path when it is missing, 75 when it cannot be read.
  explicit Input(const std::string& path);
  ~Input();
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // The file's length when it was opened (or the bytes' count); -1 for a
  // file that has none (a pipe).
  std::int64_t Size() const { return size_; }
  // Where the next byte lies.
  std::uint64_t Offset() const { return offset_; }
  // The next byte, or -1 at the end of the data.
  int Byte();
  // Up to n bytes into `to`; fewer only at the end of the data.
  std::size_t Read(std::uint8_t* to, std::size_t n);
  void Skip(std::uint64_t n);

 private:
  bool Refill();

  std::span<const std::uint8_t> window_;  // memory, or the filled part of buffer_
  std::size_t pos_ = 0;
  int fd_ = -1;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t offset_ = 0;
  std::int64_t size_ = -1;
};

// The header and the logical screen.
struct Screen {
  std::string signature, version;  // "GIF", "87a" / "89a"
  std::array<std::uint8_t, 7> record{};  // width, height (LE), packed, background, aspect
  std::int32_t width = 0, height = 0;    // unsigned 16 bits
  std::uint8_t background = 0;
  bool global = false, global_sorted = false;
  std::int32_t global_entries = 0;
  std::array<std::uint8_t, 1024> global_table{};  // blue, green, red, 0
};

// One image and the graphic control block before it.
struct Frame {
  std::int64_t index = 0;    // 1-based, in file order
  std::uint64_t offset = 0;  // of its image separator
  std::int32_t left = 0, top = 0, width = 0, height = 0;  // unsigned 16 bits each
  std::int32_t delay = 0;  // hundredths, unsigned 16 bits
  std::int32_t disposal = 0;
  bool user_input = false;
  bool use_transparent = false;
  std::uint8_t transparent_index = 0;
  bool interlaced = false;
  bool local = false, local_sorted = false;
  std::int32_t local_entries = 0;                // 0 without a local table
  std::array<std::uint8_t, 1024> table{};        // its colours: the local table, else the global one
  std::uint8_t min_code_size = 0;                // 0 when the data ends before it
};

class Scanner {
 public:
  explicit Scanner(Input& input) : in_(input) {}

  // Reads the signature, the screen and the global table: false when the
  // data is no GIF (nor 6 bytes long).
  bool Start();
  const Screen& screen() const { return screen_; }

  // Passes over the rest of the current image's data and reads on to the
  // next image: true with `frame` filled, false at the trailer or the end
  // of the data.
  bool Next(Frame& frame);
  // The current image's LZW data, one sub-block per call; empty at its end.
  std::span<const std::uint8_t> Data();

  // Frames found so far.
  std::int64_t Frames() const { return frames_; }
  // The last looping block's count (0 forever), or -1 when none was read.
  std::int32_t LoopCount() const { return loop_count_; }
  // Whether the trailer was reached (known once Next returned false).
  bool Trailer() const { return trailer_; }
  // What was passed over, as cGIF::LoadWarnings words it (at most 16 lines
  // and one that counts the rest, once Next returned false).
  const std::vector<std::string>& Warnings() const { return warnings_; }

 private:
  void Warn(std::string text);
  // Reads one sub-block into `block`; false on the 0 count or at the end.
  bool SubBlock(std::span<const std::uint8_t>& block);
  void SkipSubBlocks();

  Input& in_;
  Screen screen_;
  std::int64_t frames_ = 0;
  std::int32_t loop_count_ = -1;
  bool trailer_ = false;
  bool ended_ = false;
  bool in_data_ = false;  // between an image's code size byte and its terminator
  std::vector<std::string> warnings_;
  std::size_t warnings_dropped_ = 0;
  std::array<std::uint8_t, 256> block_{};
};

}  // namespace zoetra::gif_scan

// mQuantize: palettes chosen from many pictures, and pictures mapped to them.
//
// This is the colour path of the palette modes `all` and `frame` of the
// builder; the default path (octree palette of the first picture, 4096-cell
// colour map) lives in cPal8bpp and mDither8bpp and is not touched by this one.
//
// ColourHistogram counts the colours of any number of 32-bit rasters. It keeps
// exact colours while there are few; past kMaxHistogramColours it drops the
// lowest bit of each channel (and again, as often as needed), keeping every
// bucket's colour sums, so its means stay exact and its memory stays bounded.
//
// BuildPalette picks at most 256 colours for a histogram: all of them when it
// holds that few exact colours (so mapping is lossless), otherwise a variance
// median cut (always splitting the box of largest squared error, at the cut
// that leaves the least) refined by weighted k-means. Both minimise the mean
// squared error, which is what the eye and PSNR punish.
//
// PaletteMapper maps a 32-bit raster to palette indices with the exact nearest
// entry (squared RGB distance, lowest index on a tie), answered a cell of
// colours at a time. With diffusion on, part of the mapping error is spread
// Floyd-Steinberg style in serpentine order: five eighths of it, clamped so no
// streaks run away from hard edges, and none where the picture is busy.
//
// Everything here is deterministic: the same pixels give the same palette and
// indices on every run and thread. Nothing throws except 7 (out of memory)
// from the histogram's growth, and 481 for a source that is not 32-bit.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/base/export.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra {

class cDIB;

namespace mQuantize {

// Colours a histogram keeps before it coarsens its buckets.
inline constexpr std::size_t kMaxHistogramColours = std::size_t{1} << 15;

class ColourHistogram {
 public:
  ColourHistogram();
  // Counts every pixel of a 32-bit raster (blue, green, red, unused); with
  // `skip_marked`, not those whose fourth byte is not 0 (transparent ones).
  void AddPicture(const cDIB& picture, bool skip_marked = false);
  // Counts `count` pixels starting at `pixels` (4 bytes each).
  void AddPixels(const std::uint8_t* pixels, std::size_t count, bool skip_marked = false);
  // Adds what `other` counted. The result is the same as counting its pixels
  // here (the shift a histogram ends with depends only on its colours).
  void Merge(const ColourHistogram& other);
  void Clear();

  // Bits dropped per channel so far (0 while every colour is exact).
  int shift() const { return shift_; }
  std::size_t colours() const { return used_; }
  std::uint64_t pixels() const { return pixels_; }

  struct Bucket {
    std::uint32_t key;  // (r << 16 | g << 8 | b) >> shift per channel
    std::uint64_t count;
    std::uint64_t sum[3];  // red, green, blue
  };
  // The buckets in ascending key order.
  std::vector<Bucket> Buckets() const;

 private:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
  void Add(std::uint32_t rgb, std::uint64_t n);
  // Adds a bucket of a histogram at `from_shift` <= shift_ (key at that shift).
  void AddBucket(const Bucket& bucket, int from_shift);
  void Coarsen();
  void Rehash(std::size_t slots, int coarser);

  int shift_ = 0;
  std::size_t used_ = 0;
  std::uint64_t pixels_ = 0;
  std::vector<Bucket> slots_;  // open addressing, key kEmpty = free
};

// Up to 256 colours; table entries are blue, green, red, 0.
struct Palette {
  std::array<std::uint8_t, 1024> table{};
  int entries = 0;
  bool exact = false;  // every colour counted is an entry: mapping loses nothing
};

// At most max_colours (1..256) colours for the histogram's pixels; an empty
// histogram gives one black entry. `threads` share the refinement; the
// palette is the same for any number.
Palette BuildPalette(const ColourHistogram& histogram, int max_colours = 256, unsigned threads = 1);

class PaletteMapper {
 public:
  explicit PaletteMapper(const Palette& palette);

  // Index of the entry nearest to (r, g, b); exact, lowest index on a tie.
  // Nearest asks every entry; Lookup asks the candidates of the colour's cell.
  std::uint8_t Nearest(int r, int g, int b) const;
  std::uint8_t Lookup(std::uint32_t rgb) const;

  // Recreates `frame` as an 8-bit raster of the source's size whose colour
  // table is the palette, and fills it. Memory row y of the frame holds memory
  // row y of the source. With `measure`, returns the mean squared error per
  // channel of the frame's colours against the source (else 0 when
  // diffusing). Many threads may map with one mapper at once (they share the
  // cells any of them has answered).
  double Map(const cDIB& source, cDIB& frame, bool diffuse, bool measure = false) const;

 private:
  // The colour space is cut into cells of 8 x 8 x 8 colours. The first query
  // in a cell answers all 512 of its colours at once (from the few entries
  // that can be nearest to any of them), so neighbouring pixels, which ask
  // about neighbouring colours, read neighbouring bytes.
  static constexpr int kCellBits = 3;
  static constexpr int kCellColours = 1 << (3 * kCellBits);
  static constexpr std::size_t kCells = std::size_t{1} << (3 * (8 - kCellBits));
  // Every colour has its own answer byte, at its channels' bits interleaved
  // (r g b r g b ...): a cell's answers are one block, each 4 x 4 x 4 corner
  // of it one cache line, and neighbouring cells share pages. The place is
  // known before the cell's state, so the two loads do not wait on each other.
  std::uint8_t Answer(int r, int g, int b) const;
  // The same through tables the caller holds in registers.
  std::uint8_t Answer(const std::atomic<std::uint8_t>* cells, const std::uint8_t* answers, int r, int g, int b) const;
  // Answers the cell of (r, g, b) if no thread has yet.
  void BuildCell(int r, int g, int b) const;
  template <int kDir, bool kMeasure>
  std::uint64_t DiffuseRow(const std::uint8_t* in, std::uint8_t* out, const std::int16_t* above,
                           std::int16_t* below, std::size_t width) const;

  Palette palette_;
  int n_ = 0;
  std::array<std::array<int, 3>, 256> rgb_{};
  // The entries again as blue, green, red, 0: the order of the pixels' bytes.
  alignas(16) std::array<std::int16_t, 4 * 256> bgr0_{};
  // Per cell: unbuilt, being answered, or answered. Answers have room for
  // every colour, but only the pages of answered cells are ever touched.
  std::unique_ptr<std::atomic<std::uint8_t>[]> cells_;
  std::unique_ptr<std::uint8_t[]> answers_;
};

}  // namespace mQuantize
}  // namespace zoetra

ZOETRA_PUBLIC_END

// The palette stage: which colours each frame may use, and each picture
// mapped to them. Three strategies over the one pipeline:
//   AllPictures  one palette from every picture's colours: it counts them in
//                a pass of its own before any frame is mapped;
//   FramePalette each frame its own palette, written as its local table;
//   Greys        256 greys, diffused as the classic conversion diffuses them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "pipeline/options.hpp"
#include "raster/cdib.hpp"

namespace zoetra {
namespace mQuantize {
class ColourHistogram;
}

namespace pipeline {

using Table = std::array<std::uint8_t, 1024>;  // blue, green, red, 0

// A frame's indices and, with palettes of their own, its table.
struct Mapped {
  cDIB pixels;  // 8 bits, memory row 0 at the top
  Table table{};
  std::int32_t entries = 0;  // 0: the global table
  // The index clear pixels carry, an entry of the table kept for them; -1: none.
  std::int32_t transparent = -1;
};

class PaletteStrategy {
 public:
  virtual ~PaletteStrategy() = default;

  // True when every picture must be counted (Count, then Add in list order,
  // then Seal) before the first frame is mapped.
  virtual bool CountsFirst() const { return false; }
  // `clear`: the picture has clear pixels (fourth byte kClearPixel), which
  // take no colour.
  virtual void Count(const cDIB& /*picture*/, bool /*clear*/, mQuantize::ColourHistogram& /*into*/) const {}
  virtual void Add(const mQuantize::ColourHistogram& /*counted*/) {}
  // Makes the palette; `workers` threads will then call Map at once.
  virtual void Seal(unsigned workers) = 0;

  // The global table and its entries; 0 entries: every frame has its own.
  virtual std::int32_t GlobalEntries() const { return 0; }
  virtual const Table& GlobalTable() const;
  // The global table's entry kept for clear pixels; -1: none.
  virtual std::int32_t GlobalTransparent() const { return -1; }

  // Maps an upright picture (any thread; `worker` below Seal's count).
  virtual void Map(const cDIB& picture, bool clear, unsigned worker, Mapped& out) const = 0;
};

// The strategy the options ask for (gray: Greys, whatever the mode). With
// optimize, an entry is kept free in every frame's table where a frame may
// need one for its unchanged pixels.
std::unique_ptr<PaletteStrategy> MakePaletteStrategy(const BuilderOptions& options);

}  // namespace pipeline
}  // namespace zoetra

#include "pipeline/palette.hpp"

#include <atomic>
#include <cstring>
#include <vector>

#include "colour/cpal8bpp.hpp"
#include "colour/mdither8bpp.hpp"
#include "colour/mquantize.hpp"
#include "pipeline/frame_diff.hpp"
#include "pipeline/quality.hpp"

namespace zoetra::pipeline {
namespace {

// Clear pixels take index `transparent`.
void MarkClear(const cDIB& picture, std::int32_t transparent, cDIB& frame) {
  const frame_ops::Pixels out(frame);
  const std::uint8_t* in = picture.lpBits();
  for (std::int32_t y = 0; y < out.height; ++y) {
    std::uint8_t* row = out.row(y);
    for (std::int32_t x = 0; x < out.width; ++x, in += 4) {
      if (in[3] == kClearPixel) row[x] = static_cast<std::uint8_t>(transparent);
    }
  }
}

class AllPictures final : public PaletteStrategy {
 public:
  // `spare`: keep an entry free for transparency even when no picture is clear.
  AllPictures(std::int32_t colours, bool spare, bool diffuse) : colours_(colours), spare_(spare), diffuse_(diffuse) {}
  bool CountsFirst() const override { return true; }
  void Count(const cDIB& picture, bool clear, mQuantize::ColourHistogram& into) const override {
    into.AddPicture(picture, clear);
    if (clear) clear_.store(true, std::memory_order_relaxed);
  }
  void Add(const mQuantize::ColourHistogram& counted) override { histogram_.Merge(counted); }
  void Seal(unsigned workers) override {
    const bool keep = spare_ || clear_.load(std::memory_order_relaxed);
    palette_ = mQuantize::BuildPalette(histogram_, colours_ - (keep ? 1 : 0), workers);
    histogram_.Clear();
    // One mapper for every thread: a cell one of them answered serves them all.
    mapper_ = std::make_unique<mQuantize::PaletteMapper>(palette_);
    table_ = palette_.table;
    entries_ = palette_.entries;
    if (keep) transparent_ = entries_++;  // its colour stays black
  }
  std::int32_t GlobalEntries() const override { return entries_; }
  const Table& GlobalTable() const override { return table_; }
  std::int32_t GlobalTransparent() const override { return transparent_; }
  void Map(const cDIB& picture, bool clear, unsigned, Mapped& out) const override {
    // An exact palette leaves no error to spread.
    mapper_->Map(picture, out.pixels, diffuse_ && !palette_.exact);
    if (clear) MarkClear(picture, transparent_, out.pixels);
    out.transparent = transparent_;
  }

 private:
  std::int32_t colours_;
  bool spare_;
  bool diffuse_;
  mutable std::atomic<bool> clear_{false};
  mQuantize::ColourHistogram histogram_;
  mQuantize::Palette palette_;
  std::unique_ptr<mQuantize::PaletteMapper> mapper_;
  Table table_{};
  std::int32_t entries_ = 0;
  std::int32_t transparent_ = -1;
};

class FramePalette final : public PaletteStrategy {
 public:
  // `spare`: every table leaves room for an entry more.
  FramePalette(std::int32_t colours, bool spare, bool diffuse) : colours_(colours), spare_(spare), diffuse_(diffuse) {}
  void Seal(unsigned) override {}
  void Map(const cDIB& picture, bool clear, unsigned, Mapped& out) const override {
    mQuantize::ColourHistogram histogram;
    histogram.AddPicture(picture, clear);
    const mQuantize::Palette palette = mQuantize::BuildPalette(histogram, colours_ - (clear || spare_ ? 1 : 0));
    const mQuantize::PaletteMapper mapper(palette);
    mapper.Map(picture, out.pixels, diffuse_ && !palette.exact);
    out.table = palette.table;
    out.entries = palette.entries;
    if (clear) {
      out.transparent = out.entries++;
      MarkClear(picture, out.transparent, out.pixels);
    }
  }

 private:
  std::int32_t colours_;
  bool spare_;
  bool diffuse_;
};

class Greys final : public PaletteStrategy {
 public:
  void Seal(unsigned workers) override {
    mDither8bpp::DitherState state;
    mDither8bpp::InitDither(state);
    mDither8bpp::SetPaletteMode(state, 2);
    mDither8bpp::SetDitherMethod(state, 2);
    palette_.CreateGreyScale(2);
    mDither8bpp::BuildColorMap(state, palette_);
    // Diffusion writes its state's palette copy: each worker has a state of its own.
    states_.assign(workers, state);
    entries_ = palette_.Entries();
    std::memcpy(table_.data(), palette_.lpPalette(), static_cast<std::size_t>(entries_) * 4);
  }
  std::int32_t GlobalEntries() const override { return entries_; }
  const Table& GlobalTable() const override { return table_; }
  void Map(const cDIB& picture, bool, unsigned worker, Mapped& out) const override {
    mDither8bpp::DitherTo8bpp(states_[worker], picture, out.pixels, palette_, true);
  }

 private:
  mutable cPal8bpp palette_;
  mutable std::vector<mDither8bpp::DitherState> states_;
  Table table_{};
  std::int32_t entries_ = 0;
};

}  // namespace

const Table& PaletteStrategy::GlobalTable() const {
  static const Table none{};
  return none;
}

std::unique_ptr<PaletteStrategy> MakePaletteStrategy(const BuilderOptions& options) {
  if (options.gray) return std::make_unique<Greys>();
  const Tradeoffs t = TradeoffsFor(options.quality);
  if (options.palette == PaletteMode::Frame) return std::make_unique<FramePalette>(t.colours, options.optimize, t.diffuse);
  return std::make_unique<AllPictures>(t.colours, options.optimize && options.quality < 100, t.diffuse);
}

}  // namespace zoetra::pipeline

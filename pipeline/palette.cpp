#include "pipeline/palette.hpp"

#include <cstring>
#include <vector>

#include "colour/cpal8bpp.hpp"
#include "colour/mdither8bpp.hpp"
#include "colour/mquantize.hpp"

namespace zoetra::pipeline {
namespace {

class AllPictures final : public PaletteStrategy {
 public:
  bool CountsFirst() const override { return true; }
  void Count(const cDIB& picture, mQuantize::ColourHistogram& into) const override { into.AddPicture(picture); }
  void Add(const mQuantize::ColourHistogram& counted) override { histogram_.Merge(counted); }
  void Seal(unsigned workers) override {
    palette_ = mQuantize::BuildPalette(histogram_, 256, workers);
    histogram_.Clear();
    // One mapper for every thread: a cell one of them answered serves them all.
    mapper_ = std::make_unique<mQuantize::PaletteMapper>(palette_);
  }
  std::int32_t GlobalEntries() const override { return palette_.entries; }
  const Table& GlobalTable() const override { return palette_.table; }
  void Map(const cDIB& picture, unsigned, Mapped& out) const override {
    // An exact palette leaves no error to spread.
    mapper_->Map(picture, out.pixels, !palette_.exact);
  }

 private:
  mQuantize::ColourHistogram histogram_;
  mQuantize::Palette palette_;
  std::unique_ptr<mQuantize::PaletteMapper> mapper_;
};

class FramePalette final : public PaletteStrategy {
 public:
  void Seal(unsigned) override {}
  void Map(const cDIB& picture, unsigned, Mapped& out) const override {
    mQuantize::ColourHistogram histogram;
    histogram.AddPicture(picture);
    const mQuantize::Palette palette = mQuantize::BuildPalette(histogram);
    const mQuantize::PaletteMapper mapper(palette);
    mapper.Map(picture, out.pixels, !palette.exact);
    out.table = palette.table;
    out.entries = palette.entries;
  }
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
  void Map(const cDIB& picture, unsigned worker, Mapped& out) const override {
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
  if (options.palette == PaletteMode::Frame) return std::make_unique<FramePalette>();
  return std::make_unique<AllPictures>();
}

}  // namespace zoetra::pipeline

// The animation builder: a list of picture files to one looping GIF file.
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <vector>
#include <cstring>
#include <optional>
#include <thread>
#include <string>

#include "colour/cpal8bpp.hpp"
#include "colour/mdither8bpp.hpp"
#include "colour/mquantize.hpp"
#include "component/mdfile.hpp"
#include "component/zoetra.hpp"
#include "gif/cgif.hpp"
#include "platform/base/arith.hpp"
#include "platform/base/display_name.hpp"
#include "platform/base/files.hpp"
#include "platform/base/limits.hpp"
#include "platform/base/ordered_parallel.hpp"
#include "platform/codecs/picture_loader.hpp"
#include "platform/base/yield.hpp"
#include "postprocess/mgifext.hpp"
#include "platform/codecs/exif_orientation.hpp"
#include "raster/picture_fit.hpp"
#include "raster/cdib.hpp"

namespace zoetra {
namespace {

constexpr std::string_view kNotAnArray = "Input is not an variant Array.";
constexpr std::string_view kSaveFailed = "Unexpected error saving GIF file. (Can be access denied)";

// Conversions running on this thread; a conversion entered while another one
// yields gets dithering state of its own, so the interrupted one resumes with
// its own palette copy and colour map.
thread_local int t_conversions = 0;

class ConversionDepth {
 public:
  ConversionDepth() { ++t_conversions; }
  ~ConversionDepth() { --t_conversions; }
  bool nested() const { return t_conversions > 1; }
};

// Copies Entries x 4 bytes (computed in 16 bits) of the palette into a 1024-byte table.
void CopyPalette(const cPal8bpp& palette, std::uint8_t* table) {
  const std::int16_t bytes = Mul16(palette.Entries(), 4);
  const std::uint8_t* from = palette.lpPalette();
  if (bytes > 0) std::memcpy(table, from, std::min<std::size_t>(static_cast<std::size_t>(bytes), 1024));
}

// The host's document limits (platform/base/limits.hpp), refused before the memory is taken.
[[noreturn]] void RaiseDocumentLimit(const std::string& what) { RaiseError(kErrOutOfMemory, "Out of memory: " + what); }

std::size_t RowStride(const PicturePixels& p) {
  return p.stride != 0 ? p.stride : static_cast<std::size_t>(p.width) * PixelBytes(p.layout);
}

// Pictures in memory are checked before any work, so a bad one costs nothing.
void CheckPixels(const std::vector<PictureSource>& pictures) {
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    if (!pictures[i].InMemory()) continue;
    const PicturePixels& p = pictures[i].Pixels();
    std::string wrong;
    if (p.data == nullptr) {
      wrong = "has no pixels";
    } else if (p.width <= 0 || p.height <= 0) {
      wrong = "is " + std::to_string(p.width) + " x " + std::to_string(p.height) + " pixels";
    } else if (p.layout != PixelLayout::RGB && p.layout != PixelLayout::RGBA && p.layout != PixelLayout::BGRA) {
      wrong = "has an unknown pixel layout";
    } else if (RowStride(p) / PixelBytes(p.layout) < static_cast<std::size_t>(p.width)) {
      wrong = "has rows " + std::to_string(RowStride(p)) + " bytes apart, fewer than the " +
              std::to_string(static_cast<std::size_t>(p.width) * PixelBytes(p.layout)) + " bytes of a row";
    }
    if (!wrong.empty()) {
      RaiseError(kErrInvalidArgument,
                 "Invalid procedure call or argument: picture " + std::to_string(i + 1) + " (in memory) " + wrong);
    }
  }
}

struct Outcome {
  bool saved = false;
  std::int32_t frames = 0;
};

struct Settings {
  std::int16_t lDelay = 350;
  std::int16_t isGray = 0;
  std::int16_t doOptimize = 0;
  std::int16_t SwapRG = 0;
  PaletteMode mode = PaletteMode::First;
  BuilderReport* report = nullptr;
  unsigned threads = 1;
  std::int32_t loop = 0;
  std::int32_t fit_width = 0, fit_height = 0;
  std::optional<std::uint32_t> background;
  bool auto_orient = false;
  // The options entry points: a failed save raises, and with a palette mode
  // other than First, pictures of another size than the first are fitted into it.
  bool people = false;
  bool fit_to_first = false;
};

// Decoded pictures the palette mode `all` keeps between its two passes; past
// this, later pictures are decoded a second time instead.
constexpr std::int64_t kKeptPictureBytes = std::int64_t{256} << 20;

// Root mean squared distance (per channel) of a sample of the picture's colours
// to the entries the colour map gives them: how badly the palette misses them.
double PaletteFitError(const mDither8bpp::DitherState& state, const cDIB& picture) {
  const std::array<std::uint8_t, 1024>& palette = state.PaletteCopy;
  if (picture.hDIB() == 0 || picture.BPP() != 32) return 0;
  const std::int32_t width = picture.Width();
  const std::int32_t height = picture.Height();
  constexpr std::int32_t kStep = 16;  // one pixel in 256: cheap next to the diffusion
  std::uint64_t sum = 0, samples = 0;
  for (std::int32_t y = kStep / 2; y < height; y += kStep) {
    const std::uint8_t* row = picture.lpBits() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 4;
    for (std::int32_t x = kStep / 2; x < width; x += kStep) {
      const std::uint8_t* p = row + static_cast<std::size_t>(x) * 4;
      const std::size_t cell = static_cast<std::size_t>(state.Level16[p[2]] + 16 * state.Level16[p[1]] + 256 * state.Level16[p[0]]);
      const std::uint8_t* e = palette.data() + std::size_t{state.ColorMap[cell]} * 4;
      const int db = p[0] - e[0], dg = p[1] - e[1], dr = p[2] - e[2];
      sum += static_cast<std::uint64_t>(dr * dr + dg * dg + db * db);
      ++samples;
    }
  }
  return samples == 0 ? 0 : std::sqrt(static_cast<double>(sum) / (3.0 * static_cast<double>(samples)));
}

// One conversion: the list, the document and the steps every palette mode shares.
class Builder {
 public:
  // `sources`, when given, is the list the names in `list` came from (checked
  // by CheckSources); its pictures in memory are read from there.
  Builder(const platform::VariantArray& list, const Settings& settings,
          const std::vector<PictureSource>* sources = nullptr)
      : list_(list), settings_(settings), sources_(sources) {
    // Every conversion passes here before it loads a picture, so GIF inputs
    // work in hosts that never registered the decoder themselves.
    RegisterGifPictures();
    lower_ = list.LBound(1);
    upper_ = list.UBound(1);
    pictures_ = upper_ < lower_ ? 0 : static_cast<std::int32_t>(std::min<std::int64_t>(std::int64_t{upper_} - lower_ + 1, 0x7FFFFFFF));
    limits_ = platform::GetLimits();
  }

  template <class SaveFn>
  Outcome Run(SaveFn&& save) {
    document_.Destroy();
    switch (settings_.isGray == 1 ? PaletteMode::First : settings_.mode) {
      case PaletteMode::First: FirstPicturePalette(); break;
      case PaletteMode::All: AllPicturesPalette(); break;
      case PaletteMode::Frame: FramePalettes(); break;
    }
    document_.SaveThreads(settings_.threads);
    if (settings_.loop == kPlayOnce) {
      document_.LoopBlock(false);
    } else {
      document_.AnimationLoops(static_cast<std::int16_t>(static_cast<std::uint16_t>(settings_.loop)));
    }
    Finish();
    Outcome outcome;
    outcome.frames = count_;
    outcome.saved = save(document_);
    if (outcome.saved && settings_.report != nullptr) {
      settings_.report->frames = count_;
      settings_.report->worst_fit_picture = worst_fit_picture_;
      settings_.report->worst_fit_error = worst_fit_;
      settings_.report->other_size_picture =
          fitted_picture_ != 0 ? fitted_picture_ : other_size_picture_;
      settings_.report->other_sizes_fitted = fitted_picture_ != 0;
    }
    return outcome;
  }

 private:
  using YieldStage = platform::YieldStage;

  void Yield(YieldStage stage, std::int32_t picture) { platform::DoEvents({stage, picture, pictures_}); }

  // Picture i upright in `raster`, its frame inserted when asked.
  void LoadPicture(std::int64_t index, std::int32_t i, cDIB& raster, bool insert) {
    Yield(YieldStage::PictureStart, i);
    CheckFrameLimit(i);
    NoteRefitted(i, Decode(index, raster));
    Prepare(i, raster, insert);
  }

  void NoteRefitted(std::int32_t i, bool refitted) {
    if (refitted && fitted_picture_ == 0) fitted_picture_ = i;
  }

  // Frames past 32767 fail with the 16-bit overflow in Prepare; a lower host
  // limit is refused before the picture is loaded.
  void CheckFrameLimit(std::int32_t i) const {
    if (i > limits_.max_document_frames && i <= cGIF::kMaxFrames) {
      RaiseDocumentLimit("the list of " + std::to_string(pictures_) + " pictures is over the limit of " +
                         std::to_string(limits_.max_document_frames) + " frames (max_document_frames)");
    }
  }

  // Loads list element `index` into `raster` (any thread: no yield, no
  // document change). True when it was fitted into the first picture's size.
  bool Decode(std::int64_t index, cDIB& raster) const {
    const bool blend = settings_.background.has_value();
    bool alpha = false;
    const PictureSource* source =
        sources_ != nullptr ? &(*sources_)[static_cast<std::size_t>(index - lower_)] : nullptr;
    if (source != nullptr && source->InMemory()) {
      const PicturePixels& p = source->Pixels();
      platform::CheckPictureSize(p.width, p.height);
      alpha = blend && p.layout != PixelLayout::RGB;
      if (raster.CreateFromPixels(p.data, p.width, p.height, RowStride(p), p.layout, alpha) == 0) RaiseOutOfMemory();
    } else {
      const std::string name = list_.At({static_cast<std::int32_t>(index)}).ToText();
      {
        // The decoded picture is let go as soon as the raster holds it.
        const platform::Picture picture = platform::LoadPicture(name, {.keep_alpha = blend});
        if (raster.CreateFromStdPicture(picture, true) == 0) {
          RaiseError(kErrInvalidPicture, "Invalid picture: " + name + " holds no bitmap (icon or metafile)");
        }
        alpha = picture->HasAlpha();
      }
      if (settings_.auto_orient) OrientPicture(raster, platform::JpegFileOrientation(name));
    }
    if (alpha) raster.BlendOver(*settings_.background);
    if (settings_.fit_width > 0) {
      FitPicture(raster, settings_.fit_width, settings_.fit_height,
                 settings_.background.value_or(0), raster);
    } else if (first_width_ > 0 &&
               (raster.Width() != first_width_ || raster.Height() != first_height_)) {
      FitPicture(raster, first_width_, first_height_, settings_.background.value_or(0), raster);
      return true;
    }
    return false;
  }

  // With fit_to_first, later pictures are fitted into the first one's size
  // (upright, as decoded); set before any later picture is decoded.
  void FitLaterPicturesTo(const cDIB& first) {
    if (!settings_.fit_to_first || settings_.fit_width > 0) return;
    first_width_ = first.Width();
    first_height_ = first.Height();
  }

  // The rest of the picture's preparation, on this thread.
  void Prepare(std::int32_t i, cDIB& raster, bool insert) {
    if (insert) InsertFrame(i, raster.Width(), raster.Height());
    if (settings_.SwapRG == 1) raster.SwapRG();
    Yield(YieldStage::ChannelSwap, i);
    raster.Orientation(false, false, true);
    Yield(YieldStage::Flip, i);
  }

  // The same for a picture a worker has already read and turned upright.
  void PrepareTurned(std::int32_t i, std::int32_t width, std::int32_t height) {
    InsertFrame(i, width, height);
    Yield(YieldStage::ChannelSwap, i);
    Yield(YieldStage::Flip, i);
    screen_width_ = width;
    screen_height_ = height;
  }

  void InsertFrame(std::int32_t i, std::int32_t width, std::int32_t height) {
    const std::int64_t frame_pixels = std::int64_t{width} * height;
    if (frame_pixels > limits_.max_document_pixels - document_pixels_) {
      RaiseDocumentLimit("frames 1 to " + std::to_string(i) + " hold " + std::to_string(document_pixels_ + frame_pixels) +
                         " pixels, over the limit of " + std::to_string(limits_.max_document_pixels) +
                         " (max_document_pixels)");
    }
    document_pixels_ += frame_pixels;
    if (i == 1) {
      frame1_width_ = width;
      frame1_height_ = height;
    } else if (other_size_picture_ == 0 && (width != frame1_width_ || height != frame1_height_)) {
      other_size_picture_ = i;
    }
    const std::int16_t frame = Narrow<std::int16_t>(i);
    document_.FrameInsert(frame, Narrow<std::int16_t>(width), Narrow<std::int16_t>(height));
  }

  // Loads list element `index` and turns it upright (any thread).
  bool DecodeUpright(std::int64_t index, cDIB& raster) const {
    const bool refitted = Decode(index, raster);
    if (settings_.SwapRG == 1) raster.SwapRG();
    raster.Orientation(false, false, true);
    return refitted;
  }

  void FrameTiming(std::int16_t frame) {
    document_.FrameDisposalMethod(frame, 3);
    document_.FrameDelay(frame, RoundToInt16(static_cast<double>(settings_.lDelay) / 10.0));
  }

  // The default: the first picture's octree palette (or greys), diffused with the colour map.
  void FirstPicturePalette() {
    ConversionDepth depth;
    mDither8bpp::DitherState own_state;
    std::optional<mDither8bpp::ScopedDitherState> own_scope;
    if (depth.nested()) own_scope.emplace(own_state);

    mDither8bpp::InitDither();
    mDither8bpp::SetPaletteMode(settings_.isGray == 1 ? 2 : 1);
    mDither8bpp::SetDitherMethod(2);

    // Picture 1 here: its palette and colour map are what every later frame maps through.
    if (pictures_ > 0) {
      LoadPicture(lower_, 1, work_, true);
      FitLaterPicturesTo(work_);
      mDither8bpp::DitherTo8bpp(work_, *document_.FrameDIBXOR(1), palette_, false);
      FinishFirstPaletteFrame(1);
      screen_width_ = work_.Width();
      screen_height_ = work_.Height();
      work_.Destroy();
    }
    if (pictures_ > 1) LaterPicturesThroughFirstPalette();
    global_entries_ = palette_.Entries();
    global_from_octree_ = true;
  }

  // Pictures 2 to N, each decoded and diffused on its own (the palette and
  // colour map no longer change), inserted here in list order.
  void LaterPicturesThroughFirstPalette() {
    const auto later = static_cast<std::size_t>(pictures_ - 1);
    const unsigned threads = settings_.threads;
    // Diffusion writes its state's palette copy: each worker gets a state of its own.
    std::vector<mDither8bpp::DitherState> states(std::min<std::size_t>(threads, later), mDither8bpp::CurrentState());
    struct Made {
      cDIB frame;
      std::int32_t width = 0, height = 0;
      double fit = 0;
      std::exception_ptr failure;
      bool decoded = false;  // the failure came after the picture was read
      bool refitted = false;
    };
    std::vector<std::unique_ptr<Made>> made(later);
    // Each worker reads into the same raster every time: its memory is reused.
    std::vector<cDIB> pictures(states.size());
    const bool measure = settings_.report != nullptr && settings_.isGray != 1;
    platform::OrderedParallel(
        later, threads,
        [&](std::size_t k, unsigned worker) {
          auto m = std::make_unique<Made>();
          try {
            cDIB& raster = pictures[worker];
            m->refitted = DecodeUpright(lower_ + 1 + static_cast<std::int64_t>(k), raster);
            m->decoded = true;
            m->width = raster.Width();
            m->height = raster.Height();
            mDither8bpp::DitherTo8bpp(states[worker], raster, m->frame, palette_, true);
            if (measure) m->fit = PaletteFitError(states[worker], raster);
          } catch (...) {
            m->failure = std::current_exception();
          }
          made[k] = std::move(m);
        },
        [&](std::size_t k) {
          std::unique_ptr<Made> m = std::move(made[k]);
          const std::int32_t i = static_cast<std::int32_t>(k) + 2;
          // The host sees the stages and failures in the order one thread gives them.
          Yield(YieldStage::PictureStart, i);
          CheckFrameLimit(i);
          if (m->failure && !m->decoded) std::rethrow_exception(m->failure);
          PrepareTurned(i, m->width, m->height);
          NoteRefitted(i, m->refitted);
          if (m->failure) std::rethrow_exception(m->failure);
          document_.FrameDIBXOR(static_cast<std::int16_t>(i))->Exchange(m->frame);
          if (m->fit > worst_fit_) {
            worst_fit_ = m->fit;
            worst_fit_picture_ = i;
          }
          FinishFirstPaletteFrame(i);
        },
        std::size_t{threads} + 2);
  }

  void FinishFirstPaletteFrame(std::int32_t i) {
    const std::int16_t frame = Narrow<std::int16_t>(i);
    Yield(YieldStage::Dither, i);
    CopyPalette(palette_, document_.lpLocalPalette(frame));
    Yield(YieldStage::PaletteCopy, i);
    FrameTiming(frame);
    count_ = i;
  }

  // Every picture read once and turned upright, its frame inserted; kept for
  // the second pass while the kept ones fit the budget (the rest are read
  // again then). Workers decode and turn a few pictures ahead and run
  // `each(k, raster)` on them; `in_order(k)` then runs here in list order.
  template <class Each, class InOrder>
  std::vector<std::unique_ptr<cDIB>> ReadAll(Each&& each, InOrder&& in_order) {
    const auto n = static_cast<std::size_t>(pictures_);
    std::vector<std::unique_ptr<cDIB>> kept(n);
    std::vector<std::exception_ptr> failures(n);
    std::vector<char> refitted(n);
    std::int64_t kept_bytes = 0;
    const unsigned workers = settings_.threads;
    const auto read = [&](std::size_t k) {
      try {
        auto raster = std::make_unique<cDIB>();
        refitted[k] = DecodeUpright(lower_ + static_cast<std::int64_t>(k), *raster);
        each(k, *raster);
        kept[k] = std::move(raster);
      } catch (...) {
        failures[k] = std::current_exception();
      }
    };
    // Later pictures are fitted into the first one's size: it is read first.
    const bool first_ahead = n > 0 && settings_.fit_to_first && settings_.fit_width == 0;
    if (first_ahead) {
      read(0);
      if (kept[0]) FitLaterPicturesTo(*kept[0]);
    }
    platform::OrderedParallel(
        n, workers,
        [&](std::size_t k, unsigned) {
          if (k > 0 || !first_ahead) read(k);
        },
        [&](std::size_t k) {
          const std::int32_t i = Add32(static_cast<std::int32_t>(k), 1);
          // A picture's failure comes after its stage starts, as with one thread.
          Yield(YieldStage::PictureStart, i);
          CheckFrameLimit(i);
          if (failures[k]) std::rethrow_exception(failures[k]);
          cDIB& raster = *kept[k];
          PrepareTurned(i, raster.Width(), raster.Height());
          NoteRefitted(i, refitted[k] != 0);
          in_order(k);
          count_ = i;
          const std::int64_t bytes = std::int64_t{raster.Width()} * raster.Height() * 4;
          if (kept_bytes + bytes <= kKeptPictureBytes) {
            kept_bytes += bytes;
          } else {
            kept[k].reset();  // read again for the second pass
          }
        },
        std::size_t{workers} + 2);
    return kept;
  }

  // The second pass over the pictures ReadAll returned: `convert(k, raster)`
  // makes frame k + 1 from its picture, on worker threads for the
  // kept pictures and on this thread for those read again here; `finish(k)`
  // then runs here, in frame order, between the yields of the frame.
  template <class Convert, class Finish>
  void ConvertAll(std::vector<std::unique_ptr<cDIB>>& kept, Convert&& convert, Finish&& finish) {
    const std::size_t n = kept.size();
    std::vector<char> read_again(n);
    for (std::size_t k = 0; k < n; ++k) read_again[k] = kept[k] == nullptr;
    const unsigned workers = settings_.threads;
    platform::OrderedParallel(
        n, workers,
        [&](std::size_t k, unsigned) {
          if (read_again[k]) return;
          convert(k, *kept[k]);
          kept[k].reset();
        },
        [&](std::size_t k) {
          const std::int32_t i = static_cast<std::int32_t>(k) + 1;
          if (read_again[k]) {
            cDIB raster;
            LoadPicture(lower_ + static_cast<std::int64_t>(k), i, raster, false);
            convert(k, raster);
          }
          Yield(YieldStage::Dither, i);
          finish(k);
          Yield(YieldStage::PaletteCopy, i);
          FrameTiming(static_cast<std::int16_t>(i));
        });
  }

  // One palette from every picture: a first pass counts colours, a second maps.
  void AllPicturesPalette() {
    mQuantize::ColourHistogram histogram;
    // Each picture is counted on its own (on the workers) and added here in
    // list order; the sum is the same as counting every pixel in turn.
    std::vector<std::optional<mQuantize::ColourHistogram>> counted(static_cast<std::size_t>(pictures_));
    std::vector<std::unique_ptr<cDIB>> kept = ReadAll(
        [&](std::size_t k, const cDIB& raster) { counted[k].emplace().AddPicture(raster); },
        [&](std::size_t k) {
          histogram.Merge(*counted[k]);
          counted[k].reset();
        });
    if (count_ == 0) RaiseSubscript();  // as the default fails: an empty list has no palette
    const mQuantize::Palette palette = mQuantize::BuildPalette(histogram, 256, settings_.threads);
    // One mapper for every thread: a cell one of them answered serves them all.
    const mQuantize::PaletteMapper mapper(palette);
    ConvertAll(
        kept,
        [&](std::size_t k, const cDIB& raster) {
          // An exact palette leaves no error to spread.
          mapper.Map(raster, *document_.FrameDIBXOR(static_cast<std::int16_t>(k + 1)), !palette.exact);
        },
        [&](std::size_t k) {
          std::memcpy(document_.lpLocalPalette(static_cast<std::int16_t>(k + 1)), palette.table.data(),
                      palette.table.size());
        });
    global_entries_ = static_cast<std::int16_t>(palette.entries);
    global_table_ = palette.table;
  }

  // Every picture its own palette, stored as its frame's local colour table.
  void FramePalettes() {
    std::vector<std::unique_ptr<cDIB>> kept = ReadAll([](std::size_t, const cDIB&) {}, [](std::size_t) {});
    if (count_ == 0) RaiseSubscript();
    std::vector<mQuantize::Palette> palettes(kept.size());
    ConvertAll(
        kept,
        [&](std::size_t k, const cDIB& raster) {
          mQuantize::ColourHistogram histogram;
          histogram.AddPicture(raster);
          palettes[k] = mQuantize::BuildPalette(histogram);
          mQuantize::PaletteMapper mapper(palettes[k]);
          mapper.Map(raster, *document_.FrameDIBXOR(static_cast<std::int16_t>(k + 1)), !palettes[k].exact);
        },
        [&](std::size_t k) {
          const auto frame = static_cast<std::int16_t>(k + 1);
          std::memcpy(document_.lpLocalPalette(frame), palettes[k].table.data(), palettes[k].table.size());
          document_.LocalPaletteEntries(frame, static_cast<std::int16_t>(palettes[k].entries));
          document_.LocalPaletteUsed(frame, -1);
        });
  }

  // The screen, the global palette and the passes over the whole document.
  void Finish() {
    document_.ScreenWidth(Narrow<std::int16_t>(screen_width_));
    document_.ScreenHeight(Narrow<std::int16_t>(screen_height_));
    work_.Destroy();  // nothing reads the last picture after this: its memory is free for the save
    document_.ScreenPixelAspectRatio(1.0f);
    const bool global = global_from_octree_ || global_table_.has_value();
    document_.GlobalPaletteExists(global ? -1 : 0);
    document_.GlobalPaletteEntries(global_entries_);
    Yield(YieldStage::Screen, count_);
    // The octree palette's table is first asked for here: an empty list fails at this point.
    if (global_from_octree_) CopyPalette(palette_, document_.lpGlobalPalette());
    if (global_table_) std::memcpy(document_.lpGlobalPalette(), global_table_->data(), global_table_->size());
    mGIFExt::CompactGlobalPalette(document_, settings_.threads);
    Yield(YieldStage::Compact, count_);
    if (settings_.doOptimize == 1) mGIFExt::OptimizeFrames(document_, settings_.threads);
    if (!global) mGIFExt::CompactLocalPalettes(document_, settings_.threads);
    Yield(YieldStage::Optimize, count_);
  }

  const platform::VariantArray& list_;
  const Settings settings_;
  const std::vector<PictureSource>* sources_;
  std::int32_t lower_ = 0, upper_ = 0, pictures_ = 0;
  platform::Limits limits_;
  cGIF document_;
  cDIB work_;
  cPal8bpp palette_;
  std::int64_t document_pixels_ = 0;
  std::int32_t count_ = 0;
  std::int32_t screen_width_ = 0, screen_height_ = 0;
  std::int16_t global_entries_ = 0;
  // Where the global table comes from: the octree palette, or the modes' own.
  bool global_from_octree_ = false;
  std::optional<std::array<std::uint8_t, 1024>> global_table_;
  double worst_fit_ = 0;
  std::int32_t worst_fit_picture_ = 0;
  std::int32_t frame1_width_ = 0, frame1_height_ = 0, other_size_picture_ = 0;
  // The size later pictures are fitted into (fit_to_first), 0 x 0 before
  // the first picture is read or without it.
  std::int32_t first_width_ = 0, first_height_ = 0;
  std::int32_t fitted_picture_ = 0;
};

std::string SuccessText(std::string_view output, std::int32_t frames) {
  return "OK, Animated GIF: " + mdFile::GetFileBaseName(output, 0) + "." + mdFile::GetFileExtension(output) +
         " created with " + std::to_string(frames) + " frames";
}

}  // namespace

namespace {

// The options entry points refuse, before any picture is decoded, what would
// otherwise fail late: an empty list, a name no file can have, a missing or
// unreadable file, and more pictures than a document holds.
void CheckSources(const std::vector<PictureSource>& pictures) {
  CheckPixels(pictures);
  if (pictures.empty())
    RaiseInvalidArgument("no pictures were given");
  if (pictures.size() > static_cast<std::size_t>(cGIF::kMaxFrames)) {
    RaiseError(kErrOverflow, "Overflow: " + std::to_string(pictures.size()) +
                                 " pictures, but a GIF document holds at most 32767 frames");
  }
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    if (pictures[i].InMemory()) continue;
    const std::string& name = pictures[i].File();
    if (name.find('\0') != std::string::npos) {
      RaiseInvalidArgument("the name of picture " + std::to_string(i + 1) + " holds a NUL byte");
    }
    platform::CheckReadable(name);
  }
}

// Writing the GIF over one of its own pictures would destroy that picture:
// refused before any work, whichever path or link names the same file.
void CheckOutputIsNoInput(const platform::VariantArray& list, const platform::Variant& oFile,
                          const std::vector<PictureSource>* sources) {
  std::string output;
  try {
    output = oFile.ToText();
  } catch (const Error&) {
    return;  // the save reports it, in its turn
  }
  if (!platform::GetFileAttributes(output)) return;  // a new file is no picture
  const std::int32_t lower = list.LBound(1), upper = list.UBound(1);
  for (std::int64_t index = lower; index <= upper; ++index) {
    const std::size_t k = static_cast<std::size_t>(index - lower);
    if (sources != nullptr && (*sources)[k].InMemory()) continue;
    std::string name;
    try {
      name = list.At({static_cast<std::int32_t>(index)}).ToText();
    } catch (const Error&) {
      continue;  // not a name: the picture's own turn reports it
    }
    if (platform::SameFile(name, output)) {
      RaisePathAccess(output, "it is picture " + std::to_string(k + 1) + " of the list" +
                                  (name != output ? " (" + platform::DisplayName(name) + ")" : std::string()) +
                                  "; the GIF would overwrite it");
    }
  }
}

// A list that may not be an array, to one file.
platform::Variant Convert(const platform::Variant& sFile, const platform::Variant& oFile,
                          const Settings& settings, std::int16_t showError,
                          const std::vector<PictureSource>* sources = nullptr) {
  const platform::VariantArray* list = sFile.Array();
  if (list == nullptr) {
    if (showError != 0) RaiseComponentError(kNotAnArray);
    return platform::Variant(std::string(kNotAnArray));
  }
  const auto run = [&]() -> platform::Variant {
    if (settings.people) CheckSources(*sources);
    CheckOutputIsNoInput(*list, oFile, sources);
    std::string output;
    Builder builder(*list, settings, sources);
    const Outcome outcome = builder.Run([&](cGIF& document) {
      output = oFile.ToText();
      // The writer replaces an existing file only with a complete new one, so
      // nothing is deleted first: a failed save leaves the old file as it was.
      return document.Save(output);
    });
    if (!outcome.saved) {
      if (settings.people) {
        const std::string reason = platform::LastFileErrorText();
        RaisePathAccess(output,
                        "cannot save the GIF" + (reason.empty() ? std::string() : ": " + reason));
      }
      if (showError != 0) RaiseComponentError(kSaveFailed);
      return platform::Variant(std::string(kSaveFailed));
    }
    platform::DoEvents({platform::YieldStage::Saved, outcome.frames, outcome.frames});
    return platform::Variant(SuccessText(output, outcome.frames));
  };
  if (showError == 0) return run();
  return WithCatchLogRaise(run);
}

std::vector<std::uint8_t> ConvertToBuffer(const platform::VariantArray& list,
                                          const Settings& settings,
                                          const std::vector<PictureSource>* sources = nullptr) {
  if (settings.people) CheckSources(*sources);
  std::vector<std::uint8_t> bytes;
  Builder builder(list, settings, sources);
  const Outcome outcome = builder.Run([&](cGIF& document) { return document.SaveToBuffer(bytes); });
  if (!outcome.saved) RaiseComponentError(kSaveFailed);
  return bytes;
}

// Threads for one conversion: as asked (0: one per core), never past the host's limit.
unsigned ConversionThreads(std::int64_t asked) {
  const auto limit = static_cast<unsigned>(std::max(1, platform::GetLimits().max_threads));
  const auto cores = static_cast<unsigned>(platform::HardwareThreads());
  return std::min(asked > 0 ? static_cast<unsigned>(std::min<std::int64_t>(asked, limit)) : cores,
                  limit);
}

// The classic signatures: the first picture's palette, every core.
Settings Classic(std::int16_t lDelay, std::int16_t isGray, std::int16_t doOptimize, std::int16_t SwapRG) {
  Settings s;
  s.lDelay = lDelay;
  s.isGray = isGray;
  s.doOptimize = doOptimize;
  s.SwapRG = SwapRG;
  s.threads = ConversionThreads(0);
  return s;
}

Settings FromOptions(const BuilderOptions& o) {
  CheckBuilderOptions(o);
  Settings s;
  s.lDelay = static_cast<std::int16_t>(AskedDelayMs(o));
  s.isGray = o.gray ? 1 : 0;
  s.doOptimize = o.optimize ? 1 : 0;
  s.SwapRG = o.swap_rg ? 1 : 0;
  s.mode = o.palette;
  s.report = o.report;
  s.threads = ConversionThreads(o.threads);
  s.loop = static_cast<std::int32_t>(o.loop);
  s.fit_width = static_cast<std::int32_t>(o.fit_width);
  s.fit_height = static_cast<std::int32_t>(o.fit_height);
  s.background = o.background;
  s.auto_orient = o.auto_orient;
  s.people = true;
  // First keeps the classic conversion whole, its size rule included.
  s.fit_to_first = o.palette != PaletteMode::First;
  return s;
}

// The names of a mixed list; pictures in memory are named by their place.
platform::VariantArray NamesOf(const std::vector<PictureSource>& pictures) {
  std::vector<std::string> names;
  names.reserve(pictures.size());
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    names.push_back(pictures[i].InMemory() ? "picture " + std::to_string(i + 1) + " (in memory)"
                                           : pictures[i].File());
  }
  return platform::VariantArray::FromTexts(names, 0);
}

std::vector<PictureSource> FilesOf(const std::vector<std::string>& files) {
  return std::vector<PictureSource>(files.begin(), files.end());
}

}  // namespace

platform::Variant Zoetra::CreateZoetra(const platform::Variant& sFile, const platform::Variant& oFile,
                                       std::int16_t lDelay, std::int16_t isGray, std::int16_t doOptimize,
                                       std::int16_t SwapRG, std::int16_t showError) {
  return Convert(sFile, oFile, Classic(lDelay, isGray, doOptimize, SwapRG), showError);
}

std::string Zoetra::CreateZoetra(const std::vector<std::string>& files, std::string_view output,
                                 std::int16_t lDelay, std::int16_t isGray, std::int16_t doOptimize,
                                 std::int16_t SwapRG, std::int16_t showError) {
  const platform::Variant list(platform::VariantArray::FromTexts(files, 0));
  return CreateZoetra(list, platform::Variant(output), lDelay, isGray, doOptimize, SwapRG, showError).ToText();
}

std::string Zoetra::CreateZoetra(const std::vector<std::string>& files, std::string_view output,
                                 const BuilderOptions& options) {
  return Create(FilesOf(files), output, options);
}

std::vector<std::uint8_t> Zoetra::CreateZoetraToBuffer(const std::vector<std::string>& files, std::int16_t lDelay,
                                                        std::int16_t isGray, std::int16_t doOptimize,
                                                        std::int16_t SwapRG) {
  return ConvertToBuffer(platform::VariantArray::FromTexts(files, 0), Classic(lDelay, isGray, doOptimize, SwapRG));
}

std::vector<std::uint8_t> Zoetra::CreateZoetraToBuffer(const std::vector<std::string>& files,
                                                       const BuilderOptions& options) {
  return CreateToBuffer(FilesOf(files), options);
}

std::string Zoetra::Create(const std::vector<PictureSource>& pictures, std::string_view output,
                           const BuilderOptions& options) {
  const std::int16_t raise = options.raise_errors ? 1 : 0;
  // An option out of its range is reported as any other failure is.
  const Settings settings =
      raise != 0 ? WithCatchLogRaise([&] { return FromOptions(options); }) : FromOptions(options);
  return Convert(platform::Variant(NamesOf(pictures)), platform::Variant(output), settings, raise,
                 &pictures)
      .ToText();
}

std::vector<std::uint8_t> Zoetra::CreateToBuffer(const std::vector<PictureSource>& pictures,
                                                  const BuilderOptions& options) {
  return ConvertToBuffer(NamesOf(pictures), FromOptions(options), &pictures);
}

}  // namespace zoetra

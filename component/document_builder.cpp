#include "component/document_builder.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "colour/cpal8bpp.hpp"
#include "colour/mdither8bpp.hpp"
#include "component/stream_output.hpp"
#include "platform/base/arith.hpp"
#include "platform/base/limits.hpp"
#include "platform/base/ordered_parallel.hpp"
#include "platform/base/yield.hpp"
#include "pipeline/prepare.hpp"
#include "pipeline/source.hpp"
#include "postprocess/mgifext.hpp"
#include "raster/cdib.hpp"

namespace zoetra::document {
namespace {

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
// Error 7 as before, but in words that say which limit it is and how it is
// raised: memory is not short when a document limit is reached.
[[noreturn]] void RaiseDocumentLimit(const std::string& what) {
  RaiseError(kErrOutOfMemory, "Document limit: " + what +
                                  "; the host raises it with SetLimits, and the palette modes all and frame "
                                  "keep no document");
}

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

// Only what the document's pictures are prepared with; the rest stays at its default.
BuilderOptions PreparationOf(const BuilderOptions& s) {
  BuilderOptions o;
  o.swap_rg = s.swap_rg;
  o.fit_width = s.fit_width;
  o.fit_height = s.fit_height;
  o.background = s.background;
  return o;
}

// One conversion: the list, the document, and the first picture's palette for every frame.
class Builder {
 public:
  // `sources`, when given, is the list the names in `list` came from (checked
  // by CheckSources); its pictures in memory are read from there.
  Builder(const platform::VariantArray& list, const BuilderOptions& settings,
          const std::vector<PictureSource>* sources = nullptr)
      : list_(list),
        settings_(settings),
        threads_(detail::ConversionThreads(settings.threads)),
        sources_(sources),
        preparation_(PreparationOf(settings), false) {
    // Every conversion passes here before it loads a picture, so GIF inputs
    // work in hosts that never registered the decoder themselves.
    RegisterGifPictures();
    lower_ = list.LBound(1);
    upper_ = list.UBound(1);
    pictures_ = upper_ < lower_ ? 0 : static_cast<std::int32_t>(std::min<std::int64_t>(std::int64_t{upper_} - lower_ + 1, 0x7FFFFFFF));
    limits_ = platform::GetLimits();
  }

  Outcome Run(const std::function<bool(cGIF&)>& save) {
    document_.Destroy();
    FirstPicturePalette();
    document_.SaveThreads(threads_);
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
      settings_.report->other_size_picture = other_size_picture_;
      settings_.report->other_sizes_fitted = false;
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
    Decode(index, raster);
    Prepare(i, raster, insert);
  }

  // Frames past 32767 fail with the 16-bit overflow in Prepare; a lower host
  // limit is refused before the picture is loaded.
  void CheckFrameLimit(std::int32_t i) const {
    if (i > limits_.max_document_frames && i <= cGIF::kMaxFrames) {
      RaiseDocumentLimit("the list of " + std::to_string(pictures_) + " pictures is over the limit of " +
                         std::to_string(limits_.max_document_frames) + " frames (max_document_frames)");
    }
  }

  // Loads list element `index` into `raster`, blended and fitted (any
  // thread: no yield, no document change).
  void Decode(std::int64_t index, cDIB& raster) const {
    pipeline::Decoded picture;
    const bool blend = preparation_.BlendsAlpha();
    const PictureSource* source =
        sources_ != nullptr ? &(*sources_)[static_cast<std::size_t>(index - lower_)] : nullptr;
    if (source != nullptr && source->InMemory()) {
      pipeline::ReadPixels(source->Pixels(), blend, picture);
    } else {
      pipeline::ReadFile(list_.At({static_cast<std::int32_t>(index)}).ToText(), blend, settings_.auto_orient,
                         picture);
    }
    preparation_.Shape(picture);
    raster.Exchange(picture.raster);
  }

  // The rest of the picture's preparation, on this thread.
  void Prepare(std::int32_t i, cDIB& raster, bool insert) {
    if (insert) InsertFrame(i, raster.Width(), raster.Height());
    preparation_.Upright(raster);
    Yield(YieldStage::ChannelSwap, i);
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
  void DecodeUpright(std::int64_t index, cDIB& raster) const {
    Decode(index, raster);
    preparation_.Upright(raster);
  }

  void FrameTiming(std::int16_t frame) {
    document_.FrameDisposalMethod(frame, 3);
    document_.FrameDelay(frame, RoundToInt16(static_cast<double>(AskedDelayMs(settings_)) / 10.0));
  }

  // The default: the first picture's octree palette (or greys), diffused with the colour map.
  void FirstPicturePalette() {
    ConversionDepth depth;
    mDither8bpp::DitherState own_state;
    std::optional<mDither8bpp::ScopedDitherState> own_scope;
    if (depth.nested()) own_scope.emplace(own_state);

    mDither8bpp::InitDither();
    mDither8bpp::SetPaletteMode(settings_.gray ? 2 : 1);
    mDither8bpp::SetDitherMethod(2);

    // Picture 1 here: its palette and colour map are what every later frame maps through.
    if (pictures_ > 0) {
      LoadPicture(lower_, 1, work_, true);
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
    const unsigned threads = threads_;
    // Diffusion writes its state's palette copy: each worker gets a state of its own.
    std::vector<mDither8bpp::DitherState> states(std::min<std::size_t>(threads, later), mDither8bpp::CurrentState());
    struct Made {
      cDIB frame;
      std::int32_t width = 0, height = 0;
      double fit = 0;
      std::exception_ptr failure;
      bool decoded = false;  // the failure came after the picture was read
    };
    std::vector<std::unique_ptr<Made>> made(later);
    // Each worker reads into the same raster every time: its memory is reused.
    std::vector<cDIB> pictures(states.size());
    const bool measure = settings_.report != nullptr && !settings_.gray;
    platform::OrderedParallel(
        later, threads,
        [&](std::size_t k, unsigned worker) {
          auto m = std::make_unique<Made>();
          try {
            cDIB& raster = pictures[worker];
            DecodeUpright(lower_ + 1 + static_cast<std::int64_t>(k), raster);
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

  // The screen, the global palette and the passes over the whole document.
  void Finish() {
    document_.ScreenWidth(Narrow<std::int16_t>(screen_width_));
    document_.ScreenHeight(Narrow<std::int16_t>(screen_height_));
    work_.Destroy();  // nothing reads the last picture after this: its memory is free for the save
    document_.ScreenPixelAspectRatio(1.0f);
    const bool global = global_from_octree_;
    document_.GlobalPaletteExists(global ? -1 : 0);
    document_.GlobalPaletteEntries(global_entries_);
    Yield(YieldStage::Screen, count_);
    // The octree palette's table is first asked for here: an empty list fails at this point.
    if (global_from_octree_) CopyPalette(palette_, document_.lpGlobalPalette());
    mGIFExt::CompactGlobalPalette(document_, threads_);
    Yield(YieldStage::Compact, count_);
    if (settings_.optimize) mGIFExt::OptimizeFrames(document_, threads_);
    if (!global) mGIFExt::CompactLocalPalettes(document_, threads_);
    Yield(YieldStage::Optimize, count_);
  }

  const platform::VariantArray& list_;
  const BuilderOptions settings_;
  const unsigned threads_;
  const std::vector<PictureSource>* sources_;
  const pipeline::Preparation preparation_;
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
  double worst_fit_ = 0;
  std::int32_t worst_fit_picture_ = 0;
  std::int32_t frame1_width_ = 0, frame1_height_ = 0, other_size_picture_ = 0;
};


}  // namespace

Outcome Build(const platform::VariantArray& list, const BuilderOptions& settings,
              const std::vector<PictureSource>* sources, const std::function<bool(cGIF&)>& save) {
  Builder builder(list, settings, sources);
  return builder.Run(save);
}

}  // namespace zoetra::document

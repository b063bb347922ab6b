#include "pipeline/conversion.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <optional>

#include "colour/mquantize.hpp"
#include "pipeline/clip_source.hpp"
#include "pipeline/frame_diff.hpp"
#include "pipeline/kept_pictures.hpp"
#include "pipeline/screen_board.hpp"
#include "platform/base/ordered_parallel.hpp"
#include "platform/base/yield.hpp"
#include "postprocess/frame_ops.hpp"

namespace zoetra::pipeline {

using platform::YieldStage;

// One frame on its way through a pass.
struct Conversion::Item {
  std::exception_ptr failure;
  bool has_picture = false;
  cDIB picture;  // prepared
  bool clear = false;  // some pixel of it is transparent
  bool refitted = false;
  std::int32_t raw_width = 0, raw_height = 0;  // as read
  std::int32_t width = 0, height = 0;
  std::vector<std::uint8_t> packed;  // the picture kept for the mapping pass
  // The frame: nothing new to show (merged into the one before), or its head and data.
  bool merged = false;
  std::int16_t delay = 0;
  EncodedFrame encoded;
  bool published = false;  // its screen went to the next frame
  // The frame before must clear what it leaves when this one comes.
  bool clears_before = false;
  // With optimize, for a frame after it that needs this one to clear: the
  // frame's pixels and what the screen shows after it.
  cDIB cut;
  frame_ops::ChangeRect opaque;
};

Conversion::Conversion(const BuilderOptions& options, unsigned threads, GifStream& out, std::int64_t kept_bytes)
    : options_(options),
      threads_(std::max(1u, threads)),
      out_(out),
      strategy_(MakePaletteStrategy(options)),
      preparation_(options, true),
      tradeoffs_(TradeoffsFor(options.quality)),
      delay_(static_cast<std::int16_t>(FrameDelayHundredths(options))),
      kept_bytes_(kept_bytes) {
  if (options.optimize) board_ = std::make_unique<ScreenBoard>();
}

Conversion::~Conversion() = default;

bool Conversion::CountsFirst() const { return strategy_->CountsFirst(); }

void Conversion::Yield(YieldStage stage, std::int64_t frame) const {
  constexpr std::int64_t kMost = std::numeric_limits<std::int32_t>::max();
  const std::int64_t pictures = std::max(total_, frame);
  platform::DoEvents({stage, static_cast<std::int32_t>(std::min(frame, kMost)),
                      static_cast<std::int32_t>(std::min(pictures, kMost))});
}

void Conversion::Read(const FrameSource& source, std::size_t k, Item& item) const {
  Decoded decoded;
  source.Read(k, preparation_.ReadsAlpha(), decoded);
  item.raw_width = decoded.raster.Width();
  item.raw_height = decoded.raster.Height();
  item.refitted = preparation_.Prepare(decoded, item.clear);
  item.width = decoded.raster.Width();
  item.height = decoded.raster.Height();
  item.picture.Exchange(decoded.raster);
  item.has_picture = true;
}

// What the calling thread learns of a picture read, in frame order: its
// events, its failure, and the screen from the first.
void Conversion::Made(const Item& item, std::int64_t frame) {
  Yield(YieldStage::PictureStart, frame + 1);
  if (item.failure) std::rethrow_exception(item.failure);
  Yield(YieldStage::ChannelSwap, frame + 1);
  Yield(YieldStage::Flip, frame + 1);
  if (frame == 0) {
    screen_width_ = item.width;
    screen_height_ = item.height;
  }
  if (item.refitted && refitted_ == 0) refitted_ = frame + 1;
}

template <class Work, class Done>
void Conversion::Pass(const FrameSource& source, std::int64_t base, bool read_first_ahead, Work&& work,
                      Done&& finish) {
  const std::size_t n = source.Frames();
  // Job k runs only once the frame `window` before it is finished, so its
  // slot in the ring is free again.
  const std::size_t window = std::size_t{threads_} + 2;
  std::vector<std::unique_ptr<Item>> ring(window);
  if (read_first_ahead && n > 0) {
    // Later pictures are fitted into the first one's size: it is read first.
    ring[0] = std::make_unique<Item>();
    try {
      Read(source, 0, *ring[0]);
      preparation_.FitInto(ring[0]->raw_width, ring[0]->raw_height);
    } catch (...) {
      ring[0]->failure = std::current_exception();
    }
  }
  platform::OrderedParallel(
      n, threads_,
      [&](std::size_t k, unsigned worker) {
        std::unique_ptr<Item>& slot = ring[k % window];
        if (!slot) slot = std::make_unique<Item>();
        try {
          work(k, *slot, worker);
        } catch (...) {
          slot->failure = std::current_exception();
        }
      },
      [&](std::size_t k) {
        std::unique_ptr<Item> item = std::move(ring[k % window]);
        finish(k, base + static_cast<std::int64_t>(k), *item);
      },
      window);
}

void Conversion::Count(const FrameSource& source) {
  const std::int64_t base = counted_;
  // Each worker counts into a histogram of its own, kept over every source
  // counted; the sum does not depend on which worker counted which picture,
  // nor on the order.
  if (counts_.empty()) counts_.resize(threads_);
  std::vector<mQuantize::ColourHistogram>& counts = counts_;
  const std::int64_t keep_through = source.KeepOnlyThrough();
  Pass(
      source, base, base == 0 && preparation_.FitsToFirst(),
      [&](std::size_t k, Item& item, unsigned worker) {
        if (item.failure) return;
        if (!item.has_picture) Read(source, k, item);
        strategy_->Count(item.picture, item.clear, counts[worker]);
        // Every frame has the first one's size: whether this one is kept is known here.
        const std::int64_t frame = base + static_cast<std::int64_t>(k);
        const std::int64_t reach = std::max(frame + 1, keep_through > 0 ? base + keep_through : 0);
        if (reach <= kept_bytes_ / KeptBytes(item.width, item.height, item.clear)) {
          PackPicture(item.picture, item.clear, item.packed);
        }
      },
      [&](std::size_t, std::int64_t frame, Item& item) {
        Made(item, frame);
        if (!item.packed.empty() && frame == static_cast<std::int64_t>(kept_.size())) {
          kept_.push_back(std::move(item.packed));
        }
        counted_ = frame + 1;
      });
}

void Conversion::Seal() {
  for (const mQuantize::ColourHistogram& counted : counts_) strategy_->Add(counted);
  counts_.clear();
  counts_.shrink_to_fit();
  strategy_->Seal(threads_);
  sealed_ = true;
}

bool Conversion::Encode(const EncodeRequest& request, EncodedFrame& out) const {
  return EncodeFrame(request, *strategy_, tradeoffs_.lossy, out);
}

void Conversion::MakeFrame(Item& item, std::int64_t frame, unsigned worker) const {
  Mapped mapped;
  strategy_->Map(item.picture, item.clear, worker, mapped);
  const bool local = mapped.entries > 0;
  WayPalette palette{local ? mapped.entries : strategy_->GlobalEntries(), local, mapped.transparent};
  const Table* own = local ? &mapped.table : nullptr;
  // Viewers that compose a first frame without transparency never show any
  // later: the first names the palette's index for it whenever there is one.
  palette.declare = frame == 0 && mapped.transparent >= 0;
  if (!board_) {
    item.picture.Destroy();
    // Whole frames; one with clear pixels needs the frame before to clear its own.
    item.clears_before = item.clear;
    Encode({.cut = mapped.pixels, .local = own, .entries = palette.entries,
            .transparent = item.clear || palette.declare ? mapped.transparent : -1, .disposal = 3,
            .delay = item.delay, .frame = frame},
           item.encoded);
    return;
  }
  std::unique_ptr<Screen> screen =
      frame == 0 ? std::make_unique<Screen>(item.picture.Width(), item.picture.Height()) : board_->Take(frame - 1);
  item.published = true;
  if (!screen) {
    board_->Publish(frame, nullptr);  // that frame's failure comes first
    return;
  }
  std::optional<Step> step;
  try {
    const Table& table = local ? mapped.table : strategy_->GlobalTable();
    step.emplace(*screen, item.picture, item.clear, mapped.pixels, frame_ops::ColoursOf(table.data()), !local,
                 tradeoffs_.tolerance);
  } catch (...) {
    board_->Publish(frame, nullptr);
    throw;
  }
  board_->Publish(frame, std::move(screen));
  item.picture.Destroy();
  item.clears_before = step->needs_clear;
  item.opaque = step->opaque_after;
  const auto encode = [&](cDIB& cut, const FrameWay& way, std::size_t below) -> std::optional<std::size_t> {
    EncodedFrame encoded;
    if (!Encode({.cut = cut, .left = way.left, .top = way.top, .local = own, .entries = palette.entries,
                 .transparent = way.transparent, .disposal = way.disposal, .delay = item.delay, .frame = frame,
                 .below = below},
                encoded)) {
      return std::nullopt;
    }
    item.encoded = std::move(encoded);
    return item.encoded.data.size();
  };
  item.merged = PickFrameWay(mapped.pixels, *step, palette, frame, encode, item.cut).kind == FrameWay::kMerged;
}

void Conversion::Emit(const FrameSource& source) {
  if (!sealed_) Seal();
  const bool counted = strategy_->CountsFirst();
  const std::int64_t base = emitted_;
  Pass(
      source, base, !counted && base == 0 && preparation_.FitsToFirst(),
      [&](std::size_t k, Item& item, unsigned worker) {
        const std::int64_t frame = base + static_cast<std::int64_t>(k);
        try {
          if (item.failure) std::rethrow_exception(item.failure);
          if (frame < static_cast<std::int64_t>(kept_.size())) {
            std::vector<std::uint8_t> packed = std::move(kept_[static_cast<std::size_t>(frame)]);
            item.clear = UnpackPicture(packed, screen_width_, screen_height_, item.picture);
            item.has_picture = true;
          } else if (!item.has_picture) {
            Read(source, k, item);
          }
          const std::int32_t delay = source.Delay(k);
          item.delay = delay >= 0 ? static_cast<std::int16_t>(delay) : delay_;
          MakeFrame(item, frame, worker);
        } catch (...) {
          // The next frame waits for this one's screen: it is told there is none.
          if (board_ && !item.published) board_->Publish(frame, nullptr);
          throw;
        }
      },
      [&](std::size_t, std::int64_t frame, Item& item) {
        if (!counted) {
          Made(item, frame);
        } else if (item.failure) {
          std::rethrow_exception(item.failure);
        }
        Yield(YieldStage::Dither, frame + 1);
        if (!out_.Started()) {
          out_.Begin(screen_width_, screen_height_, strategy_->GlobalTable(), strategy_->GlobalEntries(),
                     options_.loop);
        }
        if (item.clears_before && out_.Pending()) {
          if (board_) {
            last_frame_.Clear(out_, *strategy_, tradeoffs_.lossy, emitted_);
          } else {
            out_.Dispose();
          }
        }
        if (item.merged) {
          out_.Extend(item.delay);
        } else {
          EncodedFrame& made = item.encoded;
          if (made.head.local_entries > 0) made.head.local_table = made.table.data();
          if (board_) last_frame_.Keep(item.cut, made.head, made.table);
          out_.Put(made.head, std::move(made.data));
        }
        if (board_) last_frame_.Shows(item.opaque);
        emitted_ = frame + 1;
        Yield(YieldStage::PaletteCopy, frame + 1);
      });
}

void Conversion::Fill(BuilderReport& report) const {
  constexpr std::int64_t kMost = std::numeric_limits<std::int32_t>::max();
  report = BuilderReport{};
  report.frames = static_cast<std::int32_t>(std::min(emitted_, kMost));
  report.other_size_picture = static_cast<std::int32_t>(std::min(refitted_, kMost));
  report.other_sizes_fitted = refitted_ != 0;
}

void Conversion::Finish() {
  if (emitted_ == 0) RaiseInvalidArgument("no pictures were given");
  Yield(YieldStage::Screen, emitted_);
  Yield(YieldStage::Compact, emitted_);
  Yield(YieldStage::Optimize, emitted_);
  out_.End();
}

}  // namespace zoetra::pipeline

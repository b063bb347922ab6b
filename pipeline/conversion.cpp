#include "pipeline/conversion.hpp"

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <numeric>
#include <optional>
#include <unordered_map>

#include "colour/mquantize.hpp"
#include "pipeline/clip_source.hpp"
#include "pipeline/frame_diff.hpp"
#include "gif/mgiflzwenc.hpp"
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
  gif_blocks::FrameHead head;
  Table table{};
  std::vector<std::uint8_t> data;
  bool published = false;  // its screen went to the next frame
  // The frame before must clear what it leaves when this one comes.
  bool clears_before = false;
  // With optimize, for a frame after it that needs this one to clear: the
  // frame's pixels and what the screen shows after it.
  cDIB cut;
  frame_ops::ChangeRect opaque;
};

// With --optimize, the screen passes from each frame to the next here.
class Conversion::Board {
 public:
  // A null `shown`: the frame failed; the next one has nothing to compare.
  void Publish(std::int64_t frame, std::unique_ptr<Screen> shown) {
    {
      std::lock_guard lock(mutex_);
      frames_[frame] = std::move(shown);
    }
    published_.notify_all();
  }
  // Waits until `frame` is published (its job was claimed before the
  // caller's, so it is running), then lets go of it.
  std::unique_ptr<Screen> Take(std::int64_t frame) {
    std::unique_lock lock(mutex_);
    published_.wait(lock, [&] { return frames_.count(frame) != 0; });
    std::unique_ptr<Screen> shown = std::move(frames_[frame]);
    frames_.erase(frame);
    return shown;
  }

 private:
  std::mutex mutex_;
  std::condition_variable published_;
  std::unordered_map<std::int64_t, std::unique_ptr<Screen>> frames_;
};

namespace {

// A kept picture costs its blue, green and red bytes (the fourth byte of a
// prepared picture is 0 unless it has clear pixels), plus its vector.
std::int64_t KeptBytes(std::int32_t width, std::int32_t height, bool clear) {
  return std::int64_t{width} * height * (clear ? 4 : 3) + 64;
}

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

void Pack(const cDIB& picture, bool clear, std::vector<std::uint8_t>& packed) {
  const std::size_t pixels = static_cast<std::size_t>(picture.Width()) * static_cast<std::size_t>(picture.Height());
  if (clear) {
    packed.assign(picture.lpBits(), picture.lpBits() + pixels * 4);
    return;
  }
  packed.resize(pixels * 3);
  const std::uint8_t* from = picture.lpBits();
  std::uint8_t* to = packed.data();
  // Two pixels a step in one 8-byte word each way; the last two bytes written
  // are overwritten by the next step, and the last pair goes byte-wise.
  std::size_t i = 0;
  for (; kLittleEndian && i + 3 <= pixels; i += 2, from += 8, to += 6) {
    std::uint64_t two;
    std::memcpy(&two, from, 8);
    two = (two & 0xFFFFFFu) | (two >> 8 & 0xFFFFFF000000u);
    std::memcpy(to, &two, 8);
  }
  for (; i < pixels; ++i, from += 4, to += 3) std::memcpy(to, from, 3);
}

// Returns whether the picture has clear pixels.
bool Unpack(const std::vector<std::uint8_t>& packed, std::int32_t width, std::int32_t height, cDIB& picture) {
  if (!picture.Create(width, height, 32)) RaiseOutOfMemory();
  const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  if (packed.size() == pixels * 4) {
    std::memcpy(picture.lpBits(), packed.data(), packed.size());
    return true;
  }
  const std::uint8_t* from = packed.data();
  std::uint8_t* to = picture.lpBits();
  std::size_t i = 0;
  for (; kLittleEndian && i + 3 <= pixels; i += 2, from += 6, to += 8) {  // reads 8 bytes of the 6 a step takes
    std::uint64_t two;
    std::memcpy(&two, from, 8);
    two = (two & 0xFFFFFFu) | (two << 8 & 0xFFFFFF00000000u);
    std::memcpy(to, &two, 8);
  }
  for (; i < pixels; ++i, from += 3, to += 4) {
    std::memcpy(to, from, 3);
    to[3] = 0;
  }
  return false;
}

}  // namespace

Conversion::Conversion(const BuilderOptions& options, unsigned threads, GifStream& out, std::int64_t kept_bytes)
    : options_(options),
      threads_(std::max(1u, threads)),
      out_(out),
      strategy_(MakePaletteStrategy(options)),
      preparation_(options, true),
      tradeoffs_(TradeoffsFor(options.quality)),
      delay_(static_cast<std::int16_t>(FrameDelayHundredths(options))),
      kept_bytes_(kept_bytes) {
  if (options.optimize) board_ = std::make_unique<Board>();
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

// What the calling thread learns of a picture read: the screen from the first.
void Conversion::Made(const Item& item, std::int64_t frame) {
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
          Pack(item.picture, item.clear, item.packed);
        }
      },
      [&](std::size_t, std::int64_t frame, Item& item) {
        Yield(YieldStage::PictureStart, frame + 1);
        if (item.failure) std::rethrow_exception(item.failure);
        Yield(YieldStage::ChannelSwap, frame + 1);
        Yield(YieldStage::Flip, frame + 1);
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

namespace {

// Appends while the data stays below a size; refuses (and remembers) the write that would reach it.
class CappedSink final : public mGIFLZWEnc::ByteSink {
 public:
  CappedSink(std::vector<std::uint8_t>& out, std::size_t below) : out_(out), below_(below) {}
  bool Write(std::span<const std::uint8_t> bytes) override {
    if (below_ > 0 && out_.size() + bytes.size() >= below_) {
      over_ = true;
      return false;
    }
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return true;
  }
  bool Over() const { return over_; }

 private:
  std::vector<std::uint8_t>& out_;
  std::size_t below_;
  bool over_ = false;
};

}  // namespace

bool Conversion::Encode(cDIB& cut, std::int32_t left, std::int32_t top, const Table* local, std::int32_t entries,
                        std::int32_t transparent, std::int32_t disposal, std::int64_t frame,
                        gif_blocks::FrameHead& head, Table& table, std::vector<std::uint8_t>& data,
                        std::size_t below) const {
  const std::int16_t delay = head.delay;
  head = gif_blocks::FrameHead{};
  head.delay = delay;
  if (local != nullptr) {
    table = *local;
    if (transparent >= entries) {
      // An entry more for transparency: its colour never shows.
      std::memset(table.data() + static_cast<std::size_t>(transparent) * 4, 0, 4);
      entries = transparent + 1;
    }
    std::array<std::uint8_t, 256> remap;
    entries = frame_ops::CompactTable(cut, table, entries, transparent, remap);
    if (transparent >= 0) transparent = remap[static_cast<std::size_t>(transparent)];
  }
  head.left = left;
  head.top = top;
  head.width = cut.Width();
  head.height = cut.Height();
  head.disposal = disposal;
  head.local_entries = local != nullptr ? entries : 0;
  head.use_transparent = transparent >= 0;
  head.transparent_index = static_cast<std::uint8_t>(transparent >= 0 ? transparent : 0);
  const std::int32_t global = strategy_->GlobalEntries();
  gif_blocks::FrameHead sizes = head;
  if (local != nullptr) sizes.local_table = table.data();
  const std::int32_t code_size = gif_blocks::MinCodeSize(sizes, global > 0 ? gif_blocks::TableExponent(global) : 0);
  data.clear();
  CappedSink sink(data, below);
  const auto width = static_cast<std::uint8_t>(code_size + 1);
  bool encoded = false;
  if (tradeoffs_.lossy > 0) {
    const mGIFLZWEnc::LossyColours colours{local != nullptr ? table.data() : strategy_->GlobalTable().data(),
                                           local != nullptr ? entries : global, transparent};
    encoded = mGIFLZWEnc::EncodeFrameLossy(sink, cut, width, 0, colours, tradeoffs_.lossy);
  } else {
    encoded = mGIFLZWEnc::EncodeFrame(sink, cut, width, 0);
  }
  if (!encoded && !sink.Over()) {
    RaiseError(kErrInternal, "frame " + std::to_string(frame + 1) + " has an index past its colour table");
  }
  return encoded;
}

void Conversion::MakeFrame(Item& item, std::int64_t frame, unsigned worker) const {
  Mapped mapped;
  strategy_->Map(item.picture, item.clear, worker, mapped);
  const bool local = mapped.entries > 0;
  const Table& table = local ? mapped.table : strategy_->GlobalTable();
  const std::int32_t entries = local ? mapped.entries : strategy_->GlobalEntries();
  const Table* own = local ? &mapped.table : nullptr;
  // Viewers that compose a first frame without transparency never show any
  // later: the first names the palette's index for it whenever there is one.
  const bool declare = frame == 0 && mapped.transparent >= 0;
  if (!board_) {
    item.picture.Destroy();
    // Whole frames; one with clear pixels needs the frame before to clear its own.
    item.clears_before = item.clear;
    Encode(mapped.pixels, 0, 0, own, entries, item.clear || declare ? mapped.transparent : -1, 3, frame, item.head,
           item.table, item.data);
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
  if (step->rect.Empty()) {
    item.merged = true;
    return;
  }
  // A frame written whole (no still pixels kept) leaves unwritten only the
  // pixels whose index happens to repeat: transparency seldom pays there.
  const frame_ops::ChangeRect& r = step->rect;
  const std::int64_t area = std::int64_t{r.right - r.left} * (r.bottom - r.top);
  const bool worth = step->any_unwritten && (step->stable || step->unwritten * 4 >= area);
  // The index for transparency: the one kept for it, an entry past the
  // table's, or one that no pixel written uses.
  std::int32_t transparent = mapped.transparent;
  if (transparent < 0 && (worth || step->any_kept)) {
    const std::int32_t room = local ? 256 : 1 << gif_blocks::TableExponent(entries);
    transparent = entries < room ? entries : FreeIndex(mapped.pixels, *step, room);
  }
  const bool plain = !step->any_kept && (!step->any_clear || transparent >= 0);
  const bool through = (worth || !plain) && step->any_unwritten && transparent >= 0;
  if (!plain && !through) RaiseError(kErrInternal, "frame " + std::to_string(frame + 1) + " has no index for transparency");
  const auto transparency = static_cast<std::uint8_t>(std::max(transparent, 0));
  cDIB cuts[2];  // plain, through transparency
  std::int64_t runs[2] = {0, 0};
  for (int k = 0; k < 2; ++k) {
    if (k == 0 ? !plain : !through) continue;
    MakeCut(mapped.pixels, *step, transparency, k == 1, cuts[k]);
    runs[k] = CountRuns(cuts[k]);
  }
  // LZW packs runs: the way with fewer is encoded, and the other too when
  // they come close.
  const int first = !plain || (through && runs[1] < runs[0]) ? 1 : 0;
  const bool both = plain && through && std::min(runs[0], runs[1]) * 10 > std::max(runs[0], runs[1]) * 9;
  for (int k : {first, 1 - first}) {
    if (k != first && !both) break;
    gif_blocks::FrameHead head = item.head;
    Table table_k;
    std::vector<std::uint8_t> data;
    // The second way is kept only if smaller: its encoding stops once it is not.
    if (Encode(cuts[k], r.left, r.top, own, entries, k == 1 || step->any_clear || declare ? transparent : -1, 1, frame,
               head, table_k, data, k == first ? 0 : item.data.size())) {
      item.cut.Exchange(cuts[k]);
      item.head = head;
      item.table = table_k;
      item.data = std::move(data);
    }
  }
}

void Conversion::ClearLast() {
  LastFrame& last = last_frame_;
  const gif_blocks::FrameHead& was = last.head;
  frame_ops::ChangeRect all{was.left, was.top, was.left + was.width, was.top + was.height};
  const frame_ops::ChangeRect& opaque = last.opaque;
  if (!opaque.Empty()) {
    all.left = std::min(all.left, opaque.left);
    all.top = std::min(all.top, opaque.top);
    all.right = std::max(all.right, opaque.right);
    all.bottom = std::max(all.bottom, opaque.bottom);
  }
  if (all.left == was.left && all.top == was.top && all.right == was.left + was.width &&
      all.bottom == was.top + was.height) {
    out_.Dispose();
    return;
  }
  // The frame again over everything shown, transparent around its own pixels.
  const bool local = was.local_entries > 0;
  std::int32_t transparent = was.use_transparent ? was.transparent_index : strategy_->GlobalTransparent();
  if (transparent < 0) transparent = local ? was.local_entries : -1;
  if (transparent < 0) RaiseError(kErrInternal, "a frame to clear has no index for transparency");
  cDIB wide;
  if (!wide.Create(all.right - all.left, all.bottom - all.top, 8)) RaiseOutOfMemory();
  const frame_ops::Pixels to(wide);
  const frame_ops::Pixels from(last.cut);
  for (std::int32_t y = 0; y < to.height; ++y) std::memset(to.row(y), transparent, static_cast<std::size_t>(to.width));
  for (std::int32_t y = 0; y < from.height; ++y) {
    std::memcpy(to.row(was.top - all.top + y) + (was.left - all.left), from.row(y), static_cast<std::size_t>(from.width));
  }
  gif_blocks::FrameHead head = was;
  Table table;
  std::vector<std::uint8_t> data;
  Encode(wide, all.left, all.top, local ? &last.table : nullptr, was.local_entries, transparent, 2, emitted_, head,
         table, data);
  last.cut.Exchange(wide);
  last.table = table;
  last.head = head;
  if (local) last.head.local_table = last.table.data();
  out_.Redo(last.head, std::move(data));
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
            item.clear = Unpack(packed, screen_width_, screen_height_, item.picture);
            item.has_picture = true;
          } else if (!item.has_picture) {
            Read(source, k, item);
          }
          const std::int32_t delay = source.Delay(k);
          item.head.delay = delay >= 0 ? static_cast<std::int16_t>(delay) : delay_;
          MakeFrame(item, frame, worker);
        } catch (...) {
          // The next frame waits for this one's screen: it is told there is none.
          if (board_ && !item.published) board_->Publish(frame, nullptr);
          throw;
        }
      },
      [&](std::size_t, std::int64_t frame, Item& item) {
        if (!counted) {
          Yield(YieldStage::PictureStart, frame + 1);
          if (item.failure) std::rethrow_exception(item.failure);
          Yield(YieldStage::ChannelSwap, frame + 1);
          Yield(YieldStage::Flip, frame + 1);
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
            ClearLast();
          } else {
            out_.Dispose();
          }
        }
        if (item.merged) {
          out_.Extend(item.head.delay);
        } else {
          if (item.head.local_entries > 0) item.head.local_table = item.table.data();
          if (board_) {
            last_frame_.cut.Exchange(item.cut);
            last_frame_.head = item.head;
            last_frame_.table = item.table;
          }
          out_.Put(item.head, std::move(item.data));
        }
        if (board_) last_frame_.opaque = item.opaque;
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

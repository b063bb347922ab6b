#include "gif/cgif.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/base/arith.hpp"
#include "platform/base/error.hpp"

namespace zoetra {

namespace {

constexpr std::uint8_t kMaskPalette[8] = {0, 0, 0, 0, 255, 255, 255, 0};

std::int32_t PackedColour(const std::uint8_t* table, std::uint8_t nEntry) {
  const std::uint8_t* e = table + std::size_t{nEntry} * 4;
  return std::int32_t{e[2]} + 256 * std::int32_t{e[1]} + 65536 * std::int32_t{e[0]};
}

}  // namespace

// The rasters go with the member destruction; nothing here may allocate.
cGIF::cGIF() = default;

cGIF::~cGIF() = default;

cGIF::FrameRecord& cGIF::Slot(std::int16_t nFrame) {
  if (nFrame < 1 || static_cast<std::size_t>(nFrame) > slots_.size()) RaiseSubscript();
  return slots_[static_cast<std::size_t>(nFrame) - 1];
}

const cGIF::FrameRecord& cGIF::Slot(std::int16_t nFrame) const {
  if (nFrame < 1 || static_cast<std::size_t>(nFrame) > slots_.size()) RaiseSubscript();
  return slots_[static_cast<std::size_t>(nFrame) - 1];
}

void cGIF::Destroy() {
  signature_.clear();
  version_.clear();
  screen_.fill(0);
  global_palette_.fill(0);
  global_sorted_ = 0;
  global_entries_ = 0;
  animation_loops_ = 0;
  loop_block_ = true;
  loaded_loop_count_ = -1;
  loaded_trailer_ = false;
  loaded_to_limit_ = false;
  load_warnings_.clear();
  warnings_dropped_ = 0;
  // GlobalPaletteExists survives on purpose: callers set it before filling a document.
  slots_.clear();
  slots_.resize(1);
  frames_count_ = 0;
}

void cGIF::CreateRasters(FrameRecord& record, std::int32_t Width, std::int32_t Height) {
  auto image = std::make_shared<cDIB>();
  if (image->Create(Width, Height, 8)) image->Reset();
  auto mask = std::make_shared<cDIB>();
  if (mask->Create(Width, Height, 1)) {
    mask->SetPalette(kMaskPalette);
    mask->Reset();
  }
  record.image = std::move(image);
  record.mask = std::move(mask);
}

void cGIF::FrameInsert(std::int16_t nFrame, std::int16_t Width, std::int16_t Height) {
  const bool append = nFrame > frames_count_ || frames_count_ == 0;
  if (!append && nFrame < 1) RaiseSubscript();
  const std::int16_t count = Add16(frames_count_, 1);

  // Build the new record completely before touching the list, so a failure leaves it as it was.
  FrameRecord record;
  CreateRasters(record, Width, Height);

  // Slots past the frames (the spare slot, or one a reader grew) give way to the new frame.
  slots_.resize(static_cast<std::size_t>(frames_count_));
  const std::size_t target = append ? slots_.size() : static_cast<std::size_t>(nFrame) - 1;
  slots_.insert(slots_.begin() + static_cast<std::ptrdiff_t>(target), std::move(record));
  frames_count_ = count;
  if (frames_count_ == 1) {
    ScreenWidth(Width);
    ScreenHeight(Height);
  }
}

void cGIF::FrameRemove(std::int16_t nFrame) {
  // Only real frames can be removed: removing the spare slot would make the count negative.
  if (nFrame < 1 || nFrame > frames_count_ || static_cast<std::size_t>(nFrame) > slots_.size()) RaiseSubscript();
  slots_.erase(slots_.begin() + (nFrame - 1));
  --frames_count_;
  if (frames_count_ > 0) {
    slots_.resize(static_cast<std::size_t>(frames_count_));
  } else {
    slots_.clear();
    slots_.resize(1);
  }
}

void cGIF::FrameRemoveMarked(std::span<const std::uint8_t> Marked) {
  const std::size_t frames = std::min(static_cast<std::size_t>(frames_count_), slots_.size());
  const std::size_t marked = std::min(frames, Marked.size());
  std::size_t kept = 0;
  for (std::size_t f = 0; f < frames; ++f) {
    if (f < marked && Marked[f] != 0) continue;
    if (kept != f) slots_[kept] = std::move(slots_[f]);
    ++kept;
  }
  if (kept == frames) return;
  frames_count_ = static_cast<std::int16_t>(kept);
  slots_.resize(kept);
  if (kept == 0) slots_.resize(1);
}

void cGIF::FrameMoveUp(std::int16_t nFrame) {
  if (nFrame < 2 || static_cast<std::size_t>(nFrame) > slots_.size()) RaiseSubscript();
  std::swap(slots_[static_cast<std::size_t>(nFrame) - 2], slots_[static_cast<std::size_t>(nFrame) - 1]);
}

void cGIF::FrameMoveDown(std::int16_t nFrame) {
  if (nFrame < 1 || static_cast<std::size_t>(nFrame) >= slots_.size()) RaiseSubscript();
  std::swap(slots_[static_cast<std::size_t>(nFrame) - 1], slots_[static_cast<std::size_t>(nFrame)]);
}

// --- document properties ---

std::int16_t cGIF::ScreenWidth() const {
  return static_cast<std::int16_t>(screen_[0] | (screen_[1] << 8));
}

void cGIF::ScreenWidth(std::int16_t New_ScreenWidth) {
  const auto v = static_cast<std::uint16_t>(New_ScreenWidth);
  screen_[0] = static_cast<std::uint8_t>(v & 0xFF);
  screen_[1] = static_cast<std::uint8_t>(v >> 8);
}

std::int16_t cGIF::ScreenHeight() const {
  return static_cast<std::int16_t>(screen_[2] | (screen_[3] << 8));
}

void cGIF::ScreenHeight(std::int16_t New_ScreenHeight) {
  const auto v = static_cast<std::uint16_t>(New_ScreenHeight);
  screen_[2] = static_cast<std::uint8_t>(v & 0xFF);
  screen_[3] = static_cast<std::uint8_t>(v >> 8);
}

float cGIF::ScreenPixelAspectRatio() const {
  return (static_cast<float>(screen_[kScreenAspect]) + 15.0f) / 64.0f;
}

void cGIF::ScreenPixelAspectRatio(float New_ScreenPixelAspectRatio) {
  screen_[kScreenAspect] = RoundToByte(static_cast<double>(New_ScreenPixelAspectRatio) * 64.0 - 15.0);
}

std::int32_t cGIF::GlobalPaletteRGBEntry(std::uint8_t nEntry) const {
  if (global_exists_ == 0) return 0;
  return PackedColour(global_palette_.data(), nEntry);
}

// --- frame properties ---

std::shared_ptr<cDIB> cGIF::FrameDIBXOR(std::int16_t nFrame) const { return Slot(nFrame).image; }
std::shared_ptr<cDIB> cGIF::FrameDIBAND(std::int16_t nFrame) const { return Slot(nFrame).mask; }

std::int16_t cGIF::FrameDelay(std::int16_t nFrame) const { return Slot(nFrame).delay; }
void cGIF::FrameDelay(std::int16_t nFrame, std::int16_t New_FrameDelay) { Slot(nFrame).delay = New_FrameDelay; }

std::int16_t cGIF::FrameInterlaced(std::int16_t nFrame) const { return Slot(nFrame).interlaced; }
void cGIF::FrameInterlaced(std::int16_t nFrame, std::int16_t New_FrameInterlaced) {
  Slot(nFrame).interlaced = New_FrameInterlaced;
}

std::int16_t cGIF::FrameLeft(std::int16_t nFrame) const { return Slot(nFrame).left; }
void cGIF::FrameLeft(std::int16_t nFrame, std::int16_t New_FrameLeft) { Slot(nFrame).left = New_FrameLeft; }

std::int16_t cGIF::FrameTop(std::int16_t nFrame) const { return Slot(nFrame).top; }
void cGIF::FrameTop(std::int16_t nFrame, std::int16_t New_FrameTop) { Slot(nFrame).top = New_FrameTop; }

std::int32_t cGIF::FrameDisposalMethod(std::int16_t nFrame) const { return Slot(nFrame).disposal; }
void cGIF::FrameDisposalMethod(std::int16_t nFrame, std::int32_t New_FrameDisposalMethod) {
  FrameRecord& r = Slot(nFrame);
  r.disposal = Narrow<std::uint8_t>(New_FrameDisposalMethod);
}

std::int16_t cGIF::FrameUseTransparentColor(std::int16_t nFrame) const { return Slot(nFrame).use_transparent; }
void cGIF::FrameUseTransparentColor(std::int16_t nFrame, std::int16_t New_FrameUseTransparentColor) {
  Slot(nFrame).use_transparent = New_FrameUseTransparentColor;
}

std::uint8_t cGIF::FrameTransparentColorIndex(std::int16_t nFrame) const {
  return static_cast<std::uint8_t>(Slot(nFrame).transparent_index);
}
void cGIF::FrameTransparentColorIndex(std::int16_t nFrame, std::uint8_t New_FrameTransparentColorIndex) {
  Slot(nFrame).transparent_index = New_FrameTransparentColorIndex;
}

std::int16_t cGIF::FrameUserInput(std::int16_t nFrame) const { return Slot(nFrame).user_input; }
void cGIF::FrameUserInput(std::int16_t nFrame, std::int16_t New_FrameUserInput) {
  Slot(nFrame).user_input = New_FrameUserInput;
}

std::uint8_t* cGIF::lpLocalPalette(std::int16_t nFrame) { return Slot(nFrame).local_palette.data(); }
const std::uint8_t* cGIF::lpLocalPalette(std::int16_t nFrame) const { return Slot(nFrame).local_palette.data(); }

std::int32_t cGIF::LocalPaletteRGBEntry(std::int16_t nFrame, std::uint8_t nEntry) const {
  return PackedColour(Slot(nFrame).local_palette.data(), nEntry);
}

std::int16_t cGIF::LocalPaletteUsed(std::int16_t nFrame) const { return Slot(nFrame).local_used; }
void cGIF::LocalPaletteUsed(std::int16_t nFrame, std::int16_t New_LocalPaletteUsed) {
  Slot(nFrame).local_used = New_LocalPaletteUsed;
}

std::int16_t cGIF::LocalPaletteSorted(std::int16_t nFrame) const { return Slot(nFrame).local_sorted; }
void cGIF::LocalPaletteSorted(std::int16_t nFrame, std::int16_t New_LocalPaletteSorted) {
  Slot(nFrame).local_sorted = New_LocalPaletteSorted;
}

std::int16_t cGIF::LocalPaletteEntries(std::int16_t nFrame) const { return Slot(nFrame).local_entries; }
void cGIF::LocalPaletteEntries(std::int16_t nFrame, std::int16_t New_LocalPaletteEntries) {
  Slot(nFrame).local_entries = New_LocalPaletteEntries;
}

// --- the loader's slot bookkeeping ---

void cGIF::EnsureSlots(std::int32_t n) {
  if (n > kMaxFrames) RaiseOverflow();
  if (n > 0 && static_cast<std::size_t>(n) > slots_.size()) slots_.resize(static_cast<std::size_t>(n));
}

void cGIF::SetFramesCount(std::int16_t n) {
  if (n < 0 || static_cast<std::size_t>(n) > slots_.size()) RaiseSubscript();
  frames_count_ = n;
}

}  // namespace zoetra

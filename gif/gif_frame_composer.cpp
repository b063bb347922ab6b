// Frames composed from the file's blocks, a row at a time.
#include "gif/gif_frame_composer.hpp"

#include <algorithm>
#include <cstring>

#include "gif/gif_compose.hpp"
#include "gif/mgiflzwdec.hpp"
#include "platform/base/error.hpp"

namespace zoetra {
namespace {

// A table entry (blue, green, red, 0) as a screen pixel.
std::uint32_t Pixel(const std::uint8_t* entry) {
  const std::uint8_t bytes[4] = {entry[0], entry[1], entry[2], 0};
  std::uint32_t v;
  std::memcpy(&v, bytes, 4);
  return v;
}

// The image's code data, sub-block by sub-block, for the decoder.
class ScanData final : public mGIFLZWDec::DataFeed {
 public:
  explicit ScanData(gif_scan::Scanner& scan) : scan_(scan) {}
  std::span<const std::uint8_t> More() override { return scan_.Data(); }

 private:
  gif_scan::Scanner& scan_;
};

// Each decoded row drawn onto the screen where it shows: clipped to it, its
// transparent pixels left as they are.
class ScreenRows final : public mGIFLZWDec::RowSink {
 public:
  ScreenRows(cDIB& screen, const gif_scan::Frame& f) : screen_(screen), frame_(f) {
    for (int i = 0; i < 256; ++i) colours_[i] = Pixel(f.table.data() + 4 * i);
    visible_ = std::max(0, std::min(f.width, screen.Width() - f.left));
  }
  void Row(std::int32_t y, const std::uint8_t* pixels) override {
    const std::int32_t sy = frame_.top + y;
    if (sy >= screen_.Height() || visible_ == 0) return;
    const std::size_t stride = static_cast<std::size_t>(screen_.BytesPerScanline());
    auto* to = reinterpret_cast<std::uint32_t*>(screen_.lpBits() + static_cast<std::size_t>(screen_.Height() - 1 - sy) * stride) +
               frame_.left;
    if (frame_.use_transparent) {
      const std::uint8_t clear = frame_.transparent_index;
      for (std::int32_t x = 0; x < visible_; ++x) {
        if (pixels[x] != clear) to[x] = colours_[pixels[x]];
      }
    } else {
      for (std::int32_t x = 0; x < visible_; ++x) to[x] = colours_[pixels[x]];
    }
  }

 private:
  cDIB& screen_;
  const gif_scan::Frame& frame_;
  std::uint32_t colours_[256];
  std::int32_t visible_ = 0;
};

}  // namespace

std::string GifFrameComposer::StartFailure() const {
  const gif_scan::Screen& s = scan_.screen();
  if (s.width == 0 || s.height == 0) {
    return "the logical screen is empty (" + std::to_string(s.width) + " x " + std::to_string(s.height) + ")";
  }
  return "out of memory for the screen";
}

bool GifFrameComposer::Start() {
  const gif_scan::Screen& s = scan_.screen();
  started_ = false;
  if (s.width == 0 || s.height == 0 || !screen_.Create(s.width, s.height, 32)) {
    screen_.Destroy();
    return false;
  }
  // The global table's entry for the background index; black without one.
  background_ = s.global ? Pixel(s.global_table.data() + 4 * std::size_t{s.background}) : 0;
  std::uint8_t* bits = screen_.lpBits();
  const std::size_t count = static_cast<std::size_t>(screen_.Size()) / 4;
  std::fill_n(reinterpret_cast<std::uint32_t*>(bits), count, background_);
  started_ = true;
  return true;
}

bool GifFrameComposer::Next() {
  if (!started_) return false;
  if (frame_.index > 0) Dispose();
  gif_scan::Frame next;
  if (!scan_.Next(next)) return false;
  frame_ = next;
  if (gif_compose::DisposalOf(frame_.disposal) == gif_compose::Disposal::kPrevious) {
    // Made at the first frame that needs it, then reused.
    if (before_.hDIB() == 0 && !before_.Create(screen_.Width(), screen_.Height(), 32)) RaiseOutOfMemory();
    std::memcpy(before_.lpBits(), screen_.lpBits(), static_cast<std::size_t>(screen_.Size()));
  }
  Draw();
  return true;
}

void GifFrameComposer::Draw() {
  const std::int32_t w = frame_.width, h = frame_.height;
  if (w == 0 || h == 0) return;
  ScanData data(scan_);
  if (frame_.left >= screen_.Width() || frame_.top >= screen_.Height()) return;  // nothing of it shows
  ScreenRows rows(screen_, frame_);
  mGIFLZWDec::DecodeRows(w, h, frame_.interlaced, frame_.min_code_size, data, rows,
                         std::min(w, screen_.Width() - frame_.left), std::min(h, screen_.Height() - frame_.top));
}

void GifFrameComposer::Dispose() {
  switch (gif_compose::DisposalOf(frame_.disposal)) {
    case gif_compose::Disposal::kBackground: {
      // An image with no pixels (a side of 0) clears nothing.
      if (frame_.width == 0 || frame_.height == 0) break;
      const std::int32_t right = std::min(frame_.left + frame_.width, screen_.Width());
      const std::int32_t bottom = std::min(frame_.top + frame_.height, screen_.Height());
      const std::size_t stride = static_cast<std::size_t>(screen_.BytesPerScanline());
      for (std::int32_t y = frame_.top; y < bottom; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(screen_.lpBits() +
                                                     static_cast<std::size_t>(screen_.Height() - 1 - y) * stride);
        for (std::int32_t x = frame_.left; x < right; ++x) row[x] = background_;
      }
      break;
    }
    case gif_compose::Disposal::kPrevious:
      std::memcpy(screen_.lpBits(), before_.lpBits(), static_cast<std::size_t>(screen_.Size()));
      break;
    case gif_compose::Disposal::kKeep:
      break;
  }
  // Done once: the next frame starts from here.
  frame_.disposal = 0;
}

}  // namespace zoetra

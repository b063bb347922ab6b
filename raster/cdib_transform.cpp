// cDIB pixel transforms: mirrors, quarter turn, red/green exchange, and the
// two legacy byte-level operations.
//
// Mirrors are in-place transfers of the raster onto itself, so they work at
// every depth (sub-byte pixels included) and keep the pixel memory. The turn
// and the channel exchange produce a 32-bit raster; a raster that is 32-bit
// already is read directly instead of through a converted working copy.
// When a working raster cannot be made, or a transfer fails, the operation
// raises "Out of memory" (7) instead of leaving a half-transformed raster.
#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/base/error.hpp"
#include "raster/cdib.hpp"

namespace zoetra {

using namespace platform;

namespace {

inline std::uint32_t LoadPixel(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void StorePixel(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

// Little-endian B, G, R, X as a word: keep the colour bytes, clear the fourth.
constexpr std::uint32_t kColourBytes = 0x00FFFFFFu;

// Bytes 0..2 of pixel (x = i, r = W - 1 - j) of the H-wide result come from
// pixel (x = j, r = i) of the W-wide source. Tiled so both sides stay in cache.
void TurnQuarter(const std::uint8_t* src, std::uint8_t* dst, std::int32_t W, std::int32_t H) {
  constexpr std::int32_t kTile = 32;
  const std::size_t w = static_cast<std::size_t>(W), h = static_cast<std::size_t>(H);
  for (std::int32_t i0 = 0; i0 < H; i0 += kTile) {
    const std::int32_t i1 = std::min(H, i0 + kTile);
    for (std::int32_t j0 = 0; j0 < W; j0 += kTile) {
      const std::int32_t j1 = std::min(W, j0 + kTile);
      for (std::int32_t i = i0; i < i1; ++i) {
        const std::uint8_t* s = src + static_cast<std::size_t>(i) * w * 4;
        for (std::int32_t j = j0; j < j1; ++j) {
          const std::size_t d = (static_cast<std::size_t>(W - 1 - j) * h + static_cast<std::size_t>(i)) * 4;
          StorePixel(dst + d, LoadPixel(s + static_cast<std::size_t>(j) * 4) & kColourBytes);
        }
      }
    }
  }
}

// (B, G, R, X) -> (B, R, G, 0), or (B, R, G, X) when `keep` is 0xFF0000FF,
// over n pixels, in place.
void ExchangeRedGreen(std::uint8_t* p, std::size_t n, std::uint32_t keep = 0xFFu) {
  for (std::size_t k = 0; k < n; ++k, p += 4) {
    const std::uint32_t v = LoadPixel(p);
    StorePixel(p, (v & keep) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u));
  }
}

}  // namespace

void cDIB::Orientation(bool Rotate90, bool FlipH, bool FlipV) {
  if (hdib_ == 0) return;
  const std::int32_t W = Width();
  const std::int32_t H = Height();
  if ((FlipH && !Rotate90) || (FlipV && Rotate90)) {
    if (StretchBlt(hdc_, W - 1, 0, -W, H, hdc_, 0, 0, W, H, kSrcCopy) == 0) RaiseOutOfMemory();
  }
  if ((FlipV && !Rotate90) || (FlipH && Rotate90)) {
    if (StretchBlt(hdc_, 0, H - 1, W, -H, hdc_, 0, 0, W, H, kSrcCopy) == 0) RaiseOutOfMemory();
  }
  if (!Rotate90) return;

  cDIB work;
  const std::uint8_t* source = bits_;
  if (BPP() != 32) {
    if (!work.Create(W, H, 32) || work.LoadBlt(hdc_) == 0) RaiseOutOfMemory();
    source = work.lpBits();
  }
  cDIB turned;
  if (!turned.Create(H, W, 32)) RaiseOutOfMemory();
  TurnQuarter(source, turned.bits_, W, H);
  // Take over the turned raster; the old one is released with `turned`.
  Exchange(turned);
}

void cDIB::SwapRG(bool KeepAlpha) {
  if (hdib_ == 0) return;
  const std::int32_t W = Width();
  const std::int32_t H = Height();
  const std::size_t pixels = static_cast<std::size_t>(W) * static_cast<std::size_t>(H);
  if (BPP() == 32) {
    // Same size and depth: exchange in place, one pass.
    ExchangeRedGreen(bits_, pixels, KeepAlpha ? 0xFF0000FFu : 0xFFu);
    return;
  }
  // Resolve the colours into a 32-bit copy, exchange there, and take it over.
  cDIB work;
  if (!work.Create(W, H, 32) || work.LoadBlt(hdc_) == 0) RaiseOutOfMemory();
  ExchangeRedGreen(work.bits_, pixels);
  Exchange(work);
}

bool cDIB::SwapRGB_old() {
  if (hdib_ == 0) return false;
  const std::size_t size = header_.size_image;
  work1_.assign(bits_, bits_ + size);
  for (std::size_t k = 0; k + 3 < size; k += 4) std::swap(work1_[k + 1], work1_[k + 2]);
  std::memcpy(bits_, work1_.data(), size);
  return false;
}

bool cDIB::FlipDIB_old() {
  if (hdib_ == 0) return false;
  const std::size_t size = header_.size_image;
  const std::size_t rows = static_cast<std::size_t>(Height());
  const std::size_t stride = size / rows;
  work1_.assign(bits_, bits_ + size);
  work2_.assign(size, 0);
  for (std::size_t i = 0; i < rows; ++i) {
    const std::uint8_t* from = work1_.data() + (rows - 1 - i) * stride;
    std::uint8_t* to = work2_.data() + i * stride;
    for (std::size_t k = 0; k + 3 < stride; k += 4) {
      to[k] = from[k];
      to[k + 1] = from[k + 1];
      to[k + 2] = from[k + 2];
    }
  }
  std::memcpy(bits_, work2_.data(), size);
  return false;
}

void cDIB::BlendOver(std::uint32_t Background) {
  if (hdib_ == 0 || BPP() != 32) return;
  const int back[3] = {static_cast<int>(Background & 0xFF), static_cast<int>((Background >> 8) & 0xFF),
                       static_cast<int>((Background >> 16) & 0xFF)};  // blue, green, red
  const std::size_t pixels = static_cast<std::size_t>(Width()) * static_cast<std::size_t>(Height());
  std::uint8_t* p = bits_;
  for (std::size_t i = 0; i < pixels; ++i, p += 4) {
    const int a = p[3];
    if (a != 255) {
      // Rounded to nearest; opaque and clear pixels come out exact.
      for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>((p[c] * a + back[c] * (255 - a) + 127) / 255);
    }
    p[3] = 0;
  }
}

}  // namespace zoetra

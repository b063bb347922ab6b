// cDIB transfers to and from device contexts, and the best-fit arithmetic.
#include <cmath>

#include "platform/base/arith.hpp"
#include "raster/cdib.hpp"

namespace zoetra {

using namespace platform;

std::int32_t cDIB::LoadBlt(HDC hSrcDC, std::int32_t x, std::int32_t y, std::int32_t nWidth, std::int32_t nHeight) {
  if (hdib_ == 0) return 0;
  if (nWidth == 0) nWidth = Width();
  if (nHeight == 0) nHeight = Height();
  return BitBlt(hdc_, 0, 0, nWidth, nHeight, hSrcDC, x, y, kSrcCopy);
}

std::int32_t cDIB::Paint(HDC hDC, std::int32_t x, std::int32_t y, std::int32_t ROP, std::int32_t StretchBltMode) {
  return Stretch(hDC, x, y, Width(), Height(), 0, 0, 0, 0, ROP, StretchBltMode);
}

std::int32_t cDIB::Stretch(HDC hDC, std::int32_t x, std::int32_t y, std::int32_t nWidth, std::int32_t nHeight,
                           std::int32_t xSrc, std::int32_t ySrc, std::int32_t nSrcWidth, std::int32_t nSrcHeight,
                           std::int32_t ROP, std::int32_t StretchBltMode) {
  if (hdib_ == 0) return 0;
  if (nSrcWidth == 0) nSrcWidth = Width();
  if (nSrcHeight == 0) nSrcHeight = Height();
  const int previous = SetStretchBltMode(hDC, StretchBltMode);
  const std::int32_t result = StretchBlt(hDC, x, y, nWidth, nHeight, hdc_, xSrc, ySrc, nSrcWidth, nSrcHeight,
                                         static_cast<std::uint32_t>(ROP));
  // The transfer reports failure by result, never by exception, so the mode is always restored here.
  if (previous != 0) SetStretchBltMode(hDC, previous);
  return result;
}

namespace {

// Dst / Src in double precision, kept as a single-precision factor. 0 / 0 is
// an overflow, n / 0 a division by zero, as the run time reports them.
float FitFactor(std::int32_t dst, std::int32_t src) {
  if (src == 0) {
    if (dst == 0) RaiseOverflow();
    RaiseDivisionByZero();
  }
  return static_cast<float>(static_cast<double>(dst) / static_cast<double>(src));
}

}  // namespace

void cDIB::GetBestFitInfo(std::int32_t SrcW, std::int32_t SrcH, std::int32_t DstW, std::int32_t DstH,
                          std::int32_t& bfx, std::int32_t& bfy, std::int32_t& bfW, std::int32_t& bfH,
                          bool StretchFit) {
  if (SrcW > DstW || SrcH > DstH || StretchFit) {
    const float cW = FitFactor(DstW, SrcW);
    const float cH = FitFactor(DstH, SrcH);
    if (cW < cH) {
      bfW = DstW;
      bfH = RoundToInt32(static_cast<double>(SrcH) * static_cast<double>(cW));
    } else {
      bfH = DstH;
      bfW = RoundToInt32(static_cast<double>(SrcW) * static_cast<double>(cH));
    }
  } else {
    bfW = SrcW;
    bfH = SrcH;
  }
  bfx = Sub32(DstW, bfW) / 2;
  bfy = Sub32(DstH, bfH) / 2;
}

}  // namespace zoetra

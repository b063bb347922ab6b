#include "colour/cpal8bpp.hpp"

#include <algorithm>
#include <cstring>

#include "platform/base/error.hpp"

namespace zoetra {

namespace {

constexpr std::uint16_t kLogPaletteVersion = 0x300;

struct Rgb {
  std::uint8_t red, green, blue;
};

constexpr Rgb kDarkColors[8] = {{0, 0, 0},   {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                {0, 0, 128}, {128, 0, 128}, {0, 128, 128}, {192, 192, 192}};
constexpr Rgb kBrightColors[8] = {{128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                  {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};

// Channel values of a uniform cube with the given step: 0, step, 2*step, ... up
// to and including 256, where 256 itself stands for 255.
int CubeValues(int step, std::uint8_t* values) {
  int n = 0;
  for (int v = 0; v <= 256; v += step) values[n++] = static_cast<std::uint8_t>(std::min(v, 255));
  return n;
}

}  // namespace

cPal8bpp::~cPal8bpp() {
  Destroy();
}

std::uint8_t* cPal8bpp::Table() const {
  if (!table_) RaiseSubscript();
  return table_->data();
}

std::uint8_t* cPal8bpp::lpPalette() const {
  return Table();
}

void cPal8bpp::SetEntry(int index, std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  if (index < 0 || index >= kTableEntries) RaiseSubscript();
  std::uint8_t* e = Table() + index * 4;
  e[kBlue] = blue;
  e[kGreen] = green;
  e[kRed] = red;
  e[3] = 0;
}

void cPal8bpp::Initialize(std::int16_t InitialEntries) {
  Destroy();
  entries_ = InitialEntries;
  table_ = std::make_unique<std::array<std::uint8_t, kTableBytes>>();
  table_->fill(0);
}

void cPal8bpp::BuildLogicalPalette() {
  const std::uint8_t* table = Table();
  if (hpal_ != 0) {
    platform::DeleteObject(hpal_);
    hpal_ = 0;
  }
  platform::LogPalette lp{};
  lp.version = kLogPaletteVersion;
  lp.num_entries = static_cast<std::uint16_t>(std::clamp<int>(entries_, 0, kTableEntries));
  // Byte for byte: the logical palette reads each entry as red, green, blue,
  // flags, so its red slot holds our blue. ClosestIndex packs its query the
  // same way round, so like channels are still compared with like.
  static_assert(sizeof(lp.entries) == kTableBytes);
  std::memcpy(lp.entries, table, kTableBytes);
  hpal_ = platform::CreatePalette(lp);
}

void cPal8bpp::Destroy() {
  entries_ = 0;
  table_.reset();
  if (hpal_ != 0) {
    platform::DeleteObject(hpal_);
    hpal_ = 0;
  }
}

std::uint32_t cPal8bpp::NearestEntry(std::uint8_t R, std::uint8_t G, std::uint8_t B) const {
  const platform::ColorRef query = B + 256u * G + 65536u * R;
  return platform::GetNearestPaletteIndex(hpal_, query);
}

void cPal8bpp::ClosestIndex(std::uint8_t R, std::uint8_t G, std::uint8_t B,
                            std::uint8_t& Index) const {
  const std::uint32_t n = NearestEntry(R, G, B);
  Index = n == platform::kClrInvalid ? 0 : static_cast<std::uint8_t>(n);
}

void cPal8bpp::ClosestColor(std::uint8_t R, std::uint8_t G, std::uint8_t B, std::uint8_t& cR,
                            std::uint8_t& cG, std::uint8_t& cb) const {
  const std::uint32_t n = NearestEntry(R, G, B);
  if (n >= static_cast<std::uint32_t>(kTableEntries)) RaiseSubscript();
  const std::uint8_t* e = Table() + n * 4;
  cR = e[kRed];
  cG = e[kGreen];
  cb = e[kBlue];
}

bool cPal8bpp::IsGreyScale() const {
  if (entries_ <= 0) return false;
  const std::uint8_t* table = Table();
  for (int i = 0; i < entries_; ++i) {
    if (i >= kTableEntries) RaiseSubscript();
    const std::uint8_t* e = table + i * 4;
    if (e[kRed] != e[kGreen] || e[kGreen] != e[kBlue]) return false;
  }
  return true;
}

void cPal8bpp::CreateGreyScale(std::int32_t GreyLevels) {
  Initialize(0);
  int step = 0;
  switch (GreyLevels) {
    case 0:
      step = 255;
      entries_ = 2;
      break;
    case 1:
      step = 17;
      entries_ = 16;
      break;
    case 2:
      step = 1;
      entries_ = 256;
      break;
    default:
      RaiseDivisionByZero();  // no step for this level
  }
  for (int i = 0; i <= 255 / step; ++i) {
    const auto v = static_cast<std::uint8_t>(i * step);
    SetEntry(i, v, v, v);
  }
  BuildLogicalPalette();
}

void cPal8bpp::SetDarkColors(int first) {
  for (int i = 0; i < 8; ++i)
    SetEntry(first + i, kDarkColors[i].red, kDarkColors[i].green, kDarkColors[i].blue);
}

void cPal8bpp::SetBrightColors(int first) {
  for (int i = 0; i < 8; ++i) {
    SetEntry(first + i, kBrightColors[i].red, kBrightColors[i].green, kBrightColors[i].blue);
  }
}

void cPal8bpp::CreateEGA() {
  Initialize(0);
  entries_ = 16;
  SetDarkColors(0);
  SetBrightColors(8);
  BuildLogicalPalette();
}

void cPal8bpp::CreateHalftone(std::int32_t HalftoneLevels) {
  static constexpr int kSteps[] = {256, 128, 85, 64, 51};
  Initialize(0);
  // Any other level has no step: the cube never advances and runs off the
  // end of the (still all-black) table.
  if (HalftoneLevels < 0 || HalftoneLevels > 4) RaiseSubscript();
  std::uint8_t values[8];
  const int n = CubeValues(kSteps[HalftoneLevels], values);
  entries_ = static_cast<std::int16_t>(n * n * n);
  int k = 0;
  for (int b = 0; b < n; ++b) {
    for (int g = 0; g < n; ++g) {
      for (int r = 0; r < n; ++r) SetEntry(k++, values[r], values[g], values[b]);
    }
  }
  BuildLogicalPalette();
}

void cPal8bpp::CreateWebsafe() {
  Initialize(0);
  entries_ = 256;
  SetDarkColors(0);
  SetBrightColors(248);
  std::uint8_t values[8];
  const int n = CubeValues(51, values);
  int k = 8;
  for (int b = 0; b < n; ++b) {
    for (int g = 0; g < n; ++g) {
      for (int r = 0; r < n; ++r) {
        // The eight corners (every channel 0 or 255) are standard colours already.
        const bool corner =
            (r == 0 || r == n - 1) && (g == 0 || g == n - 1) && (b == 0 || b == n - 1);
        if (!corner) SetEntry(k++, values[r], values[g], values[b]);
      }
    }
  }
  // Entry 216 stays black; then the greys 8, 16, ..., 248.
  for (int i = 1; i <= 31; ++i) {
    const auto v = static_cast<std::uint8_t>(8 * i);
    SetEntry(216 + i, v, v, v);
  }
  BuildLogicalPalette();
}

}  // namespace zoetra

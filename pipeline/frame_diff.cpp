#include "pipeline/frame_diff.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/base/error.hpp"

namespace zoetra::pipeline {
namespace {

std::uint32_t PixelAt(const std::uint8_t* row, std::int32_t x) {
  std::uint32_t v;
  std::memcpy(&v, row + static_cast<std::size_t>(x) * 4, 4);
  return v;
}

// Red, green and blue differences summed.
std::int32_t Distance(std::uint32_t a, std::uint32_t b) {
  return std::abs(static_cast<std::int32_t>(a & 0xFF) - static_cast<std::int32_t>(b & 0xFF)) +
         std::abs(static_cast<std::int32_t>(a >> 8 & 0xFF) - static_cast<std::int32_t>(b >> 8 & 0xFF)) +
         std::abs(static_cast<std::int32_t>(a >> 16 & 0xFF) - static_cast<std::int32_t>(b >> 16 & 0xFF));
}

void Grow(frame_ops::ChangeRect& r, std::int32_t x, std::int32_t y) {
  if (r.Empty()) {
    r = {x, y, x + 1, y + 1};
    return;
  }
  r.left = std::min(r.left, x);
  r.top = std::min(r.top, y);
  r.right = std::max(r.right, x + 1);
  r.bottom = std::max(r.bottom, y + 1);
}

const std::uint8_t* Row32(const cDIB& picture, std::int32_t y) {
  return picture.lpBits() + static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.Width()) * 4;
}

}  // namespace

bool MarkClearPixels(cDIB& picture) {
  bool any = false;
  const std::size_t n = static_cast<std::size_t>(picture.Width()) * static_cast<std::size_t>(picture.Height());
  std::uint8_t* p = picture.lpBits();
  for (std::size_t i = 0; i < n; ++i, p += 4) {
    if (p[3] < 128) {
      std::memset(p, 0, 3);
      p[3] = kClearPixel;
      any = true;
    } else {
      p[3] = 0;
    }
  }
  return any;
}

bool DropOpaqueAlpha(cDIB& picture) {
  const std::size_t n = static_cast<std::size_t>(picture.Width()) * static_cast<std::size_t>(picture.Height());
  std::uint8_t* p = picture.lpBits();
  for (std::size_t i = 0; i < n; ++i)
    if (p[i * 4 + 3] != 0xFF) return false;
  for (std::size_t i = 0; i < n; ++i) p[i * 4 + 3] = 0;
  return true;
}

Screen::Screen(std::int32_t width, std::int32_t height)
    : width_(width), height_(height), nothing_(std::int64_t{width} * height) {
  const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  try {
    shown_.assign(n, kNothing);
    source_.assign(n, 0);
    index_.assign(n, 0);
  } catch (const std::bad_alloc&) {
    RaiseOutOfMemory();
  }
}

Step::Step(Screen& screen, const cDIB& picture, bool clear, cDIB& mapped, const frame_ops::ColourLut& colours,
           bool global, std::int32_t tolerance) {
  const std::int32_t w = screen.width_;
  const std::int32_t h = screen.height_;
  if (picture.Width() != w || picture.Height() != h || mapped.Width() != w || mapped.Height() != h) {
    RaiseError(kErrInternal, "a frame of another size than the screen");
  }
  const frame_ops::Pixels indices(mapped);
  std::uint32_t* const shown = screen.shown_.data();
  // Only the frame before can take away what is shown: it disposes of it all.
  if (clear && !screen.opaque_.Empty()) {
    for (std::int32_t y = 0; y < h && !needs_clear; ++y) {
      const std::uint8_t* in = Row32(picture, y);
      const std::uint32_t* on = shown + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
      for (std::int32_t x = 0; x < w; ++x) {
        if (in[x * 4 + 3] == kClearPixel && on[x] != Screen::kNothing) {
          needs_clear = true;
          break;
        }
      }
    }
    if (needs_clear) {
      std::fill(screen.shown_.begin(), screen.shown_.end(), Screen::kNothing);
      screen.opaque_ = {};
      screen.nothing_ = static_cast<std::int64_t>(screen.shown_.size());
    }
  }
  // First what each way would write: keeping still pixels as they are shown
  // (stable), or writing every pixel whose index changed (repaint, as if
  // nothing were kept). Stable pays where still pixels are many; where few
  // are, they only break the runs of the pixels around them.
  // Every fourth row tells well enough.
  constexpr std::int32_t kEvery = 4;
  std::int32_t left = w, right = 0, top = h, bottom = 0;
  std::int64_t still = 0;
  for (std::int32_t y = 0; y < h; y += kEvery) {
    const std::uint8_t* in = Row32(picture, y);
    const std::uint8_t* index = indices.row(y);
    const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
    const std::uint32_t* on = shown + at;
    const std::uint32_t* stands_for = screen.source_.data() + at;
    const std::uint8_t* shown_index = screen.index_.data() + at;
    std::int32_t first = -1, last = -1;
    for (std::int32_t x = 0; x < w; ++x) {
      const std::uint32_t px = PixelAt(in, x);
      bool changes;
      if (px >> 24 == kClearPixel || on[x] == Screen::kNothing) {
        changes = px >> 24 != kClearPixel;
      } else {
        const std::uint32_t rgb = px & 0xFFFFFFu;
        still += (tolerance == 0 ? rgb == stands_for[x] : Distance(rgb, stands_for[x]) <= tolerance) ? 1 : 0;
        changes = global ? index[x] != shown_index[x] : colours[index[x]] != on[x];
      }
      if (changes) {
        if (first < 0) first = x;
        last = x;
      }
    }
    if (first >= 0) {
      left = std::min(left, first);
      right = std::max(right, last + 1);
      top = std::min(top, y);
      bottom = y + 1;
    }
  }
  const std::int64_t area = right > left ? std::int64_t{right - left} * ((bottom - 1 - top) / kEvery + 1) : 0;
  stable = area == 0 || still * 2 >= area;
  if (!roles.Create(w, h, 8)) RaiseOutOfMemory();
  const frame_ops::Pixels role(roles);
  for (std::int32_t y = 0; y < h; ++y) {
    const std::uint8_t* in = Row32(picture, y);
    std::uint8_t* index = indices.row(y);
    std::uint8_t* out = role.row(y);
    const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
    std::uint32_t* on = shown + at;
    std::uint32_t* stands_for = screen.source_.data() + at;
    std::uint8_t* shown_index = screen.index_.data() + at;
    // Whole rows that keep what they show, the common case of still areas.
    if (global && !clear && screen.nothing_ == 0) {
      const std::size_t bytes = static_cast<std::size_t>(w) * 4;
      if (stable && tolerance == 0 && std::memcmp(in, stands_for, bytes) == 0) {
        std::memcpy(index, shown_index, static_cast<std::size_t>(w));
        std::memset(out, kSame, static_cast<std::size_t>(w));
        continue;
      }
      if (!stable && std::memcmp(index, shown_index, static_cast<std::size_t>(w)) == 0) {
        std::memcpy(stands_for, in, bytes);
        std::memset(out, kSame, static_cast<std::size_t>(w));
        continue;
      }
    }
    // Runs of exactly still pixels, eight at a time.
    const bool runs = global && !clear && screen.nothing_ == 0 && stable && tolerance == 0;
    std::int32_t first = -1, last = -1;  // written in this row
    for (std::int32_t x = 0; x < w; ++x) {
      if (runs && (x & 7) == 0 && x + 8 <= w && std::memcmp(in + x * 4, stands_for + x, 32) == 0) {
        std::memcpy(index + x, shown_index + x, 8);
        std::memset(out + x, kSame, 8);
        x += 7;
        continue;
      }
      const std::uint32_t px = PixelAt(in, x);
      if (px >> 24 == kClearPixel) {
        out[x] = kStaysClear;  // what was shown here is gone already
        continue;
      }
      const std::uint32_t rgb = px & 0xFFFFFFu;
      const bool was_shown = on[x] != Screen::kNothing;
      if (stable && was_shown && (tolerance == 0 ? rgb == stands_for[x] : Distance(rgb, stands_for[x]) <= tolerance)) {
        // Still: what is shown stays, dithering and all.
        if (global) {
          index[x] = shown_index[x];
          out[x] = kSame;
        } else {
          out[x] = colours[index[x]] == on[x] ? kSame : kKept;
        }
        continue;
      }
      const std::uint32_t colour = colours[index[x]];
      stands_for[x] = rgb;
      if (was_shown && (global ? index[x] == shown_index[x] : colour == on[x])) {
        out[x] = kSame;
        continue;
      }
      if (was_shown && colour == on[x] && stable) {
        index[x] = shown_index[x];
        out[x] = kSame;
        continue;
      }
      if (!was_shown) --screen.nothing_;
      on[x] = colour;
      shown_index[x] = index[x];
      out[x] = kWrite;
      if (first < 0) first = x;
      last = x;
    }
    if (first >= 0) {
      Grow(rect, first, y);
      Grow(rect, last, y);
    }
  }
  for (std::int32_t y = rect.top; y < rect.bottom; ++y) {
    const std::uint8_t* r = role.row(y);
    for (std::int32_t x = rect.left; x < rect.right; ++x) {
      unwritten += r[x] != kWrite ? 1 : 0;
      any_kept = any_kept || r[x] == kKept;
      any_clear = any_clear || r[x] == kStaysClear;
    }
  }
  any_unwritten = unwritten > 0;
  frame_ops::ChangeRect& opaque = screen.opaque_;
  if (!rect.Empty()) {
    if (opaque.Empty()) {
      opaque = rect;
    } else {
      Grow(opaque, rect.left, rect.top);
      Grow(opaque, rect.right - 1, rect.bottom - 1);
    }
  }
  opaque_after = opaque;
}

void MakeCut(const cDIB& mapped, const Step& step, std::uint8_t transparent, bool through_transparency, cDIB& cut) {
  const frame_ops::ChangeRect& r = step.rect;
  frame_ops::CutOut(mapped, r, cut);
  // Plainly, only clear pixels change: every other one holds an index that shows it.
  if (!step.any_unwritten || (!through_transparency && !step.any_clear)) return;
  const frame_ops::Pixels out(cut);
  const frame_ops::Pixels role(step.roles);
  // An unchanged pixel that could show its own index keeps it where that
  // goes on with the run before it: LZW packs runs, whatever their index.
  std::uint8_t last = transparent;
  for (std::int32_t y = 0; y < out.height; ++y) {
    std::uint8_t* o = out.row(y);
    const std::uint8_t* k = role.row(r.top + y) + r.left;
    for (std::int32_t x = 0; x < out.width; ++x) {
      std::uint64_t eight = 1;
      if (x + 8 <= out.width) std::memcpy(&eight, k + x, 8);
      if (eight == 0) {  // eight pixels written: nothing to do (kWrite is 0)
        x += 7;
        last = o[x];
        continue;
      }
      const std::uint8_t v = o[x];
      const bool clears = k[x] == kStaysClear ||
                          (through_transparency && k[x] != kWrite && (k[x] != kSame || v != last));
      last = clears ? transparent : v;
      o[x] = last;
    }
  }
}

std::int64_t CountRuns(const cDIB& cut) {
  const frame_ops::Pixels px(cut);
  std::int64_t runs = 0;
  for (std::int32_t y = 0; y < px.height; ++y) {
    const std::uint8_t* row = px.row(y);
    runs += 1;
    for (std::int32_t x = 1; x < px.width; ++x) runs += row[x] != row[x - 1] ? 1 : 0;
  }
  return runs;
}

std::int32_t FreeIndex(const cDIB& mapped, const Step& step, std::int32_t limit) {
  std::array<std::uint8_t, 256> used{};
  const frame_ops::Pixels in(mapped);
  const frame_ops::Pixels role(step.roles);
  for (std::int32_t y = step.rect.top; y < step.rect.bottom; ++y) {
    const std::uint8_t* v = in.row(y);
    const std::uint8_t* k = role.row(y);
    for (std::int32_t x = step.rect.left; x < step.rect.right; ++x) {
      if (k[x] == kWrite) used[v[x]] = 1;
    }
  }
  for (std::int32_t i = 0; i < std::min(limit, 256); ++i)
    if (!used[static_cast<std::size_t>(i)]) return i;
  return -1;
}

}  // namespace zoetra::pipeline

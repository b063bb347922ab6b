#include "pipeline/frame_diff.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gif/gif_blocks.hpp"
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

// What every pass of a Step reads.
struct Step::Frame {
  Screen& screen;
  const cDIB& picture;
  bool clear;
  const frame_ops::Pixels indices;
  const frame_ops::ColourLut& colours;
  bool global;
  std::int32_t tolerance;
};

Step::Step(Screen& screen, const cDIB& picture, bool clear, cDIB& mapped, const frame_ops::ColourLut& colours,
           bool global, std::int32_t tolerance) {
  const std::int32_t w = screen.width_;
  const std::int32_t h = screen.height_;
  if (picture.Width() != w || picture.Height() != h || mapped.Width() != w || mapped.Height() != h) {
    RaiseError(kErrInternal, "a frame of another size than the screen");
  }
  const Frame frame{screen, picture, clear, frame_ops::Pixels(mapped), colours, global, tolerance};
  if (clear && !screen.opaque_.Empty()) ClearIfUncovered(frame);
  stable = StillPays(frame);
  if (!roles.Create(w, h, 8)) RaiseOutOfMemory();
  for (std::int32_t y = 0; y < h; ++y) {
    if (!KeepsWholeRow(frame, y)) MarkRow(frame, y);
  }
  CountUnwritten();
  GrowOpaque(screen);
}

// Only the frame before can take away what is shown: it disposes of it all.
void Step::ClearIfUncovered(const Frame& frame) {
  Screen& screen = frame.screen;
  const std::int32_t w = screen.width_;
  const std::uint32_t* const shown = screen.shown_.data();
  for (std::int32_t y = 0; y < screen.height_ && !needs_clear; ++y) {
    const std::uint8_t* in = Row32(frame.picture, y);
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

// What each way would write: keeping still pixels as they are shown
// (stable), or writing every pixel whose index changed (repaint, as if
// nothing were kept). Stable pays where still pixels are many; where few
// are, they only break the runs of the pixels around them.
// Every fourth row tells well enough.
bool Step::StillPays(const Frame& frame) const {
  constexpr std::int32_t kEvery = 4;
  const Screen& screen = frame.screen;
  const std::int32_t w = screen.width_;
  const std::int32_t h = screen.height_;
  const std::int32_t tolerance = frame.tolerance;
  const bool global = frame.global;
  std::int32_t left = w, right = 0, top = h, bottom = 0;
  std::int64_t still = 0;
  for (std::int32_t y = 0; y < h; y += kEvery) {
    const std::uint8_t* in = Row32(frame.picture, y);
    const std::uint8_t* index = frame.indices.row(y);
    const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
    const std::uint32_t* on = screen.shown_.data() + at;
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
        changes = global ? index[x] != shown_index[x] : frame.colours[index[x]] != on[x];
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
  return area == 0 || still * 2 >= area;
}

// Whole rows that keep what they show, the common case of still areas.
bool Step::KeepsWholeRow(const Frame& frame, std::int32_t y) {
  Screen& screen = frame.screen;
  if (!frame.global || frame.clear || screen.nothing_ != 0) return false;
  const std::size_t w = static_cast<std::size_t>(screen.width_);
  const std::size_t at = static_cast<std::size_t>(y) * w;
  const std::uint8_t* in = Row32(frame.picture, y);
  std::uint8_t* index = frame.indices.row(y);
  std::uint8_t* out = frame_ops::Pixels(roles).row(y);
  std::uint32_t* stands_for = screen.source_.data() + at;
  const std::uint8_t* shown_index = screen.index_.data() + at;
  if (stable && frame.tolerance == 0 && std::memcmp(in, stands_for, w * 4) == 0) {
    std::memcpy(index, shown_index, w);
    std::memset(out, kSame, w);
    return true;
  }
  if (!stable && std::memcmp(index, shown_index, w) == 0) {
    std::memcpy(stands_for, in, w * 4);
    std::memset(out, kSame, w);
    return true;
  }
  return false;
}

// Each pixel of row `y` gets its role; the written ones go on the screen.
void Step::MarkRow(const Frame& frame, std::int32_t y) {
  Screen& screen = frame.screen;
  const std::int32_t w = screen.width_;
  const bool global = frame.global;
  const std::int32_t tolerance = frame.tolerance;
  const bool still_kept = stable;
  const frame_ops::ColourLut& colours = frame.colours;
  const std::uint8_t* in = Row32(frame.picture, y);
  std::uint8_t* index = frame.indices.row(y);
  std::uint8_t* out = frame_ops::Pixels(roles).row(y);
  const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
  std::uint32_t* on = screen.shown_.data() + at;
  std::uint32_t* stands_for = screen.source_.data() + at;
  std::uint8_t* shown_index = screen.index_.data() + at;
  // Runs of exactly still pixels, eight at a time.
  const bool runs = global && !frame.clear && screen.nothing_ == 0 && still_kept && tolerance == 0;
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
    if (still_kept && was_shown &&
        (tolerance == 0 ? rgb == stands_for[x] : Distance(rgb, stands_for[x]) <= tolerance)) {
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
    if (was_shown && colour == on[x] && still_kept) {
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

// The rectangle's pixels that are not written, kept or clear.
void Step::CountUnwritten() {
  const frame_ops::Pixels role(roles);
  for (std::int32_t y = rect.top; y < rect.bottom; ++y) {
    const std::uint8_t* r = role.row(y);
    for (std::int32_t x = rect.left; x < rect.right; ++x) {
      unwritten += r[x] != kWrite ? 1 : 0;
      any_kept = any_kept || r[x] == kKept;
      any_clear = any_clear || r[x] == kStaysClear;
    }
  }
  any_unwritten = unwritten > 0;
}

// What shows after the frame: what showed, and its rectangle.
void Step::GrowOpaque(Screen& screen) {
  Cover(screen.opaque_, rect);
  opaque_after = screen.opaque_;
}

void Cover(frame_ops::ChangeRect& r, const frame_ops::ChangeRect& more) {
  if (more.Empty()) return;
  if (r.Empty()) {
    r = more;
    return;
  }
  Grow(r, more.left, more.top);
  Grow(r, more.right - 1, more.bottom - 1);
}

void SpreadCut(const cDIB& cut, const frame_ops::ChangeRect& at, const frame_ops::ChangeRect& over,
               std::uint8_t transparent, cDIB& wide) {
  if (!wide.Create(over.right - over.left, over.bottom - over.top, 8)) RaiseOutOfMemory();
  const frame_ops::Pixels to(wide);
  const frame_ops::Pixels from(cut);
  for (std::int32_t y = 0; y < to.height; ++y) std::memset(to.row(y), transparent, static_cast<std::size_t>(to.width));
  for (std::int32_t y = 0; y < from.height; ++y) {
    std::memcpy(to.row(at.top - over.top + y) + (at.left - over.left), from.row(y),
                static_cast<std::size_t>(from.width));
  }
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

FrameWay PickFrameWay(const cDIB& mapped, const Step& step, const WayPalette& palette, std::int64_t frame,
                      const WayEncoder& encode, cDIB& cut) {
  if (step.rect.Empty()) return {};
  // A frame written whole (no still pixels kept) leaves unwritten only the
  // pixels whose index happens to repeat: transparency seldom pays there.
  const frame_ops::ChangeRect& r = step.rect;
  const std::int64_t area = std::int64_t{r.right - r.left} * (r.bottom - r.top);
  const bool worth = step.any_unwritten && (step.stable || step.unwritten * 4 >= area);
  // The index for transparency: the one kept for it, an entry past the
  // table's, or one that no pixel written uses.
  std::int32_t transparent = palette.transparent;
  if (transparent < 0 && (worth || step.any_kept)) {
    const std::int32_t room = palette.local ? 256 : 1 << gif_blocks::TableExponent(palette.entries);
    transparent = palette.entries < room ? palette.entries : FreeIndex(mapped, step, room);
  }
  const bool plain = !step.any_kept && (!step.any_clear || transparent >= 0);
  const bool through = (worth || !plain) && step.any_unwritten && transparent >= 0;
  if (!plain && !through) {
    RaiseError(kErrInternal, "frame " + std::to_string(frame + 1) + " has no index for transparency");
  }
  const auto transparency = static_cast<std::uint8_t>(std::max(transparent, 0));
  struct Candidate {
    cDIB cut;
    FrameWay way;
    std::int64_t runs = 0;
  };
  Candidate candidates[2];  // plain, through transparency
  for (int k = 0; k < 2; ++k) {
    if (k == 0 ? !plain : !through) continue;
    Candidate& c = candidates[k];
    MakeCut(mapped, step, transparency, k == 1, c.cut);
    c.runs = CountRuns(c.cut);
    c.way.kind = k == 1 ? FrameWay::kThrough : FrameWay::kPlain;
    c.way.left = r.left;
    c.way.top = r.top;
    c.way.transparent = k == 1 || step.any_clear || palette.declare ? transparent : -1;
  }
  // LZW packs runs: the way with fewer is encoded, and the other too when
  // they come close.
  const std::int64_t runs[2] = {candidates[0].runs, candidates[1].runs};
  const int first = !plain || (through && runs[1] < runs[0]) ? 1 : 0;
  const bool both = plain && through && std::min(runs[0], runs[1]) * 10 > std::max(runs[0], runs[1]) * 9;
  FrameWay picked;
  std::size_t size = 0;
  for (int k : {first, 1 - first}) {
    if (k != first && !both) break;
    Candidate& c = candidates[k];
    // The second way is kept only if smaller: its encoding stops once it is not.
    if (const std::optional<std::size_t> encoded = encode(c.cut, c.way, k == first ? 0 : size)) {
      size = *encoded;
      picked = c.way;
      cut.Exchange(c.cut);
    }
  }
  return picked;
}

}  // namespace zoetra::pipeline

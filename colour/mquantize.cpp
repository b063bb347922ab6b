#include "colour/mquantize.hpp"

#if defined(__SSE2__) && !defined(ZOETRA_NO_SIMD)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>

#include "platform/base/error.hpp"
#include "platform/base/ordered_parallel.hpp"
#include "platform/base/yield.hpp"
#include "raster/cdib.hpp"

namespace zoetra::mQuantize {
namespace {

constexpr std::size_t kSlots = kMaxHistogramColours * 2;  // load factor at most 1/2
constexpr std::size_t kFirstSlots = 1024;                   // grows by doubling to kSlots
constexpr std::size_t kTallySlots = std::size_t{1} << 13;  // counts before the buckets
static_assert(std::has_single_bit(kSlots) && kFirstSlots <= kSlots);

std::size_t SlotOf(std::uint32_t key, std::size_t slots) {
  return (key * 0x9E3779B1u) >> (32 - std::countr_zero(slots));
}

int Red(std::uint32_t rgb) { return static_cast<int>((rgb >> 16) & 0xFF); }
int Green(std::uint32_t rgb) { return static_cast<int>((rgb >> 8) & 0xFF); }
int Blue(std::uint32_t rgb) { return static_cast<int>(rgb & 0xFF); }

std::uint8_t ToByte(double v) {
  const double r = std::nearbyint(v);  // default rounding: halves to even
  return static_cast<std::uint8_t>(r < 0 ? 0 : (r > 255 ? 255 : r));
}

}  // namespace

// --- histogram ---

ColourHistogram::ColourHistogram() { Clear(); }

void ColourHistogram::Clear() {
  try {
    slots_.assign(kFirstSlots, Bucket{kEmpty, 0, {0, 0, 0}});
  } catch (const std::bad_alloc&) {
    RaiseOutOfMemory();
  }
  shift_ = 0;
  used_ = 0;
  pixels_ = 0;
}

void ColourHistogram::Add(std::uint32_t rgb, std::uint64_t n) {
  // The common case first: the colour's bucket exists already.
  const auto sh = static_cast<std::uint32_t>(shift_);
  const std::uint32_t key = sh == 0 ? rgb
                                    : (((rgb >> 16) & 0xFF) >> sh) << 16 | (((rgb >> 8) & 0xFF) >> sh) << 8 |
                                          ((rgb & 0xFF) >> sh);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = SlotOf(key, slots_.size());; i = (i + 1) & mask) {
    Bucket& b = slots_[i];
    if (b.key == kEmpty) break;
    if (b.key != key) continue;
    b.count += n;
    b.sum[0] += n * static_cast<std::uint64_t>(Red(rgb));
    b.sum[1] += n * static_cast<std::uint64_t>(Green(rgb));
    b.sum[2] += n * static_cast<std::uint64_t>(Blue(rgb));
    return;
  }
  AddBucket(Bucket{rgb, n, {n * static_cast<std::uint64_t>(Red(rgb)), n * static_cast<std::uint64_t>(Green(rgb)),
                            n * static_cast<std::uint64_t>(Blue(rgb))}},
            0);
}

void ColourHistogram::AddBucket(const Bucket& bucket, int from_shift) {
  for (;;) {
    const auto s = static_cast<std::uint32_t>(shift_ - from_shift);
    const std::uint32_t key = (((bucket.key >> 16) & 0xFF) >> s) << 16 | (((bucket.key >> 8) & 0xFF) >> s) << 8 |
                              ((bucket.key & 0xFF) >> s);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = SlotOf(key, slots_.size());
    while (slots_[i].key != key && slots_[i].key != kEmpty) i = (i + 1) & mask;
    Bucket& to = slots_[i];
    if (to.key == kEmpty) {
      if (used_ == kMaxHistogramColours) {
        Coarsen();
        continue;
      }
      if ((used_ + 1) * 2 > slots_.size()) {
        Rehash(slots_.size() * 2, 0);  // a small table stays in cache: grow it only when needed
        continue;
      }
      to.key = key;
      ++used_;
    }
    to.count += bucket.count;
    for (int c = 0; c < 3; ++c) to.sum[c] += bucket.sum[c];
    return;
  }
}

void ColourHistogram::Merge(const ColourHistogram& other) {
  while (shift_ < other.shift_) Coarsen();
  for (const Bucket& b : other.slots_) {
    if (b.key != kEmpty) AddBucket(b, other.shift_);
  }
  pixels_ += other.pixels_;
}

// Moves the buckets into a table of `slots`, dropping `coarser` more bits.
void ColourHistogram::Rehash(std::size_t slots, int coarser) {
  std::vector<Bucket> old;
  old.swap(slots_);
  try {
    slots_.assign(slots, Bucket{kEmpty, 0, {0, 0, 0}});
  } catch (const std::bad_alloc&) {
    RaiseOutOfMemory();
  }
  shift_ += coarser;
  used_ = 0;
  // Neither a larger table nor fewer bits can overflow within this loop.
  for (const Bucket& b : old) {
    if (b.key != kEmpty) AddBucket(b, shift_ - coarser);
  }
}

// Merges buckets that differ only in each channel's lowest kept bit.
void ColourHistogram::Coarsen() { Rehash(slots_.size(), 1); }

void ColourHistogram::AddPixels(const std::uint8_t* pixels, std::size_t count, bool skip_marked) {
  if (count == 0) return;
  // Colours are first counted in a small direct-mapped table that stays in
  // cache: most pixels repeat a colour seen shortly before. A colour pushed
  // out of it, and at the end every one left, goes to the buckets; which
  // order they come in does not change what the buckets end with. Every
  // pixel visits the table (no test for runs, which would mispredict on
  // busy pictures).
  struct Tally {
    std::uint32_t rgb;
    std::uint32_t n;
  };
  const std::size_t slots = std::bit_ceil(std::clamp(count, std::size_t{64}, kTallySlots));  // the hash keeps < 32 bits
  const int slot_shift = 32 - std::countr_zero(slots);
  std::vector<Tally> tally;
  try {
    tally.assign(slots, Tally{kEmpty, 0});
  } catch (const std::bad_alloc&) {
    RaiseOutOfMemory();
  }
  std::size_t skipped = 0;
  // In stretches of a million pixels, between which a stop is heard: a large
  // picture takes seconds.
  constexpr std::size_t kStretch = std::size_t{1} << 20;
  for (std::size_t start = 0; start < count; start += kStretch) {
    platform::CheckStop();
    const std::size_t end = std::min(count, start + kStretch);
    for (std::size_t i = start; i < end; ++i) {
      std::uint32_t v;
      std::memcpy(&v, pixels + i * 4, 4);
      if (skip_marked && v >> 24 != 0) {
        ++skipped;
        continue;
      }
      v &= 0xFFFFFFu;
      Tally& t = tally[(v * 0x9E3779B1u) >> slot_shift];
      if (t.rgb == v && t.n != 0xFFFFFFFFu) {
        ++t.n;
        continue;
      }
      if (t.rgb != kEmpty) Add(t.rgb, t.n);
      t = Tally{v, 1};
    }
  }
  for (const Tally& t : tally)
    if (t.rgb != kEmpty) Add(t.rgb, t.n);
  pixels_ += count - skipped;
}

void ColourHistogram::AddPicture(const cDIB& picture, bool skip_marked) {
  if (picture.hDIB() == 0) return;
  if (picture.BPP() != 32) RaiseError(kErrInvalidPicture, "Invalid picture: not a 32-bit raster");
  AddPixels(picture.lpBits(), static_cast<std::size_t>(picture.Width()) * static_cast<std::size_t>(picture.Height()),
            skip_marked);
}

std::vector<ColourHistogram::Bucket> ColourHistogram::Buckets() const {
  std::vector<Bucket> out;
  out.reserve(used_);
  for (const Bucket& b : slots_)
    if (b.key != kEmpty) out.push_back(b);
  std::sort(out.begin(), out.end(), [](const Bucket& a, const Bucket& b) { return a.key < b.key; });
  return out;
}

// --- palette ---

namespace {

struct Point {
  double c[3];
  double w;
  std::uint32_t key;  // for a total order
};

struct Box {
  std::size_t begin, end;
  double sse;
};

struct Moments {
  double w = 0, s[3] = {0, 0, 0}, ss[3] = {0, 0, 0};
  void Add(const Point& p) {
    w += p.w;
    for (int c = 0; c < 3; ++c) {
      s[c] += p.w * p.c[c];
      ss[c] += p.w * p.c[c] * p.c[c];
    }
  }
  double Var(int c) const { return w > 0 ? ss[c] - s[c] * s[c] / w : 0; }
  double Sse() const { return Var(0) + Var(1) + Var(2); }
};

Moments MomentsOf(const std::vector<Point>& pts, std::size_t begin, std::size_t end) {
  Moments m;
  for (std::size_t i = begin; i < end; ++i) m.Add(pts[i]);
  return m;
}

// Splits [begin, end) along its widest channel where the two halves leave the
// least squared error; returns the first index of the upper half.
std::size_t SplitBox(std::vector<Point>& pts, const Box& box) {
  const Moments all = MomentsOf(pts, box.begin, box.end);
  int axis = 0;
  for (int c = 1; c < 3; ++c)
    if (all.Var(c) > all.Var(axis)) axis = c;
  std::sort(pts.begin() + static_cast<std::ptrdiff_t>(box.begin), pts.begin() + static_cast<std::ptrdiff_t>(box.end),
            [axis](const Point& a, const Point& b) {
              return a.c[axis] != b.c[axis] ? a.c[axis] < b.c[axis] : a.key < b.key;
            });
  Moments left;
  double best = -1;
  std::size_t cut = box.begin + 1;
  for (std::size_t i = box.begin; i + 1 < box.end; ++i) {
    left.Add(pts[i]);
    if (pts[i].c[axis] == pts[i + 1].c[axis]) continue;  // equal values stay together
    Moments right;
    right.w = all.w - left.w;
    for (int c = 0; c < 3; ++c) {
      right.s[c] = all.s[c] - left.s[c];
      right.ss[c] = all.ss[c] - left.ss[c];
    }
    const double e = left.Sse() + right.Sse();
    if (best < 0 || e < best) {
      best = e;
      cut = i + 1;
    }
  }
  return cut;
}

// Nearest of `centres` (sorted by green) to `p`: squared distance, then lowest position.
class CentreSearch {
 public:
  explicit CentreSearch(const std::vector<std::array<double, 3>>& centres) : centres_(centres) {
    order_.resize(centres.size());
    for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = i;
    std::sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
      return centres[a][1] != centres[b][1] ? centres[a][1] < centres[b][1] : a < b;
    });
    greens_.resize(order_.size());
    for (std::size_t i = 0; i < order_.size(); ++i) greens_[i] = centres[order_[i]][1];
  }

  std::size_t Nearest(const double* c) const {
    const std::size_t n = order_.size();
    std::size_t start = static_cast<std::size_t>(std::lower_bound(greens_.begin(), greens_.end(), c[1]) - greens_.begin());
    if (start == n) start = n - 1;
    double best = -1;
    std::size_t best_i = 0;
    const auto visit = [&](std::size_t k) {
      const auto& q = centres_[order_[k]];
      const double d = (q[0] - c[0]) * (q[0] - c[0]) + (q[1] - c[1]) * (q[1] - c[1]) + (q[2] - c[2]) * (q[2] - c[2]);
      if (best < 0 || d < best || (d == best && order_[k] < best_i)) {
        best = d;
        best_i = order_[k];
      }
    };
    for (std::size_t k = start; k < n; ++k) {
      const double dg = greens_[k] - c[1];
      if (best >= 0 && dg * dg > best) break;
      visit(k);
    }
    for (std::size_t k = start; k-- > 0;) {
      const double dg = c[1] - greens_[k];
      if (dg * dg > best) break;
      visit(k);
    }
    return best_i;
  }

 private:
  const std::vector<std::array<double, 3>>& centres_;
  std::vector<std::size_t> order_;
  std::vector<double> greens_;
};

constexpr int kRefineRounds = 6;

}  // namespace

Palette BuildPalette(const ColourHistogram& histogram, int max_colours, unsigned threads) {
  max_colours = std::clamp(max_colours, 1, 256);
  Palette out;
  const std::vector<ColourHistogram::Bucket> buckets = histogram.Buckets();
  if (buckets.empty()) {
    out.entries = 1;
    return out;
  }
  const auto put = [&out](int e, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    out.table[static_cast<std::size_t>(e) * 4 + 0] = b;
    out.table[static_cast<std::size_t>(e) * 4 + 1] = g;
    out.table[static_cast<std::size_t>(e) * 4 + 2] = r;
  };
  if (histogram.shift() == 0 && buckets.size() <= static_cast<std::size_t>(max_colours)) {
    for (const auto& b : buckets) {
      put(out.entries++, static_cast<std::uint8_t>(Red(b.key)), static_cast<std::uint8_t>(Green(b.key)),
          static_cast<std::uint8_t>(Blue(b.key)));
    }
    out.exact = true;
    return out;
  }

  std::vector<Point> pts(buckets.size());
  for (std::size_t i = 0; i < buckets.size(); ++i) {
    const auto& b = buckets[i];
    const double w = static_cast<double>(b.count);
    pts[i] = Point{{static_cast<double>(b.sum[0]) / w, static_cast<double>(b.sum[1]) / w,
                    static_cast<double>(b.sum[2]) / w},
                   w, b.key};
  }

  std::vector<Box> boxes{{0, pts.size(), MomentsOf(pts, 0, pts.size()).Sse()}};
  while (boxes.size() < static_cast<std::size_t>(max_colours)) {
    std::size_t pick = boxes.size();
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      if (boxes[i].end - boxes[i].begin < 2 || boxes[i].sse <= 0) continue;
      if (pick == boxes.size() || boxes[i].sse > boxes[pick].sse) pick = i;
    }
    if (pick == boxes.size()) break;
    const Box box = boxes[pick];
    const std::size_t cut = SplitBox(pts, box);
    boxes[pick] = Box{box.begin, cut, MomentsOf(pts, box.begin, cut).Sse()};
    boxes.push_back(Box{cut, box.end, MomentsOf(pts, cut, box.end).Sse()});
  }

  std::vector<std::array<double, 3>> centres(boxes.size());
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const Moments m = MomentsOf(pts, boxes[i].begin, boxes[i].end);
    for (int c = 0; c < 3; ++c) centres[i][static_cast<std::size_t>(c)] = m.s[c] / m.w;
  }

  // Lloyd rounds: every point to its nearest centre, every centre to its points' mean.
  // The search runs on chunks of points in parallel; the sums then add up in
  // point order, so the result does not depend on the threads.
  constexpr std::size_t kChunk = 2048;
  const std::size_t chunks = (pts.size() + kChunk - 1) / kChunk;
  std::vector<std::size_t> owner(pts.size(), SIZE_MAX);
  std::vector<char> chunk_moved(chunks);
  for (int round = 0; round < kRefineRounds; ++round) {
    const CentreSearch search(centres);
    platform::OrderedParallel(
        chunks, threads > 1 ? threads : 0,
        [&](std::size_t c, unsigned) {
          bool moved = false;
          for (std::size_t i = c * kChunk; i < std::min(pts.size(), (c + 1) * kChunk); ++i) {
            const std::size_t k = search.Nearest(pts[i].c);
            moved |= owner[i] != k;
            owner[i] = k;
          }
          chunk_moved[c] = moved;
        },
        [](std::size_t) {});
    if (std::find(chunk_moved.begin(), chunk_moved.end(), 1) == chunk_moved.end()) break;
    std::vector<Moments> sums(centres.size());
    for (std::size_t i = 0; i < pts.size(); ++i) sums[owner[i]].Add(pts[i]);
    for (std::size_t k = 0; k < centres.size(); ++k) {
      if (sums[k].w <= 0) continue;  // an empty cluster keeps its place
      for (int c = 0; c < 3; ++c) centres[k][static_cast<std::size_t>(c)] = sums[k].s[c] / sums[k].w;
    }
  }

  std::vector<std::uint32_t> seen;
  for (const auto& c : centres) {
    const std::uint8_t r = ToByte(c[0]), g = ToByte(c[1]), b = ToByte(c[2]);
    const std::uint32_t rgb = std::uint32_t{r} << 16 | std::uint32_t{g} << 8 | b;
    if (std::find(seen.begin(), seen.end(), rgb) != seen.end()) continue;
    seen.push_back(rgb);
    put(out.entries++, r, g, b);
  }
  return out;
}

// --- mapping ---

namespace {

enum : std::uint8_t { kUnbuilt, kBuilding, kBuilt };

// The bits of a byte moved to every third place.
constexpr std::array<std::uint32_t, 256> kSpread = [] {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t v = 0; v < 256; ++v)
    for (std::uint32_t bit = 0; bit < 8; ++bit) t[v] |= ((v >> bit) & 1u) << (3 * bit);
  return t;
}();

// Where the answer for (r, g, b) is kept; its cell is the place >> 9.
inline std::uint32_t PlaceOf(int r, int g, int b) {
  return kSpread[static_cast<std::size_t>(r)] << 2 | kSpread[static_cast<std::size_t>(g)] << 1 |
         kSpread[static_cast<std::size_t>(b)];
}

}  // namespace

PaletteMapper::PaletteMapper(const Palette& palette) : palette_(palette) {
  n_ = std::clamp(palette.entries, 1, 256);
  for (int i = 0; i < n_; ++i) {
    const std::size_t e = static_cast<std::size_t>(i) * 4;
    rgb_[static_cast<std::size_t>(i)] = {palette_.table[e + 2], palette_.table[e + 1], palette_.table[e]};
    for (std::size_t c = 0; c < 3; ++c) bgr0_[e + c] = palette_.table[e + c];
  }
  try {
    cells_ = std::make_unique<std::atomic<std::uint8_t>[]>(kCells);
    for (std::size_t c = 0; c < kCells; ++c) cells_[c].store(kUnbuilt, std::memory_order_relaxed);
    answers_.reset(new std::uint8_t[kCells * kCellColours]);  // not touched: pages come with use
  } catch (const std::bad_alloc&) {
    RaiseOutOfMemory();
  }
}

void PaletteMapper::BuildCell(int r, int g, int b) const {
  constexpr int kLow = ~((1 << kCellBits) - 1);
  const int r0 = r & kLow, g0 = g & kLow, b0 = b & kLow;
  const std::uint32_t first = PlaceOf(r0, g0, b0);
  std::atomic<std::uint8_t>& cell = cells_[first >> (3 * kCellBits)];
  // One thread answers a cell; any other that needs it meanwhile waits the
  // few microseconds that takes.
  std::uint8_t state = kUnbuilt;
  if (!cell.compare_exchange_strong(state, kBuilding, std::memory_order_acq_rel, std::memory_order_acquire)) {
    while (state != kBuilt) {
      std::this_thread::yield();
      state = cell.load(std::memory_order_acquire);
    }
    return;
  }
  constexpr int kSpan = (1 << kCellBits) - 1;
  const int lo[3] = {r0, g0, b0};
  // Squared distance from each entry to the nearest colour of the cell; the
  // least distance from an entry to the farthest one bounds every answer, so
  // entries whose nearest point is beyond it never win.
  std::array<int, 256> nearest;
  int bound = 1 << 30;
  for (int e = 0; e < n_; ++e) {
    const auto& q = rgb_[static_cast<std::size_t>(e)];
    int near = 0, far = 0;
    for (std::size_t c = 0; c < 3; ++c) {
      const int below = lo[c] - q[c], above = q[c] - (lo[c] + kSpan);
      const int d_near = std::max({below, above, 0});
      const int d_far = std::max(q[c] - lo[c], lo[c] + kSpan - q[c]);
      near += d_near * d_near;
      far += d_far * d_far;
    }
    nearest[static_cast<std::size_t>(e)] = near;
    bound = std::min(bound, far);
  }
  struct Candidate {
    float reach;
    int index;
  };
  std::array<Candidate, 256> found;
  std::size_t count = 0;
  for (int e = 0; e < n_; ++e) {
    if (nearest[static_cast<std::size_t>(e)] > bound) continue;
    float reach = 0;
    for (int c = 0; c < 3; ++c) {
      const float d = static_cast<float>(rgb_[static_cast<std::size_t>(e)][static_cast<std::size_t>(c)]) -
                      (static_cast<float>(lo[c]) + kSpan / 2.0f);
      reach += d * d;
    }
    found[count++] = Candidate{std::sqrt(reach), e};
  }
  std::sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(count), [](const Candidate& x, const Candidate& y) {
    return x.reach != y.reach ? x.reach < y.reach : x.index < y.index;
  });
  std::uint8_t* answer = answers_.get() + first;
  if (count == 1) {
    // One entry is nearest to every colour of the cell.
    std::memset(answer, found[0].index, kCellColours);
    cell.store(kBuilt, std::memory_order_release);
    return;
  }
  // Candidates come by distance from the cell's centre: once that distance
  // less the colour's own exceeds the best distance found, none can do better.
  static const std::array<float, kCellColours> kOffset = [] {
    std::array<float, kCellColours> t{};
    for (int dr = 0; dr <= kSpan; ++dr)
      for (int dg = 0; dg <= kSpan; ++dg)
        for (int db = 0; db <= kSpan; ++db) {
          const float cr = static_cast<float>(dr) - kSpan / 2.0f, cg = static_cast<float>(dg) - kSpan / 2.0f,
                      cb = static_cast<float>(db) - kSpan / 2.0f;
          t[PlaceOf(dr, dg, db)] = std::sqrt(cr * cr + cg * cg + cb * cb);
        }
    return t;
  }();
  for (int dr = 0; dr <= kSpan; ++dr) {
    for (int dg = 0; dg <= kSpan; ++dg) {
      for (int db = 0; db <= kSpan; ++db) {
        const int r = r0 + dr, g = g0 + dg, b = b0 + db;
        const std::size_t at = PlaceOf(dr, dg, db);
        const float offset = kOffset[at];
        int best = 1 << 30;
        int best_index = 0;
        for (std::size_t k = 0; k < count; ++k) {
          const float gap = found[k].reach - offset;
          // The margin covers float rounding; equal distances are never cut off.
          if (gap > 0 && gap * gap > static_cast<float>(best) + 0.5f) break;
          const auto& q = rgb_[static_cast<std::size_t>(found[k].index)];
          const int d = (q[0] - r) * (q[0] - r) + (q[1] - g) * (q[1] - g) + (q[2] - b) * (q[2] - b);
          if (d < best || (d == best && found[k].index < best_index)) {
            best = d;
            best_index = found[k].index;
          }
        }
        answer[at] = static_cast<std::uint8_t>(best_index);
      }
    }
  }
  cell.store(kBuilt, std::memory_order_release);
}

inline std::uint8_t PaletteMapper::Answer(const std::atomic<std::uint8_t>* cells, const std::uint8_t* answers, int r,
                                          int g, int b) const {
  const std::uint32_t place = PlaceOf(r, g, b);
  if (cells[place >> (3 * kCellBits)].load(std::memory_order_acquire) != kBuilt) [[unlikely]] {
    BuildCell(r, g, b);
  }
  return answers[place];
}

inline std::uint8_t PaletteMapper::Answer(int r, int g, int b) const {
  return Answer(cells_.get(), answers_.get(), r, g, b);
}

std::uint8_t PaletteMapper::Nearest(int r, int g, int b) const {
  int best = 1 << 30;
  int best_index = 0;
  for (int e = 0; e < n_; ++e) {
    const auto& q = rgb_[static_cast<std::size_t>(e)];
    const int d = (q[0] - r) * (q[0] - r) + (q[1] - g) * (q[1] - g) + (q[2] - b) * (q[2] - b);
    if (d < best) {
      best = d;
      best_index = e;
    }
  }
  return static_cast<std::uint8_t>(best_index);
}

std::uint8_t PaletteMapper::Lookup(std::uint32_t rgb) const { return Answer(Red(rgb), Green(rgb), Blue(rgb)); }

namespace {

// Diffusion passes on this share of each pixel's error (in sixteenths), and no
// channel more than kMaxPush; what is left is dropped. Full strength spreads
// noise over every smooth area of a 256-colour picture (a third of the PSNR
// of the plain nearest mapping goes); this keeps gradients from banding at a
// fraction of that cost. The truncation toward zero drops errors of one level.
constexpr int kPushShare = 10;
constexpr int kMaxPush = 16;
// Where a pixel differs from the one before it by more than this (red, green
// and blue differences summed), the picture is busy enough to hide banding,
// and diffusing there would only add noise: its error is dropped.
constexpr int kBusy = 12;

constexpr int Push(int error) {
  const int e = error * kPushShare / 16;
  return e < -kMaxPush ? -kMaxPush : (e > kMaxPush ? kMaxPush : e);
}

// The same by shifts, as 16-bit lanes compute it: a negative product is
// biased by 15 so that the arithmetic shift truncates toward zero.
constexpr int PushByShifts(int error) {
  const int t = error * kPushShare;
  const int e = (t + (t < 0 ? 15 : 0)) >> 4;
  return e < -kMaxPush ? -kMaxPush : (e > kMaxPush ? kMaxPush : e);
}

constexpr bool PushesAgree() {
  for (int error = -255; error <= 255; ++error)
    if (PushByShifts(error) != Push(error)) return false;
  return true;
}
static_assert(PushesAgree());
static_assert(kPushShare == 10, "the SIMD rows multiply by 10 as (x << 3) + (x << 1)");
// Products and carried sums fit 16-bit lanes: what reaches a pixel is at most
// 1 + 3 + 5 + 7 pushes.
static_assert(255 * kPushShare < 32768 && 16 * kMaxPush + 8 + 255 < 32768);

[[maybe_unused]] int ClampByte(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

}  // namespace

// One row of diffusion. `above` holds what the row before pushed down to this
// one, `below` receives what this row pushes down (every pixel written once);
// both hold four 16-bit values a pixel: blue, green, red, 0. Errors are in
// sixteenths; the three pushes to the row below are summed in registers and
// each pixel of `below` stored when complete.
#if defined(__SSE2__) && !defined(ZOETRA_NO_SIMD)

namespace {
// A pixel's blue, green and red in the low bytes of a register, the fourth byte 0.
__m128i LoadPixel(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(static_cast<int>(v & 0xFFFFFFu));
}

__m128i LoadCarried(const std::int16_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }

// The place of a colour whose blue, green and red are the low bytes of `bgr`.
std::uint32_t PlaceOf(__m128i bgr) {
  const auto v = static_cast<std::uint32_t>(_mm_cvtsi128_si32(bgr));
  return PlaceOf(static_cast<int>(v >> 16 & 0xFF), static_cast<int>(v >> 8 & 0xFF), static_cast<int>(v & 0xFF));
}
}  // namespace

// The three channels side by side in 16-bit lanes, each lane computing what
// the plain loop computes for its channel.
template <int kDir, bool kMeasure>
std::uint64_t PaletteMapper::DiffuseRow(const std::uint8_t* in, std::uint8_t* out, const std::int16_t* above,
                                        std::int16_t* below, std::size_t width) const {
  const __m128i zero = _mm_setzero_si128();
  const __m128i round = _mm_set1_epi16(8);
  const __m128i bias = _mm_set1_epi16(15);
  const __m128i most = _mm_set1_epi16(kMaxPush);
  const __m128i least = _mm_set1_epi16(-kMaxPush);
  const __m128i calm_below = _mm_set1_epi16(kBusy + 1);
  std::uint64_t sse = 0;
  __m128i ahead = zero;     // pushed to the next pixel of this row
  __m128i behind = zero;    // the row below, at the pixel before this one
  __m128i straight = zero;  // the row below, at this pixel
  std::size_t x = kDir > 0 ? 0 : width - 1;
  __m128i before = LoadPixel(in + x * 4);  // the pixel before this one in the row's direction
  // Held here, not read through `this`: the stores to `out` could alias it.
  const std::atomic<std::uint8_t>* const cells = cells_.get();
  const std::uint8_t* const answers = answers_.get();
  const std::int16_t* const entries = bgr0_.data();
  // A colour met again (flat areas) is not looked up again.
  std::uint32_t last_bgr = 0xFFFFFFFFu;
  std::uint8_t index = 0;
  __m128i entry = zero;
  for (std::size_t k = 0; k < width; ++k, x += static_cast<std::size_t>(kDir)) {
    const __m128i px = LoadPixel(in + x * 4);
    const __m128i pushed = LoadCarried(above + (x + 1) * 4);
    if (k + 1 < width) {
      // The next pixel's colour without what this one will push to it: its
      // answer is most likely in the same cache line, fetched meanwhile.
      const std::size_t next = x + static_cast<std::size_t>(kDir);
      const __m128i guess = _mm_add_epi16(_mm_unpacklo_epi8(LoadPixel(in + next * 4), zero),
                                          _mm_srai_epi16(_mm_add_epi16(LoadCarried(above + (next + 1) * 4), round), 4));
      _mm_prefetch(reinterpret_cast<const char*>(answers + PlaceOf(_mm_packus_epi16(guess, guess))), _MM_HINT_T0);
    }
    const __m128i sum = _mm_add_epi16(_mm_unpacklo_epi8(px, zero),
                                      _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(pushed, round), ahead), 4));
    const __m128i bytes = _mm_packus_epi16(sum, sum);  // clamped to 0..255
    const auto bgr = static_cast<std::uint32_t>(_mm_cvtsi128_si32(bytes));
    if (bgr != last_bgr) {
      last_bgr = bgr;
      index = Answer(cells, answers, static_cast<int>(bgr >> 16 & 0xFF), static_cast<int>(bgr >> 8 & 0xFF),
                     static_cast<int>(bgr & 0xFF));
      entry = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(entries + std::size_t{index} * 4));
    }
    out[x] = index;
    // Sum of the three channels' differences from the pixel before, in every
    // lane; a busy pixel's share is 0, so it pushes nothing.
    const __m128i change = _mm_shufflelo_epi16(_mm_sad_epu8(px, before), 0);
    before = px;
    const __m128i calm = _mm_cmplt_epi16(change, calm_below);
    const __m128i error = _mm_and_si128(_mm_sub_epi16(_mm_unpacklo_epi8(bytes, zero), entry), calm);
    // error * kPushShare by shifts: a multiply takes longer on the chain.
    __m128i e = _mm_add_epi16(_mm_slli_epi16(error, 3), _mm_slli_epi16(error, 1));
    e = _mm_srai_epi16(_mm_add_epi16(e, _mm_and_si128(_mm_srai_epi16(e, 15), bias)), 4);
    e = _mm_min_epi16(_mm_max_epi16(e, least), most);
    const __m128i e3 = _mm_add_epi16(_mm_add_epi16(e, e), e);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(below + (x + 1 - static_cast<std::size_t>(kDir)) * 4),
                     _mm_add_epi16(behind, e3));
    ahead = _mm_sub_epi16(_mm_slli_epi16(e, 3), e);
    behind = _mm_add_epi16(straight, _mm_add_epi16(_mm_slli_epi16(e, 2), e));
    straight = e;
    if constexpr (kMeasure) {
      const __m128i d = _mm_sub_epi16(_mm_unpacklo_epi8(px, zero), entry);
      const __m128i squares = _mm_madd_epi16(d, d);  // blue² + green², red²
      sse += static_cast<std::uint64_t>(_mm_cvtsi128_si32(squares)) +
             static_cast<std::uint64_t>(_mm_cvtsi128_si32(_mm_srli_si128(squares, 4)));
    }
  }
  // The last pixel's share; the one past it falls in the margin.
  _mm_storel_epi64(reinterpret_cast<__m128i*>(below + (x + 1 - static_cast<std::size_t>(kDir)) * 4), behind);
  return sse;
}

#else

template <int kDir, bool kMeasure>
std::uint64_t PaletteMapper::DiffuseRow(const std::uint8_t* in, std::uint8_t* out, const std::int16_t* above,
                                        std::int16_t* below, std::size_t width) const {
  std::uint64_t sse = 0;
  int ahead[3] = {0, 0, 0};     // pushed to the next pixel of this row
  int behind[3] = {0, 0, 0};    // the row below, at the pixel before this one
  int straight[3] = {0, 0, 0};  // the row below, at this pixel
  std::size_t x = kDir > 0 ? 0 : width - 1;
  const std::uint8_t* before = in + x * 4;  // the pixel before this one in the row's direction
  for (std::size_t k = 0; k < width; ++k, x += static_cast<std::size_t>(kDir)) {
    const std::uint8_t* px = in + x * 4;
    const std::int16_t* pushed = above + (x + 1) * 4;
    int v[3];  // blue, green, red
    for (int c = 0; c < 3; ++c) v[c] = ClampByte(px[c] + ((pushed[c] + 8 + ahead[c]) >> 4));
    const std::uint8_t index = Answer(v[2], v[1], v[0]);
    out[x] = index;
    const std::int16_t* entry = bgr0_.data() + std::size_t{index} * 4;
    const bool busy = std::abs(px[2] - before[2]) + std::abs(px[1] - before[1]) + std::abs(px[0] - before[0]) > kBusy;
    before = px;
    std::int16_t* done = below + (x + 1 - static_cast<std::size_t>(kDir)) * 4;
    for (int c = 0; c < 3; ++c) {
      const int e = busy ? 0 : Push(v[c] - entry[c]);
      ahead[c] = e * 7;
      done[c] = static_cast<std::int16_t>(behind[c] + e * 3);
      behind[c] = straight[c] + e * 5;
      straight[c] = e;
    }
    if constexpr (kMeasure) {
      for (int c = 0; c < 3; ++c) {
        const int d = px[c] - entry[c];
        sse += static_cast<std::uint64_t>(d * d);
      }
    }
  }
  // The last pixel's share; the one past it falls in the margin.
  std::int16_t* last = below + (x + 1 - static_cast<std::size_t>(kDir)) * 4;
  for (int c = 0; c < 3; ++c) last[c] = static_cast<std::int16_t>(behind[c]);
  return sse;
}

#endif

double PaletteMapper::Map(const cDIB& source, cDIB& frame, bool diffuse, bool measure) const {
  if (source.hDIB() == 0 || source.BPP() != 32) RaiseError(kErrInvalidPicture, "Invalid picture: not a 32-bit raster");
  const std::int32_t width = source.Width();
  const std::int32_t height = source.Height();
  const std::uint8_t* src = source.lpBits();
  if (!frame.Create(width, height, 8)) RaiseOutOfMemory();
  frame.SetPalette(palette_.table);
  const std::size_t stride = static_cast<std::size_t>(frame.BytesPerScanline());
  std::uint8_t* dst = frame.lpBits();
  const std::size_t w = static_cast<std::size_t>(width);
  std::uint64_t sse = 0;

  if (!diffuse) {
    for (std::int32_t y = 0; y < height; ++y) {
      platform::CheckStop();  // a large picture takes seconds
      const std::uint8_t* in = src + static_cast<std::size_t>(y) * w * 4;
      std::uint8_t* out = dst + static_cast<std::size_t>(y) * stride;
      std::uint32_t last = 0xFFFFFFFFu;
      std::uint8_t index = 0;
      for (std::size_t x = 0; x < w; ++x) {
        std::uint32_t v;
        std::memcpy(&v, in + x * 4, 4);
        v &= 0xFFFFFFu;
        if (v != last) {
          last = v;
          index = Lookup(v);
        }
        out[x] = index;
        const auto& p = rgb_[index];
        const int dr = Red(v) - p[0], dg = Green(v) - p[1], db = Blue(v) - p[2];
        sse += static_cast<std::uint64_t>(dr * dr + dg * dg + db * db);
      }
    }
  } else {
    // Two rows of carried error (sixteenths), one pixel of margin on each side;
    // rows run left to right and right to left in turn.
    std::vector<std::int16_t> rows;
    try {
      rows.assign((w + 2) * 4 * 2, 0);
    } catch (const std::bad_alloc&) {
      RaiseOutOfMemory();
    }
    std::int16_t* above = rows.data();
    std::int16_t* below = rows.data() + (w + 2) * 4;
    for (std::int32_t y = 0; y < height; ++y) {
      platform::CheckStop();  // a large picture takes seconds
      const std::uint8_t* in = src + static_cast<std::size_t>(y) * w * 4;
      std::uint8_t* out = dst + static_cast<std::size_t>(y) * stride;
      if (measure) {
        sse += (y & 1) == 0 ? DiffuseRow<1, true>(in, out, above, below, w) : DiffuseRow<-1, true>(in, out, above, below, w);
      } else {
        sse += (y & 1) == 0 ? DiffuseRow<1, false>(in, out, above, below, w) : DiffuseRow<-1, false>(in, out, above, below, w);
      }
      std::swap(above, below);
    }
  }
  const double samples = static_cast<double>(w) * static_cast<double>(height) * 3.0;
  return samples > 0 ? static_cast<double>(sse) / samples : 0;
}

}  // namespace zoetra::mQuantize

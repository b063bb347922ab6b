#include "colour/mquantize.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>

#include "platform/base/error.hpp"
#include "platform/base/ordered_parallel.hpp"
#include "raster/cdib.hpp"

namespace zoetra::mQuantize {
namespace {

constexpr std::size_t kSlots = kMaxHistogramColours * 2;  // load factor at most 1/2
constexpr std::size_t kFirstSlots = 1024;                   // grows by doubling to kSlots
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

void ColourHistogram::AddPixels(const std::uint8_t* pixels, std::size_t count) {
  if (count == 0) return;
  // Runs of one colour cost one table visit.
  std::uint32_t run_rgb = 0;
  std::uint64_t run = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t v;
    std::memcpy(&v, pixels + i * 4, 4);
    v &= 0xFFFFFFu;
    if (run != 0 && v == run_rgb) {
      ++run;
      continue;
    }
    if (run != 0) Add(run_rgb, run);
    run_rgb = v;
    run = 1;
  }
  Add(run_rgb, run);
  pixels_ += count;
}

void ColourHistogram::AddPicture(const cDIB& picture) {
  if (picture.hDIB() == 0) return;
  if (picture.BPP() != 32) RaiseError(kErrInvalidPicture, "Invalid picture: not a 32-bit raster");
  AddPixels(picture.lpBits(), static_cast<std::size_t>(picture.Width()) * static_cast<std::size_t>(picture.Height()));
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
constexpr std::uint32_t kUnbuilt = 0xFFFFFFFFu;
constexpr std::uint32_t kBuilding = 0xFFFFFFFEu;  // a thread is answering the cell; both sentinels >= this
constexpr std::uint32_t kWholeCell = 0x80000000u;  // | the index that answers the whole cell
}  // namespace

PaletteMapper::PaletteMapper(const Palette& palette) : palette_(palette) {
  n_ = std::clamp(palette.entries, 1, 256);
  for (int i = 0; i < n_; ++i) {
    const std::size_t e = static_cast<std::size_t>(i) * 4;
    rgb_[static_cast<std::size_t>(i)] = {palette_.table[e + 2], palette_.table[e + 1], palette_.table[e]};
  }
  try {
    cells_ = std::make_unique<std::atomic<std::uint32_t>[]>(kCells);
    for (std::size_t c = 0; c < kCells; ++c) cells_[c].store(kUnbuilt, std::memory_order_relaxed);
    answers_.reset(new std::uint8_t[kCells * kCellColours]);  // not touched: pages come with use
  } catch (const std::bad_alloc&) {
    RaiseOutOfMemory();
  }
}

std::uint32_t PaletteMapper::BuildCell(std::size_t cell, int r0, int g0, int b0) const {
  // One thread answers a cell; any other that needs it meanwhile waits the
  // few microseconds that takes, so every cell uses one block at most.
  std::uint32_t state = kUnbuilt;
  if (!cells_[cell].compare_exchange_strong(state, kBuilding, std::memory_order_acq_rel, std::memory_order_acquire)) {
    while (state == kBuilding) {
      std::this_thread::yield();
      state = cells_[cell].load(std::memory_order_acquire);
    }
    return state;
  }
  constexpr int kSpan = (1 << kCellBits) - 1;
  const int lo[3] = {r0, g0, b0};
  // Squared distance from an entry to the nearest and to the farthest colour of the cell.
  const auto near_far = [&](int e, int& near, int& far) {
    near = far = 0;
    for (int c = 0; c < 3; ++c) {
      const int v = rgb_[static_cast<std::size_t>(e)][static_cast<std::size_t>(c)];
      const int below = lo[c] - v, above = v - (lo[c] + kSpan);
      const int d_near = below > 0 ? below : (above > 0 ? above : 0);
      const int d_far = std::max(std::abs(v - lo[c]), std::abs(v - (lo[c] + kSpan)));
      near += d_near * d_near;
      far += d_far * d_far;
    }
  };
  int bound = 1 << 30;
  for (int e = 0; e < n_; ++e) {
    int near, far;
    near_far(e, near, far);
    bound = std::min(bound, far);
  }
  // Whatever colour of the cell is asked for, its nearest entry is no farther
  // than `bound`, so entries whose nearest point is beyond it never win.
  struct Candidate {
    float reach;
    int index;
  };
  std::array<Candidate, 256> found;
  std::size_t count = 0;
  for (int e = 0; e < n_; ++e) {
    int near, far;
    near_far(e, near, far);
    if (near > bound) continue;
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
  if (count == 1) {
    // One entry is nearest to every colour of the cell: no table needed.
    return Publish(cell, kWholeCell | static_cast<std::uint32_t>(found[0].index));
  }
  const std::size_t first = std::size_t{answered_.fetch_add(1, std::memory_order_relaxed)} * kCellColours;
  std::uint8_t* answer = answers_.get() + first;
  // Candidates come by distance from the cell's centre: once that distance
  // less the colour's own exceeds the best distance found, none can do better.
  static const std::array<float, kCellColours> kOffset = [] {
    std::array<float, kCellColours> t{};
    for (int dr = 0; dr <= kSpan; ++dr)
      for (int dg = 0; dg <= kSpan; ++dg)
        for (int db = 0; db <= kSpan; ++db) {
          const float cr = static_cast<float>(dr) - kSpan / 2.0f, cg = static_cast<float>(dg) - kSpan / 2.0f,
                      cb = static_cast<float>(db) - kSpan / 2.0f;
          t[InCell(dr, dg, db)] = std::sqrt(cr * cr + cg * cg + cb * cb);
        }
    return t;
  }();
  for (int dr = 0; dr <= kSpan; ++dr) {
    for (int dg = 0; dg <= kSpan; ++dg) {
      for (int db = 0; db <= kSpan; ++db) {
        const int r = r0 + dr, g = g0 + dg, b = b0 + db;
        const std::size_t at = InCell(dr, dg, db);
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
  return Publish(cell, static_cast<std::uint32_t>(first));
}

std::uint32_t PaletteMapper::Publish(std::size_t cell, std::uint32_t value) const {
  cells_[cell].store(value, std::memory_order_release);
  return value;
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

std::uint8_t PaletteMapper::Lookup(std::uint32_t rgb) const {
  const int r = Red(rgb), g = Green(rgb), b = Blue(rgb);
  const std::size_t cell = CellOf(r, g, b);
  std::uint32_t at = cells_[cell].load(std::memory_order_acquire);
  if (at >= kBuilding) {
    constexpr int kLow = ~((1 << kCellBits) - 1);
    at = BuildCell(cell, r & kLow, g & kLow, b & kLow);
  }
  return (at & kWholeCell) != 0 ? static_cast<std::uint8_t>(at) : answers_[at + InCell(r, g, b)];
}

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

// Push(error) for every error a pixel can have, -255..255.
constexpr std::array<std::int8_t, 511> kPush = [] {
  std::array<std::int8_t, 511> t{};
  for (int error = -255; error <= 255; ++error) {
    const int e = error * kPushShare / 16;
    t[static_cast<std::size_t>(error + 255)] = static_cast<std::int8_t>(e < -kMaxPush ? -kMaxPush : (e > kMaxPush ? kMaxPush : e));
  }
  return t;
}();

int Push(int error) { return kPush[static_cast<std::size_t>(error + 255)]; }

int ClampByte(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

}  // namespace

// One row of diffusion. `above` holds what the row before pushed down to this
// one, `below` receives what this row pushes down (every pixel written once).
// Errors are in sixteenths; the three pushes to the row below are summed in
// registers and each pixel of `below` stored when complete.
template <int kDir, bool kMeasure>
std::uint64_t PaletteMapper::DiffuseRow(const std::uint8_t* in, std::uint8_t* out, const std::int16_t* above,
                                        std::int16_t* below, std::size_t width) const {
  std::uint64_t sse = 0;
  std::uint32_t last_rgb = 0xFFFFFFFFu;
  std::uint8_t index = 0;
  int ahead[3] = {0, 0, 0};      // pushed to the next pixel of this row
  int behind[3] = {0, 0, 0};     // the row below, at the pixel before this one
  int straight[3] = {0, 0, 0};   // the row below, at this pixel
  const std::atomic<std::uint32_t>* cells = cells_.get();
  const std::uint8_t* answers = answers_.get();
  std::size_t x = kDir > 0 ? 0 : width - 1;
  const std::uint8_t* before = in + x * 4;  // the pixel before this one in the row's direction
  for (std::size_t k = 0; k < width; ++k, x += static_cast<std::size_t>(kDir)) {
    const std::uint8_t* px = in + x * 4;
    const std::int16_t* pushed = above + (x + 1) * 3;
    const int r = ClampByte(px[2] + ((pushed[0] + ahead[0] + 8) >> 4));
    const int g = ClampByte(px[1] + ((pushed[1] + ahead[1] + 8) >> 4));
    const int b = ClampByte(px[0] + ((pushed[2] + ahead[2] + 8) >> 4));
    const std::uint32_t rgb = static_cast<std::uint32_t>(r) << 16 | static_cast<std::uint32_t>(g) << 8 |
                              static_cast<std::uint32_t>(b);
    if (rgb != last_rgb) {
      last_rgb = rgb;
      const std::uint32_t at = cells[CellOf(r, g, b)].load(std::memory_order_acquire);
      if (at >= kBuilding) {
        index = Lookup(rgb);
      } else {
        index = (at & kWholeCell) != 0 ? static_cast<std::uint8_t>(at) : answers[at + InCell(r, g, b)];
      }
    }
    out[x] = index;
    const auto& p = rgb_[index];
    const bool busy = std::abs(px[2] - before[2]) + std::abs(px[1] - before[1]) + std::abs(px[0] - before[0]) > kBusy;
    before = px;
    const int e[3] = {busy ? 0 : Push(r - p[0]), busy ? 0 : Push(g - p[1]), busy ? 0 : Push(b - p[2])};
    std::int16_t* done = below + (x + 1 - static_cast<std::size_t>(kDir)) * 3;
    for (int c = 0; c < 3; ++c) {
      ahead[c] = e[c] * 7;
      done[c] = static_cast<std::int16_t>(behind[c] + e[c] * 3);
      behind[c] = straight[c] + e[c] * 5;
      straight[c] = e[c];
    }
    if constexpr (kMeasure) {
      const int dr = px[2] - p[0], dg = px[1] - p[1], db = px[0] - p[2];
      sse += static_cast<std::uint64_t>(dr * dr + dg * dg + db * db);
    }
  }
  // The last pixel's share; the one past it falls in the margin.
  std::int16_t* last = below + (x + 1 - static_cast<std::size_t>(kDir)) * 3;
  for (int c = 0; c < 3; ++c) last[c] = static_cast<std::int16_t>(behind[c]);
  return sse;
}

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
      rows.assign((w + 2) * 3 * 2, 0);
    } catch (const std::bad_alloc&) {
      RaiseOutOfMemory();
    }
    std::int16_t* above = rows.data();
    std::int16_t* below = rows.data() + (w + 2) * 3;
    for (std::int32_t y = 0; y < height; ++y) {
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

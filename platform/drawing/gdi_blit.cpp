// Bit-block and stretch transfers between DIB surfaces, and GetDIBits.
//
// A transfer is split into an axis mapping (which destination row/column takes
// which source row/column, clipped to both surfaces) and a row operation that
// converts and combines one source row into one destination row. Conversion
// tables are built once per call; the per-pixel loops only index them.
//
// Result values: 0 for a failure (bad handle, screen context, unknown raster
// operation, out of memory); nonzero otherwise, including transfers whose
// rectangles are empty or lie wholly outside a surface (nothing to draw is not
// an error: a zero-sized frame must still "draw").
#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "platform/drawing/gdi.hpp"
#include "platform/drawing/gdi_objects.hpp"

namespace zoetra::platform {
namespace detail {
namespace {

enum class Rop { kCopy, kAnd, kOr };

bool RopOf(std::uint32_t rop, Rop* out) {
  switch (rop) {
    case kSrcCopy: *out = Rop::kCopy; return true;
    case kSrcAnd: *out = Rop::kAnd; return true;
    case kSrcPaint: *out = Rop::kOr; return true;
    default: return false;
  }
}

bool SameTable(const BitmapObject& a, const BitmapObject& b) {
  if (a.color_count != b.color_count) return false;
  for (std::uint32_t i = 0; i < a.color_count; ++i) {
    if (a.colors[i].red != b.colors[i].red || a.colors[i].green != b.colors[i].green ||
        a.colors[i].blue != b.colors[i].blue) {
      return false;
    }
  }
  return true;
}

// A colour as 0x00RRGGBB, which is also the byte order B, G, R, 0 in memory.
constexpr std::uint32_t Rgb(std::uint32_t r, std::uint32_t g, std::uint32_t b) { return (r << 16) | (g << 8) | b; }

constexpr std::uint32_t Pack555(std::uint32_t rgb) {
  return (((rgb >> 19) & 0x1F) << 10) | (((rgb >> 11) & 0x1F) << 5) | ((rgb >> 3) & 0x1F);
}

inline std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void Store32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
inline std::uint32_t Load16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0] | (p[1] << 8)); }

// Turns source pixels into destination raw values: a colour-table index for an
// indexed destination, the packed pixel (0x00RRGGBB, 5-5-5 word) otherwise.
class Converter {
 public:
  Converter(const BitmapObject& src, const BitmapObject& dst, bool same_table)
      : Converter(src, dst.bpp, dst.colors.data(), dst.color_count, same_table) {}

  Converter(const BitmapObject& src, int dst_bpp, const RGBQuad* dst_table, std::uint32_t dst_count,
            bool same_table)
      : src_bpp_(src.bpp), dst_bpp_(dst_bpp), dst_table_(dst_table), dst_count_(dst_count) {
    raw_ = src_bpp_ == dst_bpp_ && src_bpp_ > 8;
    if (src_bpp_ <= 8) {
      // Each source index is mapped once.
      for (std::uint32_t i = 0; i < src.color_count; ++i) {
        const RGBQuad& c = src.colors[i];
        if (dst_bpp_ <= 8) {
          lut_[i] = (same_table && src_bpp_ == dst_bpp_) ? i : NearestIndex(dst_table_, dst_count_, c.red, c.green, c.blue);
        } else {
          lut_[i] = Pack(Rgb(c.red, c.green, c.blue));
        }
      }
    } else if (dst_bpp_ <= 8) {
      cache_.assign(kCacheSize, 0);
    }
  }

  // out[k] = destination raw value of source pixel x0 + k, for k < n.
  void Run(const std::uint8_t* row, std::int32_t x0, std::int32_t n, std::uint32_t* out) {
    switch (src_bpp_) {
      case 1:
        for (std::int32_t k = 0; k < n; ++k) {
          const std::int32_t x = x0 + k;
          out[k] = lut_[(row[x >> 3] >> (7 - (x & 7))) & 1];
        }
        return;
      case 4:
        for (std::int32_t k = 0; k < n; ++k) {
          const std::int32_t x = x0 + k;
          const std::uint8_t b = row[x >> 1];
          out[k] = lut_[(x & 1) ? (b & 0x0F) : (b >> 4)];
        }
        return;
      case 8:
        for (std::int32_t k = 0; k < n; ++k) out[k] = lut_[row[x0 + k]];
        return;
      case 16:
        for (std::int32_t k = 0; k < n; ++k) {
          const std::uint32_t w = Load16(row + 2 * static_cast<std::size_t>(x0 + k));
          out[k] = raw_ ? w : Rgb(Widen5((w >> 10) & 0x1F), Widen5((w >> 5) & 0x1F), Widen5(w & 0x1F));
        }
        break;
      case 24:
        for (std::int32_t k = 0; k < n; ++k) {
          const std::uint8_t* p = row + 3 * static_cast<std::size_t>(x0 + k);
          out[k] = Rgb(p[2], p[1], p[0]);
        }
        break;
      case 32:
        if (raw_) {
          std::memcpy(out, row + 4 * static_cast<std::size_t>(x0), 4 * static_cast<std::size_t>(n));
        } else {
          for (std::int32_t k = 0; k < n; ++k) out[k] = Load32(row + 4 * static_cast<std::size_t>(x0 + k)) & 0xFFFFFF;
        }
        break;
      default:
        return;
    }
    if (raw_) return;
    // Direct-colour source: out holds 0x00RRGGBB colours.
    switch (dst_bpp_) {
      case 16:
        for (std::int32_t k = 0; k < n; ++k) out[k] = Pack555(out[k]);
        break;
      case 24:
      case 32:
        break;
      default:
        for (std::int32_t k = 0; k < n; ++k) out[k] = CachedNearest(out[k]);
        break;
    }
  }

 private:
  static constexpr std::size_t kCacheSize = 4096;  // recent colours of a direct source

  std::uint32_t Pack(std::uint32_t rgb) const { return dst_bpp_ == 16 ? Pack555(rgb) : rgb; }

  std::uint32_t CachedNearest(std::uint32_t rgb) {
    const std::size_t slot = ((rgb * 2654435761u) >> 20) & (kCacheSize - 1);
    const std::uint64_t key = std::uint64_t{rgb} | (std::uint64_t{1} << 32);
    std::uint64_t& e = cache_[slot];
    if ((e & 0x1FFFFFFFFull) == key) return static_cast<std::uint32_t>(e >> 40);
    const std::uint32_t index = NearestIndex(dst_table_, dst_count_, static_cast<std::uint8_t>(rgb >> 16),
                                             static_cast<std::uint8_t>(rgb >> 8), static_cast<std::uint8_t>(rgb));
    e = key | (std::uint64_t{index} << 40);
    return index;
  }

  int src_bpp_;
  int dst_bpp_;
  const RGBQuad* dst_table_;
  std::uint32_t dst_count_;
  bool raw_ = false;
  std::array<std::uint32_t, 256> lut_{};
  std::vector<std::uint64_t> cache_;
};

struct CopyOp {
  static std::uint32_t Apply(std::uint32_t /*d*/, std::uint32_t s) { return s; }
  static constexpr bool kReadsDst = false;
};
struct AndOp {
  static std::uint32_t Apply(std::uint32_t d, std::uint32_t s) { return d & s; }
  static constexpr bool kReadsDst = true;
};
struct OrOp {
  static std::uint32_t Apply(std::uint32_t d, std::uint32_t s) { return d | s; }
  static constexpr bool kReadsDst = true;
};

// Writes n destination raw values at pixels x0.. of a row; value k is
// vals[rel[k]] (or vals[k] when rel is null).
template <class Op>
void StoreRun(std::uint8_t* row, int bpp, std::int32_t x0, std::int32_t n, const std::uint32_t* vals,
              const std::int32_t* rel) {
  auto value = [&](std::int32_t k) { return rel ? vals[rel[k]] : vals[k]; };
  switch (bpp) {
    case 32:
      for (std::int32_t k = 0; k < n; ++k) {
        std::uint8_t* p = row + 4 * static_cast<std::size_t>(x0 + k);
        Store32(p, Op::kReadsDst ? Op::Apply(Load32(p), value(k)) : value(k));
      }
      break;
    case 24:
      for (std::int32_t k = 0; k < n; ++k) {
        std::uint8_t* p = row + 3 * static_cast<std::size_t>(x0 + k);
        std::uint32_t v = value(k);
        if (Op::kReadsDst) v = Op::Apply(Rgb(p[2], p[1], p[0]), v);
        p[0] = static_cast<std::uint8_t>(v);
        p[1] = static_cast<std::uint8_t>(v >> 8);
        p[2] = static_cast<std::uint8_t>(v >> 16);
      }
      break;
    case 16:
      for (std::int32_t k = 0; k < n; ++k) {
        std::uint8_t* p = row + 2 * static_cast<std::size_t>(x0 + k);
        std::uint32_t v = value(k);
        if (Op::kReadsDst) v = Op::Apply(Load16(p), v);
        p[0] = static_cast<std::uint8_t>(v);
        p[1] = static_cast<std::uint8_t>(v >> 8);
      }
      break;
    case 8:
      for (std::int32_t k = 0; k < n; ++k) {
        std::uint8_t* p = row + x0 + k;
        *p = static_cast<std::uint8_t>(Op::kReadsDst ? Op::Apply(*p, value(k)) : value(k));
      }
      break;
    default:  // 1 and 4 bits: read-modify-write inside the byte
      for (std::int32_t k = 0; k < n; ++k) {
        const std::int32_t x = x0 + k;
        std::uint32_t v = value(k);
        if (Op::kReadsDst) v = Op::Apply(LoadIndex(row, x, bpp), v);
        StoreIndex(row, x, bpp, v);
      }
      break;
  }
}

void Store(Rop rop, std::uint8_t* row, int bpp, std::int32_t x0, std::int32_t n, const std::uint32_t* vals,
           const std::int32_t* rel) {
  switch (rop) {
    case Rop::kCopy: StoreRun<CopyOp>(row, bpp, x0, n, vals, rel); break;
    case Rop::kAnd: StoreRun<AndOp>(row, bpp, x0, n, vals, rel); break;
    case Rop::kOr: StoreRun<OrOp>(row, bpp, x0, n, vals, rel); break;
  }
}

// Exchanges two non-overlapping byte ranges in one pass, eight bytes at a time.
void SwapBytes(std::uint8_t* a, std::uint8_t* b, std::size_t n) {
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + k, 8);
    std::memcpy(&y, b + k, 8);
    std::memcpy(a + k, &y, 8);
    std::memcpy(b + k, &x, 8);
  }
  for (; k < n; ++k) std::swap(a[k], b[k]);
}

// Reverses pixels of `bytes_per_pixel` bytes: dst pixel k takes src pixel n-1-k.
void ReverseCopy(std::uint8_t* dst, const std::uint8_t* src, std::int32_t n, int bytes_per_pixel) {
  switch (bytes_per_pixel) {
    case 4:
      for (std::int32_t k = 0; k < n; ++k) Store32(dst + 4 * static_cast<std::size_t>(k), Load32(src + 4 * static_cast<std::size_t>(n - 1 - k)));
      break;
    case 1:
      for (std::int32_t k = 0; k < n; ++k) dst[k] = src[n - 1 - k];
      break;
    default:
      for (std::int32_t k = 0; k < n; ++k) {
        std::memcpy(dst + static_cast<std::size_t>(k) * bytes_per_pixel,
                    src + static_cast<std::size_t>(n - 1 - k) * bytes_per_pixel, static_cast<std::size_t>(bytes_per_pixel));
      }
      break;
  }
}

// One axis of a transfer: for destination position i (0 <= i < |dext|), the
// device coordinate d0 + sign(dext) * i takes source coordinate
// s0 + sign(sext) * floor(i * |sext| / |dext|). Only pairs inside both
// surfaces are kept, in order of increasing i.
struct AxisPairs {
  std::vector<std::int32_t> dst;
  std::vector<std::int32_t> src;
};

void MapAxis(std::int32_t d0, std::int32_t dext, std::int32_t dsize, std::int32_t s0, std::int32_t sext,
             std::int32_t ssize, AxisPairs* out) {
  out->dst.clear();
  out->src.clear();
  const std::int64_t D = dext < 0 ? -std::int64_t{dext} : dext;
  const std::int64_t S = sext < 0 ? -std::int64_t{sext} : sext;
  if (D == 0 || S == 0) return;
  const std::int64_t sd = dext < 0 ? -1 : 1;
  const std::int64_t ss = sext < 0 ? -1 : 1;
  // Destination: d0 + sd*i in [0, dsize).
  std::int64_t lo = sd > 0 ? -std::int64_t{d0} : std::int64_t{d0} - dsize + 1;
  std::int64_t hi = sd > 0 ? std::int64_t{dsize} - d0 : std::int64_t{d0} + 1;
  lo = std::max<std::int64_t>(lo, 0);
  hi = std::min<std::int64_t>(hi, D);
  if (lo >= hi) return;
  // Source offset off(i) = floor(i*S/D) must satisfy s0 + ss*off in [0, ssize).
  std::int64_t olo = ss > 0 ? -std::int64_t{s0} : std::int64_t{s0} - ssize + 1;
  std::int64_t ohi = ss > 0 ? std::int64_t{ssize} - s0 : std::int64_t{s0} + 1;
  olo = std::max<std::int64_t>(olo, 0);
  ohi = std::min<std::int64_t>(ohi, S);
  if (olo >= ohi) return;
  // off(i) >= olo  <=>  i >= ceil(olo*D/S);  off(i) < ohi  <=>  i*S < ohi*D.
  lo = std::max(lo, (olo * D + S - 1) / S);
  hi = std::min(hi, (ohi * D - 1) / S + 1);
  if (lo >= hi) return;
  const std::size_t n = static_cast<std::size_t>(hi - lo);  // at most dsize
  out->dst.resize(n);
  out->src.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::int64_t i = lo + static_cast<std::int64_t>(k);
    out->dst[k] = static_cast<std::int32_t>(d0 + sd * i);
    out->src[k] = static_cast<std::int32_t>(s0 + ss * ((i * S) / D));
  }
}

enum class RowKind { kCopy, kReverse, kConvert };

// Everything one row operation needs, fixed for the whole transfer.
struct RowPlan {
  RowKind kind = RowKind::kConvert;
  Rop rop = Rop::kCopy;
  int dst_bpp = 0;
  int bytes_per_pixel = 0;     // for kCopy / kReverse
  std::int32_t dst_x0 = 0;     // first destination pixel
  std::int32_t n = 0;          // pixels per row
  std::int32_t src_first = 0;  // source pixel for dst_x0 (kCopy, kReverse: the run's start / end)
  std::int32_t src_min = 0;    // source span converted (kConvert)
  std::int32_t src_span = 0;
  std::vector<std::int32_t> rel;  // per destination pixel: offset in the converted span; empty = identity
};

class RowWorker {
 public:
  RowWorker(const RowPlan& plan, Converter* conv) : plan_(plan), conv_(conv) {
    if (plan_.kind == RowKind::kConvert) vals_.resize(static_cast<std::size_t>(plan_.src_span));
  }

  // `key` identifies the source row content for reuse of its conversion; -1 disables reuse.
  void Run(const std::uint8_t* src_row, std::uint8_t* dst_row, std::int64_t key) {
    const std::size_t bpp = static_cast<std::size_t>(plan_.bytes_per_pixel);
    switch (plan_.kind) {
      case RowKind::kCopy:
        std::memmove(dst_row + plan_.dst_x0 * bpp, src_row + plan_.src_first * bpp, plan_.n * bpp);
        return;
      case RowKind::kReverse:
        ReverseCopy(dst_row + plan_.dst_x0 * bpp, src_row + (plan_.src_first - plan_.n + 1) * bpp, plan_.n,
                    plan_.bytes_per_pixel);
        return;
      case RowKind::kConvert:
        if (key < 0 || key != last_key_) conv_->Run(src_row, plan_.src_min, plan_.src_span, vals_.data());
        last_key_ = key;
        Store(plan_.rop, dst_row, plan_.dst_bpp, plan_.dst_x0, plan_.n, vals_.data(),
              plan_.rel.empty() ? nullptr : plan_.rel.data());
        return;
    }
  }

 private:
  const RowPlan& plan_;
  Converter* conv_;
  std::vector<std::uint32_t> vals_;
  std::int64_t last_key_ = -1;
};

int Transfer(HDC dst_dc, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height, HDC src_dc,
             std::int32_t x_src, std::int32_t y_src, std::int32_t width_src, std::int32_t height_src,
             std::uint32_t rop_code) {
  Rop rop;
  if (!RopOf(rop_code, &rop)) return 0;
  const std::shared_ptr<BitmapObject> dst = SurfaceOf(dst_dc);
  const std::shared_ptr<BitmapObject> src = SurfaceOf(src_dc);
  if (!dst || !src) return 0;
  const bool same_surface = dst.get() == src.get();

  AxisPairs cols, rows;
  MapAxis(x, width, dst->width, x_src, width_src, src->width, &cols);
  MapAxis(y, height, dst->height, y_src, height_src, src->height, &rows);
  if (cols.dst.empty() || rows.dst.empty()) return 1;

  // Columns in increasing destination order (a contiguous run).
  if (cols.dst.front() > cols.dst.back()) {
    std::reverse(cols.dst.begin(), cols.dst.end());
    std::reverse(cols.src.begin(), cols.src.end());
  }
  const std::int32_t n = static_cast<std::int32_t>(cols.dst.size());
  bool straight = true, reversed = true;
  for (std::int32_t k = 1; k < n; ++k) {
    straight = straight && cols.src[k] == cols.src[0] + k;
    reversed = reversed && cols.src[k] == cols.src[0] - k;
  }
  const bool same_format = src->bpp == dst->bpp && (src->bpp > 8 || same_surface || SameTable(*src, *dst));

  RowPlan plan;
  plan.rop = rop;
  plan.dst_bpp = dst->bpp;
  plan.dst_x0 = cols.dst.front();
  plan.n = n;
  plan.src_first = cols.src.front();
  plan.bytes_per_pixel = dst->bpp / 8;
  if (same_format && rop == Rop::kCopy && dst->bpp >= 8 && straight) {
    plan.kind = RowKind::kCopy;
  } else if (same_format && rop == Rop::kCopy && dst->bpp >= 8 && reversed) {
    plan.kind = RowKind::kReverse;
  } else {
    plan.kind = RowKind::kConvert;
    const auto [mn, mx] = std::minmax_element(cols.src.begin(), cols.src.end());
    plan.src_min = *mn;
    plan.src_span = *mx - *mn + 1;
    if (!straight || plan.src_min != cols.src.front()) {
      plan.rel.resize(cols.src.size());
      for (std::size_t k = 0; k < cols.src.size(); ++k) plan.rel[k] = cols.src[k] - plan.src_min;
    }
  }
  std::optional<Converter> conv;
  if (plan.kind == RowKind::kConvert) conv.emplace(*src, *dst, same_format);
  RowWorker worker(plan, conv ? &*conv : nullptr);

  // Device row y of a surface is memory row height - 1 - y.
  const std::size_t count = rows.dst.size();
  std::vector<std::int32_t> dst_rows(count), src_rows(count);
  for (std::size_t k = 0; k < count; ++k) {
    dst_rows[k] = dst->height - 1 - rows.dst[k];
    src_rows[k] = src->height - 1 - rows.src[k];
  }

  if (!same_surface) {
    for (std::size_t k = 0; k < count; ++k) worker.Run(src->row(src_rows[k]), dst->row(dst_rows[k]), src_rows[k]);
    return 1;
  }

  // Same surface. When rows only stay or swap in pairs (mirrors, in-place
  // copies) two row buffers suffice; otherwise read from a snapshot.
  std::vector<std::int32_t> src_of(static_cast<std::size_t>(dst->height), -1);
  for (std::size_t k = 0; k < count; ++k) src_of[dst_rows[k]] = src_rows[k];
  bool pairs = true;
  for (std::size_t k = 0; k < count && pairs; ++k) {
    pairs = src_rows[k] == dst_rows[k] || src_of[src_rows[k]] == dst_rows[k];
  }
  const std::size_t stride = static_cast<std::size_t>(src->stride);
  if (pairs) {
    std::vector<std::uint8_t> a(stride), b(stride);
    // Whole-run copies between the same columns (vertical flips) swap two
    // row segments through one buffer.
    const bool swap = plan.kind == RowKind::kCopy && plan.src_first == plan.dst_x0;
    const std::size_t offset = static_cast<std::size_t>(plan.dst_x0) * plan.bytes_per_pixel;
    const std::size_t bytes = static_cast<std::size_t>(plan.n) * plan.bytes_per_pixel;
    for (std::size_t k = 0; k < count; ++k) {
      const std::int32_t d = dst_rows[k], s = src_rows[k];
      if (swap) {
        if (d < s) SwapBytes(dst->row(d) + offset, dst->row(s) + offset, bytes);
      } else if (s == d) {
        std::memcpy(a.data(), src->row(s), stride);
        worker.Run(a.data(), dst->row(d), -1);
      } else if (d < s) {
        std::memcpy(a.data(), src->row(s), stride);
        std::memcpy(b.data(), src->row(d), stride);
        worker.Run(a.data(), dst->row(d), -1);
        worker.Run(b.data(), dst->row(s), -1);
      }
    }
    return 1;
  }
  const auto [lo, hi] = std::minmax_element(src_rows.begin(), src_rows.end());
  const std::size_t first = static_cast<std::size_t>(*lo);
  std::vector<std::uint8_t> snapshot(src->row(*lo), src->row(*hi) + stride);
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint8_t* row = snapshot.data() + (static_cast<std::size_t>(src_rows[k]) - first) * stride;
    worker.Run(row, dst->row(dst_rows[k]), src_rows[k]);
  }
  return 1;
}

}  // namespace
}  // namespace detail

using namespace detail;

int StretchBlt(HDC dst, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height, HDC src,
               std::int32_t x_src, std::int32_t y_src, std::int32_t width_src, std::int32_t height_src,
               std::uint32_t rop) {
  try {
    return Transfer(dst, x, y, width, height, src, x_src, y_src, width_src, height_src, rop);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int BitBlt(HDC dst, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height, HDC src,
           std::int32_t x_src, std::int32_t y_src, std::uint32_t rop) {
  return StretchBlt(dst, x, y, width, height, src, x_src, y_src, width, height, rop);
}

int GetDIBits(HDC dc, HBITMAP bitmap, std::uint32_t start, std::uint32_t lines, std::uint8_t* bits,
              std::size_t capacity, const BitmapInfoHeader& header, RGBQuad* colors) {
  if (!Lookup<DCObject>(dc)) return 0;
  const std::shared_ptr<BitmapObject> b = Lookup<BitmapObject>(bitmap);
  if (!b || bits == nullptr) return 0;
  const int bpp = header.bit_count;
  if (header.size < 40 || header.planes != 1 || header.compression != 0 || header.width <= 0 || header.height <= 0) {
    return 0;
  }
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return 0;
  // An indexed layout needs a table to match against; only the bitmap's own is at hand.
  if (bpp <= 8 && bpp != b->bpp) return 0;
  const std::int64_t stride = DibStride(header.width, bpp);
  if (stride <= 0) return 0;
  if (start >= static_cast<std::uint32_t>(b->height)) return 0;
  std::uint64_t n = std::min<std::uint64_t>(lines, static_cast<std::uint64_t>(b->height) - start);
  n = std::min<std::uint64_t>(n, capacity / static_cast<std::uint64_t>(stride));
  if (n == 0) return 0;

  if (bpp <= 8 && colors != nullptr) std::copy_n(b->colors.begin(), b->color_count, colors);
  // A layout narrower or wider than the bitmap gets its first min(widths) pixels per row.
  const std::int32_t w = std::min(header.width, b->width);
  try {
    if (bpp == b->bpp && header.width == b->width) {
      for (std::uint64_t k = 0; k < n; ++k) {
        std::memcpy(bits + k * stride, b->row(static_cast<std::int32_t>(start + k)), static_cast<std::size_t>(stride));
      }
    } else {
      Converter conv(*b, bpp, b->colors.data(), b->color_count, true);
      std::vector<std::uint32_t> vals(static_cast<std::size_t>(w));
      for (std::uint64_t k = 0; k < n; ++k) {
        conv.Run(b->row(static_cast<std::int32_t>(start + k)), 0, w, vals.data());
        StoreRun<CopyOp>(bits + k * stride, bpp, 0, w, vals.data(), nullptr);
      }
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return static_cast<int>(n);
}

}  // namespace zoetra::platform

#include "platform/drawing/gdi.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>

#include "platform/drawing/gdi_objects.hpp"

namespace zoetra::platform {
namespace detail {
namespace {

// Handles carry a slot index (low 20 bits, plus one so 0 is never valid) and a
// generation (high 12 bits) so a stale handle to a reused slot is refused.
constexpr std::uint32_t kIndexBits = 20;
constexpr std::uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr std::uint32_t kMaxSlots = kIndexMask - 1;

struct Slot {
  std::shared_ptr<void> object;
  Kind kind = Kind::Bitmap;
  std::uint16_t generation = 1;
};

struct HandleTable {
  std::mutex mutex;
  std::vector<Slot> slots;
  std::vector<std::uint32_t> free_slots;
  std::size_t live = 0;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable();  // never destroyed: handles may be released at exit
  return *table;
}

Handle MakeHandle(std::uint32_t index, std::uint16_t generation) {
  return ((static_cast<std::uint32_t>(generation) & 0xFFF) << kIndexBits) | (index + 1);
}

}  // namespace

Handle Register(Kind kind, std::shared_ptr<void> object) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  std::uint32_t index;
  if (!t.free_slots.empty()) {
    index = t.free_slots.back();
    t.free_slots.pop_back();
  } else {
    if (t.slots.size() >= kMaxSlots) return 0;
    index = static_cast<std::uint32_t>(t.slots.size());
    t.slots.emplace_back();
  }
  Slot& s = t.slots[index];
  s.object = std::move(object);
  s.kind = kind;
  ++t.live;
  return MakeHandle(index, s.generation);
}

namespace {
Slot* FindSlot(HandleTable& t, Handle h) {
  if (h == 0) return nullptr;
  const std::uint32_t index = (h & kIndexMask) - 1;
  if (index >= t.slots.size()) return nullptr;
  Slot& s = t.slots[index];
  if (!s.object || (s.generation & 0xFFF) != (h >> kIndexBits)) return nullptr;
  return &s;
}
}  // namespace

bool Unregister(Handle h, Kind kind) {
  HandleTable& t = Table();
  std::shared_ptr<void> doomed;  // released outside the lock
  {
    std::lock_guard lock(t.mutex);
    Slot* s = FindSlot(t, h);
    if (s == nullptr || s->kind != kind) return false;
    doomed = std::move(s->object);
    s->object.reset();
    s->generation = static_cast<std::uint16_t>((s->generation + 1) & 0xFFF);
    if (s->generation == 0) s->generation = 1;
    t.free_slots.push_back((h & kIndexMask) - 1);
    --t.live;
  }
  return true;
}

std::shared_ptr<void> LookupRaw(Handle h, Kind kind) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  Slot* s = FindSlot(t, h);
  if (s == nullptr || s->kind != kind) return nullptr;
  return s->object;
}

namespace {
std::optional<Kind> KindOfHandle(Handle h) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  Slot* s = FindSlot(t, h);
  if (s == nullptr) return std::nullopt;
  return s->kind;
}

HBITMAP StockBitmap() {
  static const HBITMAP stock = [] {
    std::shared_ptr<BitmapObject> obj;
    const RGBQuad bw[2] = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    HBITMAP h = NewBitmap(1, 1, 1, bw, &obj);
    if (obj) obj->stock = true;
    return h;
  }();
  return stock;
}
}  // namespace

std::shared_ptr<BitmapObject> SurfaceOf(HDC dc) {
  auto d = Lookup<DCObject>(dc);
  if (!d || d->bitmap == 0) return nullptr;
  auto b = Lookup<BitmapObject>(d->bitmap);
  if (!b || b->stock) return nullptr;
  return b;
}

HBITMAP NewBitmap(std::int32_t width, std::int32_t height, int bpp, std::span<const RGBQuad> colors,
                  std::shared_ptr<BitmapObject>* out) {
  if (out) out->reset();
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return 0;
  if (width <= 0 || height <= 0) return 0;
  const std::int64_t stride = DibStride(width, bpp);
  if (stride < 0) return 0;
  const std::int64_t size = stride * height;
  if (size > 0x7FFFFFFF) return 0;
  auto obj = std::make_shared<BitmapObject>();
  obj->memory.reset(static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(size), 1)));
  if (!obj->memory) return 0;
  obj->width = width;
  obj->height = height;
  obj->bpp = static_cast<std::int16_t>(bpp);
  obj->stride = static_cast<std::int32_t>(stride);
  obj->size = static_cast<std::size_t>(size);
  obj->color_count = bpp <= 8 ? (1u << bpp) : 0;
  const std::size_t n = std::min<std::size_t>(colors.size(), obj->color_count);
  std::copy_n(colors.begin(), n, obj->colors.begin());
  const HBITMAP h = Register(Kind::Bitmap, obj);
  if (h != 0 && out) *out = obj;
  return h;
}

}  // namespace detail

using namespace detail;

namespace {
// Guards BitmapObject::selected_into and DCObject::bitmap for selection and
// deletion, so a bitmap is held by one context at a time whatever the threads.
std::mutex g_select_mutex;
}  // namespace

HDC GetDC(Handle window) {
  if (window != 0) return 0;
  auto dc = std::make_shared<DCObject>();
  dc->screen = true;
  return Register(Kind::DC, dc);
}

int ReleaseDC(Handle window, HDC dc) {
  auto d = Lookup<DCObject>(dc);
  if (window != 0 || !d || !d->screen) return 0;
  return Unregister(dc, Kind::DC) ? 1 : 0;
}

HDC CreateCompatibleDC(HDC dc) {
  if (dc != 0 && !Lookup<DCObject>(dc)) return 0;
  const HBITMAP stock = StockBitmap();
  if (stock == 0) return 0;
  auto d = std::make_shared<DCObject>();
  d->bitmap = stock;
  return Register(Kind::DC, d);
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ obj) {
  auto d = Lookup<DCObject>(dc);
  if (!d || d->screen) return 0;
  auto b = Lookup<BitmapObject>(obj);
  if (!b) return 0;  // brushes and palettes are never selected by the system
  std::lock_guard lock(g_select_mutex);
  if (!b->stock && b->selected_into != 0 && b->selected_into != dc) return 0;
  const HBITMAP previous = d->bitmap;
  if (auto p = Lookup<BitmapObject>(previous); p && !p->stock && p->selected_into == dc) p->selected_into = 0;
  d->bitmap = obj;
  if (!b->stock) b->selected_into = dc;
  return previous;
}

bool DeleteDC(HDC dc) {
  auto d = Lookup<DCObject>(dc);
  if (!d || d->screen) return false;
  std::lock_guard lock(g_select_mutex);
  if (auto b = Lookup<BitmapObject>(d->bitmap); b && b->selected_into == dc) b->selected_into = 0;
  return Unregister(dc, Kind::DC);
}

bool DeleteObject(HGDIOBJ obj) {
  const auto kind = KindOfHandle(obj);
  if (!kind) return false;
  switch (*kind) {
    case Kind::Bitmap: {
      auto b = Lookup<BitmapObject>(obj);
      if (!b) return false;
      if (b->stock) return true;
      std::lock_guard lock(g_select_mutex);
      if (b->selected_into != 0 && Lookup<DCObject>(b->selected_into)) return false;
      return Unregister(obj, Kind::Bitmap);
    }
    case Kind::Brush:
    case Kind::Palette:
    case Kind::Metafile:
      return Unregister(obj, *kind);
    default:
      return false;
  }
}

int GetObjectType(Handle h) {
  const auto kind = KindOfHandle(h);
  if (!kind) return 0;
  switch (*kind) {
    case Kind::Bitmap: return kObjBitmap;
    case Kind::DC: {
      auto d = Lookup<DCObject>(h);
      return d && d->screen ? kObjDC : kObjMemDC;
    }
    case Kind::Brush: return kObjBrush;
    case Kind::Palette: return kObjPal;
    case Kind::Metafile: {
      auto m = Lookup<MetafileObject>(h);
      return m && m->enhanced ? kObjEnhMetafile : kObjMetafile;
    }
    default: return 0;
  }
}

bool GetBitmapDesc(HBITMAP bitmap, BitmapDesc* desc) {
  auto b = Lookup<BitmapObject>(bitmap);
  if (!b || desc == nullptr) return false;
  desc->width = b->width;
  desc->height = b->height;
  desc->width_bytes = b->stride;
  desc->planes = 1;
  desc->bits_pixel = static_cast<std::uint16_t>(b->bpp);
  desc->bits = b->bits();
  return true;
}

HICON CreateIconHandle(std::int32_t width, std::int32_t height) {
  try {
    auto icon = std::make_shared<IconObject>();
    icon->width = width;
    icon->height = height;
    return Register(Kind::Icon, icon);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

bool DestroyIcon(HICON icon) { return Unregister(icon, Kind::Icon); }

HMETAFILE CreateMetafileHandle(bool enhanced) {
  try {
    auto meta = std::make_shared<MetafileObject>();
    meta->enhanced = enhanced;
    return Register(Kind::Metafile, meta);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

HBITMAP CreateDIBSection(HDC dc, const BitmapInfoHeader& header, std::span<const RGBQuad> colors,
                         std::uint8_t** bits) {
  if (bits) *bits = nullptr;
  if (dc != 0 && !Lookup<DCObject>(dc)) return 0;
  if (header.size < 40 || header.planes != 1 || header.compression != 0) return 0;
  std::shared_ptr<BitmapObject> obj;
  const HBITMAP h = NewBitmap(header.width, header.height, header.bit_count, colors, &obj);
  if (h != 0 && bits) *bits = obj->bits();
  return h;
}

HBITMAP CreateCompatibleBitmap(HDC dc, std::int32_t width, std::int32_t height) {
  if (dc != 0 && !Lookup<DCObject>(dc)) return 0;
  return NewBitmap(width, height, 32, {}, nullptr);
}

std::uint32_t GetDIBColorTable(HDC dc, std::uint32_t start, std::uint32_t count, RGBQuad* colors) {
  auto b = SurfaceOf(dc);
  if (!b || colors == nullptr || start >= b->color_count) return 0;
  const std::uint32_t n = std::min(count, b->color_count - start);
  std::copy_n(b->colors.begin() + start, n, colors);
  return n;
}

std::uint32_t SetDIBColorTable(HDC dc, std::uint32_t start, std::uint32_t count, const RGBQuad* colors) {
  auto b = SurfaceOf(dc);
  if (!b || colors == nullptr || start >= b->color_count) return 0;
  const std::uint32_t n = std::min(count, b->color_count - start);
  std::copy_n(colors, n, b->colors.begin() + start);
  return n;
}

int SetStretchBltMode(HDC dc, int mode) {
  auto d = Lookup<DCObject>(dc);
  if (!d || mode < 1 || mode > 4) return 0;
  const int previous = d->stretch_mode;
  d->stretch_mode = mode;
  return previous;
}

int GetStretchBltMode(HDC dc) {
  auto d = Lookup<DCObject>(dc);
  return d ? d->stretch_mode : 0;
}

HBRUSH CreateSolidBrush(ColorRef color) {
  auto b = std::make_shared<BrushObject>();
  b->color = color & 0x00FFFFFF;
  return Register(Kind::Brush, b);
}

bool FillRect(HDC dc, const Rect& rect, HBRUSH brush) {
  auto br = Lookup<BrushObject>(brush);
  auto b = SurfaceOf(dc);
  if (!br || !b) return false;
  // Device rows count from the top of the drawn picture; clip to the surface.
  const std::int32_t left = std::max(rect.left, 0);
  const std::int32_t right = std::min(rect.right, b->width);
  const std::int32_t top = std::max(rect.top, 0);
  const std::int32_t bottom = std::min(rect.bottom, b->height);
  if (left >= right || top >= bottom) return true;
  const std::uint8_t r = br->color & 0xFF, g = (br->color >> 8) & 0xFF, bl = (br->color >> 16) & 0xFF;
  const std::uint32_t index = b->bpp <= 8 ? NearestIndex(b->colors.data(), b->color_count, r, g, bl) : 0;
  const std::uint16_t word = static_cast<std::uint16_t>(((r >> 3) << 10) | ((g >> 3) << 5) | (bl >> 3));
  for (std::int32_t y = top; y < bottom; ++y) {
    std::uint8_t* row = b->row(b->height - 1 - y);
    switch (b->bpp) {
      case 32:
        for (std::int32_t x = left; x < right; ++x) {
          std::uint8_t* p = row + 4 * x;
          p[0] = bl, p[1] = g, p[2] = r, p[3] = 0;
        }
        break;
      case 24:
        for (std::int32_t x = left; x < right; ++x) {
          std::uint8_t* p = row + 3 * x;
          p[0] = bl, p[1] = g, p[2] = r;
        }
        break;
      case 16:
        for (std::int32_t x = left; x < right; ++x) {
          row[2 * x] = static_cast<std::uint8_t>(word & 0xFF);
          row[2 * x + 1] = static_cast<std::uint8_t>(word >> 8);
        }
        break;
      case 8:
        std::memset(row + left, static_cast<int>(index), static_cast<std::size_t>(right - left));
        break;
      default:
        for (std::int32_t x = left; x < right; ++x) StoreIndex(row, x, b->bpp, index);
        break;
    }
  }
  return true;
}

void SetRect(Rect* rect, std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom) {
  if (rect) *rect = Rect{left, top, right, bottom};
}

HPALETTE CreatePalette(const LogPalette& palette) {
  if (palette.version != 0x300 || palette.num_entries > 256) return 0;
  auto p = std::make_shared<PaletteObject>();
  p->entries.assign(palette.entries, palette.entries + palette.num_entries);
  return Register(Kind::Palette, p);
}

std::uint32_t GetNearestPaletteIndex(HPALETTE palette, ColorRef color) {
  auto p = Lookup<PaletteObject>(palette);
  if (!p || p->entries.empty()) return kClrInvalid;
  return NearestIndex(p->entries.data(), static_cast<std::uint32_t>(p->entries.size()),
                      static_cast<std::uint8_t>(color & 0xFF), static_cast<std::uint8_t>((color >> 8) & 0xFF),
                      static_cast<std::uint8_t>((color >> 16) & 0xFF));
}

HGLOBAL GlobalAlloc(std::uint32_t /*flags*/, std::size_t bytes) {
  auto g = std::make_shared<GlobalObject>();
  try {
    g->data.assign(bytes, 0);
  } catch (const std::bad_alloc&) {
    return 0;
  } catch (const std::length_error&) {
    return 0;
  }
  return Register(Kind::Global, g);
}

std::uint8_t* GlobalLock(HGLOBAL block) {
  auto g = Lookup<GlobalObject>(block);
  if (!g) return nullptr;
  ++g->lock_count;
  // A zero-length block still locks to a valid (unusable) address.
  static std::uint8_t empty_block;
  return g->data.empty() ? &empty_block : g->data.data();
}

bool GlobalUnlock(HGLOBAL block) {
  auto g = Lookup<GlobalObject>(block);
  if (!g || g->lock_count == 0) return false;
  return --g->lock_count > 0;
}

HGLOBAL GlobalFree(HGLOBAL block) { return Unregister(block, Kind::Global) ? 0 : block; }

std::size_t GlobalSize(HGLOBAL block) {
  auto g = Lookup<GlobalObject>(block);
  return g ? g->data.size() : 0;
}

std::size_t LiveObjectCount() {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  return t.live;
}

}  // namespace zoetra::platform

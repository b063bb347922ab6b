#include "postprocess/mgifext.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "platform/base/arith.hpp"
#include "platform/base/ordered_parallel.hpp"
#include "postprocess/frame_ops.hpp"

namespace zoetra::mGIFExt {
namespace {

using frame_ops::ChangeRect;
using frame_ops::ColourLut;
using frame_ops::FindChange;
using frame_ops::MarkRow;
using frame_ops::Palette;
using frame_ops::Pixels;
using frame_ops::RemapRow;

void RequireRaster(bool created) {
  if (!created) RaiseOutOfMemory();
}

}  // namespace

std::uint8_t CompactGlobalPalette(cGIF& document, unsigned threads) {
  if (document.GlobalPaletteExists() == 0) return 0;
  const std::int32_t n = document.GlobalPaletteEntries();
  // An empty (or negative) count has nothing to compact.
  if (n <= 0) return 0;

  std::vector<std::uint8_t> used(static_cast<std::size_t>(n), 0);
  std::vector<std::uint8_t> order(static_cast<std::size_t>(n), 0);
  std::vector<std::uint8_t> remap(static_cast<std::size_t>(n), 0);
  Palette old_palette;
  std::memcpy(old_palette.data(), document.lpGlobalPalette(), old_palette.size());

  // Frame counters are 32-bit: a 16-bit one would wrap after frame 32767.
  // Workers mark the values of the frames they take in tables of their own
  // (a byte-wide table, so the inner loop has no bounds check per pixel).
  const std::int32_t frames = document.FramesCount();
  std::vector<std::array<std::uint8_t, 256>> seen(std::max(1u, threads));
  platform::OrderedParallel(
      static_cast<std::size_t>(frames), threads,
      [&](std::size_t k, unsigned worker) {
        const auto f = static_cast<std::int16_t>(k + 1);
        if (document.LocalPaletteUsed(f) != 0) return;
        const Pixels px(*document.FrameDIBXOR(f));
        for (std::int32_t y = 0; y < px.height; ++y) MarkRow(px.row(y), px.width, seen[worker]);
      },
      [](std::size_t) {});
  for (std::int32_t v = 0; v < 256; ++v) {
    const bool any = std::any_of(seen.begin(), seen.end(), [v](const auto& t) {
      return t[static_cast<std::size_t>(v)] != 0;
    });
    if (!any) continue;
    if (v >= n) RaiseSubscript();
    used[static_cast<std::size_t>(v)] = 1;
  }

  std::int32_t k = 0;
  for (std::int32_t j = 0; j < n; ++j) {
    if (!used[static_cast<std::size_t>(j)]) continue;
    order[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(j);
    remap[static_cast<std::size_t>(j)] = static_cast<std::uint8_t>(k);
    ++k;
  }

  if (k < document.GlobalPaletteEntries()) {
    // A single used entry still gives a two-entry palette.
    const std::int32_t m = k > 1 ? k - 1 : k;
    Palette new_palette{};
    for (std::int32_t q = 0; q <= m; ++q) {
      const std::size_t from = static_cast<std::size_t>(order[static_cast<std::size_t>(q)]) * 4;
      std::memcpy(new_palette.data() + static_cast<std::size_t>(q) * 4, old_palette.data() + from,
                  3);
    }
    std::memcpy(document.lpGlobalPalette(), new_palette.data(), new_palette.size());
    document.GlobalPaletteEntries(static_cast<std::int16_t>(m + 1));

    std::array<std::uint8_t, 256> remap_byte{};
    std::copy(remap.begin(), remap.begin() + std::min<std::int32_t>(n, 256), remap_byte.begin());
    const bool identity = std::all_of(order.begin(), order.begin() + k,
                                      [&](std::uint8_t j) { return remap_byte[j] == j; });
    // Frames are renumbered independently; a bad transparent index is raised in frame order.
    const std::int32_t frames_now = document.FramesCount();
    platform::OrderedParallel(
        static_cast<std::size_t>(frames_now), threads,
        [&](std::size_t k, unsigned) {
          const auto f = static_cast<std::int16_t>(k + 1);
          if (document.LocalPaletteUsed(f) != 0) return;
          cDIB& image = *document.FrameDIBXOR(f);
          image.SetPalette(new_palette);
          std::memcpy(document.lpLocalPalette(f), new_palette.data(), new_palette.size());
          document.LocalPaletteEntries(f, static_cast<std::int16_t>(m + 1));
          const Pixels px(image);
          // When the used entries are already the first k, every pixel keeps its value.
          for (std::int32_t y = 0; y < px.height && !identity; ++y)
            RemapRow(px.row(y), px.width, remap_byte);
          const std::int32_t old_index = document.FrameTransparentColorIndex(f);
          if (old_index >= n) RaiseSubscript();
          document.FrameTransparentColorIndex(f, remap[static_cast<std::size_t>(old_index)]);
          document.FrameMask(f, document.FrameTransparentColorIndex(f));
        },
        [](std::size_t) {});
  }
  return Narrow<std::uint8_t>(n - document.GlobalPaletteEntries());
}

void CompactLocalPalettes(cGIF& document, unsigned threads) {
  const std::int32_t frames = document.FramesCount();
  platform::OrderedParallel(
      static_cast<std::size_t>(frames), threads,
      [&](std::size_t index, unsigned) {
        const auto f = static_cast<std::int16_t>(index + 1);
        if (document.LocalPaletteUsed(f) == 0) return;
        const std::int32_t n = std::clamp<std::int32_t>(document.LocalPaletteEntries(f), 0, 256);
        cDIB& image = *document.FrameDIBXOR(f);
        Palette table;
        std::memcpy(table.data(), document.lpLocalPalette(f), table.size());
        const std::int32_t keep =
            document.FrameUseTransparentColor(f) != 0 ? document.FrameTransparentColorIndex(f) : -1;
        std::array<std::uint8_t, 256> remap;
        const std::int32_t entries = frame_ops::CompactTable(image, table, n, keep, remap);
        if (entries == n) return;
        std::memcpy(document.lpLocalPalette(f), table.data(), table.size());
        document.LocalPaletteEntries(f, static_cast<std::int16_t>(entries));
        document.FrameTransparentColorIndex(f, remap[document.FrameTransparentColorIndex(f)]);
        document.FrameMask(f, document.FrameTransparentColorIndex(f));
      },
      [](std::size_t) {});
}

namespace {

// The colours a frame's indices show, from its own table or the global one.
ColourLut ColoursOf(const cGIF& document, std::int16_t frame) {
  const bool local = document.LocalPaletteUsed(frame) != 0;
  return frame_ops::ColoursOf(local ? document.lpLocalPalette(frame) : document.lpGlobalPalette());
}

}  // namespace

bool OptimizeFrames(cGIF& document, unsigned threads) {
  // Frame numbers are counted in 32 bits and handed over as 16-bit ones.
  const std::int32_t frames = document.FramesCount();
  for (std::int32_t n = 1; n <= frames; ++n) {
    const auto i = static_cast<std::int16_t>(n);
    const cDIB& image = *document.FrameDIBXOR(i);
    if (document.FrameLeft(i) != 0 || document.FrameTop(i) != 0 ||
        image.Width() != document.ScreenWidthU16() ||
        image.Height() != document.ScreenHeightU16()) {
      return false;
    }
  }

  Palette palette;
  std::memcpy(palette.data(), document.lpGlobalPalette(), palette.size());
  const std::uint8_t mask_palette[8] = {0, 0, 0, 0, 255, 255, 255, 0};
  const bool transparency_mode = document.FrameUseTransparentColor(1) != 0;
  const std::uint8_t t = document.FrameTransparentColorIndex(1);
  const std::int32_t s = transparency_mode ? 1 : 2;

  // All rectangles first, so every frame is compared with its predecessor uncut.
  // rects[i] belongs to frame i; index 0 is unused.
  std::vector<ChangeRect> rects(static_cast<std::size_t>(frames) + 1);
  platform::OrderedParallel(
      static_cast<std::size_t>(std::max(0, frames - s + 1)), threads,
      [&](std::size_t k, unsigned) {
        const std::int32_t i = s + static_cast<std::int32_t>(k);
        const auto frame = static_cast<std::int16_t>(i);
        const Pixels cur(*document.FrameDIBXOR(frame));
        if (transparency_mode) {
          rects[static_cast<std::size_t>(i)] = FindChange(cur, nullptr, t);
          return;
        }
        const auto before = static_cast<std::int16_t>(i - 1);
        const Pixels prev(*document.FrameDIBXOR(before));
        if (document.LocalPaletteUsed(frame) != 0 || document.LocalPaletteUsed(before) != 0) {
          const ColourLut cur_colours = ColoursOf(document, frame);
          const ColourLut prev_colours = ColoursOf(document, before);
          rects[static_cast<std::size_t>(i)] =
              FindChange(cur, &prev, t, &cur_colours, &prev_colours);
        } else {
          rects[static_cast<std::size_t>(i)] = FindChange(cur, &prev, t);
        }
      },
      [](std::size_t) {});

  // A frame that shows nothing new goes, its delay added to the last frame
  // kept before it. The frames go in one pass at the end (also when a delay
  // overflows): removing them one by one moves every later frame each time,
  // which is quadratic for long runs of equal pictures.
  std::vector<std::uint8_t> merged(static_cast<std::size_t>(frames), 0);
  std::int32_t kept = s - 1;       // frames kept so far; rects[kept] is the last one's
  std::int32_t last_kept = s - 1;  // its number now (0 in transparency mode: delay 0 fails)
  try {
    for (std::int32_t i = s; i <= frames; ++i) {
      if (!rects[static_cast<std::size_t>(i)].Empty()) {
        rects[static_cast<std::size_t>(++kept)] = rects[static_cast<std::size_t>(i)];
        last_kept = i;
        continue;
      }
      const auto before = static_cast<std::int16_t>(last_kept);
      document.FrameDelay(before, Add16(document.FrameDelay(before),
                                        document.FrameDelay(static_cast<std::int16_t>(i))));
      merged[static_cast<std::size_t>(i) - 1] = 1;
    }
  } catch (...) {
    document.FrameRemoveMarked(merged);
    throw;
  }
  document.FrameRemoveMarked(merged);

  if (document.FrameUseTransparentColor(1) == 0) document.FrameDisposalMethod(1, 1);

  // Every kept frame is cut to its rectangle on its own.
  const std::int32_t kept_frames = document.FramesCount();
  platform::OrderedParallel(
      static_cast<std::size_t>(std::max(0, kept_frames - s + 1)), threads,
      [&](std::size_t k, unsigned) {
        const auto b = static_cast<std::int16_t>(s + static_cast<std::int32_t>(k));
        const ChangeRect& r = rects[static_cast<std::size_t>(b)];
        cDIB& image = *document.FrameDIBXOR(b);
        Palette own;
        if (document.LocalPaletteUsed(b) != 0)
          std::memcpy(own.data(), document.lpLocalPalette(b), own.size());
        const Palette& table = document.LocalPaletteUsed(b) != 0 ? own : palette;
        frame_ops::CropTo(image, r, table);
        const std::int32_t w = r.right - r.left;
        const std::int32_t h = r.bottom - r.top;
        cDIB& mask = *document.FrameDIBAND(b);
        RequireRaster(mask.Create(w, h, 1));
        mask.SetPalette(mask_palette);
        document.FrameMask(b, document.FrameTransparentColorIndex(b));
        document.FrameLeft(b, Narrow<std::int16_t>(r.left));
        document.FrameTop(b, Narrow<std::int16_t>(r.top));
        document.FrameDisposalMethod(b, document.FrameUseTransparentColor(b) != 0 ? 3 : 1);
      },
      [](std::size_t) {});
  return true;
}

}  // namespace zoetra::mGIFExt

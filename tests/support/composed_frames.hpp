// Test helper: frames as a viewer shows them, as 0xRRGGBB pictures with rows
// top-down: from the library's composer, and independently from giflib with a
// small compositor of its own; and the two compared pixel by pixel.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#ifdef ZOETRA_HAVE_GIFLIB
#include <gif_lib.h>
#endif

#include "gif/cgif.hpp"
#include "gif/gif_compose.hpp"
#include "raster/cdib.hpp"
#include "support/raster_pixels.hpp"

namespace zoetra::test {

struct RgbFrame {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> rgb;  // 0xRRGGBB
  std::uint32_t at(int x, int y) const { return rgb[static_cast<std::size_t>(y) * width + x]; }
};

inline std::string Hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%06X", v);
  return text;
}

// The composer's screen as the picture it shows (memory row 0 is its bottom row).
inline RgbFrame ScreenPicture(const cDIB& screen) {
  RgbFrame f;
  f.width = screen.Width(), f.height = screen.Height();
  f.rgb.reserve(static_cast<std::size_t>(f.width) * f.height);
  for (int y = 0; y < f.height; ++y) {
    for (int x = 0; x < f.width; ++x) f.rgb.push_back(Px(screen, x, f.height - 1 - y) & 0xFFFFFF);
  }
  return f;
}

// Every frame of `gif` composed by cGIFComposer; nullopt when the screen cannot be made.
inline std::optional<std::vector<RgbFrame>> ComposedPictures(const cGIF& gif) {
  cGIFComposer composer(gif);
  if (!composer.Start()) return std::nullopt;
  std::vector<RgbFrame> frames;
  for (cGIFComposer::Step step; (step = composer.Next()) != cGIFComposer::kEnd;) {
    if (step != cGIFComposer::kShown) {
      ADD_FAILURE() << "no memory for the screen at frame " << composer.Frame() + 1;
      return std::nullopt;
    }
    frames.push_back(ScreenPicture(composer.Screen()));
  }
  return frames;
}

// Where a composed pixel's colour comes from. Viewers agree on painted pixels;
// they differ on the screen before anything is drawn and on what a disposal to
// the background leaves (the background colour, or transparency when the
// disposed frame has a transparent colour).
enum class Origin : std::uint8_t { Untouched, Painted, Disposed, DisposedTransparent };

struct ComposedFrame {
  RgbFrame picture;
  std::vector<Origin> origin;
};

// Composed frames against the giflib reference: every pixel.
inline void ExpectSameAsReference(const std::vector<RgbFrame>& ours, const std::vector<ComposedFrame>& reference) {
  ASSERT_EQ(ours.size(), reference.size()) << "frame count";
  for (std::size_t i = 0; i < ours.size(); ++i) {
    const RgbFrame& a = ours[i];
    const RgbFrame& b = reference[i].picture;
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    for (int y = 0; y < a.height; ++y) {
      for (int x = 0; x < a.width; ++x) {
        ASSERT_EQ(a.at(x, y), b.at(x, y)) << "frame " << i + 1 << " pixel (" << x << ", " << y << "): ours "
                                          << Hex(a.at(x, y)) << ", giflib " << Hex(b.at(x, y));
      }
    }
  }
}

#ifdef ZOETRA_HAVE_GIFLIB
// Decodes `path` with giflib and composes its frames by the GIF89a rules: the
// screen starts in the background colour; a frame's non-transparent pixels are
// drawn at its position, clipped to the screen; after it is shown, disposal 2
// fills its rectangle with the background colour and 3 restores the picture
// from before it; every other value keeps it.
inline std::optional<std::vector<ComposedFrame>> GiflibCompose(const std::string& path) {
  int error = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
  if (gif == nullptr) return std::nullopt;
  if (DGifSlurp(gif) != GIF_OK) {
    DGifCloseFile(gif, &error);
    return std::nullopt;
  }
  const int w = gif->SWidth, h = gif->SHeight;
  auto colour = [](const ColorMapObject* map, int index) -> std::uint32_t {
    if (map == nullptr || index >= map->ColorCount) return 0;
    const GifColorType& c = map->Colors[index];
    return std::uint32_t{c.Red} << 16 | std::uint32_t{c.Green} << 8 | c.Blue;
  };
  const std::uint32_t background = colour(gif->SColorMap, gif->SBackGroundColor);
  ComposedFrame screen;
  screen.picture.width = w, screen.picture.height = h;
  screen.picture.rgb.assign(static_cast<std::size_t>(w) * h, background);
  screen.origin.assign(static_cast<std::size_t>(w) * h, Origin::Untouched);
  std::vector<ComposedFrame> frames;
  for (int i = 0; i < gif->ImageCount; ++i) {
    const SavedImage& image = gif->SavedImages[i];
    GraphicsControlBlock gcb{};
    gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
    gcb.TransparentColor = NO_TRANSPARENT_COLOR;
    DGifSavedExtensionToGCB(gif, i, &gcb);
    const ColorMapObject* map = image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
    const ComposedFrame before = screen;
    const GifImageDesc& d = image.ImageDesc;
    for (int y = 0; y < d.Height; ++y) {
      for (int x = 0; x < d.Width; ++x) {
        const int sx = d.Left + x, sy = d.Top + y;
        if (sx >= w || sy >= h) continue;
        const int index = image.RasterBits[static_cast<std::size_t>(y) * d.Width + x];
        if (index == gcb.TransparentColor) continue;
        const std::size_t at = static_cast<std::size_t>(sy) * w + sx;
        screen.picture.rgb[at] = colour(map, index);
        screen.origin[at] = Origin::Painted;
      }
    }
    frames.push_back(screen);
    if (gcb.DisposalMode == DISPOSE_BACKGROUND) {
      for (int y = d.Top; y < std::min(d.Top + d.Height, h); ++y) {
        for (int x = d.Left; x < std::min(d.Left + d.Width, w); ++x) {
          const std::size_t at = static_cast<std::size_t>(y) * w + x;
          screen.picture.rgb[at] = background;
          if (screen.origin[at] != Origin::Untouched) {
            screen.origin[at] =
                gcb.TransparentColor == NO_TRANSPARENT_COLOR ? Origin::Disposed : Origin::DisposedTransparent;
          }
        }
      }
    } else if (gcb.DisposalMode == DISPOSE_PREVIOUS) {
      screen = before;
    }
  }
  DGifCloseFile(gif, &error);
  return frames;
}
#endif

}  // namespace zoetra::test

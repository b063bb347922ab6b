// mGIFExt: two passes over a finished GIF document, both in place.
//
// CompactGlobalPalette drops the global-palette entries no frame uses, packs the
// rest to the front in their old order and renumbers the pixels, transparent
// indices and masks of the frames that use the global palette. It returns the
// number of entries removed (0 without a global palette, or with one of no entries).
//
// OptimizeFrames crops every frame to the rectangle in which it changes, merges
// frames that change nothing into their predecessor (delays added) and sets
// positions and disposal methods so a viewer composes the same pictures. It
// returns false, changing nothing, unless every frame covers the whole screen
// from the origin.
//
// CompactLocalPalettes does for every frame with a local colour table what
// CompactGlobalPalette does for the global one: unused entries go, the rest
// keep their order, pixels and the transparent index are renumbered.
//
// Frames with local colour tables are compared by the colours they show, not
// by their indices: two frames differ where their colours differ.
//
// All three raise zoetra::Error: 9 for a pixel or transparent index outside the
// global palette (compaction) or a transparent frame 1 that shows nothing
// (optimisation), 6 for a merged delay past 32767, 7 when a raster cannot be
// made. Work done before a failure stays done (with threads, work on later
// frames may be done too).
#pragma once

#include <cstdint>

#include "platform/base/export.hpp"
#include "gif/cgif.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra::mGIFExt {

// `threads` (the calling one included) share the per-frame work; the result
// does not depend on it.
std::uint8_t CompactGlobalPalette(cGIF& document, unsigned threads = 1);
bool OptimizeFrames(cGIF& document, unsigned threads = 1);
void CompactLocalPalettes(cGIF& document, unsigned threads = 1);

}  // namespace zoetra::mGIFExt

ZOETRA_PUBLIC_END

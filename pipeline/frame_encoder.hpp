// A made frame's pixels to what the GIF stream writes: its head, its local
// table (compacted to the entries it uses) and its LZW data, lossy when the
// quality asks for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gif/gif_blocks.hpp"
#include "pipeline/palette.hpp"
#include "raster/cdib.hpp"

namespace zoetra::pipeline {

struct EncodeRequest {
  cDIB& cut;  // 8 bits; its indices are renumbered as a local table is compacted
  std::int32_t left = 0, top = 0;
  const Table* local = nullptr;   // the frame's own table; null: the global one
  std::int32_t entries = 0;       // of that table
  std::int32_t transparent = -1;  // -1: none
  std::int32_t disposal = 0;
  std::int16_t delay = 0;  // hundredths
  std::int64_t frame = 0;  // numbers it for messages
  std::size_t below = 0;   // > 0: give up as soon as the data would reach it
};

struct EncodedFrame {
  gif_blocks::FrameHead head;  // head.local_table is left null: `table` may move
  Table table{};
  std::vector<std::uint8_t> data;
};

// False when it gave up at `request.below`; raises when an index is past the table.
// `palette` gives the global table; `lossy` is Tradeoffs::lossy.
bool EncodeFrame(const EncodeRequest& request, const PaletteStrategy& palette, std::int32_t lossy, EncodedFrame& out);

}  // namespace zoetra::pipeline

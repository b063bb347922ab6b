#include "pipeline/frame_encoder.hpp"

#include <array>
#include <cstring>
#include <span>
#include <string>

#include "gif/mgiflzwenc.hpp"
#include "platform/base/error.hpp"
#include "postprocess/frame_ops.hpp"

namespace zoetra::pipeline {
namespace {

// Appends while the data stays below a size; refuses (and remembers) the write that would reach it.
class CappedSink final : public mGIFLZWEnc::ByteSink {
 public:
  CappedSink(std::vector<std::uint8_t>& out, std::size_t below) : out_(out), below_(below) {}
  bool Write(std::span<const std::uint8_t> bytes) override {
    if (below_ > 0 && out_.size() + bytes.size() >= below_) {
      over_ = true;
      return false;
    }
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return true;
  }
  bool Over() const { return over_; }

 private:
  std::vector<std::uint8_t>& out_;
  std::size_t below_;
  bool over_ = false;
};

}  // namespace

bool EncodeFrame(const EncodeRequest& request, const PaletteStrategy& palette, std::int32_t lossy,
                 EncodedFrame& out) {
  cDIB& cut = request.cut;
  const Table* local = request.local;
  std::int32_t entries = request.entries;
  std::int32_t transparent = request.transparent;
  Table& table = out.table;
  gif_blocks::FrameHead& head = out.head;
  head = gif_blocks::FrameHead{};
  head.delay = request.delay;
  if (local != nullptr) {
    table = *local;
    if (transparent >= entries) {
      // An entry more for transparency: its colour never shows.
      std::memset(table.data() + static_cast<std::size_t>(transparent) * 4, 0, 4);
      entries = transparent + 1;
    }
    std::array<std::uint8_t, 256> remap;
    entries = frame_ops::CompactTable(cut, table, entries, transparent, remap);
    if (transparent >= 0) transparent = remap[static_cast<std::size_t>(transparent)];
  }
  head.left = request.left;
  head.top = request.top;
  head.width = cut.Width();
  head.height = cut.Height();
  head.disposal = request.disposal;
  head.local_entries = local != nullptr ? entries : 0;
  head.use_transparent = transparent >= 0;
  head.transparent_index = static_cast<std::uint8_t>(transparent >= 0 ? transparent : 0);
  const std::int32_t global = palette.GlobalEntries();
  gif_blocks::FrameHead sizes = head;
  if (local != nullptr) sizes.local_table = table.data();
  const std::int32_t code_size = gif_blocks::MinCodeSize(sizes, global > 0 ? gif_blocks::TableExponent(global) : 0);
  std::vector<std::uint8_t>& data = out.data;
  data.clear();
  CappedSink sink(data, request.below);
  const auto width = static_cast<std::uint8_t>(code_size + 1);
  bool encoded = false;
  if (lossy > 0) {
    const mGIFLZWEnc::LossyColours colours{local != nullptr ? table.data() : palette.GlobalTable().data(),
                                           local != nullptr ? entries : global, transparent};
    encoded = mGIFLZWEnc::EncodeFrameLossy(sink, cut, width, 0, colours, lossy);
  } else {
    encoded = mGIFLZWEnc::EncodeFrame(sink, cut, width, 0);
  }
  if (!encoded && !sink.Over()) {
    RaiseError(kErrInternal, "frame " + std::to_string(request.frame + 1) + " has an index past its colour table");
  }
  return encoded;
}

}  // namespace zoetra::pipeline

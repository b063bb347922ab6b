#include "gif/mgiflzwdec.hpp"

#include <algorithm>
#include <cstring>

#include "gif/gif_format.hpp"
#include "gif/mgiflzwenc.hpp"

namespace zoetra::mGIFLZWDec {
namespace {

constexpr std::int32_t kTableSize = gif_format::kCodeLimit;
using gif_format::kMaxCodeWidth;

// Dictionary: each code's string is its prefix code's string plus its suffix.
// First byte and length are kept per code so a string can be written straight
// into the row, last byte first, without a second pass.
struct Tables {
  std::uint16_t prefix[kTableSize];
  std::uint16_t length[kTableSize];
  std::uint8_t suffix[kTableSize];
  std::uint8_t first[kTableSize];
  std::uint8_t stack[kTableSize];  // a string that spans rows is built here
};
thread_local Tables t_tables;

// Row order of one image: plain, or the interlace passes. Rows go into a
// raster, or through one row of memory to a sink as each is complete; a sink
// needs only the rows above `visible_rows` and the columns left of
// `visible_cols`, and the decoding stops once no row it needs is left.
class RowCursor {
 public:
  RowCursor(const RasterByteView& view, std::int32_t width, bool interlaced)
      : view_(view), width_(width), last_row_(view.row_count - 1), interlaced_(interlaced), row_ptr_(view.row(0)),
        visible_rows_(view.row_count), visible_cols_(width) {}
  RowCursor(std::uint8_t* row, std::int32_t width, std::int32_t height, bool interlaced, RowSink& sink,
            std::int32_t visible_cols, std::int32_t visible_rows)
      : width_(width), last_row_(height - 1), interlaced_(interlaced), row_ptr_(row), sink_(&sink),
        visible_rows_(visible_rows), visible_cols_(visible_cols) {
    done_ = !NeededFrom(0, 0);
  }

  bool done() const { return done_; }
  std::int32_t room() const { return width_ - col_; }
  std::uint8_t* at() const { return row_ptr_ + col_; }

  // Moves past n pixels that were just written at at(); n <= room().
  void Advance(std::int32_t n) {
    col_ += n;
    if (col_ == width_) NextRow();
  }

  // Copies n pixels in order, crossing rows; stops when the image is full.
  void Put(const std::uint8_t* src, std::int32_t n) {
    while (n > 0 && !done_) {
      const std::int32_t k = std::min(n, room());
      std::memcpy(at(), src, static_cast<std::size_t>(k));
      src += k;
      n -= k;
      Advance(k);
    }
  }

  // Whether any of the next n pixels lands where it is needed: a string that
  // does not is passed over without being spelled out (always needed in a raster).
  bool Needed(std::int32_t n) const {
    if (sink_ == nullptr) return true;
    std::int32_t row = row_, pass = pass_, col = col_;
    for (;;) {
      if (row < visible_rows_ && col < visible_cols_) return true;
      if (n <= width_ - col) return false;
      n -= width_ - col;
      col = 0;
      row = interlaced_ ? gif_format::NextInterlacedRow(row, pass, last_row_ + 1) : row + 1;
      if (row > last_row_) return false;
    }
  }
  // Moves past n pixels without writing them.
  void Skip(std::int32_t n) {
    while (n > 0 && !done_) {
      const std::int32_t k = std::min(n, room());
      n -= k;
      Advance(k);
    }
  }

  // A sink gets the rows the data did not reach as well, zeros where no
  // pixel was written (a raster keeps its own values there).
  void Finish() {
    if (sink_ == nullptr || done_) return;
    std::memset(at(), 0, static_cast<std::size_t>(room()));
    NextRow();
    std::memset(row_ptr_, 0, static_cast<std::size_t>(width_));
    while (!done_) NextRow();
  }

 private:
  // Whether row `row` of pass `pass`, or any row after it, is needed.
  bool NeededFrom(std::int32_t row, std::int32_t pass) const {
    if (row < visible_rows_) return true;
    if (!interlaced_) return false;
    for (std::int32_t p = pass + 1; p < 4; ++p) {
      if (gif_format::kInterlaceStart[p] < visible_rows_ && gif_format::kInterlaceStart[p] <= last_row_) return true;
    }
    return false;
  }

  void NextRow() {
    if (sink_ != nullptr && row_ < visible_rows_) sink_->Row(row_, row_ptr_);
    col_ = 0;
    row_ = interlaced_ ? gif_format::NextInterlacedRow(row_, pass_, last_row_ + 1) : row_ + 1;
    if (row_ > last_row_ || (sink_ != nullptr && !NeededFrom(row_, pass_))) {
      done_ = true;
      return;
    }
    if (sink_ == nullptr) row_ptr_ = view_.row(row_);
  }

  RasterByteView view_{};
  std::int32_t width_;
  std::int32_t last_row_;
  bool interlaced_;
  std::uint8_t* row_ptr_;
  RowSink* sink_ = nullptr;
  std::int32_t visible_rows_;
  std::int32_t visible_cols_;
  std::int32_t col_ = 0;
  std::int32_t row_ = 0;
  std::int32_t pass_ = 0;
  bool done_ = false;
};

// Code data all in one span.
struct WholeData {
  std::span<const std::uint8_t> data;
  bool More(std::span<const std::uint8_t>&) { return false; }
};

// Code data in pieces from a feed.
struct FedData {
  DataFeed& feed;
  std::span<const std::uint8_t> data{};
  bool More(std::span<const std::uint8_t>& next) {
    next = feed.More();
    return !next.empty();
  }
};

// The decoding proper: codes from `source` into `out` until the image is full,
// the data ends or breaks, or the end code comes.
template <class Source>
void Decode(RowCursor& out, std::uint8_t MinCodeSize, Source source) {
  Tables& t = t_tables;
  const std::int32_t clear_code = std::int32_t{1} << MinCodeSize;
  const std::int32_t end_code = clear_code + 1;
  const std::int32_t initial_width = MinCodeSize + 1;
  // Roots above 255 (possible only with code sizes above 8) cannot be pixels.
  const std::int32_t roots = std::min(clear_code, std::int32_t{256});
  for (std::int32_t c = 0; c < roots; ++c) {
    t.suffix[c] = static_cast<std::uint8_t>(c);
    t.first[c] = static_cast<std::uint8_t>(c);
    t.length[c] = 1;
  }

  std::int32_t code_width = initial_width;
  std::uint32_t code_mask = (1u << code_width) - 1;
  std::int32_t next_code = clear_code + 2;
  std::int32_t old_code = -1;  // -1: the next code starts afresh, as after a clear code

  const std::uint8_t* data = source.data.data();
  std::size_t size = source.data.size();
  std::size_t pos = 0;
  std::uint64_t bit_buffer = 0;
  std::int32_t bit_count = 0;

  for (;;) {
    if (bit_count < code_width) {
      while (bit_count <= 56) {
        if (pos == size) {
          std::span<const std::uint8_t> next;
          if (!source.More(next)) break;
          data = next.data();
          size = next.size();
          pos = 0;
        }
        bit_buffer |= std::uint64_t{data[pos++]} << bit_count;
        bit_count += 8;
      }
      if (bit_count < code_width) return;  // data exhausted
    }
    const std::int32_t code = static_cast<std::int32_t>(bit_buffer & code_mask);
    bit_buffer >>= code_width;
    bit_count -= code_width;

    if (code == clear_code) {
      code_width = initial_width;
      code_mask = (1u << code_width) - 1;
      next_code = clear_code + 2;
      old_code = -1;
      continue;
    }
    if (code == end_code) return;

    if (old_code < 0) {
      if (code >= roots) return;  // a table code with an empty table, or a root beyond a byte
      *out.at() = static_cast<std::uint8_t>(code);
      out.Advance(1);
      if (out.done()) return;
      old_code = code;
      continue;
    }

    if (code < clear_code && code >= roots) return;
    if (code > next_code || (code == next_code && next_code >= kTableSize)) return;

    // The new entry is the previous string plus the first byte of this one; when
    // this code is the entry itself, that byte is the previous string's first.
    if (next_code < kTableSize) {
      const std::uint8_t first_byte = code == next_code ? t.first[old_code] : t.first[code];
      t.prefix[next_code] = static_cast<std::uint16_t>(old_code);
      t.suffix[next_code] = first_byte;
      t.first[next_code] = t.first[old_code];
      t.length[next_code] = static_cast<std::uint16_t>(t.length[old_code] + 1);
    }

    const std::int32_t len = t.length[code];
    std::int32_t c = code;
    if (!out.Needed(len)) {
      out.Skip(len);
    } else if (len <= out.room()) {
      std::uint8_t* dst = out.at();
      for (std::int32_t i = len - 1; i >= 0; --i) {
        dst[i] = t.suffix[c];
        c = t.prefix[c];
      }
      out.Advance(len);
    } else {
      for (std::int32_t i = len - 1; i >= 0; --i) {
        t.stack[i] = t.suffix[c];
        c = t.prefix[c];
      }
      out.Put(t.stack, len);
    }
    if (out.done()) return;

    // A full table takes no more entries; the stream may go on with it until
    // a clear code (a deferred clear).
    if (next_code < kTableSize) {
      ++next_code;
      if (next_code > static_cast<std::int32_t>(code_mask) && code_width < kMaxCodeWidth) {
        ++code_width;
        code_mask = (1u << code_width) - 1;
      }
    }
    old_code = code;
  }
}

}  // namespace

void DecodeImage(cDIB& Raster, std::int16_t Interlaced, std::uint8_t MinCodeSize,
                 std::span<const std::uint8_t> Data) {
  if (Raster.BPP() != 8 || Raster.hDIB() == 0) return;
  if (!gif_format::UsableMinCodeSize(MinCodeSize)) return;
  RasterByteView view;
  BindRasterByteView(view, Raster);
  const std::int32_t width = Raster.Width();
  // Every pixel write below stays within columns 0..width-1 of rows 0..row_count-1.
  if (view.base == nullptr || width <= 0 || view.row_count <= 0 || view.row_length < width) return;

  RowCursor out(view, width, Interlaced != 0);
  Decode(out, MinCodeSize, WholeData{Data});
}

void DecodeRows(std::int32_t Width, std::int32_t Height, bool Interlaced, std::uint8_t MinCodeSize, DataFeed& Data,
                RowSink& Rows, std::int32_t VisibleWidth, std::int32_t VisibleHeight) {
  if (Width <= 0 || Height <= 0) return;
  std::vector<std::uint8_t> row(static_cast<std::size_t>(Width));
  RowCursor out(row.data(), Width, Height, Interlaced, Rows, VisibleWidth, VisibleHeight);
  if (gif_format::UsableMinCodeSize(MinCodeSize)) Decode(out, MinCodeSize, FedData{Data});
  out.Finish();
}

}  // namespace zoetra::mGIFLZWDec

#include "gif/mgiflzwenc.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "platform/base/yield.hpp"

namespace zoetra {

namespace mGIFLZWEnc {
namespace {

// A slot holds (key << 12) | code with key = pixel * 4096 + prefix (20 bits).
// Stored codes are at least clear + 2 >= 6, so an all-zero word marks an empty
// slot; a live slot whose key is 0 reads as a value below 4096.
constexpr std::uint32_t kEmptySlot = 0;
constexpr std::uint32_t kCodeBits = 0xFFF;
constexpr std::uint32_t kHashShift = 4;  // 5003 doubled to 65536 takes 4 steps: 8 - 4
constexpr std::int32_t kBlocksPerWrite = 32;
constexpr std::size_t kDataChunk = static_cast<std::size_t>(kSubBlockData) * kBlocksPerWrite;

// Longest run string c^n whose code is kept per pixel value c, and the run
// length from which the encoder looks there (see Encoder::Row).
constexpr std::uint32_t kRunCodes = 256;
constexpr std::ptrdiff_t kRunStart = 4;

// Pixels coded before their codes are packed into bytes, and the mark of a
// table clear among the queued codes (no code is that large).
constexpr std::ptrdiff_t kSegment = 2048;
constexpr std::uint16_t kClearMark = 0xFFFF;

struct State {
  std::uint32_t table[kHashSize];
  // run_code[c][n - 1] is the code of the string of n pixels c, for n up to
  // run_length[c]; the string of one pixel is the pixel value itself.
  // run_top[c] repeats the code of the longest, so that noting a new string
  // touches two small tables only.
  std::uint16_t run_length[256];
  std::uint16_t run_top[256];
  std::uint16_t run_code[256][kRunCodes];
  // Codes waiting to be packed: a pixel ends at most one string and clears the
  // table at most once, and Finish adds two.
  std::uint16_t codes[2 * kSegment + 4];
  std::uint8_t data[kDataChunk + 16];  // slack for the 8-byte stores past the chunk end
  std::uint8_t framed[kBlocksPerWrite * (kSubBlockData + 1)];
};

// Allocated on first use in each thread and reused for every later frame.
State& ThreadState() {
  thread_local std::unique_ptr<State> state;
  if (!state) {
    state = std::make_unique<State>();
    for (std::uint32_t c = 0; c < 256; ++c) state->run_code[c][0] = static_cast<std::uint16_t>(c);
  }
  return *state;
}

inline std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Little-endian store of all 8 bytes, whatever the machine's order.
inline void Store64(std::uint8_t* p, std::uint64_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, 8);
  } else {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

// The key of the string `prefix` + c as it sits in a slot's word, and the
// slot its probe starts at.
inline std::uint32_t Tag(std::uint32_t c, std::uint32_t prefix) {
  return ((c << 12) | prefix) << 12;
}
inline std::uint32_t FirstSlot(std::uint32_t c, std::uint32_t prefix) {
  return (c << kHashShift) ^ prefix;
}

// Whether the word `e` holds the string keyed `tagged`: a match leaves just
// the code (1..4095) after removing the key; an empty slot leaves 0 and any
// other key leaves 4096 or more.
inline bool Holds(std::uint32_t e, std::uint32_t tagged) {
  return (e ^ tagged) - 1u < kCodeBits;
}

// Goes on from the first slot `slot`, whose word `e` is not the string keyed
// `tagged`: the string's code, or 0 with `slot` where the string would go. A
// probe ends at an empty slot or, past the first, at one whose key is 0 (pixel
// 0 after pixel 0); the new string then takes that slot, and the string it
// held, given up (which costs ratio only), comes back in `displaced`.
inline std::uint32_t FindPastFirst(const std::uint32_t* table, std::uint32_t tagged,
                                   std::uint32_t e, std::uint32_t& slot, std::uint32_t& displaced) {
  if (e == kEmptySlot) return 0;
  const std::uint32_t step = slot == 0 ? 1 : kHashSize - slot;
  for (;;) {
    slot = slot >= step ? slot - step : slot + kHashSize - step;
    e = table[slot];
    if (Holds(e, tagged)) return e & kCodeBits;
    if (e <= kCodeBits) {
      displaced = e;
      return 0;
    }
  }
}

// Finds the string `prefix` + c in the table: as FindPastFirst, from the first slot.
inline std::uint32_t Find(const std::uint32_t* table, std::uint32_t c, std::uint32_t prefix,
                          std::uint32_t& slot, std::uint32_t& displaced) {
  const std::uint32_t tagged = Tag(c, prefix);
  slot = FirstSlot(c, prefix);
  const std::uint32_t e = table[slot];
  if (Holds(e, tagged)) return e & kCodeBits;
  return FindPastFirst(table, tagged, e, slot, displaced);
}

// Frames `len` data bytes as sub-blocks of 254 (the last one shorter) and
// hands them to the sink, up to kBlocksPerWrite blocks per call.
bool WriteBlocks(State& st, ByteSink& out, const std::uint8_t* data, std::size_t len) {
  while (len > 0) {
    std::size_t framed = 0;
    for (std::int32_t b = 0; b < kBlocksPerWrite && len > 0; ++b) {
      const std::size_t n = len < static_cast<std::size_t>(kSubBlockData) ? len : kSubBlockData;
      st.framed[framed] = static_cast<std::uint8_t>(n);
      std::memcpy(st.framed + framed + 1, data, n);
      framed += n + 1;
      data += n;
      len -= n;
    }
    if (!out.Write(std::span<const std::uint8_t>(st.framed, framed))) return false;
  }
  return true;
}

class Encoder {
 public:
  Encoder(State& st, ByteSink& out, std::int32_t initial_width)
      : st_(st),
        out_(out),
        initial_width_(static_cast<std::uint32_t>(initial_width)),
        clear_code_(1u << (initial_width - 1)),
        end_code_(clear_code_ + 1) {
    ResetTable();
    InitialWidth();
  }

  bool failed() const { return failed_; }

  void Start() { st_.codes[queued_++] = kClearMark; }

  // Feeds one row of pixels, carrying the current string across rows.
  void Row(const std::uint8_t* p, const std::uint8_t* end) {
    std::uint32_t seen = 0;
    while (end - p > kSegment) {
      seen |= Segment(p, p + kSegment);
      p += kSegment;
    }
    seen |= Segment(p, end);
    // The clear code is a power of two: a pixel at or above it sets a bit the OR keeps.
    if (seen >= clear_code_) failed_ = true;
  }

  void SeedPrefix(std::uint32_t first) {
    prefix_ = first;
    if (first >= clear_code_) failed_ = true;
  }

  // Emits the last prefix and the end code, then writes out every pending byte.
  bool Finish(bool any_pixels = true) {
    if (any_pixels) st_.codes[queued_++] = static_cast<std::uint16_t>(prefix_);
    st_.codes[queued_++] = static_cast<std::uint16_t>(end_code_);
    Pack();
    if (failed_) return false;
    if (bits_ > 0) st_.data[pos_++] = static_cast<std::uint8_t>(acc_);
    if (!WriteBlocks(st_, out_, st_.data, pos_)) failed_ = true;
    pos_ = 0;
    return !failed_;
  }

  // As Add below, on the encoder's own state, for callers outside Row.
  bool Add(std::uint32_t slot, std::uint32_t displaced, std::uint32_t c, std::uint32_t prefix) {
    std::uint16_t* queue = st_.codes + queued_;
    const bool stored = Add(slot, displaced, c, prefix, next_free_, queue);
    queued_ = static_cast<std::size_t>(queue - st_.codes);
    if (queued_ >= kSegment) Pack();
    return stored;
  }

 protected:
  // Codes the pixels of [p, end) after the string prefix_ and packs their
  // codes; returns the OR of every pixel value the segment brings in. The
  // loop keeps its state in locals: members would be reloaded after every
  // store to the table.
  std::uint32_t Segment(const std::uint8_t* p, const std::uint8_t* end) {
    std::uint32_t prefix = prefix_;
    std::uint32_t next_free = next_free_;
    std::uint16_t* queue = st_.codes + queued_;
    std::uint32_t seen = 0;
    const std::uint32_t* const table = st_.table;
    for (; p != end; ++p) {
      const std::uint32_t c = *p;
      // Find, with the first probe, where most strings that the table holds
      // are found, taken apart so that a find there goes straight on.
      const std::uint32_t tagged = Tag(c, prefix);
      std::uint32_t slot = FirstSlot(c, prefix);
      const std::uint32_t e = table[slot];
      if (Holds(e, tagged)) {
        prefix = e & kCodeBits;
        continue;
      }
      std::uint32_t displaced = 0;
      if (const std::uint32_t code = FindPastFirst(table, tagged, e, slot, displaced)) {
        prefix = code;
        continue;
      }
      // A pixel value's first lookup in a frame always misses (a string that
      // ends in c is stored at a miss on c), so the misses see every value.
      seen |= c;
      Add(slot, displaced, c, prefix, next_free, queue);
      prefix = c;
      // More pixels c: the strings c c, c c c, ... that the table holds would
      // each be found by a lookup; their codes are known, so take the longest
      // one the run covers at once. (Lookups that find a string change nothing.)
      // Only runs of some length pay for the look-aside: four more pixels c.
      // (One test of all four: a test of the next pixel alone is hard to predict.)
      if (end - p <= kRunStart || Load32(p + 1) != c * 0x01010101u) continue;
      if (const std::uint32_t known = st_.run_length[c]; known > kRunStart) {
        const std::size_t limit =
            std::min<std::size_t>(known - 1, static_cast<std::size_t>(end - p - 1));
        std::size_t more = kRunStart;
        while (more < limit && p[more + 1] == c) ++more;
        prefix = st_.run_code[c][more];
        p += more;
      }
    }
    prefix_ = prefix;
    next_free_ = next_free;
    queued_ = static_cast<std::size_t>(queue - st_.codes);
    Pack();
    return seen;
  }

  // Ends the string `prefix` before pixel c, which `slot` and `displaced`
  // came from Find for: queues its code and stores prefix + c as next_free,
  // or clears the table when it is full. Returns whether the string was stored.
  [[gnu::always_inline]] bool Add(std::uint32_t slot, std::uint32_t displaced, std::uint32_t c,
                                  std::uint32_t prefix, std::uint32_t& next_free,
                                  std::uint16_t*& queue) {
    // The string of two 0s is gone from the table, so is the run string.
    if (displaced != kEmptySlot) {
      st_.run_length[0] = 1;
      st_.run_top[0] = 0;
    }
    *queue++ = static_cast<std::uint16_t>(prefix);
    if (next_free < static_cast<std::uint32_t>(kCodeLimit)) {
      st_.table[slot] = Tag(c, prefix) | next_free;
      NoteRun(c, prefix, next_free);
      ++next_free;
      return true;
    }
    ResetTable();
    next_free = next_free_;
    *queue++ = kClearMark;
    return false;
  }

  void ResetTable() {
    std::memset(st_.table, 0, sizeof st_.table);
    std::fill(std::begin(st_.run_length), std::end(st_.run_length), std::uint16_t{1});
    for (std::uint32_t c = 0; c < 256; ++c) st_.run_top[c] = static_cast<std::uint16_t>(c);
    next_free_ = clear_code_ + 2;
  }

  // A new string `code` of pixel c after `prefix`: when the prefix is the
  // longest known run of c, the new string is the next longer one.
  void NoteRun(std::uint32_t c, std::uint32_t prefix, std::uint32_t code) {
    if (st_.run_top[c] != prefix) return;
    const std::uint32_t n = st_.run_length[c];
    if (n >= kRunCodes) return;
    st_.run_code[c][n] = static_cast<std::uint16_t>(code);
    st_.run_top[c] = static_cast<std::uint16_t>(code);
    st_.run_length[c] = static_cast<std::uint16_t>(n + 1);
  }

  void InitialWidth() {
    width_ = initial_width_;
    largest_ = (1u << width_) - 1;
    packed_next_ = clear_code_ + 2;
  }

  // Writes the queued codes, least significant bit first, each at the width
  // a decoder reads it at. That width follows the count of codes defined,
  // which the packer keeps again here (`next`): every code but a clear
  // defines one until the table is full, and the width grows once that
  // count passes the widest code of the width; a clear goes out at the width
  // reached and takes it back to the first. Byte stores of 8 bytes at once
  // keep the bit count out of the branches.
  void Pack() {
    std::uint64_t acc = acc_;
    std::uint32_t bits = bits_;
    std::size_t pos = pos_;
    std::uint32_t width = width_;
    std::uint32_t largest = largest_;
    std::uint32_t next = packed_next_;
    std::uint32_t mask = (1u << width) - 1;
    std::uint8_t* const data = st_.data;
    for (std::size_t i = 0; i < queued_; ++i) {
      const std::uint32_t queued = st_.codes[i];
      const bool clear = queued == kClearMark;
      const std::uint32_t code = clear ? clear_code_ : queued;
      acc |= static_cast<std::uint64_t>(code & mask) << bits;
      bits += width;
      Store64(data + pos, acc);
      pos += bits >> 3;
      acc >>= bits & ~7u;
      bits &= 7;
      if (pos >= kDataChunk) pos = FlushChunk(pos);
      if (clear) {
        width = initial_width_;
        largest = (1u << width) - 1;
        mask = largest;
        next = clear_code_ + 2;
        continue;
      }
      if (next > largest) {
        ++width;
        largest = width == static_cast<std::uint32_t>(kMaxCodeWidth)
                      ? static_cast<std::uint32_t>(kCodeLimit)
                      : (1u << width) - 1;
        mask = (1u << width) - 1;
      }
      if (next < static_cast<std::uint32_t>(kCodeLimit)) ++next;
    }
    queued_ = 0;
    acc_ = acc;
    bits_ = bits;
    pos_ = pos;
    width_ = width;
    largest_ = largest;
    packed_next_ = next;
  }

  // Writes out the first kDataChunk bytes of `pos`; returns the bytes left.
  [[gnu::noinline]] std::size_t FlushChunk(std::size_t pos) {
    if (!failed_ && !WriteBlocks(st_, out_, st_.data, kDataChunk)) failed_ = true;
    const std::size_t rest = pos - kDataChunk;
    std::memmove(st_.data, st_.data + kDataChunk, rest);
    return rest;
  }

  State& st_;
  ByteSink& out_;
  const std::uint32_t initial_width_;
  const std::uint32_t clear_code_;
  const std::uint32_t end_code_;
  std::uint32_t prefix_ = 0;
  std::uint32_t next_free_ = 0;
  std::size_t queued_ = 0;  // codes in State::codes
  // The packer's state.
  std::uint64_t acc_ = 0;  // bits not yet in whole bytes: fewer than 8
  std::uint32_t bits_ = 0;
  std::size_t pos_ = 0;  // bytes in State::data
  std::uint32_t width_ = 0;
  std::uint32_t largest_ = 0;
  std::uint32_t packed_next_ = 0;
  bool failed_ = false;
};

// --- Lossy coding ---

// Stand-ins a search may weigh before it settles; exact steps are always
// followed. Bounds the work per code where many strings are close.
constexpr std::int32_t kSearchLimit = 48;

// One string on the search's path.
struct Step {
  std::uint32_t code;
  std::uint32_t next;  // next extension to weigh; 0: none left
  std::int32_t length;  // pixels the string covers
  std::int32_t error;  // squared errors summed over its stand-ins
  std::int32_t carry[3];  // error still owed to the next pixel, red, green, blue
  bool exact_tried;
};

constexpr std::size_t kCodes = static_cast<std::size_t>(kCodeLimit);

struct LossyState {
  // The dictionary as a tree, which the hash cannot list: first_child and
  // next_sibling chain the extensions of a string (0 ends a chain: no
  // extension has a code that small); parent and suffix spell a string out.
  std::uint16_t first_child[kCodes];
  std::uint16_t next_sibling[kCodes];
  std::uint16_t parent[kCodes];
  std::uint8_t suffix[kCodes];
  // near[a * 256 + b]: index b may stand for a pixel of index a.
  std::uint8_t near[256 * 256];
  bool any_near[256];
  std::int32_t rgb[256][3];
  // A string is at most one pixel longer than the codes defined, so the path fits.
  Step stack[kCodes + 1];
  std::vector<std::uint8_t> pixels;  // the frame in coding order
};

LossyState& ThreadLossyState() {
  thread_local std::unique_ptr<LossyState> state;
  if (!state) state = std::make_unique<LossyState>();
  return *state;
}

// Fills the colour and neighbour tables for indices below `usable`.
void PrepareColours(LossyState& ls, const LossyColours& colours, std::int32_t budget, std::int32_t usable) {
  const std::int32_t n = std::min(colours.entries, usable);
  for (std::int32_t a = 0; a < n; ++a) {
    const std::uint8_t* entry = colours.table + 4 * a;
    ls.rgb[a][0] = entry[2];
    ls.rgb[a][1] = entry[1];
    ls.rgb[a][2] = entry[0];
  }
  for (std::int32_t a = 0; a < 256; ++a) {
    std::uint8_t* row = ls.near + 256 * a;
    std::fill_n(row, 256, std::uint8_t{0});
    ls.any_near[a] = false;
    if (a >= n || a == colours.transparent) continue;
    for (std::int32_t b = 0; b < n; ++b) {
      if (b == a || b == colours.transparent) continue;
      std::int32_t d = 0;
      for (int ch = 0; ch < 3; ++ch) d += (ls.rgb[a][ch] - ls.rgb[b][ch]) * (ls.rgb[a][ch] - ls.rgb[b][ch]);
      if (d <= budget) {
        row[b] = 1;
        ls.any_near[a] = true;
      }
    }
  }
}

class LossyEncoder : public Encoder {
 public:
  LossyEncoder(State& st, LossyState& ls, ByteSink& out, std::int32_t initial_width, std::int32_t budget)
      : Encoder(st, out, initial_width), ls_(ls), budget_(budget) {
    ForgetTree();
  }

  // Codes the first n pixels of ls_.pixels (n > 0), rewriting each to what
  // its string decodes to, then ends the stream.
  bool Frame(std::size_t n) {
    std::uint8_t* const px = ls_.pixels.data();
    std::size_t i = 0;
    for (;;) {
      const std::uint32_t code = Search(px, i, n);
      if (i == n) {
        prefix_ = code;
        return Finish();
      }
      // The search followed every exact step, so this string is new.
      const std::uint32_t c = px[i];
      std::uint32_t slot = 0;
      std::uint32_t displaced = 0;
      Find(st_.table, c, code, slot, displaced);
      if (Add(slot, displaced, c, code)) {
        Link(next_free_ - 1, code, c);
      } else {
        ForgetTree();
      }
      if (failed()) return Finish();
    }
  }

 private:
  void ForgetTree() { std::fill_n(ls_.first_child, clear_code_, std::uint16_t{0}); }

  void Link(std::uint32_t code, std::uint32_t parent, std::uint32_t c) {
    ls_.parent[code] = static_cast<std::uint16_t>(parent);
    ls_.suffix[code] = static_cast<std::uint8_t>(c);
    ls_.first_child[code] = 0;
    ls_.next_sibling[code] = ls_.first_child[parent];
    ls_.first_child[parent] = static_cast<std::uint16_t>(code);
  }

  // Finds the longest string in the dictionary for the pixels from i on, each
  // exact or a stand-in within the budget (ties: the smaller summed error).
  // Depth first, exact extension first, so with no stand-ins it is plain LZW.
  // Rewrites those pixels to the string's, moves i past them, returns its code.
  std::uint32_t Search(std::uint8_t* px, std::size_t& i, std::size_t n) {
    Step* const stack = ls_.stack;
    const std::size_t left = n - i;
    Step& root = stack[0];
    root = Step{px[i], 0, 1, 0, {carry_[0] / 2, carry_[1] / 2, carry_[2] / 2}, false};
    Step best = root;
    std::size_t depth = 1;
    std::int32_t weighed = 0;
    while (depth > 0) {
      Step& s = stack[depth - 1];
      if (static_cast<std::size_t>(s.length) == left) {
        --depth;
        continue;
      }
      const std::uint32_t c = px[i + static_cast<std::size_t>(s.length)];
      Step& child = stack[depth];
      if (!s.exact_tried) {
        s.exact_tried = true;
        s.next = ls_.any_near[c] ? ls_.first_child[s.code] : 0;
        std::uint32_t slot = 0;
        std::uint32_t displaced = 0;
        const std::uint32_t code = Find(st_.table, c, s.code, slot, displaced);
        if (code == 0) continue;
        child.code = code;
        child.error = s.error;
        for (int ch = 0; ch < 3; ++ch) child.carry[ch] = s.carry[ch] / 2;
      } else {
        if (s.next == 0 || weighed >= kSearchLimit) {
          --depth;
          continue;
        }
        const std::uint32_t k = s.next;
        s.next = ls_.next_sibling[k];
        const std::uint32_t stand_in = ls_.suffix[k];
        if (stand_in == c || ls_.near[c * 256 + stand_in] == 0) continue;
        ++weighed;
        std::int32_t d[3];
        std::int32_t dist = 0;
        for (int ch = 0; ch < 3; ++ch) {
          d[ch] = ls_.rgb[c][ch] + s.carry[ch] - ls_.rgb[stand_in][ch];
          dist += d[ch] * d[ch];
        }
        // Also within the budget of the colour owed: no drifting one way.
        if (dist > budget_) continue;
        child.code = k;
        child.error = s.error + dist;
        for (int ch = 0; ch < 3; ++ch) child.carry[ch] = d[ch] / 2;
      }
      child.next = 0;
      child.length = s.length + 1;
      child.exact_tried = false;
      if (child.length > best.length || (child.length == best.length && child.error < best.error)) best = child;
      ++depth;
    }
    std::uint32_t code = best.code;
    for (std::size_t j = static_cast<std::size_t>(best.length) - 1; j > 0; --j) {
      px[i + j] = ls_.suffix[code];
      code = ls_.parent[code];
    }
    std::copy_n(best.carry, 3, carry_);
    i += static_cast<std::size_t>(best.length);
    return best.code;
  }

  LossyState& ls_;
  const std::int32_t budget_;
  std::int32_t carry_[3] = {0, 0, 0};
};

// Calls f(memory row, position in coding order) for each row of the frame.
template <typename F>
void ForEachRow(std::int32_t height, bool interlace, F&& f) {
  std::int32_t row = 0;
  std::int32_t pass = 0;
  for (std::int32_t k = 0; k < height; ++k) {
    f(row, k);
    row = interlace ? gif_format::NextInterlacedRow(row, pass, height) : row + 1;
  }
}

}  // namespace

bool EncodeFrame(ByteSink& out, const cDIB& raster, std::uint8_t InitialCodeWidth, std::int16_t Interlaced) {
  if (raster.BPP() != 8) return true;
  if (InitialCodeWidth < 3 || InitialCodeWidth > 9) return false;
  const std::int32_t width = raster.Width();
  const std::int32_t height = raster.Height();
  RasterByteView view;
  BindRasterByteView(view, raster);

  Encoder enc(ThreadState(), out, InitialCodeWidth);
  enc.Start();
  if (width <= 0 || height <= 0 || view.base == nullptr || view.row_length < width) {
    // No pixels: a bare clear/end pair keeps the stream well formed.
    return enc.Finish(false);
  }

  const bool interlace = Interlaced != 0;
  std::int32_t row = 0;
  std::int32_t pass = 0;
  const std::uint8_t* first = view.row(0);
  enc.SeedPrefix(first[0]);
  enc.Row(first + 1, first + width);
  for (std::int32_t rows_left = height - 1; rows_left > 0 && !enc.failed(); --rows_left) {
    // A frame of a hundred megapixels takes most of a second.
    if ((rows_left & 255) == 0) platform::CheckStop();
    row = interlace ? gif_format::NextInterlacedRow(row, pass, height) : row + 1;
    const std::uint8_t* p = view.row(row);
    enc.Row(p, p + width);
  }
  return enc.Finish();
}

bool EncodeFrameLossy(ByteSink& out, cDIB& raster, std::uint8_t InitialCodeWidth, std::int16_t Interlaced,
                      const LossyColours& colours, std::int32_t budget) {
  const std::int32_t width = raster.Width();
  const std::int32_t height = raster.Height();
  if (budget <= 0 || colours.table == nullptr || colours.entries <= 0 || raster.BPP() != 8 ||
      InitialCodeWidth < 3 || InitialCodeWidth > 9 || width <= 0 || height <= 0 || raster.lpBits() == nullptr ||
      raster.BytesPerScanline() < width) {
    return EncodeFrame(out, raster, InitialCodeWidth, Interlaced);
  }
  RasterByteView view;
  BindRasterByteView(view, raster);
  LossyState& ls = ThreadLossyState();
  const std::size_t w = static_cast<std::size_t>(width);
  const std::size_t n = w * static_cast<std::size_t>(height);
  if (ls.pixels.size() < n) ls.pixels.resize(n);
  const bool interlace = Interlaced != 0;
  std::uint32_t seen = 0;
  ForEachRow(height, interlace, [&](std::int32_t row, std::int32_t k) {
    const std::uint8_t* p = view.row(row);
    std::uint8_t* dst = ls.pixels.data() + static_cast<std::size_t>(k) * w;
    std::copy_n(p, w, dst);
    for (std::size_t x = 0; x < w; ++x) seen |= dst[x];
  });
  const std::uint32_t clear = 1u << (InitialCodeWidth - 1);
  if (seen >= clear) return false;  // as EncodeFrame: such a pixel reads as a control code

  PrepareColours(ls, colours, budget, static_cast<std::int32_t>(clear));
  LossyEncoder enc(ThreadState(), ls, out, InitialCodeWidth, budget);
  enc.Start();
  if (!enc.Frame(n)) return false;
  ForEachRow(height, interlace, [&](std::int32_t row, std::int32_t k) {
    std::copy_n(ls.pixels.data() + static_cast<std::size_t>(k) * w, w, view.row(row));
  });
  return true;
}

}  // namespace mGIFLZWEnc
}  // namespace zoetra

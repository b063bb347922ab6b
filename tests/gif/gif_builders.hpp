// Test helpers that assemble LZW code streams and GIF byte streams piece by
// piece, so tests can state exactly which bytes a reader gets, hostile ones included.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zoetra::test {

using Bytes = std::vector<std::uint8_t>;

// Packs codes least significant bit first, as GIF image data is laid out.
class BitPacker {
 public:
  void Put(std::uint32_t code, int width) {
    acc_ |= static_cast<std::uint64_t>(code) << bits_;
    bits_ += width;
    while (bits_ >= 8) {
      out_.push_back(static_cast<std::uint8_t>(acc_));
      acc_ >>= 8;
      bits_ -= 8;
    }
  }
  // (code, width) pairs in stream order.
  void Put(std::initializer_list<std::pair<std::uint32_t, int>> codes) {
    for (auto [c, w] : codes) Put(c, w);
  }
  Bytes Finish() {
    Bytes b = out_;
    if (bits_ > 0) b.push_back(static_cast<std::uint8_t>(acc_));
    return b;
  }

 private:
  Bytes out_;
  std::uint64_t acc_ = 0;
  int bits_ = 0;
};

// A plain dictionary LZW encoder written from the format's rules, independent
// of the library's encoder. With `deferred_clear` a full table is kept and the
// stream goes on without a clear code; otherwise a clear code restarts it.
inline Bytes LzwReference(const std::vector<std::uint8_t>& pixels, int min_code_size, bool deferred_clear = false) {
  const std::uint32_t clear = 1u << min_code_size;
  const int initial_width = min_code_size + 1;
  BitPacker out;
  int width = initial_width;
  std::uint32_t next = clear + 2;
  std::unordered_map<std::uint32_t, std::uint32_t> dict;
  auto emit = [&](std::uint32_t code) {
    out.Put(code, width);
    if (next > (1u << width) - 1 && width < 12) ++width;
  };
  emit(clear);
  if (pixels.empty()) {
    emit(clear + 1);
    return out.Finish();
  }
  std::uint32_t prefix = pixels[0];
  for (std::size_t i = 1; i < pixels.size(); ++i) {
    const std::uint32_t key = (prefix << 8) | pixels[i];
    if (auto it = dict.find(key); it != dict.end()) {
      prefix = it->second;
      continue;
    }
    emit(prefix);
    if (next < 4096) {
      dict.emplace(key, next++);
    } else if (!deferred_clear) {
      emit(clear);
      dict.clear();
      next = clear + 2;
      width = initial_width;
    }
    prefix = pixels[i];
  }
  emit(prefix);
  emit(clear + 1);
  return out.Finish();
}

// Builds a GIF byte stream block by block.
class GifBuilder {
 public:
  GifBuilder& Raw(std::initializer_list<std::uint8_t> bytes) {
    b_.insert(b_.end(), bytes);
    return *this;
  }
  GifBuilder& Raw(const Bytes& bytes) {
    b_.insert(b_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  GifBuilder& Text(std::string_view s) {
    b_.insert(b_.end(), s.begin(), s.end());
    return *this;
  }
  GifBuilder& U16(std::uint32_t v) { return Raw({static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}); }

  GifBuilder& Header(std::string_view version = "89a") { return Text("GIF").Text(version); }
  GifBuilder& Screen(std::uint16_t w, std::uint16_t h, std::uint8_t packed = 0, std::uint8_t background = 0,
                     std::uint8_t aspect = 0) {
    return U16(w).U16(h).Raw({packed, background, aspect});
  }
  // `entries` colours: entry i is (r, g, b) = (i, 2i, 3i) mod 256 plus `salt`, so tables differ.
  GifBuilder& ColourTable(int entries, std::uint8_t salt = 0) {
    for (int i = 0; i < entries; ++i) {
      Raw({static_cast<std::uint8_t>(i + salt), static_cast<std::uint8_t>(2 * i + salt),
           static_cast<std::uint8_t>(3 * i + salt)});
    }
    return *this;
  }
  GifBuilder& Netscape(std::uint8_t lo, std::uint8_t hi) {
    Raw({0x21, 0xFF, 0x0B}).Text("NETSCAPE2.0");
    return Raw({0x03, 0x01, lo, hi, 0x00});
  }
  GifBuilder& AppExt(std::string_view id11, const Bytes& payload) {
    Raw({0x21, 0xFF, 0x0B}).Text(id11);
    return SubBlocks(payload);
  }
  GifBuilder& Gce(std::uint8_t packed, std::uint16_t delay, std::uint8_t transparent) {
    return Raw({0x21, 0xF9, 0x04, packed}).U16(delay).Raw({transparent, 0x00});
  }
  GifBuilder& Comment(std::string_view text) {
    Raw({0x21, 0xFE});
    return SubBlocks(Bytes(text.begin(), text.end()));
  }
  GifBuilder& PlainText(std::string_view text) {
    // 12-byte plain text header sub-block, then the text.
    Raw({0x21, 0x01, 0x0C, 0, 0, 0, 0, 8, 0, 8, 0, 8, 8, 1, 0});
    Raw({static_cast<std::uint8_t>(text.size())}).Text(text);
    return Raw({0x00});
  }
  GifBuilder& Image(std::uint16_t left, std::uint16_t top, std::uint16_t w, std::uint16_t h, std::uint8_t packed) {
    return Raw({0x2C}).U16(left).U16(top).U16(w).U16(h).Raw({packed});
  }
  // Minimum code size, the data in sub-blocks of at most `chunk` bytes, terminator.
  GifBuilder& ImageData(std::uint8_t min_code_size, const Bytes& lzw, std::size_t chunk = 255) {
    Raw({min_code_size});
    return SubBlocks(lzw, chunk);
  }
  GifBuilder& SubBlocks(const Bytes& payload, std::size_t chunk = 255) {
    for (std::size_t i = 0; i < payload.size(); i += chunk) {
      const std::size_t n = std::min(chunk, payload.size() - i);
      b_.push_back(static_cast<std::uint8_t>(n));
      b_.insert(b_.end(), payload.begin() + static_cast<std::ptrdiff_t>(i),
                payload.begin() + static_cast<std::ptrdiff_t>(i + n));
    }
    b_.push_back(0x00);
    return *this;
  }
  GifBuilder& Trailer() { return Raw({0x3B}); }

  const Bytes& bytes() const { return b_; }
  std::size_t size() const { return b_.size(); }

 private:
  Bytes b_;
};

}  // namespace zoetra::test

// Bounds-checked little-endian reads from a byte span, for the file decoders.
//
// Every read says whether the bytes exist; nothing here reads past the span.
// Offsets and lengths are 64-bit so that sums of untrusted 32-bit fields
// cannot wrap before they are compared with the span's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zoetra::platform::detail {

class LeBytes {
 public:
  LeBytes() = default;
  explicit LeBytes(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::uint64_t size() const { return bytes_.size(); }
  // True when [offset, offset + length) lies inside the span.
  bool Has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }
  // The sub-span [offset, offset + length); empty when out of bounds.
  std::span<const std::uint8_t> Sub(std::uint64_t offset, std::uint64_t length) const {
    if (!Has(offset, length)) return {};
    return bytes_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
  }
  std::span<const std::uint8_t> From(std::uint64_t offset) const {
    if (offset > bytes_.size()) return {};
    return bytes_.subspan(static_cast<std::size_t>(offset));
  }

  bool U8(std::uint64_t offset, std::uint8_t* out) const {
    if (!Has(offset, 1)) return false;
    *out = bytes_[static_cast<std::size_t>(offset)];
    return true;
  }
  bool U16(std::uint64_t offset, std::uint16_t* out) const {
    if (!Has(offset, 2)) return false;
    const std::uint8_t* p = bytes_.data() + offset;
    *out = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
    return true;
  }
  bool U32(std::uint64_t offset, std::uint32_t* out) const {
    if (!Has(offset, 4)) return false;
    const std::uint8_t* p = bytes_.data() + offset;
    *out = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    return true;
  }
  bool I32(std::uint64_t offset, std::int32_t* out) const {
    std::uint32_t v = 0;
    if (!U32(offset, &v)) return false;
    *out = static_cast<std::int32_t>(v);
    return true;
  }

  // Reads for callers that proved the range with Has(); 0 when out of range.
  std::uint16_t U16At(std::uint64_t offset) const {
    std::uint16_t v = 0;
    U16(offset, &v);
    return v;
  }
  std::uint32_t U32At(std::uint64_t offset) const {
    std::uint32_t v = 0;
    U32(offset, &v);
    return v;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace zoetra::platform::detail

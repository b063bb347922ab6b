#include "gif/gif_blocks.hpp"

#include "gif/gif_format.hpp"

namespace zoetra::gif_blocks {
namespace {

using gif_format::kExtensionIntroducer;

void PutU16(std::uint8_t* p, std::int32_t v) {
  const auto u = static_cast<std::uint16_t>(static_cast<std::int16_t>(v));
  p[0] = static_cast<std::uint8_t>(u & 0xFF);
  p[1] = static_cast<std::uint8_t>(u >> 8);
}

bool WriteByte(Sink& out, std::uint8_t byte) { return out.Write(std::span<const std::uint8_t>(&byte, 1)); }

}  // namespace

std::int32_t TableExponent(std::int32_t entries) {
  std::int32_t e = 1;
  while ((1 << e) < entries) ++e;
  return e;
}

bool WriteHeader(Sink& out, bool gif89, const std::array<std::uint8_t, 7>& screen) {
  std::array<std::uint8_t, 13> head{'G', 'I', 'F', '8', gif89 ? std::uint8_t{'9'} : std::uint8_t{'7'}, 'a'};
  for (std::size_t i = 0; i < screen.size(); ++i) head[6 + i] = screen[i];
  return out.Write(head);
}

bool WriteColourTable(Sink& out, const std::uint8_t* table, std::int32_t entries, std::int32_t exponent) {
  std::array<std::uint8_t, 3 * kMaxTableEntries> rgb{};
  for (std::int32_t i = 0; i < entries; ++i) {
    const std::uint8_t* quad = table + 4 * i;
    rgb[3 * i] = quad[2];
    rgb[3 * i + 1] = quad[1];
    rgb[3 * i + 2] = quad[0];
  }
  return out.Write(std::span<const std::uint8_t>(rgb.data(), static_cast<std::size_t>(3) << exponent));
}

bool WriteLoopBlock(Sink& out, std::int16_t loops) {
  std::array<std::uint8_t, 19> loop{kExtensionIntroducer, gif_format::kApplicationLabel, 0x0B, 'N', 'E', 'T', 'S',
                                    'C', 'A', 'P', 'E', '2', '.', '0', 0x03, 0x01, 0, 0, 0x00};
  PutU16(loop.data() + 16, loops);
  return out.Write(loop);
}

std::int32_t MinCodeSize(const FrameHead& frame, std::int32_t global_exponent) {
  const std::int32_t e = frame.local_table != nullptr ? TableExponent(frame.local_entries) : global_exponent;
  return e < 2 ? 2 : e;
}

bool WriteFrameStart(Sink& out, const FrameHead& r, std::int32_t global_exponent) {
  const bool local = r.local_table != nullptr;
  std::int32_t l = 0;
  if (local) {
    if (r.local_entries > kMaxTableEntries) return false;
    l = TableExponent(r.local_entries);
  }
  const std::int32_t control = (r.use_transparent ? 0x01 : 0) | (r.user_input ? 0x02 : 0) | r.disposal * 4;
  if (control > 0xFF || control < 0) return false;
  const auto delay = static_cast<std::uint16_t>(r.delay);
  const std::array<std::uint8_t, 8> gce{kExtensionIntroducer,
                                        gif_format::kGraphicControlLabel,
                                        0x04,
                                        static_cast<std::uint8_t>(control),
                                        static_cast<std::uint8_t>(delay & 0xFF),
                                        static_cast<std::uint8_t>(delay >> 8),
                                        r.use_transparent ? r.transparent_index : std::uint8_t{0},
                                        0x00};
  if (!out.Write(gce)) return false;

  if (r.width > kMaxSide || r.height > kMaxSide) return false;
  // Without either table the size field would be -1: no valid descriptor exists.
  const std::int32_t size_field = local ? l - 1 : global_exponent - 1;
  if (size_field < 0) return false;
  std::array<std::uint8_t, 10> descriptor{gif_format::kImageSeparator};
  PutU16(descriptor.data() + 1, r.left);
  PutU16(descriptor.data() + 3, r.top);
  PutU16(descriptor.data() + 5, r.width);
  PutU16(descriptor.data() + 7, r.height);
  descriptor[9] = static_cast<std::uint8_t>(size_field | (r.local_sorted ? 0x20 : 0) | (r.interlaced ? 0x40 : 0) |
                                            (local ? 0x80 : 0));
  if (!out.Write(descriptor)) return false;
  if (local && !WriteColourTable(out, r.local_table, r.local_entries, l)) return false;
  return WriteByte(out, static_cast<std::uint8_t>(MinCodeSize(r, global_exponent)));
}

bool WriteFrameEnd(Sink& out) { return WriteByte(out, 0x00); }

bool WriteTrailer(Sink& out) { return WriteByte(out, gif_format::kTrailer); }

}  // namespace zoetra::gif_blocks

#include "platform/codecs/exif_orientation.hpp"

#include <libexif/exif-data.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace zoetra::platform {

namespace {

constexpr std::size_t kHeadBytes = 256 * 1024;
constexpr int kUpright = 1;
constexpr std::uint8_t kExifSignature[6] = {'E', 'x', 'i', 'f', 0, 0};

// The payload of the first APP1 segment that holds an EXIF block, signature
// included; empty when there is none before the first scan, or the markers
// are damaged on the way there.
std::span<const std::uint8_t> FindExifSegment(std::span<const std::uint8_t> file) {
  const std::size_t size = file.size();
  if (size < 4 || file[0] != 0xFF || file[1] != 0xD8) return {};
  std::size_t pos = 2;
  while (pos < size) {
    if (file[pos] != 0xFF) return {};
    // Any number of fill bytes may precede a marker code.
    while (pos < size && file[pos] == 0xFF) ++pos;
    if (pos >= size) return {};
    const std::uint8_t marker = file[pos++];
    // Standalone markers carry no length.
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    // The first scan, or the end: the tables and EXIF come before either.
    if (marker == 0xDA || marker == 0xD9 || marker == 0x00) return {};
    if (size - pos < 2) return {};
    const std::size_t length = (std::size_t{file[pos]} << 8) | file[pos + 1];
    if (length < 2 || length > size - pos) return {};
    const std::span<const std::uint8_t> payload = file.subspan(pos + 2, length - 2);
    if (marker == 0xE1 && payload.size() >= sizeof kExifSignature &&
        std::memcmp(payload.data(), kExifSignature, sizeof kExifSignature) == 0) {
      return payload;
    }
    pos += length;
  }
  return {};
}

struct ExifDataRelease {
  void operator()(ExifData* data) const { exif_data_unref(data); }
};

}  // namespace

int JpegOrientation(std::span<const std::uint8_t> file) noexcept {
  const std::span<const std::uint8_t> segment = FindExifSegment(file);
  if (segment.empty()) return kUpright;
  const std::unique_ptr<ExifData, ExifDataRelease> data(exif_data_new());
  if (!data) return kUpright;
  // Read the block as recorded: the library must not add or fix entries.
  exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(data.get(), segment.data(), static_cast<unsigned int>(segment.size()));
  ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (entry == nullptr || entry->format != EXIF_FORMAT_SHORT || entry->components < 1 || entry->data == nullptr ||
      entry->size < 2) {
    return kUpright;
  }
  const int value = exif_get_short(entry->data, exif_data_get_byte_order(data.get()));
  return value >= 1 && value <= 8 ? value : kUpright;
}

int JpegFileOrientation(std::string_view path) noexcept {
  try {
    const std::string name(path);
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (f == nullptr) return kUpright;
    std::vector<std::uint8_t> head(kHeadBytes);
    const std::size_t got = std::fread(head.data(), 1, head.size(), f);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) return kUpright;
    head.resize(got);
    return JpegOrientation(head);
  } catch (...) {
    // No memory for the path or the buffer: treated as unreadable.
    return kUpright;
  }
}

}  // namespace zoetra::platform

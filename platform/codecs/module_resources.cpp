#include "platform/codecs/module_resources.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/codecs/bmp_reader.hpp"
#include "platform/base/files.hpp"
#include "platform/base/le_bytes.hpp"
#include "platform/base/limits.hpp"

namespace zoetra::platform {
namespace {

using detail::LeBytes;

constexpr std::uint16_t kDosSignature = 0x5A4D;      // "MZ"
constexpr std::uint32_t kPeSignature = 0x00004550;   // "PE\0\0"
constexpr std::uint64_t kDosNewHeaderField = 0x3C;
constexpr std::uint64_t kCoffHeaderSize = 20;
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr std::uint64_t kSectionHeaderSize = 40;
constexpr std::uint64_t kDirectoryHeaderSize = 16;
constexpr std::uint64_t kDirectoryEntrySize = 8;
constexpr std::uint64_t kDataEntrySize = 16;
constexpr std::uint32_t kHighBit = 0x80000000u;

struct Section {
  std::uint64_t va;
  std::uint64_t readable;  // bytes of the section present in the file
  std::uint64_t file_offset;
};

ResourceData Fail(ResourceStatus status, std::string_view why = {}) {
  ResourceData r;
  r.status = status;
  r.why = why;
  return r;
}

class ModuleImage {
 public:
  explicit ModuleImage(const LeBytes& in) : in_(in) {}

  void AddSection(std::uint32_t va, std::uint32_t raw_size, std::uint32_t raw_pointer) {
    if (raw_pointer >= in_.size()) return;  // nothing of it in the file
    const std::uint64_t present = std::min<std::uint64_t>(raw_size, in_.size() - raw_pointer);
    sections_.push_back(Section{va, present, raw_pointer});
  }

  // File offset of [rva, rva + length) when one section holds all of it.
  std::optional<std::uint64_t> Resolve(std::uint64_t rva, std::uint64_t length) const {
    for (const Section& s : sections_) {
      if (rva >= s.va && rva - s.va <= s.readable && length <= s.readable - (rva - s.va)) {
        return s.file_offset + (rva - s.va);
      }
    }
    return std::nullopt;
  }

 private:
  const LeBytes& in_;
  std::vector<Section> sections_;
};

enum class Pick { ById, First };

// The OffsetToData field of the matching entry of the directory at `dir_rva`.
std::optional<std::uint32_t> FindEntry(const LeBytes& in, const ModuleImage& image, std::uint64_t dir_rva, Pick pick,
                                       std::uint32_t id, bool* malformed) {
  const auto head = image.Resolve(dir_rva, kDirectoryHeaderSize);
  if (!head) {
    *malformed = true;
    return std::nullopt;
  }
  const std::uint64_t named = in.U16At(*head + 12);
  const std::uint64_t ids = in.U16At(*head + 14);
  const auto entries = image.Resolve(dir_rva + kDirectoryHeaderSize, (named + ids) * kDirectoryEntrySize);
  if (!entries) {
    *malformed = true;
    return std::nullopt;
  }
  if (pick == Pick::First) {
    if (named + ids == 0) return std::nullopt;
    return in.U32At(*entries + 4);
  }
  // Integer ids follow the named entries.
  for (std::uint64_t i = named; i < named + ids; ++i) {
    const std::uint64_t e = *entries + i * kDirectoryEntrySize;
    const std::uint32_t name = in.U32At(e);
    if ((name & kHighBit) == 0 && name == id) return in.U32At(e + 4);
  }
  return std::nullopt;
}

}  // namespace

ResourceData FindModuleResource(std::span<const std::uint8_t> module, std::uint32_t type, std::uint32_t id) {
  const LeBytes in(module);
  std::uint16_t dos = 0;
  std::uint32_t pe = 0, signature = 0;
  if (!in.U16(0, &dos) || dos != kDosSignature || !in.U32(kDosNewHeaderField, &pe) || !in.U32(pe, &signature) ||
      signature != kPeSignature) {
    return Fail(ResourceStatus::NotAModule);
  }
  const std::uint64_t coff = std::uint64_t{pe} + 4;
  if (!in.Has(coff, kCoffHeaderSize)) return Fail(ResourceStatus::Malformed, "file header is truncated");
  const std::uint64_t section_count = in.U16At(coff + 2);
  const std::uint64_t optional_size = in.U16At(coff + 16);
  const std::uint64_t optional = coff + kCoffHeaderSize;
  if (!in.Has(optional, optional_size)) return Fail(ResourceStatus::Malformed, "optional header is truncated");

  std::uint16_t magic = 0;
  in.U16(optional, &magic);
  std::uint64_t count_at = 0, dirs_at = 0;
  if (magic == kPe32Magic) {
    count_at = 92;
    dirs_at = 96;
  } else if (magic == kPe32PlusMagic) {
    count_at = 108;
    dirs_at = 112;
  } else {
    return Fail(ResourceStatus::Malformed, "unknown optional header");
  }
  if (optional_size < count_at + 4) return Fail(ResourceStatus::NoResources);
  const std::uint32_t dir_count = in.U32At(optional + count_at);
  const std::uint64_t rsrc_field = dirs_at + kResourceDirectoryIndex * 8;
  if (dir_count <= kResourceDirectoryIndex || optional_size < rsrc_field + 8) return Fail(ResourceStatus::NoResources);
  const std::uint32_t rsrc_rva = in.U32At(optional + rsrc_field);
  const std::uint32_t rsrc_size = in.U32At(optional + rsrc_field + 4);
  if (rsrc_rva == 0 || rsrc_size == 0) return Fail(ResourceStatus::NoResources);

  const std::uint64_t sections = optional + optional_size;
  if (!in.Has(sections, section_count * kSectionHeaderSize)) {
    return Fail(ResourceStatus::Malformed, "section table is truncated");
  }
  ModuleImage image(in);
  for (std::uint64_t i = 0; i < section_count; ++i) {
    const std::uint64_t s = sections + i * kSectionHeaderSize;
    image.AddSection(in.U32At(s + 12), in.U32At(s + 16), in.U32At(s + 20));
  }

  // Directory offsets count from the start of the resource directory; a set
  // high bit marks a subdirectory, a clear one a data entry.
  bool malformed = false;
  const auto type_entry = FindEntry(in, image, rsrc_rva, Pick::ById, type, &malformed);
  if (malformed) return Fail(ResourceStatus::Malformed, "resource directory lies outside the file");
  if (!type_entry) return Fail(ResourceStatus::NotFound);
  if ((*type_entry & kHighBit) == 0) return Fail(ResourceStatus::Malformed, "resource type is not a directory");
  const auto name_entry =
      FindEntry(in, image, std::uint64_t{rsrc_rva} + (*type_entry & ~kHighBit), Pick::ById, id, &malformed);
  if (malformed) return Fail(ResourceStatus::Malformed, "resource directory lies outside the file");
  if (!name_entry) return Fail(ResourceStatus::NotFound);
  if ((*name_entry & kHighBit) == 0) return Fail(ResourceStatus::Malformed, "resource name is not a directory");
  const auto language_entry =
      FindEntry(in, image, std::uint64_t{rsrc_rva} + (*name_entry & ~kHighBit), Pick::First, 0, &malformed);
  if (malformed) return Fail(ResourceStatus::Malformed, "resource directory lies outside the file");
  if (!language_entry) return Fail(ResourceStatus::NotFound);
  if ((*language_entry & kHighBit) != 0) return Fail(ResourceStatus::Malformed, "resource nests too deeply");

  const auto data_entry = image.Resolve(std::uint64_t{rsrc_rva} + *language_entry, kDataEntrySize);
  if (!data_entry) return Fail(ResourceStatus::Malformed, "resource data entry lies outside the file");
  const std::uint32_t data_rva = in.U32At(*data_entry);
  const std::uint32_t data_size = in.U32At(*data_entry + 4);
  const auto data = image.Resolve(data_rva, data_size);
  if (!data) return Fail(ResourceStatus::Malformed, "resource data lies outside the file");
  ResourceData found;
  found.status = ResourceStatus::Found;
  found.bytes = in.Sub(*data, data_size);
  return found;
}

HBITMAP LoadResourceBitmap(std::string_view path, std::int32_t id) noexcept {
  // Integer resource ids are 16-bit.
  if (id <= 0 || id > 0xFFFF) return 0;
  try {
    const std::vector<std::uint8_t> module =
        ReadFileBytes(path, static_cast<std::size_t>(std::max<std::int64_t>(0, GetLimits().max_file_bytes)));
    const ResourceData resource = FindModuleResource(module, kRtBitmap, static_cast<std::uint32_t>(id));
    if (resource.status != ResourceStatus::Found) return 0;
    return DecodePackedDib(resource.bytes);
  } catch (...) {
    return 0;
  }
}

}  // namespace zoetra::platform

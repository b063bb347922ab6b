// Resources of module files (Windows PE executables, .dll/.exe, 32- or
// 64-bit), read as data: the file is parsed, never loaded or run.
//
// The walk is DOS header -> PE header -> section table -> resource directory
// -> type -> integer id -> first language -> data entry; every offset is
// checked against the file and the section that holds it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/drawing/gdi.hpp"

namespace zoetra::platform {

inline constexpr std::uint32_t kRtBitmap = 2;

enum class ResourceStatus {
  Found,
  NotAModule,      // no DOS/PE signature
  Malformed,       // a header, directory or offset lies outside the file
  NoResources,     // the module has no resource directory
  NotFound,        // no resource of that type and id
};

struct ResourceData {
  ResourceStatus status = ResourceStatus::NotFound;
  std::span<const std::uint8_t> bytes;  // inside the given module bytes
  std::string_view why;                 // for Malformed: what is wrong
};

// Resource `type`/`id` (integer ids only) of the module held in `module`.
ResourceData FindModuleResource(std::span<const std::uint8_t> module, std::uint32_t type, std::uint32_t id);

// The drawing layer's loader for bitmap resources: module file `path` read
// (within the file-size limit), resource RT_BITMAP `id` decoded as a packed
// bitmap (platform/codecs/bmp_reader.hpp). 0 on any failure, never raises.
HBITMAP LoadResourceBitmap(std::string_view path, std::int32_t id) noexcept;

}  // namespace zoetra::platform

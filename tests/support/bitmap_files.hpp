// Test helper: bitmap files, packed bitmaps and resource modules built byte
// by byte, so tests, the fuzz corpus and the benchmarks share one writer.
// Free of GoogleTest so the fuzz and benchmark programs can include it.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

namespace zoetra::test {

using Bytes = std::vector<std::uint8_t>;

// --- little-endian byte building ------------------------------------------------

inline void Put16(Bytes& b, std::uint32_t v) { b.insert(b.end(), {std::uint8_t(v), std::uint8_t(v >> 8)}); }
inline void Put32(Bytes& b, std::uint32_t v) {
  b.insert(b.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)});
}
inline void Set32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
}
inline void Set16(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = std::uint8_t(v);
  b[at + 1] = std::uint8_t(v >> 8);
}

// A bitmap header of 12, 40, 52, 56, 108 or 124 bytes.
struct DibHeader {
  std::uint32_t size = 40;
  std::int32_t width = 1;
  std::int32_t height = 1;
  std::uint16_t bpp = 24;
  std::uint32_t compression = 0;
  std::uint32_t clr_used = 0;
  std::uint32_t masks[4] = {0, 0, 0, 0};  // inside the header for sizes >= 52
};

inline Bytes HeaderBytes(const DibHeader& h) {
  Bytes b;
  if (h.size == 12) {
    Put32(b, 12);
    Put16(b, static_cast<std::uint32_t>(h.width));
    Put16(b, static_cast<std::uint32_t>(h.height));
    Put16(b, 1);
    Put16(b, h.bpp);
    return b;
  }
  Put32(b, h.size);
  Put32(b, static_cast<std::uint32_t>(h.width));
  Put32(b, static_cast<std::uint32_t>(h.height));
  Put16(b, 1);
  Put16(b, h.bpp);
  Put32(b, h.compression);
  Put32(b, 0);  // image size
  Put32(b, 2835);
  Put32(b, 2835);
  Put32(b, h.clr_used);
  Put32(b, 0);
  for (int i = 0; i < 4 && b.size() < h.size; ++i) Put32(b, h.masks[i]);
  b.resize(h.size, 0);
  return b;
}

// A bitmap file: file header, header, `between` (masks after a 40-byte
// header, colour table), then `pixels` at the offset the header declares.
inline Bytes BitmapFile(const DibHeader& h, const Bytes& between, const Bytes& pixels) {
  Bytes body = HeaderBytes(h);
  body.insert(body.end(), between.begin(), between.end());
  Bytes file;
  file.push_back('B');
  file.push_back('M');
  Put32(file, static_cast<std::uint32_t>(14 + body.size() + pixels.size()));
  Put32(file, 0);
  Put32(file, static_cast<std::uint32_t>(14 + body.size()));
  file.insert(file.end(), body.begin(), body.end());
  file.insert(file.end(), pixels.begin(), pixels.end());
  return file;
}

inline Bytes PackedDib(const DibHeader& h, const Bytes& between, const Bytes& pixels) {
  Bytes dib = HeaderBytes(h);
  dib.insert(dib.end(), between.begin(), between.end());
  dib.insert(dib.end(), pixels.begin(), pixels.end());
  return dib;
}

// --- a minimal PE module with one resource section -----------------------------

struct ModuleResource {
  std::uint32_t type;
  std::uint32_t id;
  std::uint32_t language;
  Bytes data;
};

// Lays out: DOS header, PE header, optional header (PE32 or PE32+), one
// ".rsrc" section at RVA 0x1000 holding the three-level resource tree and
// the data. `named_types` adds a named type entry before the id entries.
inline Bytes BuildModule(const std::vector<ModuleResource>& resources, bool pe32_plus = false,
                         bool named_types = false) {
  constexpr std::uint32_t kSectionRva = 0x1000;
  constexpr std::uint32_t kFileAlign = 0x200;
  // Group: type -> id -> language -> resource index.
  std::map<std::uint32_t, std::map<std::uint32_t, std::map<std::uint32_t, std::size_t>>> tree;
  for (std::size_t i = 0; i < resources.size(); ++i) {
    tree[resources[i].type][resources[i].id][resources[i].language] = i;
  }
  // Directory sizes first, then data entries, then data.
  Bytes rsrc;
  auto dir = [&](std::size_t named, std::size_t ids) {
    const std::size_t at = rsrc.size();
    rsrc.resize(at + 16 + (named + ids) * 8, 0);
    Set16(rsrc, at + 12, static_cast<std::uint32_t>(named));
    Set16(rsrc, at + 14, static_cast<std::uint32_t>(ids));
    return at;
  };
  const std::size_t extra = named_types ? 1 : 0;
  const std::size_t root = dir(extra, tree.size());
  std::vector<std::pair<std::size_t, std::size_t>> data_entries;  // entry offset, resource index
  std::size_t slot = 0;
  if (named_types) {
    // A named type whose name offset and subdirectory both point at the root.
    Set32(rsrc, root + 16, 0x80000000u | 0);
    Set32(rsrc, root + 20, 0x80000000u | 0);
    ++slot;
  }
  for (const auto& [type, ids] : tree) {
    const std::size_t type_dir = dir(0, ids.size());
    Set32(rsrc, root + 16 + slot * 8, type);
    Set32(rsrc, root + 20 + slot * 8, 0x80000000u | static_cast<std::uint32_t>(type_dir));
    ++slot;
    std::size_t id_slot = 0;
    for (const auto& [id, languages] : ids) {
      const std::size_t lang_dir = dir(0, languages.size());
      Set32(rsrc, type_dir + 16 + id_slot * 8, id);
      Set32(rsrc, type_dir + 20 + id_slot * 8, 0x80000000u | static_cast<std::uint32_t>(lang_dir));
      ++id_slot;
      std::size_t lang_slot = 0;
      for (const auto& [language, index] : languages) {
        const std::size_t entry = rsrc.size();
        rsrc.resize(entry + 16, 0);
        Set32(rsrc, lang_dir + 16 + lang_slot * 8, language);
        Set32(rsrc, lang_dir + 20 + lang_slot * 8, static_cast<std::uint32_t>(entry));
        ++lang_slot;
        data_entries.emplace_back(entry, index);
      }
    }
  }
  for (const auto& [entry, index] : data_entries) {
    while (rsrc.size() % 4) rsrc.push_back(0);
    Set32(rsrc, entry, kSectionRva + static_cast<std::uint32_t>(rsrc.size()));
    Set32(rsrc, entry + 4, static_cast<std::uint32_t>(resources[index].data.size()));
    rsrc.insert(rsrc.end(), resources[index].data.begin(), resources[index].data.end());
  }

  const std::uint32_t optional_size = pe32_plus ? 240 : 224;
  Bytes m(0x40, 0);
  m[0] = 'M';
  m[1] = 'Z';
  Set32(m, 0x3C, 0x40);
  Put32(m, 0x00004550);
  Put16(m, pe32_plus ? 0x8664 : 0x14C);
  Put16(m, 1);  // sections
  Put32(m, 0);
  Put32(m, 0);
  Put32(m, 0);
  Put16(m, optional_size);
  Put16(m, 0x2102);  // executable, 32-bit, DLL
  const std::size_t opt = m.size();
  m.resize(opt + optional_size, 0);
  Set16(m, opt, pe32_plus ? 0x20B : 0x10B);
  const std::size_t count_at = opt + (pe32_plus ? 108 : 92);
  const std::size_t dirs_at = opt + (pe32_plus ? 112 : 96);
  Set32(m, count_at, 16);
  Set32(m, dirs_at + 2 * 8, kSectionRva);
  Set32(m, dirs_at + 2 * 8 + 4, static_cast<std::uint32_t>(rsrc.size()));
  // Section header.
  const std::size_t sec = m.size();
  m.resize(sec + 40, 0);
  std::memcpy(&m[sec], ".rsrc", 5);
  const std::uint32_t raw_size = static_cast<std::uint32_t>((rsrc.size() + kFileAlign - 1) / kFileAlign * kFileAlign);
  Set32(m, sec + 8, static_cast<std::uint32_t>(rsrc.size()));
  Set32(m, sec + 12, kSectionRva);
  Set32(m, sec + 16, raw_size);
  Set32(m, sec + 20, kFileAlign);
  Set32(m, sec + 36, 0x40000040);  // initialised data, readable
  m.resize(kFileAlign, 0);
  m.insert(m.end(), rsrc.begin(), rsrc.end());
  m.resize(kFileAlign + raw_size, 0);
  return m;
}

}  // namespace zoetra::test

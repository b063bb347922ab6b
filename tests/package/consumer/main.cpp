// Built against an installed Zoetra with its one include folder: the public
// class, its version, the classic calls, and a GIF written to memory through
// a building block.
#include <zoetra/blocks/gif/cgif.hpp>
#include <zoetra/compat.h>
#include <zoetra/zoetra.h>
#include <zoetra/zoetra.hpp>

#include <cstdio>
#include <string_view>

int main() {
  // The headers, the library and the CMake package tell one version.
  if (zoetra::Version() != ZOETRA_VERSION_STRING ||
      std::string_view(zoetra_version()) != ZOETRA_VERSION_STRING ||
      std::string_view(ZOETRA_PACKAGE_VERSION) != ZOETRA_VERSION_STRING) {
    std::fprintf(stderr, "versions differ: library %s, headers %s, package %s\n", zoetra_version(),
                 ZOETRA_VERSION_STRING, ZOETRA_PACKAGE_VERSION);
    return 5;
  }
  zoetra::Zoetra z;
  if (z.Sum(40, 2) != 42 || zoetra::kDispIdSum != ZOETRA_DISPID_SUM) return 1;
  zoetra::cGIF doc;
  doc.Destroy();
  std::vector<std::uint8_t> bytes;
  if (!doc.SaveToBuffer(bytes) || bytes.size() != 14) return 2;
  // The library's errors are caught by type across the library boundary.
  try {
    doc.FrameDelay(5);
    return 3;
  } catch (const zoetra::Error& e) {
    if (e.number() != 9) return 4;
  }
  std::puts("consumer ok");
  return 0;
}

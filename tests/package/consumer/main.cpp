// Built against an installed Zoetra: the public class and a GIF written to memory.
#include <cstdio>

#include "component/zoetra.hpp"
#include "gif/cgif.hpp"

int main() {
  zoetra::Zoetra z;
  if (z.Sum(40, 2) != 42) return 1;
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

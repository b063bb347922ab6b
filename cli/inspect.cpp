// zoetra info and zoetra frames: looking inside GIF files.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/commands.hpp"
#include "gif/cgif.hpp"
#include "platform/error.hpp"
#include "raster/cdib.hpp"

namespace zoetra::cli {
namespace {

bool Load(cGIF& doc, const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    std::fprintf(stderr, "zoetra: %s: %s\n", file.c_str(), std::strerror(errno));
    return false;
  }
  if (!doc.LoadFromFile(file)) {
    std::fprintf(stderr, "zoetra: %s: not a GIF file (or unreadable)\n", file.c_str());
    return false;
  }
  return true;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

const char* DisposalName(int d) {
  switch (d) {
    case 0: return "unspecified";
    case 1: return "keep";
    case 2: return "background";
    case 3: return "previous";
    default: return "reserved";
  }
}

}  // namespace

int RunInfo(const InfoOptions& o) {
  cGIF doc;
  if (!Load(doc, o.file)) return 1;
  const int frames = doc.FramesCount();
  const int global = doc.GlobalPaletteExists() ? doc.GlobalPaletteEntries() : 0;
  if (o.json) {
    std::printf("{\"file\": %s, \"version\": %s, \"width\": %d, \"height\": %d, \"loop_count\": %d, "
                "\"global_palette\": %d, \"background_index\": %d, \"frames\": [",
                JsonString(o.file).c_str(), JsonString(doc.Signature() + doc.Version()).c_str(),
                doc.ScreenWidth(), doc.ScreenHeight(), doc.AnimationLoops(), global,
                doc.ScreenBackgroundColorIndex());
    for (std::int16_t f = 1; f <= frames; ++f) {
      const cDIB& image = *doc.FrameDIBXOR(f);
      std::printf("%s{\"index\": %d, \"left\": %d, \"top\": %d, \"width\": %d, \"height\": %d, \"delay_cs\": %d, "
                  "\"disposal\": %d, \"transparent_index\": %s, \"interlaced\": %s, \"local_palette\": %d}",
                  f == 1 ? "" : ", ", f, doc.FrameLeft(f), doc.FrameTop(f), image.Width(), image.Height(),
                  doc.FrameDelay(f), doc.FrameDisposalMethod(f),
                  doc.FrameUseTransparentColor(f) ? std::to_string(doc.FrameTransparentColorIndex(f)).c_str() : "null",
                  doc.FrameInterlaced(f) ? "true" : "false",
                  doc.LocalPaletteUsed(f) ? doc.LocalPaletteEntries(f) : 0);
    }
    std::printf("]}\n");
    return 0;
  }
  std::printf("%s: %s%s, screen %d x %d, %d frame%s\n", o.file.c_str(), doc.Signature().c_str(),
              doc.Version().c_str(), doc.ScreenWidth(), doc.ScreenHeight(), frames, frames == 1 ? "" : "s");
  if (doc.AnimationLoops() == 0) {
    std::printf("  loop count: 0 (endless, or no looping block)\n");
  } else {
    std::printf("  loop count: %d\n", doc.AnimationLoops());
  }
  if (global > 0) {
    std::printf("  global palette: %d entries, background index %d\n", global, doc.ScreenBackgroundColorIndex());
  } else {
    std::printf("  global palette: none\n");
  }
  for (std::int16_t f = 1; f <= frames; ++f) {
    const cDIB& image = *doc.FrameDIBXOR(f);
    std::printf("  frame %d: %d x %d at (%d, %d), delay %d cs, disposal %d (%s), ", f, image.Width(),
                image.Height(), doc.FrameLeft(f), doc.FrameTop(f), doc.FrameDelay(f), doc.FrameDisposalMethod(f),
                DisposalName(doc.FrameDisposalMethod(f)));
    if (doc.FrameUseTransparentColor(f)) {
      std::printf("transparent index %d, ", doc.FrameTransparentColorIndex(f));
    } else {
      std::printf("opaque, ");
    }
    if (doc.LocalPaletteUsed(f)) {
      std::printf("local palette %d entries%s\n", doc.LocalPaletteEntries(f), doc.FrameInterlaced(f) ? ", interlaced" : "");
    } else {
      std::printf("global palette%s\n", doc.FrameInterlaced(f) ? ", interlaced" : "");
    }
  }
  return 0;
}

int RunFrames(const FramesOptions& o) {
  cGIF doc;
  if (!Load(doc, o.file)) return 1;
  if (::mkdir(o.directory.c_str(), 0777) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "zoetra: %s: %s\n", o.directory.c_str(), std::strerror(errno));
    return 1;
  }
  try {
    const int w = doc.ScreenWidth(), h = doc.ScreenHeight();
    cDIB canvas;
    if (w <= 0 || h <= 0 || !canvas.Create(w, h, 32)) {
      std::fprintf(stderr, "zoetra: %s: the logical screen is empty (%d x %d)\n", o.file.c_str(), w, h);
      return 1;
    }
    // Disposal 2 restores the background colour of the global palette (black without one).
    const std::uint32_t background =
        static_cast<std::uint32_t>(doc.GlobalPaletteRGBEntry(doc.ScreenBackgroundColorIndex()));
    canvas.Cls(background);
    cDIB saved;
    for (std::int16_t f = 1; f <= doc.FramesCount(); ++f) {
      const int disposal = doc.FrameDisposalMethod(f);
      if (disposal == 3) canvas.CloneTo(saved);
      doc.FrameDraw(canvas.hDC(), f, 0, 0, 1.0f, true);
      char name[32];
      std::snprintf(name, sizeof name, "/frame-%04d.bmp", f);
      const std::string path = o.directory + name;
      if (!canvas.Save(path)) {
        std::fprintf(stderr, "zoetra: cannot write %s\n", path.c_str());
        return 1;
      }
      if (disposal == 2) {
        const cDIB& image = *doc.FrameDIBXOR(f);
        platform::Rect r{};
        platform::SetRect(&r, doc.FrameLeft(f), doc.FrameTop(f), doc.FrameLeft(f) + image.Width(),
                          doc.FrameTop(f) + image.Height());
        const platform::HBRUSH brush = platform::CreateSolidBrush(background);
        platform::FillRect(canvas.hDC(), r, brush);
        platform::DeleteObject(brush);
      } else if (disposal == 3 && saved.hDIB() != 0) {
        saved.CloneTo(canvas);
      }
    }
    std::printf("%d frame%s written to %s\n", doc.FramesCount(), doc.FramesCount() == 1 ? "" : "s",
                o.directory.c_str());
    return 0;
  } catch (const Error& e) {
    std::fprintf(stderr, "zoetra: %s: %s\n", o.file.c_str(), e.description().c_str());
    return 1;
  }
}

}  // namespace zoetra::cli

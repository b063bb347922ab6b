// Helpers for the command tests: running programs, writing pictures in every
// input format, reading the bitmap files the command writes, and the frames
// other programs compose.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <spng.h>

#include "gif/cgif.hpp"
#include "support/bitmap_files.hpp"
#include "support/composed_frames.hpp"
#include "support/find_tool.hpp"
#include "support/pillow.hpp"
#include "support/temp_dir.hpp"

namespace zoetra::clitest {

using test::ComposedFrame;
using test::ComposedPictures;
using test::ExpectSameAsReference;
using test::Hex;
using test::Origin;
using test::ReadAll;
using test::RgbFrame;
using test::TempDir;
using test::WriteAll;
#ifdef ZOETRA_HAVE_GIFLIB
using test::GiflibCompose;
#endif

// ---------------------------------------------------------------- processes

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string input;             // standard input
  bool stderr_is_terminal = false;  // a pseudo-terminal instead of a pipe
  bool stdout_is_terminal = false;  // with stderr_is_terminal: both on that terminal, all read into `err`
  bool unprivileged = false;     // as user and group 65534 (nobody) when run as root
};

// A started program: its id and the read ends of its output.
struct Running {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

inline Running StartProgram(const std::vector<std::string>& argv, const RunOptions& options = {}) {
  Running running;
  int in[2], out[2], err[2];
  int master = -1, slave = -1;
  if (::pipe(in) != 0 || ::pipe(out) != 0) return running;
  if (options.stderr_is_terminal) {
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return running;
    err[0] = master, err[1] = slave;
  } else if (::pipe(err) != 0) {
    return running;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0), ::dup2(options.stdout_is_terminal ? err[1] : out[1], 1), ::dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
    if (options.unprivileged && ::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(126);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(in[0]), ::close(out[1]), ::close(err[1]);
  // Standard input is small in these tests; write it, then close.
  std::size_t written = 0;
  while (written < options.input.size()) {
    const ssize_t n = ::write(in[1], options.input.data() + written, options.input.size() - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  ::close(in[1]);
  running.pid = pid, running.out = out[0], running.err = err[0];
  return running;
}

// Reads the program's output to the end and waits for it.
inline RunResult FinishProgram(const Running& running) {
  RunResult result;
  if (running.pid < 0) return result;
  pollfd fds[2] = {{running.out, POLLIN, 0}, {running.err, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[65536];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      } else {  // end of file, or EIO once the terminal's last writer is gone
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  ::waitpid(running.pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

inline RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options = {}) {
  return FinishProgram(StartProgram(argv, options));
}

inline std::string ZoetraPath() { return ZOETRA_CLI; }

inline RunResult Zoetra(std::vector<std::string> args, const RunOptions& options = {}) {
  args.insert(args.begin(), ZoetraPath());
  return RunProgram(args, options);
}

using test::FindTool;

using test::PillowPython;

inline std::string HelperScript(const char* name) { return std::string(ZOETRA_CLI_TEST_DIR) + "/" + name; }

// ---------------------------------------------------------------- pictures

// An RGBA picture, rows top-down.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;

  Picture() = default;
  Picture(int w, int h) : width(w), height(h), rgba(static_cast<std::size_t>(w) * h * 4, 255) {}
  std::uint8_t* at(int x, int y) { return &rgba[(static_cast<std::size_t>(y) * width + x) * 4]; }
  const std::uint8_t* at(int x, int y) const { return &rgba[(static_cast<std::size_t>(y) * width + x) * 4]; }
  std::uint32_t Rgb(int x, int y) const {
    const std::uint8_t* p = at(x, y);
    return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
  }
  void Set(int x, int y, std::uint32_t rgb, std::uint8_t alpha = 255) {
    std::uint8_t* p = at(x, y);
    p[0] = static_cast<std::uint8_t>(rgb >> 16), p[1] = static_cast<std::uint8_t>(rgb >> 8);
    p[2] = static_cast<std::uint8_t>(rgb), p[3] = alpha;
  }
  void Fill(int x0, int y0, int x1, int y1, std::uint32_t rgb, std::uint8_t alpha = 255) {
    for (int y = std::max(y0, 0); y < std::min(y1, height); ++y) {
      for (int x = std::max(x0, 0); x < std::min(x1, width); ++x) Set(x, y, rgb, alpha);
    }
  }
};

inline bool WritePng(const std::string& path, const Picture& p) {
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
  // Fast rather than small: some tests write full-HD pictures.
  spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, 1);
  spng_set_option(ctx, SPNG_FILTER_CHOICE, SPNG_FILTER_CHOICE_NONE);
  spng_ihdr ihdr{};
  ihdr.width = static_cast<std::uint32_t>(p.width);
  ihdr.height = static_cast<std::uint32_t>(p.height);
  ihdr.bit_depth = 8;
  ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
  spng_set_ihdr(ctx, &ihdr);
  bool ok = spng_encode_image(ctx, p.rgba.data(), p.rgba.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) == 0;
  if (ok) {
    size_t len = 0;
    int error = 0;
    void* buffer = spng_get_png_buffer(ctx, &len, &error);
    ok = buffer != nullptr && error == 0;
    if (ok) WriteAll(path, std::string(static_cast<const char*>(buffer), len));
    std::free(buffer);
  }
  spng_ctx_free(ctx);
  return ok;
}

inline bool WriteJpeg(const std::string& path, const Picture& p, int quality = 95) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  jpeg_compress_struct c{};
  jpeg_error_mgr e{};
  c.err = jpeg_std_error(&e);
  jpeg_create_compress(&c);
  jpeg_stdio_dest(&c, f);
  c.image_width = static_cast<JDIMENSION>(p.width);
  c.image_height = static_cast<JDIMENSION>(p.height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  jpeg_start_compress(&c, TRUE);
  std::vector<std::uint8_t> row(static_cast<std::size_t>(p.width) * 3);
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) std::memcpy(&row[static_cast<std::size_t>(x) * 3], p.at(x, y), 3);
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&c, rows, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  return std::fclose(f) == 0;
}

// The distinct colours of `p`, in first-seen order.
inline std::vector<std::uint32_t> Colours(const Picture& p) {
  std::vector<std::uint32_t> colours;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      if (std::find(colours.begin(), colours.end(), p.Rgb(x, y)) == colours.end()) colours.push_back(p.Rgb(x, y));
    }
  }
  return colours;
}

// A bitmap file of 1, 4, 8, 24 or 32 bits per pixel, rows bottom-up. The
// indexed depths need a picture of at most 2^bpp colours.
inline bool WriteBmp(const std::string& path, const Picture& p, int bpp) {
  const std::vector<std::uint32_t> colours = Colours(p);
  if (bpp <= 8 && colours.size() > (std::size_t{1} << bpp)) return false;
  test::Bytes table(bpp <= 8 ? (std::size_t{4} << bpp) : 0, 0);
  for (std::size_t i = 0; bpp <= 8 && i < colours.size(); ++i) {
    table[4 * i] = static_cast<std::uint8_t>(colours[i] & 0xFF);
    table[4 * i + 1] = static_cast<std::uint8_t>((colours[i] >> 8) & 0xFF);
    table[4 * i + 2] = static_cast<std::uint8_t>((colours[i] >> 16) & 0xFF);
  }
  const std::size_t stride = (static_cast<std::size_t>(p.width) * bpp + 31) / 32 * 4;
  test::Bytes pixels(stride * static_cast<std::size_t>(p.height), 0);
  for (int y = 0; y < p.height; ++y) {
    std::uint8_t* row = pixels.data() + static_cast<std::size_t>(p.height - 1 - y) * stride;
    for (int x = 0; x < p.width; ++x) {
      const std::uint32_t rgb = p.Rgb(x, y);
      if (bpp >= 24) {
        std::uint8_t* at = row + static_cast<std::size_t>(x) * (bpp / 8);
        at[0] = static_cast<std::uint8_t>(rgb & 0xFF), at[1] = static_cast<std::uint8_t>((rgb >> 8) & 0xFF);
        at[2] = static_cast<std::uint8_t>((rgb >> 16) & 0xFF);
        continue;
      }
      const auto index = static_cast<std::uint32_t>(std::find(colours.begin(), colours.end(), rgb) - colours.begin());
      const std::size_t bit = static_cast<std::size_t>(x) * bpp;
      const int shift = 8 - bpp - static_cast<int>(bit % 8);
      row[bit / 8] = static_cast<std::uint8_t>(row[bit / 8] | (index << shift));
    }
  }
  test::DibHeader header;
  header.width = p.width;
  header.height = p.height;
  header.bpp = static_cast<std::uint16_t>(bpp);
  WriteAll(path, test::BitmapFile(header, table, pixels));
  return true;
}

// A one-frame GIF of a picture with at most 256 colours, through our writer.
inline bool WriteGif(const std::string& path, const Picture& p) {
  const std::vector<std::uint32_t> colours = Colours(p);
  if (colours.size() > 256) return false;
  cGIF gif;
  gif.FrameInsert(1, static_cast<std::int16_t>(p.width), static_cast<std::int16_t>(p.height));
  gif.ScreenWidth(static_cast<std::int16_t>(p.width));
  gif.ScreenHeight(static_cast<std::int16_t>(p.height));
  gif.GlobalPaletteExists(-1);
  gif.GlobalPaletteEntries(static_cast<std::int16_t>(colours.size()));
  for (std::size_t i = 0; i < colours.size(); ++i) {
    gif.lpGlobalPalette()[4 * i] = static_cast<std::uint8_t>(colours[i] & 0xFF);
    gif.lpGlobalPalette()[4 * i + 1] = static_cast<std::uint8_t>((colours[i] >> 8) & 0xFF);
    gif.lpGlobalPalette()[4 * i + 2] = static_cast<std::uint8_t>((colours[i] >> 16) & 0xFF);
  }
  cDIB& image = *gif.FrameDIBXOR(1);
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      image.lpBits()[static_cast<std::size_t>(y) * image.BytesPerScanline() + x] = static_cast<std::uint8_t>(
          std::find(colours.begin(), colours.end(), p.Rgb(x, y)) - colours.begin());
    }
  }
  return gif.Save(path);
}

// A 16 x 16 icon file holding a 32-bit image.
inline void WriteIcon(const std::string& path) {
  std::string f(6 + 16, '\0');
  f[2] = 1, f[4] = 1;                 // type icon, one image
  f[6] = 16, f[7] = 16, f[10] = 1, f[12] = 32;
  const std::uint32_t bytes = 40 + 16 * 16 * 4 + 16 * 4;
  for (int i = 0; i < 4; ++i) f[14 + i] = static_cast<char>((bytes >> (8 * i)) & 0xFF);
  f[18] = 22;                          // offset of the image
  std::string dib(bytes, '\0');
  dib[0] = 40, dib[4] = 16, dib[8] = 32, dib[12] = 1, dib[14] = 32;
  for (std::size_t i = 40; i < 40 + 16 * 16 * 4; i += 4) dib[i + 2] = static_cast<char>(0xFF), dib[i + 3] = static_cast<char>(0xFF);
  WriteAll(path, f + dib);
}

// ---------------------------------------------------------------- bitmap files

// Reads a 24- or 32-bit bitmap file (either row order) into RGB values, rows top-down.
inline std::optional<RgbFrame> ReadBmp(const std::string& path) {
  const std::string f = ReadAll(path);
  if (f.size() < 54 || f[0] != 'B' || f[1] != 'M') return std::nullopt;
  auto u = [&](std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= std::uint32_t{static_cast<std::uint8_t>(f[at + i])} << (8 * i);
    return v;
  };
  RgbFrame frame;
  frame.width = static_cast<int>(u(18, 4));
  const auto h = static_cast<std::int32_t>(u(22, 4));
  frame.height = h < 0 ? -h : h;
  const int bpp = static_cast<int>(u(28, 2));
  if (bpp != 24 && bpp != 32) return std::nullopt;
  const std::size_t stride = (static_cast<std::size_t>(frame.width) * bpp + 31) / 32 * 4;
  const std::size_t offset = u(10, 4);
  if (offset + stride * frame.height > f.size()) return std::nullopt;
  frame.rgb.resize(static_cast<std::size_t>(frame.width) * frame.height);
  for (int y = 0; y < frame.height; ++y) {
    const std::size_t row = offset + stride * static_cast<std::size_t>(h < 0 ? y : frame.height - 1 - y);
    for (int x = 0; x < frame.width; ++x) {
      const std::size_t at = row + static_cast<std::size_t>(x) * (bpp / 8);
      frame.rgb[static_cast<std::size_t>(y) * frame.width + x] = u(at + 2, 1) << 16 | u(at + 1, 1) << 8 | u(at, 1);
    }
  }
  return frame;
}

// `zoetra frames` of `gif` into `dir`, read back; nullopt (with a failure) when the command fails.
inline std::optional<std::vector<RgbFrame>> ZoetraFrames(const std::string& gif, const std::string& dir) {
  const RunResult r = Zoetra({"frames", "-o", dir, gif});
  if (r.status != 0) {
    ADD_FAILURE() << "zoetra frames " << gif << " failed: " << r.err;
    return std::nullopt;
  }
  std::vector<RgbFrame> frames;
  for (int n = 1;; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame-%04d.bmp", n);
    if (!std::filesystem::exists(dir + name)) break;
    auto frame = ReadBmp(dir + name);
    if (!frame) {
      ADD_FAILURE() << "unreadable " << dir << name;
      return std::nullopt;
    }
    frames.push_back(std::move(*frame));
  }
  return frames;
}

// ---------------------------------------------------------------- other programs

// Frames as another program composes them: RGBA, rows top-down.
struct RgbaFrame {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;
};

// Reads the dump written by pillow_frames.py: width, height, count (4 bytes
// each, little-endian), then count frames of RGBA bytes.
inline std::optional<std::vector<RgbaFrame>> ReadRgbaDump(const std::string& path) {
  const std::string f = ReadAll(path);
  if (f.size() < 12) return std::nullopt;
  std::uint32_t header[3];
  std::memcpy(header, f.data(), 12);
  const std::size_t bytes = std::size_t{header[0]} * header[1] * 4;
  if (f.size() != 12 + bytes * header[2]) return std::nullopt;
  std::vector<RgbaFrame> frames(header[2]);
  for (std::uint32_t i = 0; i < header[2]; ++i) {
    frames[i].width = static_cast<int>(header[0]);
    frames[i].height = static_cast<int>(header[1]);
    frames[i].rgba.assign(f.begin() + 12 + static_cast<std::ptrdiff_t>(bytes * i),
                          f.begin() + 12 + static_cast<std::ptrdiff_t>(bytes * (i + 1)));
  }
  return frames;
}


// ---------------------------------------------------------------- stickers

// Frame `step` of a sticker: a disc moving over a transparent background, its
// rim at alpha 100 (transparent) and 200 (opaque), a still square, and in
// frame 4 nothing but the square.
// A step below 0 is an opaque picture, as a photo before a logo.
inline Picture Sticker(int step) {
  Picture p(48, 40);
  if (step < 0) {
    for (int y = 0; y < p.height; ++y) p.Fill(0, y, 48, y + 1, static_cast<std::uint32_t>(0x203040 + y * 0x030201));
    return p;
  }
  p.Fill(0, 0, 48, 40, 0x000000, 0);
  p.Fill(2, 2, 10, 10, 0x2050E0);
  if (step == 4) return p;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      const int dx = x - (14 + 5 * step), dy = y - 22, d = dx * dx + dy * dy;
      if (d < 64) p.Set(x, y, static_cast<std::uint32_t>(0xF0C020 - step * 0x200010));
      else if (d < 81) p.Set(x, y, 0x40A040, 200);
      else if (d < 100) p.Set(x, y, 0xA04040, 100);
    }
  }
  return p;
}

// Pixels of a composed RGBA frame (rows top-down, the picture's size) whose
// transparency is not the picture's: transparent exactly where its alpha is
// below half. The first one found is described in `first`.
inline std::size_t AlphaMismatches(const std::vector<std::uint8_t>& rgba, const Picture& want, std::string& first) {
  std::size_t wrong = 0;
  if (rgba.size() != want.rgba.size()) {
    first = "the frame is not the picture's size";
    return want.rgba.size() / 4;
  }
  for (int y = 0; y < want.height; ++y) {
    for (int x = 0; x < want.width; ++x) {
      const std::uint8_t alpha = rgba[(static_cast<std::size_t>(y) * want.width + x) * 4 + 3];
      const bool clear = want.at(x, y)[3] < 128;
      if (clear ? alpha == 0 : alpha == 255) continue;
      if (wrong++ == 0) {
        first = "(" + std::to_string(x) + ", " + std::to_string(y) + ") has alpha " + std::to_string(alpha) +
                ", the picture " + std::to_string(want.at(x, y)[3]);
      }
    }
  }
  return wrong;
}

// Ways of making stickers that keep their transparency.
inline const std::vector<std::vector<std::string>>& StickerSwitches() {
  static const std::vector<std::vector<std::string>> rows = {
      {},
      {"--optimize"},
      {"--palette", "frame"},
      {"--palette", "frame", "--optimize"},
      {"--optimize", "--quality", "40"},
      {"--palette", "frame", "--optimize", "--quality", "20"},
  };
  return rows;
}

// The sticker frames from step `first` on as PNG files in `dir`, and the
// animation `out` made of them.
inline bool MakeSticker(const TempDir& dir, const std::vector<std::string>& switches, const std::string& out,
                        int frames = 6, int first = 0) {
  std::vector<std::string> args = {"create", "-q", "-o", out};
  args.insert(args.end(), switches.begin(), switches.end());
  for (int i = 0; i < frames; ++i) {
    args.push_back(dir.Path("sticker" + std::to_string(i) + ".png"));
    if (!WritePng(args.back(), Sticker(first + i))) return false;
  }
  const RunResult r = Zoetra(args);
  if (r.status != 0) ADD_FAILURE() << r.err;
  return r.status == 0;
}

}  // namespace zoetra::clitest

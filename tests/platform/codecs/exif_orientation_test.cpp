#include "platform/codecs/exif_orientation.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "platform/codecs/picture_loader.hpp"
#include "raster/cdib.hpp"
#include "raster/picture_fit.hpp"
#include "support/picture_files.hpp"
#include "support/pillow.hpp"
#include "support/raster_pixels.hpp"
#include "support/temp_dir.hpp"

namespace zoetra::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& b, unsigned v, bool big) {
  if (big) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
  } else {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
  }
}
void Put32(Bytes& b, std::uint32_t v, bool big) {
  if (big) {
    Put16(b, v >> 16, true);
    Put16(b, v & 0xFFFF, true);
  } else {
    Put16(b, v & 0xFFFF, false);
    Put16(b, v >> 16, false);
  }
}

struct TiffOptions {
  bool big = false;
  unsigned value = 6;
  unsigned type = 3;  // SHORT
  std::uint32_t ifd_offset = 8;
  unsigned entries = 1;
};

// An EXIF block ("Exif\0\0" and a TIFF structure) whose first IFD holds the
// orientation tag alone.
Bytes ExifBlock(const TiffOptions& o) {
  Bytes b = {'E', 'x', 'i', 'f', 0, 0};
  b.push_back(o.big ? 'M' : 'I');
  b.push_back(o.big ? 'M' : 'I');
  Put16(b, 42, o.big);
  Put32(b, o.ifd_offset, o.big);
  Put16(b, o.entries, o.big);
  Put16(b, 0x0112, o.big);
  Put16(b, o.type, o.big);
  Put32(b, 1, o.big);
  // The value sits left-justified in the four-byte field.
  Put16(b, o.value, o.big);
  Put16(b, 0, o.big);
  Put32(b, 0, o.big);  // no next IFD
  return b;
}

Bytes Segment(std::uint8_t marker, const Bytes& payload) {
  Bytes b = {0xFF, marker};
  Put16(b, static_cast<unsigned>(payload.size() + 2), true);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kSoi = {0xFF, 0xD8};
const Bytes kEoi = {0xFF, 0xD9};
// A start of scan with some entropy-coded bytes after it.
const Bytes kScan = Cat({Segment(0xDA, {1, 1, 0, 0, 63, 0}), Bytes{0x12, 0x34, 0xFF, 0x00, 0x56}});
const Bytes kJfif = Segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});

Bytes Jpeg(const Bytes& exif) { return Cat({kSoi, kJfif, Segment(0xE1, exif), kScan, kEoi}); }

struct Crafted {
  const char* name;
  Bytes file;
  int expected;
};

std::vector<Crafted> CraftedFiles() {
  const Bytes xmp = Segment(0xE1, {'h', 't', 't', 'p', ':', '/', '/', 'n', 's', '.', 0});
  Bytes cut_length = Cat({kSoi, Segment(0xE1, ExifBlock({}))});
  cut_length[5] = static_cast<std::uint8_t>(cut_length[5] + 1);  // one byte longer than the file
  Bytes short_length = Cat({kSoi, Bytes{0xFF, 0xE1, 0x00, 0x01}, Segment(0xE1, ExifBlock({}))});
  Bytes only_header = Jpeg({'E', 'x', 'i', 'f', 0, 0, 'I', 'I'});
  return {
      {"little-endian", Jpeg(ExifBlock({})), 6},
      {"big-endian", Jpeg(ExifBlock({.big = true, .value = 8})), 8},
      {"each value", Jpeg(ExifBlock({.value = 3})), 3},
      {"no JFIF segment", Cat({kSoi, Segment(0xE1, ExifBlock({.value = 5})), kScan, kEoi}), 5},
      {"XMP first", Cat({kSoi, xmp, Segment(0xE1, ExifBlock({.value = 7})), kScan, kEoi}), 7},
      {"fill bytes", Cat({kSoi, Bytes{0xFF, 0xFF, 0xFF}, Segment(0xE1, ExifBlock({.value = 2})), kEoi}), 2},
      {"only the first block counts",
       Cat({kSoi, Segment(0xE1, ExifBlock({.value = 4})), Segment(0xE1, ExifBlock({.value = 6})), kEoi}), 4},
      {"value 0", Jpeg(ExifBlock({.value = 0})), 1},
      {"value 9", Jpeg(ExifBlock({.value = 9})), 1},
      {"value 0x0106", Jpeg(ExifBlock({.value = 0x0106})), 1},
      {"type LONG", Jpeg(ExifBlock({.type = 4})), 1},
      {"type ASCII", Jpeg(ExifBlock({.type = 2})), 1},
      {"IFD outside the block", Jpeg(ExifBlock({.ifd_offset = 0x7FFFFFF0})), 1},
      {"IFD at the block's end", Jpeg(ExifBlock({.ifd_offset = 26})), 1},
      // A count past the block's end: the entries that are there are read.
      {"too many entries", Jpeg(ExifBlock({.entries = 0xFFFF})), 6},
      {"big-endian, too many entries", Jpeg(ExifBlock({.big = true, .value = 2, .entries = 0xFFFF})), 2},
      {"no entries", Jpeg(ExifBlock({.entries = 0})), 1},
      {"TIFF header only", only_header, 1},
      {"EXIF after the scan", Cat({kSoi, kScan, Segment(0xE1, ExifBlock({})), kEoi}), 1},
      {"EXIF in APP2", Cat({kSoi, Segment(0xE2, ExifBlock({})), kScan, kEoi}), 1},
      {"segment longer than the file", cut_length, 1},
      {"segment length below 2", short_length, 1},
      {"garbage between segments", Cat({kSoi, Bytes{0x00}, Segment(0xE1, ExifBlock({})), kEoi}), 1},
      {"no start of image", Cat({Segment(0xE1, ExifBlock({})), kEoi}), 1},
      {"empty", {}, 1},
      {"start of image only", kSoi, 1},
      {"a lone marker byte", {0xFF, 0xD8, 0xFF}, 1},
      {"a cut length", {0xFF, 0xD8, 0xFF, 0xE1, 0x00}, 1},
      {"PNG signature", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0}, 1},
      {"the EXIF block alone", ExifBlock({}), 1},
  };
}

TEST(JpegOrientationTest, CraftedFiles) {
  for (const Crafted& c : CraftedFiles()) {
    EXPECT_EQ(JpegOrientation(c.file), c.expected) << c.name;
  }
}

TEST(JpegOrientationTest, EveryTruncationAndDamageStaysInRange) {
  const Bytes good = Jpeg(ExifBlock({.big = true, .value = 6}));
  ASSERT_EQ(JpegOrientation(good), 6);
  for (std::size_t n = 0; n < good.size(); ++n) {
    const int o = JpegOrientation(std::span(good.data(), n));
    EXPECT_TRUE(o == 1 || o == 6) << "cut at " << n << ": " << o;
  }
  std::mt19937 rng(5);
  for (int round = 0; round < 3000; ++round) {
    Bytes damaged = good;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < flips; ++k) damaged[rng() % damaged.size()] = static_cast<std::uint8_t>(rng());
    const int o = JpegOrientation(damaged);
    ASSERT_GE(o, 1) << round;
    ASSERT_LE(o, 8) << round;
  }
}

TEST(JpegOrientationTest, FileReadsOnlyTheFirst256KiB) {
  test::TempDir dir;
  // Segments of 65000 bytes before the EXIF block: five push it past the
  // first 256 KiB, three leave it within reach.
  for (const int segments : {5, 3}) {
    Bytes file = kSoi;
    for (int i = 0; i < segments; ++i) file = Cat({file, Segment(0xE2, Bytes(65000, 0x20))});
    EXPECT_EQ(file.size() > 256u * 1024u, segments == 5);
    file = Cat({file, Segment(0xE1, ExifBlock({.value = 3})), kScan, kEoi});
    EXPECT_EQ(JpegOrientation(file), 3);
    const std::string path = dir.Path(std::to_string(segments) + ".jpg");
    test::WriteAll(path, file);
    EXPECT_EQ(JpegFileOrientation(path), segments == 5 ? 1 : 3) << segments;
  }

  EXPECT_EQ(JpegFileOrientation(dir.Path("missing.jpg")), 1);
  EXPECT_EQ(JpegFileOrientation(dir.path()), 1);
  EXPECT_EQ(JpegFileOrientation(""), 1);
}

// Pillow writes JPEG files whose EXIF block records orientations 1..8, each
// stored so that turning it as the orientation says shows the same upright
// picture: red, green / blue, white quadrants, twice as wide as high.
TEST(JpegOrientationTest, PillowFilesTurnUpright) {
  const std::string& python = test::PillowPython();
  if (python.empty()) GTEST_SKIP() << "no Python with Pillow";
  test::TempDir dir;
  const std::string script = dir.Path("make.py");
  test::WriteAll(script, std::string(R"(import sys
from PIL import Image
out = sys.argv[1]
up = Image.new("RGB", (96, 48))
for (x, y, c) in [(0, 0, (255, 0, 0)), (48, 0, (0, 255, 0)), (0, 24, (0, 0, 255)), (48, 24, (255, 255, 255))]:
    up.paste(c, (x, y, x + 48, y + 24))
T = Image.Transpose
# What undoes each orientation's turn: the stored picture.
undo = {2: T.FLIP_LEFT_RIGHT, 3: T.ROTATE_180, 4: T.FLIP_TOP_BOTTOM, 5: T.TRANSPOSE,
        6: T.ROTATE_90, 7: T.TRANSVERSE, 8: T.ROTATE_270}
for n in range(1, 9):
    stored = up.transpose(undo[n]) if n in undo else up
    exif = Image.Exif()
    exif[0x0112] = n
    stored.save("%s/o%d.jpg" % (out, n), quality=95, exif=exif)
up.save(out + "/plain.jpg", quality=95)
up.save(out + "/plain.png")
exif = Image.Exif()
exif[0x0112] = 6
up.save(out + "/tagged.png", exif=exif)
)"));
  const std::string command = python + " " + script + " " + dir.path();
  ASSERT_EQ(std::system(command.c_str()), 0);

  const std::uint32_t quads[2][2] = {{0xFF0000u, 0x00FF00u}, {0x0000FFu, 0xFFFFFFu}};
  for (int n = 1; n <= 8; ++n) {
    const std::string path = dir.Path("o" + std::to_string(n) + ".jpg");
    ASSERT_EQ(JpegFileOrientation(path), n);
    cDIB picture;
    ASSERT_EQ(picture.CreateFromStdPicture(LoadPicture(path), true), 32) << n;
    ASSERT_EQ(picture.Width(), n >= 5 ? 48 : 96) << n;
    OrientPicture(picture, n);
    ASSERT_EQ(picture.Width(), 96) << n;
    ASSERT_EQ(picture.Height(), 48) << n;
    for (int qy = 0; qy < 2; ++qy)
      for (int qx = 0; qx < 2; ++qx) {
        // The middle of each quadrant, in picture terms (rows are bottom-up).
        const std::uint32_t v = test::Px(picture, 24 + 48 * qx, 47 - (12 + 24 * qy));
        for (const int shift : {0, 8, 16}) {
          const int got = static_cast<int>((v >> shift) & 0xFF);
          const int want = static_cast<int>((quads[qy][qx] >> shift) & 0xFF);
          EXPECT_LE(std::abs(got - want), 16) << "orientation " << n << " quadrant " << qx << "," << qy;
        }
      }
  }
  EXPECT_EQ(JpegFileOrientation(dir.Path("plain.jpg")), 1);
  EXPECT_EQ(JpegFileOrientation(dir.Path("plain.png")), 1);
  // EXIF in a PNG is not looked for: only JPEG files carry it here.
  EXPECT_EQ(JpegFileOrientation(dir.Path("tagged.png")), 1);
}

}  // namespace
}  // namespace zoetra::platform

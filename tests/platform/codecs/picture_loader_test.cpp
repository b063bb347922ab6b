#include "platform/codecs/picture_loader.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"
#include "support/bitmap_files.hpp"
#include "support/caught.hpp"
#include "support/picture_files.hpp"
#include "tests/platform/codecs/picture_test_support.hpp"

namespace zoetra {
namespace {

using namespace platform;
using namespace zoetra::testing;

// Writes PNG files of every colour type and depth (by hand where Pillow
// cannot write them: low-depth grey, 16 bits, interlaced), JPEG, bitmap and
// icon files with Pillow, and a manifest: name, tolerance, expected depth.
const char* kMakePictures = R"PY(
import random
random.seed(1234)
manifest = []
def chunk(t, data):
    return struct.pack(">I", len(data)) + t + data + struct.pack(">I", zlib.crc32(t + data) & 0xffffffff)
def pack_row(samples, depth):
    if depth == 8: return bytes(samples)
    if depth == 16: return b"".join(struct.pack(">H", s) for s in samples)
    out = bytearray(); acc = 0; n = 0
    for s in samples:
        acc = (acc << depth) | s; n += depth
        if n == 8: out.append(acc); acc = 0; n = 0
    if n: out.append(acc << (8 - n))
    return bytes(out)
CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
ADAM7 = [(0,0,8,8),(4,0,8,8),(0,4,4,8),(2,0,4,4),(0,2,2,4),(1,0,2,2),(0,1,1,2)]
def hand_png(name, w, h, ctype, depth, interlace):
    top = (1 << depth) - 1
    plte = None
    if ctype == 3:
        plte = [(random.randrange(256), random.randrange(256), random.randrange(256)) for _ in range(1 << depth)]
    px = [[tuple(random.randrange(top + 1) for _ in range(CHANNELS[ctype])) for x in range(w)] for y in range(h)]
    raw = bytearray()
    if interlace:
        for (x0, y0, dx, dy) in ADAM7:
            xs = range(x0, w, dx); ys = range(y0, h, dy)
            if len(xs) == 0 or len(ys) == 0: continue
            for y in ys: raw += b"\0" + pack_row([s for x in xs for s in px[y][x]], depth)
    else:
        for row in px: raw += b"\0" + pack_row([s for p in row for s in p], depth)
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, depth, ctype, 0, 0, int(interlace)))
    if plte: data += chunk(b"PLTE", bytes(c for rgb in plte for c in rgb))
    data += chunk(b"IDAT", zlib.compress(bytes(raw))) + chunk(b"IEND", b"")
    open(os.path.join(D, name), "wb").write(data)
    manifest.append((name, 0, 32))
COMBOS = {0: (1, 2, 4, 8, 16), 2: (8, 16), 3: (1, 2, 4, 8), 4: (8, 16), 6: (8, 16)}
for ctype, depths in COMBOS.items():
    for depth in depths:
        for interlace in (False, True):
            hand_png("hand_c%d_d%d_i%d.png" % (ctype, depth, interlace), 13, 7, ctype, depth, interlace)
hand_png("tiny_interlaced.png", 1, 1, 2, 8, True)
hand_png("narrow_interlaced.png", 2, 9, 6, 16, True)

def noise(mode, w, h):
    bands = len(mode) if mode not in ("1", "L", "P") else 1
    im = Image.new(mode, (w, h))
    if mode == "1":
        im.putdata([random.choice((0, 255)) for _ in range(w * h)])
    elif bands == 1:
        im.putdata([random.randrange(256) for _ in range(w * h)])
    else:
        im.putdata([tuple(random.randrange(256) for _ in range(bands)) for _ in range(w * h)])
    if "A" in mode:
        # Fully transparent pixels keep their colour: alpha is dropped, never composited.
        im.putalpha(Image.eval(im.getchannel("A"), lambda a: 0 if a < 64 else a))
    return im
def smooth(w, h):
    im = Image.new("RGB", (w, h))
    im.putdata([((x * 255) // w, (y * 255) // h, ((x + y) * 97 + random.randrange(40)) % 256) for y in range(h) for x in range(w)])
    return im
def save(im, name, tolerance, bpp, **kw):
    im.save(os.path.join(D, name), **kw)
    manifest.append((name, tolerance, bpp))

for mode in ("RGB", "RGBA", "L", "LA", "1"):
    save(noise(mode, 17, 11), "pillow_%s.png" % mode, 0, 32)
for colours in (2, 4, 16, 256):
    im = noise("P", 17, 11)
    im.putpalette([random.randrange(256) for _ in range(3 * colours)])
    im.putdata([random.randrange(colours) for _ in range(17 * 11)])
    save(im, "pillow_P%d.png" % colours, 0, 32)
im = noise("P", 17, 11); im.putpalette(list(range(256)) * 3)
save(im, "pillow_P_trns.png", 0, 32, transparency=3)
save(noise("RGB", 17, 11), "pillow_RGB_trns.png", 0, 32, transparency=(1, 2, 3))

save(smooth(37, 19).convert("L"), "grey.jpg", 0, 32, quality=90)
save(smooth(37, 19), "rgb420.jpg", 0, 32, quality=85)
save(smooth(37, 19), "rgb444.jpg", 0, 32, quality=85, subsampling=0)
save(smooth(37, 19), "rgb422.jpg", 0, 32, quality=85, subsampling=1)
save(smooth(37, 19), "progressive.jpg", 0, 32, quality=80, progressive=True)
save(smooth(37, 19).convert("CMYK"), "cmyk.jpg", 1, 32, quality=90)

save(noise("1", 13, 5), "pillow_1.bmp", 0, 1)
save(noise("L", 13, 5), "pillow_L.bmp", 0, 8)
im = noise("P", 13, 5); im.putpalette([random.randrange(256) for _ in range(768)])
save(im, "pillow_P.bmp", 0, 8)
save(noise("RGB", 13, 5), "pillow_RGB.bmp", 0, 24)
save(noise("RGBA", 13, 5), "pillow_RGBA.bmp", 0, 32)

noise("RGBA", 32, 32).save(os.path.join(D, "icon.ico"), sizes=[(32, 32), (16, 16)])
for name, tolerance, bpp in manifest:
    rgb_dump(os.path.join(D, name))
with open(os.path.join(D, "manifest.txt"), "w") as f:
    for name, tolerance, bpp in manifest:
        f.write("%s %d %d\n" % (name, tolerance, bpp))
)PY";

// Builds the files once for every test of this suite.
class PictureLoaderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (PillowPython().empty()) return;
    dir_ = new TempDir();
    made_ = RunPillowScript(*dir_, std::string(kPillowPrelude) + kMakePictures);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    saved_ = GetLimits();
    ZOETRA_REQUIRE_PILLOW();
    ASSERT_TRUE(made_);
  }
  void TearDown() override { SetLimits(saved_); }

  static std::string File(const std::string& name) { return dir_->Path(name); }

  static TempDir* dir_;
  static bool made_;
  Limits saved_;
};
TempDir* PictureLoaderTest::dir_ = nullptr;
bool PictureLoaderTest::made_ = false;

void ExpectError(const std::string& path, std::int32_t number, const std::string& fragment) {
  const Error e = test::Caught([&] { LoadPicture(path); });
  EXPECT_EQ(e.number(), number) << path << ": " << e.description();
  EXPECT_NE(e.description().find(fragment), std::string::npos) << e.description();
}

TEST_F(PictureLoaderTest, EveryFormatAndDepthLoadsToPillowsColours) {
  std::ifstream manifest(File("manifest.txt"));
  std::string line;
  int checked = 0;
  const std::size_t live = LiveObjects();
  while (std::getline(manifest, line)) {
    std::istringstream fields(line);
    std::string name;
    int tolerance = 0, bpp = 0;
    fields >> name >> tolerance >> bpp;
    SCOPED_TRACE(name);
    const auto pillow = ReadRgbDump(File(name + ".rgb"));
    ASSERT_TRUE(pillow.has_value());
    const Picture picture = LoadPicture(File(name));
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->Type(), PictureType::Bitmap);
    EXPECT_EQ(GetObjectType(picture->handle()), kObjBitmap);
    EXPECT_EQ(picture->Width(), pillow->width);
    EXPECT_EQ(picture->Height(), pillow->height);
    BitmapDesc d{};
    ASSERT_TRUE(GetBitmapDesc(picture->handle(), &d));
    EXPECT_EQ(d.bits_pixel, bpp);
    if (d.bits_pixel == 32) {
      for (std::int32_t i = 0; i < d.width * d.height; ++i) ASSERT_EQ(d.bits[4 * i + 3], 0) << "pixel " << i;
    }
    const RgbImage ours = BitmapRgb(picture->handle());
    const long diff = FirstDifference(ours, *pillow, tolerance);
    EXPECT_EQ(diff, -1) << "ours " << DescribePixel(ours, diff) << ", Pillow " << DescribePixel(*pillow, diff);
    ++checked;
  }
  EXPECT_GE(checked, 50);
  EXPECT_EQ(LiveObjects(), live);  // every picture released its bitmap
}

// A PNG's transparent colour (tRNS) is alpha 0 wherever that colour is, when
// alpha is asked for; every other pixel is opaque.
TEST_F(PictureLoaderTest, TransparentColoursOfPngsBecomeAlpha) {
  const struct {
    const char* name;
    std::uint8_t r, g, b;  // the transparent colour (palette entry 3 of the first)
    bool some;             // the file holds that colour
  } cases[] = {{"pillow_P_trns.png", 9, 10, 11, true}, {"pillow_RGB_trns.png", 1, 2, 3, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto pillow = ReadRgbDump(File(std::string(c.name) + ".rgb"));
    ASSERT_TRUE(pillow.has_value());
    const Picture picture = LoadPicture(File(c.name), {.keep_alpha = true});
    ASSERT_TRUE(picture);
    EXPECT_TRUE(picture->HasAlpha());
    BitmapDesc d{};
    ASSERT_TRUE(GetBitmapDesc(picture->handle(), &d));
    int clear = 0, wrong = 0;
    for (std::int32_t y = 0; y < d.height; ++y) {
      for (std::int32_t x = 0; x < d.width; ++x) {
        // Bitmap rows run bottom-up, dump rows top-down.
        const std::uint8_t* ours = d.bits + (static_cast<std::size_t>(d.height - 1 - y) * d.width + x) * 4;
        const std::uint8_t* theirs = &pillow->rgb[(static_cast<std::size_t>(y) * d.width + x) * 3];
        const bool transparent = theirs[0] == c.r && theirs[1] == c.g && theirs[2] == c.b;
        clear += transparent;
        wrong += ours[3] != (transparent ? 0 : 255);
      }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(clear > 0, c.some) << clear << " pixels of the transparent colour";
  }
}

TEST_F(PictureLoaderTest, IconsAndMetafilesAreNotBitmaps) {
  Bytes cursor = {0, 0, 2, 0, 1, 0, 0, 48};
  cursor.resize(6 + 16, 0);
  cursor[6] = 0;  // width 256
  cursor[7] = 48;
  WriteAll(dir_->Path("c.cur"), cursor);
  Bytes placeable;
  Put32(placeable, 0x9AC6CDD7);
  Put16(placeable, 0);
  for (std::uint32_t v : {0u, 0u, 1440u, 720u, 1440u}) Put16(placeable, v);  // box 1 x 0.5 inch, 1440 per inch
  placeable.resize(40, 0);
  WriteAll(dir_->Path("p.wmf"), placeable);
  Bytes standard;
  for (std::uint32_t v : {1u, 9u, 0x300u}) Put16(standard, v);
  standard.resize(18, 0);
  WriteAll(dir_->Path("s.wmf"), standard);
  Bytes emf;
  Put32(emf, 1);
  Put32(emf, 88);
  for (std::uint32_t v : {10u, 20u, 109u, 69u}) Put32(emf, v);  // bounds, inclusive
  emf.resize(40, 0);
  Put32(emf, 0x464D4520);
  emf.resize(88, 0);
  WriteAll(dir_->Path("e.emf"), emf);

  struct Case {
    const char* name;
    PictureType type;
    int object_type;
    std::int32_t width, height;
  };
  const Case cases[] = {{"icon.ico", PictureType::Icon, kObjIcon, 32, 32},
                        {"c.cur", PictureType::Icon, kObjIcon, 256, 48},
                        {"p.wmf", PictureType::Metafile, kObjMetafile, 96, 48},
                        {"s.wmf", PictureType::Metafile, kObjMetafile, 0, 0},
                        {"e.emf", PictureType::EnhMetafile, kObjEnhMetafile, 100, 50}};
  const std::size_t live = LiveObjects();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Picture picture = LoadPicture(File(c.name));
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->Type(), c.type);
    EXPECT_NE(picture->handle(), 0u);
    EXPECT_EQ(GetObjectType(picture->handle()), c.object_type);
    EXPECT_EQ(picture->Width(), c.width);
    EXPECT_EQ(picture->Height(), c.height);
  }
  EXPECT_EQ(LiveObjects(), live);
}

Picture FakeGifDecoder(std::span<const std::uint8_t> file) {
  BitmapInfoHeader h{40, static_cast<std::int32_t>(file.size()), 1, 1, 32, 0, 0, 0, 0, 0, 0};
  std::uint8_t* bits = nullptr;
  PictDesc desc;
  desc.bitmap = CreateDIBSection(0, h, {}, &bits);
  return OleCreatePictureIndirect(desc, true);
}

TEST_F(PictureLoaderTest, GifFilesGoToTheInstalledDecoder) {
  WriteAll(dir_->Path("a.gif"), Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0});
  // Earlier tests in this process may have installed the GIF codec's decoder.
  const GifPictureDecoder installed = GetGifPictureDecoder();
  SetGifPictureDecoder(nullptr);
  const Error e = test::Caught([&] { LoadPicture(File("a.gif")); });
  EXPECT_EQ(e.number(), kErrInvalidPicture);
  EXPECT_EQ(e.description(), "Invalid picture (no GIF decoder is installed)");
  SetGifPictureDecoder(&FakeGifDecoder);
  const Picture picture = LoadPicture(File("a.gif"));
  SetGifPictureDecoder(installed);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->Width(), 10);  // the fake decoder's mark: the file's length
}

TEST_F(PictureLoaderTest, FailuresSayWhichProblemItIs) {
  ExpectError(File("missing.png"), kErrFileNotFound, "File not found");
  ExpectError(dir_->path(), kErrPathAccess, "directory");
  Limits small = saved_;
  small.max_file_bytes = 100;
  SetLimits(small);
  ExpectError(File("pillow_RGB.png"), kErrPathAccess, "too large");
}

// A file that is no picture we read says what it is instead, and what its
// name promised; the content decides, so a JPEG named .png still loads.
TEST_F(PictureLoaderTest, WrongFilesSayWhatTheyAre) {
  const Bytes png = ReadBytes(File("pillow_RGB.png"));
  const auto text = [](std::string_view t) { return Bytes(t.begin(), t.end()); };
  Bytes counting(40);
  for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
  const Bytes webp = text(std::string_view("RIFF\x10\0\0\0WEBPVP8 ", 16));
  using namespace std::string_literals;
  // An ISO media file's first box: size, "ftyp", major brand, version, more brands.
  const auto iso = [&](std::string_view brand) {
    return text("\0\0\0\x18"s + "ftyp" + std::string(brand) + "\0\0\0\0isomiso2"s);
  };
  // An EBML header: its id and size, a version element, then `doc_type`.
  const auto ebml = [&](std::string_view doc_type) {
    return text("\x1A\x45\xDF\xA3\xA3\x42\x86\x81\x01"s + std::string(doc_type) +
                "\x18\x53\x80\x67"s);
  };
  // An Ogg page: 27 bytes of header, a segment table of one, the first packet.
  const auto ogg = [&](std::string_view packet) {
    return text("OggS\0\x02"s + std::string(20, '\0') + "\x01\x2A"s + std::string(packet));
  };
  // `count` MPEG transport packets of `size` bytes, the first sync byte at `first`.
  const auto transport = [](std::size_t size, std::size_t first, std::size_t count) {
    Bytes b(1000, 0);
    for (std::size_t k = 0; k < count; ++k) b[first + k * size] = 0x47;
    return b;
  };
  const struct {
    const char* name;
    Bytes content;
    const char* why;  // after "Invalid picture (", or nullptr: the file loads
  } cases[] = {
      {"text.png", text("hello world, this is not a picture\n"),
       "not a PNG file: it starts with text \"hello world, this is not...\")"},
      {"empty.png", {}, "the file is empty)"},
      {"zeros.png", Bytes(64, 0),
       "not a PNG file: it starts with bytes 00 00 00 00 00 00 00 00 ...)"},
      {"counting.bmp", counting,
       "not a bitmap file: it starts with bytes 00 01 02 03 04 05 06 07 ...)"},
      {"page.png", text("\n  <!DOCTYPE html>\n<html><body>Not Found</body></html>"),
       "not a PNG file: it is an HTML page)"},
      {"picture.JPG", webp, "not a JPEG file: it is a WebP picture, a format not read here)"},
      {"isom.png", iso("isom"), "not a PNG file: it is an MP4 video)"},
      {"mp42.png", iso("mp42"), "not a PNG file: it is an MP4 video)"},
      {"iso2.png", iso("iso2"), "not a PNG file: it is an MP4 video)"},
      {"avc1.png", iso("avc1"), "not a PNG file: it is an MP4 video)"},
      {"dash.png", iso("dash"), "not a PNG file: it is an MP4 video)"},
      {"m4v.png", iso("M4V "), "not a PNG file: it is an MP4 video)"},
      {"mov.png", iso("qt  "), "not a PNG file: it is a QuickTime (MOV) video)"},
      {"3gp.png", iso("3gp5"), "not a PNG file: it is a 3GP video)"},
      {"3g2.png", iso("3g2a"), "not a PNG file: it is a 3GP video)"},
      {"heic.png", iso("heic"), "not a PNG file: it is a HEIF picture, a format not read here)"},
      {"mif1.png", iso("mif1"), "not a PNG file: it is a HEIF picture, a format not read here)"},
      {"avif.png", iso("avif"), "not a PNG file: it is an AVIF picture, a format not read here)"},
      {"raw.png", iso("crx "), "not a PNG file: it starts with bytes 00 00 00 18 66 74 79 70 ...)"},
      {"old_mov.png", text("\0\0\0\x08wide\0\0\0\0mdat"s),
       "not a PNG file: it is a QuickTime (MOV) video)"},
      {"words.png", text("the moov is text"),
       "not a PNG file: it starts with text \"the moov is text\")"},
      {"webm.png", ebml("\x42\x82\x84webm"), "not a PNG file: it is a WebM video)"},
      {"mkv.png", ebml("\x42\x82\x88matroska"), "not a PNG file: it is a Matroska video)"},
      {"ebml.png", ebml(""), "not a PNG file: it is a WebM or Matroska video)"},
      {"avi.png", text("RIFF\x10\0\0\0AVI LIST"s), "not a PNG file: it is an AVI video)"},
      {"flv.png", text("FLV\x01\x05\0\0\0\x09"s), "not a PNG file: it is a Flash (FLV) video)"},
      {"ogv.png", ogg("\x80theora"), "not a PNG file: it is an Ogg video)"},
      {"ogg.png", ogg("\x01vorbis"), "not a PNG file: it is an Ogg audio or video file)"},
      {"mpg.png", text("\0\0\x01\xBA\x44\0\x04\0"s), "not a PNG file: it is an MPEG video)"},
      {"m2v.png", text("\0\0\x01\xB3\x16\0\xF0\x15"s), "not a PNG file: it is an MPEG video)"},
      {"ts.png", transport(188, 0, 5), "not a PNG file: it is an MPEG transport stream (video))"},
      {"m2ts.png", transport(192, 4, 5), "not a PNG file: it is an MPEG transport stream (video))"},
      {"four.png", transport(188, 0, 4),
       "not a PNG file: it starts with bytes 47 00 00 00 00 00 00 00 ...)"},
      {"wmv.png", text("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9"s),
       "not a PNG file: it is a Windows Media (ASF) video)"},
      {"quote.gif", text("say \"hi\"\tnow\r\n"),
       "not a GIF file: it starts with text \"say \\\"hi\\\"\\tnow\\r\\n\")"},
      {"notes.txt", text("hello"),
       "not a picture in a format read here (BMP, PNG, JPEG, GIF): it starts with text \"hello\")"},
      {"cut.png", Bytes(png.begin(), png.begin() + 5), "PNG file cut short after 5 bytes)"},
      {"truncated.png", Bytes(png.begin(), png.begin() + static_cast<long>(png.size() / 2)),
       "PNG data is truncated)"},
      {"header_only.png", Bytes(png.begin(), png.begin() + 33), "PNG data is truncated)"},
      {"photo.png", ReadBytes(File("rgb420.jpg")), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(dir_->Path(c.name), c.content);
    if (c.why == nullptr) {
      EXPECT_EQ(LoadPicture(File(c.name))->Type(), PictureType::Bitmap);
      continue;
    }
    ExpectError(File(c.name), kErrInvalidPicture, std::string("Invalid picture (") + c.why);
  }
  // From memory there is no name to go by.
  const Error e = test::Caught([&] { LoadPictureFromMemory(text("hello")); });
  EXPECT_EQ(e.description(),
            "Invalid picture (not a picture in a format read here (BMP, PNG, JPEG, GIF): it "
            "starts with text \"hello\")");
}

TEST_F(PictureLoaderTest, TruncatedFilesAreRefusedWhole) {
  const std::size_t live = LiveObjects();
  for (const char* name : {"pillow_RGB.png", "hand_c6_d16_i1.png", "rgb420.jpg", "progressive.jpg"}) {
    SCOPED_TRACE(name);
    Bytes file = ReadBytes(File(name));
    // Cut inside the compressed data. (A PNG that lacks only chunks after its
    // last row is complete and loads.)
    for (std::size_t keep : {file.size() * 2 / 3, file.size() - 30}) {
      WriteAll(dir_->Path("cut"), Bytes(file.begin(), file.begin() + static_cast<long>(keep)));
      ExpectError(File("cut"), kErrInvalidPicture, "Invalid picture (");
    }
  }
  EXPECT_EQ(LiveObjects(), live);
}

// A PNG signature and header chunk only.
Bytes PngHeader(std::uint32_t width, std::uint32_t height) {
  auto crc = [](const Bytes& data) {
    std::uint32_t c = 0xFFFFFFFF;
    for (std::uint8_t b : data) {
      c ^= b;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
  };
  auto be32 = [](Bytes& b, std::uint32_t v) {
    b.insert(b.end(), {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)});
  };
  Bytes ihdr = {'I', 'H', 'D', 'R'};
  be32(ihdr, width);
  be32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  be32(png, 13);
  png.insert(png.end(), ihdr.begin(), ihdr.end());
  be32(png, crc(ihdr));
  return png;
}

// The JPEG with its frame header claiming another size.
Bytes JpegWithSize(Bytes jpeg, std::uint16_t width, std::uint16_t height) {
  for (std::size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
      jpeg[i + 5] = std::uint8_t(height >> 8), jpeg[i + 6] = std::uint8_t(height);
      jpeg[i + 7] = std::uint8_t(width >> 8), jpeg[i + 8] = std::uint8_t(width);
      return jpeg;
    }
  }
  ADD_FAILURE() << "no frame header";
  return jpeg;
}

TEST_F(PictureLoaderTest, PicturesOverTheLimitsAreRefusedBeforeDecoding) {
  // 60000 x 60000 at 32 bits would be 14 GB: the header alone must stop it.
  WriteAll(dir_->Path("huge.png"), PngHeader(60000, 60000));
  WriteAll(dir_->Path("huge.jpg"), JpegWithSize(ReadBytes(File("rgb420.jpg")), 60000, 60000));
  ExpectError(File("huge.png"), kErrInvalidPicture, "exceeds the size limit");
  ExpectError(File("huge.jpg"), kErrInvalidPicture, "exceeds the size limit");

  Limits small = saved_;
  small.max_picture_side = 30;  // the JPEGs are 37 wide, the bitmaps 13 x 5
  small.max_picture_pixels = 64;
  SetLimits(small);
  ExpectError(File("rgb444.jpg"), kErrInvalidPicture, "37 x 19 pixels exceeds the size limit");
  ExpectError(File("pillow_RGB.png"), kErrInvalidPicture, "17 x 11 pixels");
  ExpectError(File("pillow_RGB.bmp"), kErrInvalidPicture, "13 x 5 pixels");
  small.max_picture_pixels = 65;
  SetLimits(small);
  EXPECT_TRUE(LoadPicture(File("pillow_RGB.bmp")));
}

TEST_F(PictureLoaderTest, DamagedPngAndJpegNeverCrash) {
  std::mt19937 rng(99);
  const std::size_t live = LiveObjects();
  int loaded = 0, refused = 0;
  for (const char* name : {"pillow_RGBA.png", "hand_c3_d4_i1.png", "hand_c0_d16_i0.png", "rgb420.jpg",
                           "progressive.jpg", "cmyk.jpg"}) {
    const Bytes original = ReadBytes(File(name));
    for (int round = 0; round < 80; ++round) {
      Bytes f = original;
      for (int i = 0, n = 1 + static_cast<int>(rng() % 6); i < n; ++i) {
        f[rng() % f.size()] = static_cast<std::uint8_t>(rng());
      }
      try {
        const Picture p = LoadPictureFromMemory(f);
        ++loaded;
      } catch (const Error& e) {
        ASSERT_EQ(e.number(), kErrInvalidPicture) << e.description();
        ++refused;
      }
    }
  }
  EXPECT_GT(loaded, 0);
  EXPECT_GT(refused, 0);
  EXPECT_EQ(LiveObjects(), live);
}

// Alpha is kept only when asked for and only where the file says it has it;
// the fourth byte is 0 otherwise, as every other load leaves it.
TEST(PictureAlphaTest, KeptWhereTheFileHasIt) {
  TempDir dir;
  // One pixel, colour 0x102030 at alpha 0x80, in each way a file can hold it.
  const auto bmp32 = [](std::uint32_t size, std::uint32_t compression, std::array<std::uint32_t, 4> masks,
                        std::uint32_t pixel, bool masks_after) {
    test::DibHeader h;
    h.size = size;
    h.bpp = 32;
    h.compression = compression;
    std::copy(masks.begin(), masks.end(), h.masks);
    test::Bytes between, pixels;
    if (masks_after) {
      for (const std::uint32_t m : masks) test::Put32(between, m);
    }
    test::Put32(pixels, pixel);
    return test::BitmapFile(h, between, pixels);
  };
  const std::array<std::uint32_t, 4> usual = {0xFF0000, 0xFF00, 0xFF, 0xFF000000u};
  const std::array<std::uint32_t, 4> turned = {0xFF00, 0xFF0000, 0xFF000000u, 0xFF};  // B,G,R,A from the top
  struct Case {
    const char* name;
    test::Bytes file;
    bool alpha;  // kept when asked for
  };
  const Case cases[] = {
      {"V4 bit fields", bmp32(108, 3, usual, 0x80102030u, false), true},
      {"V5 bit fields", bmp32(124, 3, usual, 0x80102030u, false), true},
      {"alpha bit fields after a 40-byte header", bmp32(40, 6, usual, 0x80102030u, true), true},
      {"V4 bit fields in another order", bmp32(108, 3, turned, 0x30201080u, false), true},
      {"plain 32 bits: the fourth byte is not alpha", bmp32(40, 0, {}, 0x80102030u, false), false},
      {"bit fields without an alpha mask", bmp32(108, 3, {0xFF0000, 0xFF00, 0xFF, 0}, 0x80102030u, false), false},
      {"RGBA PNG", test::PngFileBytes(1, 1, std::vector<std::uint8_t>{0x10, 0x20, 0x30, 0x80}), true},
      {"opaque PNG", test::PngFileBytes(1, 1, [](int, int) { return test::Rgb{0x10, 0x20, 0x30}; }), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Path("p");
    test::WriteAll(path, c.file);
    for (const bool keep : {false, true}) {
      const Picture picture = LoadPicture(path, {.keep_alpha = keep});
      ASSERT_TRUE(picture);
      BitmapDesc d{};
      ASSERT_TRUE(GetBitmapDesc(picture->handle(), &d));
      ASSERT_EQ(d.bits_pixel, 32);
      EXPECT_EQ(d.bits[0] | d.bits[1] << 8 | d.bits[2] << 16, 0x102030) << std::hex << int(d.bits[2]);
      const bool kept = keep && c.alpha;
      EXPECT_EQ(picture->HasAlpha(), kept);
      // Test PNGs are RGBA files: the opaque one says 255.
      const int want = !kept ? 0 : (std::string(c.name) == "opaque PNG" ? 0xFF : 0x80);
      EXPECT_EQ(d.bits[3], want) << "keep " << keep;
    }
  }
}

}  // namespace
}  // namespace zoetra

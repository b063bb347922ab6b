#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "gif/cgif.hpp"
#include "support/temp_dir.hpp"

#ifdef ZOETRA_HAVE_GIFLIB
#include <gif_lib.h>
#endif

namespace zoetra {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes SaveBytes(cGIF& g) {
  Bytes out;
  EXPECT_TRUE(g.SaveToBuffer(out));
  return out;
}

Bytes Slice(const Bytes& b, std::size_t at, std::size_t n) {
  if (at + n > b.size()) return {};
  return Bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
}

void SetGlobal(cGIF& g, int entries) {
  g.GlobalPaletteExists(-1);
  g.GlobalPaletteEntries(static_cast<std::int16_t>(entries));
  for (int i = 0; i < entries && i < 256; ++i) {
    g.lpGlobalPalette()[4 * i] = static_cast<std::uint8_t>(i);          // blue
    g.lpGlobalPalette()[4 * i + 1] = static_cast<std::uint8_t>(i + 1);  // green
    g.lpGlobalPalette()[4 * i + 2] = static_cast<std::uint8_t>(i + 2);  // red
  }
}

TEST(GIFSaveTest, TwoByTwoFrameExactBytes) {
  cGIF g;
  g.FrameInsert(1, 2, 2);
  SetGlobal(g, 2);
  const Bytes expect = {
      'G', 'I', 'F', '8', '9', 'a', 2, 0, 2, 0, 0x80, 0, 0,                                 // header, screen
      2, 1, 0, 3, 2, 1,                                                                   // global table
      0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0,  // looping
      0x21, 0xF9, 0x04, 0, 0, 0, 0, 0,                                                    // control
      0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0x00,                                                 // descriptor
      2, 2, 0x84, 0x51, 0,                                                                // code size, data
      0x3B};
  EXPECT_EQ(SaveBytes(g), expect);
  EXPECT_EQ(g.ScreenRecord()[4], 0x80);
}

TEST(GIFSaveTest, GlobalTableRoundsUpToPowerOfTwo) {
  struct Case {
    int entries;
    std::uint8_t packed;
    std::size_t table_bytes;
  };
  for (const Case c : {Case{0, 0x80, 6}, Case{1, 0x80, 6}, Case{3, 0x91, 12}, Case{4, 0x91, 12}, Case{5, 0xA2, 24},
                       Case{129, 0xF7, 768}, Case{256, 0xF7, 768}}) {
    cGIF g;
    g.FrameInsert(1, 1, 1);
    SetGlobal(g, c.entries);
    const Bytes b = SaveBytes(g);
    EXPECT_EQ(b[10], c.packed) << c.entries;
    EXPECT_EQ(Slice(b, 13 + c.table_bytes, 3), (Bytes{0x21, 0xFF, 0x0B})) << c.entries;
    for (int i = 0; i < c.entries; ++i) {
      ASSERT_EQ(Slice(b, 13 + 3 * i, 3), (Bytes{static_cast<std::uint8_t>(i + 2), static_cast<std::uint8_t>(i + 1),
                                               static_cast<std::uint8_t>(i)}));
    }
    for (std::size_t i = 13 + 3 * static_cast<std::size_t>(c.entries); i < 13 + c.table_bytes; ++i) {
      ASSERT_EQ(b[i], 0) << c.entries << " at " << i;
    }
  }
  cGIF sorted;
  sorted.FrameInsert(1, 1, 1);
  SetGlobal(sorted, 3);
  sorted.GlobalPaletteSorted(-1);
  EXPECT_EQ(SaveBytes(sorted)[10], 0x99);
}

// Offset of the image descriptor of the only frame of a document with a g-exponent global table.
std::size_t DescriptorAt(int g) { return 13 + (g > 0 ? 3u << g : 0) + 19 + 8; }

TEST(GIFSaveTest, DescriptorPackedByteAndCodeSize) {
  struct Case {
    int local_entries;  // 0: no local table
    bool sorted, interlaced;
    std::uint8_t packed, code_size;
  };
  const Case cases[] = {{256, false, false, 0x87, 8}, {256, true, true, 0xE7, 8}, {200, false, true, 0xC7, 8},
                        {2, false, false, 0x80, 2},   {3, false, false, 0x81, 2}, {17, true, false, 0xA4, 5},
                        {0, false, false, 0x07, 8},   {0, true, true, 0x67, 8}};
  for (const Case& c : cases) {
    cGIF g;
    g.FrameInsert(1, 6, 5);
    SetGlobal(g, 256);
    if (c.local_entries > 0) {
      g.LocalPaletteUsed(1, -1);
      g.LocalPaletteEntries(1, static_cast<std::int16_t>(c.local_entries));
      g.lpLocalPalette(1)[2] = 0xAA;  // red of entry 0
    }
    g.LocalPaletteSorted(1, c.sorted ? -1 : 0);
    g.FrameInterlaced(1, c.interlaced ? -1 : 0);
    const Bytes b = SaveBytes(g);
    const std::size_t d = DescriptorAt(8);
    ASSERT_EQ(b[d], 0x2C);
    EXPECT_EQ(b[d + 9], c.packed) << c.local_entries;
    std::size_t table = 0;
    if (c.local_entries > 0) {
      table = 3u << ((c.packed & 7) + 1);
      EXPECT_EQ(b[d + 10], 0xAA);
    }
    EXPECT_EQ(b[d + 10 + table], c.code_size) << c.local_entries;
  }
}

TEST(GIFSaveTest, FieldsAreUnsignedLittleEndian) {
  cGIF g;
  g.FrameInsert(1, 3, 2);
  SetGlobal(g, 2);
  g.ScreenWidth(-2);
  g.FrameLeft(1, -1);
  g.FrameTop(1, 0x0102);
  g.FrameDelay(1, 0x0304);
  g.FrameDisposalMethod(1, 7);
  g.FrameUserInput(1, -1);
  g.FrameTransparentColorIndex(1, 9);
  Bytes b = SaveBytes(g);
  EXPECT_EQ(Slice(b, 6, 4), (Bytes{0xFE, 0xFF, 2, 0}));
  const std::size_t gce = 13 + 6 + 19;
  // The index goes out only together with its flag.
  EXPECT_EQ(Slice(b, gce, 8), (Bytes{0x21, 0xF9, 4, 0x1E, 4, 3, 0, 0}));
  EXPECT_EQ(Slice(b, gce + 8, 10), (Bytes{0x2C, 0xFF, 0xFF, 2, 1, 3, 0, 2, 0, 0}));
  g.FrameUseTransparentColor(1, 1);
  b = SaveBytes(g);
  EXPECT_EQ(Slice(b, gce, 8), (Bytes{0x21, 0xF9, 4, 0x1F, 4, 3, 9, 0}));
}

TEST(GIFSaveTest, LoopCount) {
  for (const auto& [loops, lo, hi] : {std::tuple{0, 0, 0}, std::tuple{5, 5, 0}, std::tuple{-1, 0xFF, 0xFF},
                                      std::tuple{0x1234, 0x34, 0x12}}) {
    cGIF g;
    g.FrameInsert(1, 1, 1);
    SetGlobal(g, 2);
    g.AnimationLoops(static_cast<std::int16_t>(loops));
    const Bytes b = SaveBytes(g);
    EXPECT_EQ(Slice(b, 19 + 16, 2), (Bytes{static_cast<std::uint8_t>(lo), static_cast<std::uint8_t>(hi)})) << loops;
  }
}

TEST(GIFSaveTest, DocumentsWithoutFrames) {
  cGIF fresh;
  Bytes out{1, 2, 3};
  EXPECT_FALSE(fresh.SaveToBuffer(out));
  EXPECT_TRUE(out.empty());

  cGIF g;
  g.FrameInsert(1, 4, 4);
  g.Destroy();
  EXPECT_EQ(SaveBytes(g), (Bytes{'G', 'I', 'F', '8', '7', 'a', 0, 0, 0, 0, 0, 0, 0, 0x3B}));
  g.GlobalPaletteExists(-1);
  Bytes b = SaveBytes(g);
  EXPECT_EQ(b.size(), 20u);
  EXPECT_EQ(b[10], 0x80);
  g.FrameUseTransparentColor(1, -1);  // the spare slot decides the version
  b = SaveBytes(g);
  EXPECT_EQ(Slice(b, 0, 6), (Bytes{'G', 'I', 'F', '8', '9', 'a'}));
  EXPECT_EQ(b.size(), 20u);

  g.FrameInsert(1, 2, 2);
  SetGlobal(g, 2);
  g.FrameRemove(1);
  EXPECT_EQ(SaveBytes(g).size(), 20u);
}

TEST(GIFSaveTest, DocumentsThatCannotBeWritten) {
  struct Case {
    const char* what;
    void (*setup)(cGIF&);
  };
  const Case cases[] = {
      {"no palette at all", [](cGIF& g) { g.GlobalPaletteExists(0); }},
      {"global above 256", [](cGIF& g) { g.GlobalPaletteEntries(257); }},
      {"local above 256",
       [](cGIF& g) {
         g.LocalPaletteUsed(2, -1);
         g.LocalPaletteEntries(2, 300);
       }},
      {"disposal 64", [](cGIF& g) { g.FrameDisposalMethod(2, 64); }},
      {"pixel outside the code range",
       [](cGIF& g) {
         g.GlobalPaletteEntries(4);
         g.FrameDIBXOR(2)->lpBits()[2] = 4;  // byte 3 is row padding
       }},
  };
  for (unsigned threads : {1u, 3u}) {  // frames encoded on workers fail the same way
    for (const Case& c : cases) {
      cGIF g;
      g.SaveThreads(threads);
      g.FrameInsert(1, 3, 3);
      g.FrameInsert(2, 3, 3);
      SetGlobal(g, 16);
      c.setup(g);
      Bytes out;
      EXPECT_FALSE(g.SaveToBuffer(out)) << c.what << ", " << threads << " threads";
      EXPECT_TRUE(out.empty()) << c.what;
    }
  }
  cGIF ok;
  ok.FrameInsert(1, 3, 3);
  ok.FrameDisposalMethod(1, 63);
  ok.LocalPaletteUsed(1, -1);  // a local table alone is enough
  ok.LocalPaletteEntries(1, 2);
  Bytes out;
  EXPECT_TRUE(ok.SaveToBuffer(out));
  EXPECT_EQ(out[13 + 19 + 3], 0xFC);
}

// --- files ---

using test::TempDir;

Bytes ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

void WriteAll(const std::string& path, const Bytes& b) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

void NoiseFrame(cGIF& g, std::int16_t w, std::int16_t h, std::uint32_t seed) {
  const auto n = static_cast<std::int16_t>(g.FramesCount() + 1);
  g.FrameInsert(n, w, h);
  std::mt19937 rng(seed);
  const auto dib = g.FrameDIBXOR(n);
  for (int i = 0; i < dib->Size(); ++i) dib->lpBits()[i] = static_cast<std::uint8_t>(rng());
}

TEST(GIFSaveFileTest, WritesTheBufferBytesOverALongerFile) {
  TempDir dir;
  const std::string target = dir.Path("anim.gif");
  WriteAll(target, Bytes(100000, 0x55));
  cGIF g;
  NoiseFrame(g, 30, 20, 1);
  SetGlobal(g, 256);
  ASSERT_TRUE(g.Save(target));
  EXPECT_EQ(ReadAll(target), SaveBytes(g));
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"anim.gif"});
}

TEST(GIFSaveFileTest, FailuresLeaveTargetAndDirectoryAsTheyWere) {
  TempDir dir;
  cGIF g;
  NoiseFrame(g, 30, 20, 2);
  SetGlobal(g, 256);

  EXPECT_FALSE(g.Save(dir.Path("missing/anim.gif")));
  EXPECT_FALSE(g.Save(""));
  EXPECT_FALSE(g.Save(dir.path() + "/"));

  ASSERT_EQ(::mkdir(dir.Path("sub").c_str(), 0755), 0);
  EXPECT_FALSE(g.Save(dir.Path("sub")));
  struct stat st {};
  ASSERT_EQ(::stat(dir.Path("sub").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  // A document that cannot be written does not disturb an existing file.
  const Bytes old(5000, 0xA5);
  WriteAll(dir.Path("keep.gif"), old);
  g.FrameDisposalMethod(1, 200);
  EXPECT_FALSE(g.Save(dir.Path("keep.gif")));
  EXPECT_EQ(ReadAll(dir.Path("keep.gif")), old);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"keep.gif", "sub"}));
}

TEST(GIFSaveFileTest, UnwritableDirectory) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(dir.Path("ro").c_str(), 0555), 0);
  cGIF g;
  NoiseFrame(g, 8, 8, 3);
  SetGlobal(g, 256);
  const std::string target = dir.Path("ro/anim.gif");
  if (::access(dir.Path("ro").c_str(), W_OK) != 0) {
    EXPECT_FALSE(g.Save(target));
  } else {
    // Permissions are not enforced for this user: try as an unprivileged one.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
      ::_exit(g.Save(target) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "Save reported success in a read-only directory";
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path("ro")));
}

// A file-size limit makes the operating system refuse writes part way through.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim = old_;
    lim.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &lim) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, old_handler_);
  }
  bool ok() const { return ok_; }

 private:
  rlimit old_{};
  void (*old_handler_)(int) = nullptr;
  bool ok_ = false;
};

TEST(GIFSaveFileTest, WriteFailingPartWayKeepsTheOldFile) {
  TempDir dir;
  const std::string target = dir.Path("anim.gif");
  const Bytes old(10000, 0x3C);
  WriteAll(target, old);
  cGIF g;
  for (std::uint32_t i = 0; i < 3; ++i) NoiseFrame(g, 400, 300, 10 + i);  // about 400 KB of noise
  SetGlobal(g, 256);
  bool saved = true;
  {
    FileSizeLimit limit(150000);
    ASSERT_TRUE(limit.ok());
    saved = g.Save(target);
  }
  EXPECT_FALSE(saved);
  EXPECT_EQ(ReadAll(target), old);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"anim.gif"});
  // Same document, no limit: it was the file system, not the document.
  EXPECT_TRUE(g.Save(target));
  EXPECT_GT(ReadAll(target).size(), 150000u);
}

#ifdef ZOETRA_HAVE_GIFLIB

struct MemoryReader {
  const Bytes* data;
  std::size_t pos;
};

int ReadFromMemory(GifFileType* gif, GifByteType* buf, int n) {
  auto* r = static_cast<MemoryReader*>(gif->UserData);
  const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(n), r->data->size() - r->pos);
  std::memcpy(buf, r->data->data() + r->pos, take);
  r->pos += take;
  return static_cast<int>(take);
}

struct FrameSpec {
  int w, h, local_entries;  // 0: use the global table
  bool interlaced, transparent;
  int left, top, delay, disposal;
  bool noise;
};

// Independent check: giflib reads back everything the writer put in.
void CheckWithGiflib(cGIF& g, const Bytes& file, int global_entries) {
  MemoryReader reader{&file, 0};
  int err = 0;
  GifFileType* gif = DGifOpen(&reader, ReadFromMemory, &err);
  ASSERT_NE(gif, nullptr) << err;
  ASSERT_EQ(DGifSlurp(gif), GIF_OK) << gif->Error;
  EXPECT_EQ(gif->SWidth, g.ScreenWidth());
  EXPECT_EQ(gif->SHeight, g.ScreenHeight());
  EXPECT_EQ(gif->SBackGroundColor, g.ScreenBackgroundColorIndex());
  EXPECT_EQ(gif->AspectByte, g.ScreenRecord()[6]);
  ASSERT_NE(gif->SColorMap, nullptr);
  EXPECT_GE(gif->SColorMap->ColorCount, global_entries);
  for (int i = 0; i < gif->SColorMap->ColorCount; ++i) {
    const GifColorType c = gif->SColorMap->Colors[i];
    const std::int32_t want = i < global_entries ? g.GlobalPaletteRGBEntry(static_cast<std::uint8_t>(i)) : 0;
    ASSERT_EQ(c.Red + 256 * c.Green + 65536 * c.Blue, want) << i;
  }
  ASSERT_EQ(gif->ImageCount, g.FramesCount());

  int loops = -1;
  const SavedImage& first = gif->SavedImages[0];
  for (int k = 0; k + 1 < first.ExtensionBlockCount; ++k) {
    const ExtensionBlock& e = first.ExtensionBlocks[k];
    if (e.Function == APPLICATION_EXT_FUNC_CODE && e.ByteCount == 11 &&
        std::memcmp(e.Bytes, "NETSCAPE2.0", 11) == 0) {
      const ExtensionBlock& sub = first.ExtensionBlocks[k + 1];
      ASSERT_EQ(sub.ByteCount, 3);
      EXPECT_EQ(sub.Bytes[0], 1);
      loops = sub.Bytes[1] | (sub.Bytes[2] << 8);
    }
  }
  EXPECT_EQ(loops, static_cast<std::uint16_t>(g.AnimationLoops()));

  for (int i = 0; i < gif->ImageCount; ++i) {
    SCOPED_TRACE(i + 1);
    const auto n = static_cast<std::int16_t>(i + 1);
    const SavedImage& s = gif->SavedImages[i];
    const auto dib = g.FrameDIBXOR(n);
    EXPECT_EQ(s.ImageDesc.Left, g.FrameLeft(n));
    EXPECT_EQ(s.ImageDesc.Top, g.FrameTop(n));
    ASSERT_EQ(s.ImageDesc.Width, dib->Width());
    ASSERT_EQ(s.ImageDesc.Height, dib->Height());
    EXPECT_EQ(s.ImageDesc.Interlace, g.FrameInterlaced(n) != 0);
    if (g.LocalPaletteUsed(n) != 0) {
      ASSERT_NE(s.ImageDesc.ColorMap, nullptr);
      for (int k = 0; k < g.LocalPaletteEntries(n); ++k) {
        const GifColorType c = s.ImageDesc.ColorMap->Colors[k];
        ASSERT_EQ(c.Red + 256 * c.Green + 65536 * c.Blue, g.LocalPaletteRGBEntry(n, static_cast<std::uint8_t>(k)));
      }
    } else {
      EXPECT_EQ(s.ImageDesc.ColorMap, nullptr);
    }
    GraphicsControlBlock gcb{};
    ASSERT_EQ(DGifSavedExtensionToGCB(gif, i, &gcb), GIF_OK);
    EXPECT_EQ(gcb.DelayTime, g.FrameDelay(n));
    EXPECT_EQ(gcb.DisposalMode, g.FrameDisposalMethod(n));
    EXPECT_EQ(gcb.UserInputFlag, g.FrameUserInput(n) != 0);
    EXPECT_EQ(gcb.TransparentColor,
              g.FrameUseTransparentColor(n) != 0 ? g.FrameTransparentColorIndex(n) : NO_TRANSPARENT_COLOR);
    for (int y = 0; y < dib->Height(); ++y) {
      const std::uint8_t* row = dib->lpBits() + static_cast<std::size_t>(y) * dib->BytesPerScanline();
      ASSERT_TRUE(std::equal(row, row + dib->Width(), s.RasterBits + static_cast<std::size_t>(y) * dib->Width()))
          << "row " << y;
    }
  }
  DGifCloseFile(gif, &err);
}

TEST(GIFSaveGiflibTest, RandomDocumentsReadBackExactly) {
  std::mt19937 rng(2024);
  auto pick = [&](int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1)); };
  for (int doc = 0; doc < 24; ++doc) {
    SCOPED_TRACE(doc);
    cGIF g;
    const int global_entries = pick(1, 256);
    SetGlobal(g, global_entries);
    for (int i = 0; i < global_entries; ++i) {
      for (int k = 0; k < 3; ++k) g.lpGlobalPalette()[4 * i + k] = static_cast<std::uint8_t>(rng());
    }
    g.AnimationLoops(static_cast<std::int16_t>(pick(0, 3) == 0 ? pick(1, 30000) : 0));
    g.ScreenBackgroundColorIndex(static_cast<std::uint8_t>(pick(0, 255)));
    g.ScreenPixelAspectRatio(pick(0, 1) ? 1.0f : 0.5f);
    const int frames = pick(1, 4);
    for (int f = 1; f <= frames; ++f) {
      FrameSpec s{};
      // Widths avoid multiples of 4 so every row has padding; some frames fill the code table many times.
      s.w = (doc % 6 == 0 && f == 1) ? 613 : pick(1, 150) * 4 - pick(1, 3);
      s.h = (doc % 6 == 0 && f == 1) ? 401 : pick(1, 120);
      s.local_entries = pick(0, 2) == 0 ? pick(1, 256) : 0;
      s.interlaced = pick(0, 1) == 1;
      s.transparent = pick(0, 2) == 0;
      s.left = pick(0, 500);
      s.top = pick(0, 500);
      s.delay = pick(0, 2000);
      s.disposal = pick(0, 7);
      s.noise = pick(0, 1) == 1;
      const auto n = static_cast<std::int16_t>(f);
      g.FrameInsert(n, static_cast<std::int16_t>(s.w), static_cast<std::int16_t>(s.h));
      g.FrameLeft(n, static_cast<std::int16_t>(s.left));
      g.FrameTop(n, static_cast<std::int16_t>(s.top));
      g.FrameDelay(n, static_cast<std::int16_t>(s.delay));
      g.FrameDisposalMethod(n, s.disposal);
      g.FrameInterlaced(n, s.interlaced ? -1 : 0);
      g.FrameUserInput(n, pick(0, 3) == 0 ? -1 : 0);
      const int entries = s.local_entries > 0 ? s.local_entries : global_entries;
      if (s.local_entries > 0) {
        g.LocalPaletteUsed(n, -1);
        g.LocalPaletteEntries(n, static_cast<std::int16_t>(s.local_entries));
        for (int i = 0; i < s.local_entries; ++i) {
          for (int k = 0; k < 3; ++k) g.lpLocalPalette(n)[4 * i + k] = static_cast<std::uint8_t>(rng());
        }
      }
      if (s.transparent) {
        g.FrameUseTransparentColor(n, -1);
        g.FrameTransparentColorIndex(n, static_cast<std::uint8_t>(pick(0, entries - 1)));
      }
      const auto dib = g.FrameDIBXOR(n);
      for (int y = 0; y < s.h; ++y) {
        std::uint8_t* row = dib->lpBits() + static_cast<std::size_t>(y) * dib->BytesPerScanline();
        for (int x = 0; x < s.w; ++x) {
          row[x] = static_cast<std::uint8_t>(s.noise ? pick(0, entries - 1) : ((x / 5 + y / 3) + pick(0, 2)) % entries);
        }
      }
    }
    Bytes file;
    ASSERT_TRUE(g.SaveToBuffer(file));
    Bytes parallel;
    g.SaveThreads(4);
    ASSERT_TRUE(g.SaveToBuffer(parallel));
    EXPECT_EQ(parallel, file) << "frames encoded on four threads";
    g.SaveThreads(1);
    CheckWithGiflib(g, file, global_entries);
  }
}

TEST(GIFSaveGiflibTest, EveryMinimumCodeSize) {
  for (int exponent = 1; exponent <= 8; ++exponent) {
    SCOPED_TRACE(exponent);
    cGIF g;
    const int entries = 1 << exponent;
    SetGlobal(g, entries);
    NoiseFrame(g, 301, 203, static_cast<std::uint32_t>(exponent));
    const auto dib = g.FrameDIBXOR(1);
    for (int i = 0; i < dib->Size(); ++i) dib->lpBits()[i] = static_cast<std::uint8_t>(dib->lpBits()[i] % entries);
    Bytes file;
    ASSERT_TRUE(g.SaveToBuffer(file));
    Bytes parallel;
    g.SaveThreads(4);
    ASSERT_TRUE(g.SaveToBuffer(parallel));
    EXPECT_EQ(parallel, file) << "frames encoded on four threads";
    g.SaveThreads(1);
    EXPECT_EQ(file[DescriptorAt(exponent) + 10], std::max(2, exponent));
    CheckWithGiflib(g, file, entries);
  }
}

#endif  // ZOETRA_HAVE_GIFLIB

}  // namespace
}  // namespace zoetra

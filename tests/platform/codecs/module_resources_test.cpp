#include "platform/codecs/module_resources.hpp"

#include <gtest/gtest.h>

#include <random>

#include "tests/platform/codecs/picture_test_support.hpp"

namespace zoetra {
namespace {

using namespace platform;
using namespace zoetra::testing;

// A 2 x 2 8-bit packed bitmap whose pixels are its table indices 1, 2 / 3, 4.
Bytes SmallDib(std::uint8_t tint) {
  DibHeader h;
  h.width = 2;
  h.height = 2;
  h.bpp = 8;
  h.clr_used = 5;
  Bytes table;
  for (std::uint8_t i = 0; i < 5; ++i) table.insert(table.end(), {std::uint8_t(i * 10), tint, std::uint8_t(i), 0});
  return PackedDib(h, table, {1, 2, 0, 0, 3, 4, 0, 0});
}

std::vector<ModuleResource> SomeResources() {
  return {{kRtBitmap, 101, 1033, SmallDib(7)},
          {kRtBitmap, 7, 1031, SmallDib(9)},
          {kRtBitmap, 7, 1033, SmallDib(11)},  // second language of id 7
          {3, 101, 1033, Bytes{1, 2, 3}},      // an icon with the same id
          {kRtBitmap, 9, 0, Bytes(30, 0xEE)}};  // a resource that is not a bitmap
}

TEST(ModuleResourcesTest, FindsBitmapResourcesByTypeIdAndFirstLanguage) {
  for (bool plus : {false, true}) {
    for (bool named : {false, true}) {
      SCOPED_TRACE(std::string(plus ? "PE32+" : "PE32") + (named ? " with a named type" : ""));
      const Bytes module = BuildModule(SomeResources(), plus, named);
      ResourceData r = FindModuleResource(module, kRtBitmap, 101);
      ASSERT_EQ(r.status, ResourceStatus::Found);
      EXPECT_EQ(Bytes(r.bytes.begin(), r.bytes.end()), SmallDib(7));
      r = FindModuleResource(module, kRtBitmap, 7);
      ASSERT_EQ(r.status, ResourceStatus::Found);
      EXPECT_EQ(Bytes(r.bytes.begin(), r.bytes.end()), SmallDib(9));  // language 1031 comes first
      r = FindModuleResource(module, 3, 101);
      ASSERT_EQ(r.status, ResourceStatus::Found);
      EXPECT_EQ(r.bytes.size(), 3u);
      EXPECT_EQ(FindModuleResource(module, kRtBitmap, 102).status, ResourceStatus::NotFound);
      EXPECT_EQ(FindModuleResource(module, 4, 101).status, ResourceStatus::NotFound);
    }
  }
}

TEST(ModuleResourcesTest, LoaderDecodesTheResourceAsAPackedBitmap) {
  TempDir dir;
  const std::string path = dir.Path("pictures.dll");
  WriteAll(path, BuildModule(SomeResources()));
  const HBITMAP bitmap = LoadResourceBitmap(path, 101);
  ASSERT_NE(bitmap, 0u);
  BitmapDesc d{};
  ASSERT_TRUE(GetBitmapDesc(bitmap, &d));
  EXPECT_EQ(d.bits_pixel, 8);
  const RgbImage rgb = BitmapRgb(bitmap);
  // Top row is memory row 1: indices 3, 4 -> (red i, green 7, blue 10 i).
  EXPECT_EQ(rgb.rgb, (Bytes{3, 7, 30, 4, 7, 40, 1, 7, 10, 2, 7, 20}));
  DeleteObject(bitmap);

  for (std::int32_t id : {0, -1, 102, 0x10065, 9}) {
    EXPECT_EQ(LoadResourceBitmap(path, id), 0u) << id;
  }
  EXPECT_EQ(LoadResourceBitmap(dir.Path("missing.dll"), 101), 0u);
}

TEST(ModuleResourcesTest, FilesThatAreNotModules) {
  EXPECT_EQ(FindModuleResource({}, kRtBitmap, 1).status, ResourceStatus::NotAModule);
  Bytes text(200, 'x');
  EXPECT_EQ(FindModuleResource(text, kRtBitmap, 1).status, ResourceStatus::NotAModule);
  Bytes module = BuildModule(SomeResources());
  Set32(module, 0x3C, 0xFFFFFFF0);  // PE header offset past the end
  EXPECT_EQ(FindModuleResource(module, kRtBitmap, 101).status, ResourceStatus::NotAModule);
}

TEST(ModuleResourcesTest, MalformedModulesAreRefused) {
  const Bytes good = BuildModule(SomeResources());
  const std::size_t opt = 0x40 + 4 + 20;
  const std::size_t section = opt + 224;
  const std::size_t rsrc = 0x200;
  struct Case {
    const char* what;
    std::size_t at;
    std::uint32_t value;
    ResourceStatus status;
  };
  const Case cases[] = {
      {"no resource directory", opt + 96 + 16, 0, ResourceStatus::NoResources},
      {"two data directories only", opt + 92, 2, ResourceStatus::NoResources},
      {"unknown optional header", opt, 0x999, ResourceStatus::Malformed},
      {"resource directory outside every section", opt + 96 + 16, 0x9000, ResourceStatus::Malformed},
      {"section raw data past the end", section + 20, 0x7FFFFFF0, ResourceStatus::Malformed},
      {"65535 sections", 0x44 + 2, 0xFFFF, ResourceStatus::Malformed},
      {"65535 type entries", rsrc + 14, 0xFFFF, ResourceStatus::Malformed},
      {"type entry leads to a data entry", rsrc + 20, 0x18, ResourceStatus::Malformed},
      {"type subdirectory far away", rsrc + 20, 0x80FFFFF0, ResourceStatus::Malformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes module = good;
    if (c.at == 0x44 + 2 || c.at == rsrc + 14) {
      Set16(module, c.at, c.value);  // 16-bit counts
    } else {
      Set32(module, c.at, c.value);
    }
    const ResourceData r = FindModuleResource(module, kRtBitmap, 101);
    EXPECT_EQ(r.status, c.status);
    if (c.status == ResourceStatus::Malformed) {
      EXPECT_FALSE(r.why.empty());
    }
  }
}

// Every prefix and random damage: a status, never a read outside the bytes.
TEST(ModuleResourcesTest, DamagedModulesNeverCrash) {
  const Bytes good = BuildModule(SomeResources());
  int found = 0, refused = 0;
  auto attempt = [&](const Bytes& m) {
    const ResourceData r = FindModuleResource(m, kRtBitmap, 101);
    if (r.status == ResourceStatus::Found) {
      ASSERT_GE(r.bytes.data(), m.data());
      ASSERT_LE(r.bytes.data() + r.bytes.size(), m.data() + m.size());
      ++found;
    } else {
      ++refused;
    }
  };
  for (std::size_t n = 0; n <= good.size(); n += 7) attempt(Bytes(good.begin(), good.begin() + static_cast<long>(n)));
  std::mt19937 rng(5);
  for (int round = 0; round < 3000; ++round) {
    Bytes m = good;
    for (int i = 0, n = 1 + static_cast<int>(rng() % 3); i < n; ++i) {
      // Headers and the resource tree are where damage matters.
      const std::size_t at = (rng() & 1) ? rng() % 0x180 : 0x200 + rng() % 0x80;
      m[at] = static_cast<std::uint8_t>(rng());
    }
    attempt(m);
  }
  EXPECT_GT(found, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace zoetra

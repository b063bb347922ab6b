#include <zoetra/zoetra.hpp>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "component/mdfile.hpp"
#include "platform/base/eventlog.hpp"
#include "support/caught.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace zoetra {
namespace {

using test::LogCapture;

using test::Caught;

TEST(ZoetraTest, SumOverflowIsReportedLoggedAndRaised) {
  LogCapture log;
  Zoetra z;
  const Error e = Caught([&] { z.Sum(32767, 1); });
  EXPECT_EQ(static_cast<std::uint32_t>(e.number()), 0x800403E9u);
  EXPECT_EQ(e.source(), "Basic Component");
  const std::string report =
      "Error Code: 0x6\r\nError Description: Overflow\r\nError Source: ZoetraCom";
  EXPECT_EQ(e.description(), "Basic Error: " + report);
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].first, platform::EventType::Error);
  EXPECT_EQ(log.entries[0].second, report);

  EXPECT_EQ(Caught([&] { z.Sum(-32768, -1); }).number(), kErrComponent);
  EXPECT_EQ(z.Sum(-5, 3), -2);
  EXPECT_EQ(log.entries.size(), 2u);
}

TEST(ZoetraTest, RatioRoundsHalvesToEvenAndReportsFailures) {
  LogCapture log;
  Zoetra z;
  const struct {
    std::int16_t a, b, q;
  } ok[] = {{7, 2, 4}, {5, 2, 2}, {-7, 2, -4}, {3, 2, 2}, {1, 3, 0}, {32767, 1, 32767}};
  for (const auto& c : ok) EXPECT_EQ(z.Ratio(c.a, c.b), c.q) << c.a << "/" << c.b;

  const struct {
    std::int16_t a, b;
    const char* inner;
  } bad[] = {{1, 0, "Error Code: 0xB\r\nError Description: Division by zero"},
             {0, 0, "Error Code: 0x6\r\nError Description: Overflow"},
             {-32768, -1, "Error Code: 0x6\r\nError Description: Overflow"}};
  for (const auto& c : bad) {
    const Error e = Caught([&] { z.Ratio(c.a, c.b); });
    EXPECT_EQ(e.number(), kErrComponent);
    EXPECT_EQ(e.description().rfind(std::string("Basic Error: ") + c.inner, 0), 0u) << e.description();
  }
  EXPECT_EQ(log.entries.size(), 3u);
}

TEST(ZoetraTest, ErrorReportFormatsNumberInUpperHexWithoutPadding) {
  EXPECT_EQ(ErrorReport(Error(kErrComponent, "d", "s")), "Error Code: 0x800403E9\r\nError Description: d\r\nError Source: s");
  EXPECT_EQ(ErrorReport(Error(53, "File not found")),
            "Error Code: 0x35\r\nError Description: File not found\r\nError Source: ZoetraCom");
}

TEST(ZoetraTest, DirectRaiseLogsNothing) {
  LogCapture log;
  const Error e = Caught([] { RaiseComponentError("Input is not an variant Array."); });
  EXPECT_EQ(e.description(), "Basic Error: Input is not an variant Array.");
  EXPECT_EQ(e.source(), "Basic Component");
  EXPECT_TRUE(log.entries.empty());
}

TEST(ZoetraTest, CreateZoetra2AndObjectControl) {
  using platform::Variant;
  using platform::VariantArray;
  using platform::VarType;
  Zoetra z;
  EXPECT_EQ(z.CreateZoetra2(Variant(VariantArray(VarType::Variant, {{0, -1}}))), "OK");
  EXPECT_EQ(z.CreateZoetra2(Variant(VariantArray(VarType::Int16, {{1, 2}, {0, 3}}))), "OK");
  EXPECT_EQ(z.CreateZoetra2(Variant("a.png")), "Error");
  EXPECT_EQ(z.CreateZoetra2(Variant()), "Error");
  z.Activate();
  z.Deactivate();
  EXPECT_FALSE(z.CanBePooled());
  EXPECT_FALSE(z.CanBePooled());
}

TEST(MdFileTest, ExtensionAndBaseName) {
  const struct {
    const char* path;
    const char* ext;
    const char* base;
    const char* base_keep;
  } cases[] = {
      {"C:\\out\\anim.gif", "gif", "anim", "C:\\out\\anim"},
      {"C:\\out\\a.b.gif", "gif", "a.b", "C:\\out\\a.b"},
      {"C:\\a.b\\anim", "", "anim", "C:\\a.b\\anim"},
      {"D:anim.gif", "gif", "anim", "D:anim"},
      {"C:/out/anim.gif", "gif", "/out/anim", "C:/out/anim"},
      {"C:\\out\\", "", "", "C:\\out\\"},
      {"C:\\out\\.gif", "gif", "", "C:\\out\\"},
      {".gif", "gif", ".gif", ""},
      {"", "", "", ""},
      {"/tmp/x/anim.gif", "gif", "/tmp/x/anim", "/tmp/x/anim"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mdFile::GetFileExtension(c.path), c.ext) << c.path;
    EXPECT_EQ(mdFile::GetFileBaseName(c.path, 0), c.base) << c.path;
    EXPECT_EQ(mdFile::GetFileBaseName(c.path, -1), c.base_keep) << c.path;
  }
}

TEST(MdFileTest, FileExists) {
  test::TempDir dir;
  test::WriteAll(dir.Path("f.gif"), "x");
  EXPECT_TRUE(mdFile::FileExists(dir.Path("f.gif")));
  EXPECT_FALSE(mdFile::FileExists(dir.path()));
  EXPECT_FALSE(mdFile::FileExists(dir.Path("missing.gif")));
  EXPECT_FALSE(mdFile::FileExists(""));
}

}  // namespace
}  // namespace zoetra

// The C interface as a host in another language sees it.
#include <zoetra/compat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "gif/cgif.hpp"
#include "platform/base/eventlog.hpp"
#include "support/limits_scope.hpp"
#include "support/pictures.hpp"
#include "support/pool_control.hpp"
#include "support/temp_dir.hpp"

namespace {

// A w x h 24-bit bitmap file, the left half (r, g, b), the right half blue.
std::vector<std::uint8_t> HalvesBmp(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return zoetra::test::BmpBytes(
      w, h, [=](int x, int) { return x < w / 2 ? zoetra::test::Rgb{r, g, b} : zoetra::test::Rgb{0, 0, 255}; });
}

// Keeps the system log out of the test output.
class QuietLog {
 public:
  QuietLog() { previous_ = zoetra::platform::SetEventLogSink([this](auto, std::string_view) { ++entries; }); }
  ~QuietLog() { zoetra::platform::SetEventLogSink(std::move(previous_)); }
  int entries = 0;

 private:
  zoetra::platform::EventLogSink previous_;
};

class CInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zoetra::test::EndPoolThreads();
    ASSERT_EQ(DllCanUnloadNow(), ZOETRA_S_OK) << "an earlier test left an instance alive";
    z_ = zoetra_new();
    ASSERT_NE(z_, nullptr);
  }
  void TearDown() override {
    zoetra_release(z_);
    zoetra::test::EndPoolThreads();
    EXPECT_EQ(DllCanUnloadNow(), ZOETRA_S_OK);
  }
  ZoetraInstance* z_ = nullptr;
  QuietLog log_;
};

TEST_F(CInterfaceTest, SumAndRatioResultsAndFailures) {
  const struct {
    bool sum;
    std::int16_t a, b;
    int rc;
    std::int16_t value;   // when rc == 0
    const char* inner;    // the caught failure's report, when rc != 0
  } cases[] = {
      {true, -5, 3, 0, -2, nullptr},
      {true, 32767, 1, 1, 0, "Error Code: 0x6\r\nError Description: Overflow"},
      {true, -32768, -1, 1, 0, "Error Code: 0x6\r\n"},
      {false, 7, 2, 0, 4, nullptr},
      {false, 5, 2, 0, 2, nullptr},
      {false, -7, 2, 0, -4, nullptr},
      {false, 1, 0, 1, 0, "Error Code: 0xB\r\n"},
      {false, 0, 0, 1, 0, "Error Code: 0x6\r\n"},
      {false, -32768, -1, 1, 0, "Error Code: 0x6\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.sum ? "Sum " : "Ratio ") + std::to_string(c.a) + ", " + std::to_string(c.b));
    std::int16_t out = 12345;
    const int rc = c.sum ? zoetra_sum(z_, c.a, c.b, &out) : zoetra_ratio(z_, c.a, c.b, &out);
    ASSERT_EQ(rc != 0, c.rc != 0);
    if (rc == 0) {
      EXPECT_EQ(out, c.value);
      EXPECT_EQ(zoetra_error_number(z_), 0);
      EXPECT_STREQ(zoetra_error_description(z_), "");
      EXPECT_STREQ(zoetra_error_source(z_), "");
    } else {
      EXPECT_EQ(out, 12345) << "a failed call must not write its result";
      EXPECT_EQ(zoetra_error_number(z_), ZOETRA_E_COMPONENT);
      EXPECT_EQ(std::string(zoetra_error_description(z_)).rfind(std::string("Basic Error: ") + c.inner, 0), 0u)
          << zoetra_error_description(z_);
      EXPECT_STREQ(zoetra_error_source(z_), "Basic Component");
    }
  }
  EXPECT_EQ(log_.entries, 5);  // one entry per caught failure
  // A null result pointer is allowed; the success clears the previous failure.
  EXPECT_EQ(zoetra_sum(z_, 1, 2, nullptr), 0);
  EXPECT_EQ(zoetra_error_number(z_), 0);
}

TEST_F(CInterfaceTest, CreateZoetra2AndObjectControl) {
  char text[16];
  std::size_t length = 99;
  const char* one[] = {"a.png"};
  EXPECT_EQ(zoetra_create_zoetra2(z_, one, 1, text, sizeof text, &length), 0);
  EXPECT_STREQ(text, "OK");
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(zoetra_create_zoetra2(z_, one, 0, text, sizeof text, &length), 0);
  EXPECT_STREQ(text, "OK");
  EXPECT_EQ(zoetra_create_zoetra2(z_, nullptr, 3, text, sizeof text, &length), 0);
  EXPECT_STREQ(text, "Error");
  EXPECT_EQ(length, 5u);
  // A negative count is no list at all.
  std::strcpy(text, "stale");
  EXPECT_NE(zoetra_create_zoetra2(z_, one, -1, text, sizeof text, &length), 0);
  EXPECT_EQ(zoetra_error_number(z_), ZOETRA_E_INVALID_ARGUMENT);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(length, 0u);

  EXPECT_EQ(zoetra_activate(z_), 0);
  EXPECT_EQ(zoetra_deactivate(z_), 0);
  EXPECT_EQ(zoetra_can_be_pooled(z_), 0);
  EXPECT_EQ(zoetra_can_be_pooled(z_), 0);
}

TEST_F(CInterfaceTest, NullInstanceFailsWithoutCrashing) {
  std::int16_t out = 0;
  // The classic calls keep their -1.
  EXPECT_EQ(zoetra_sum(nullptr, 1, 2, &out), -1);
  EXPECT_EQ(zoetra_ratio(nullptr, 1, 2, &out), -1);
  EXPECT_EQ(zoetra_create_zoetra2(nullptr, nullptr, 0, nullptr, 0, nullptr), -1);
  EXPECT_EQ(zoetra_create_zoetra(nullptr, nullptr, 0, "x.gif", 350, 0, 0, 0, 0, nullptr, 0, nullptr), -1);
  EXPECT_EQ(zoetra_activate(nullptr), -1);
  EXPECT_EQ(zoetra_can_be_pooled(nullptr), 0);
  EXPECT_EQ(zoetra_error_number(nullptr), 0);
  EXPECT_STREQ(zoetra_error_description(nullptr), "");
  EXPECT_STREQ(zoetra_error_source(nullptr), "");
  zoetra_release(nullptr);
}

// The options and writer calls return the number they record, and tell the
// host's own mistakes (ZOETRA_E_MISUSE) apart from faults of its pictures.
TEST_F(CInterfaceTest, MisuseHasItsOwnNumber) {
  zoetra::test::TempDir dir;
  const std::string out = dir.Path("out.gif");
  const std::uint8_t rgb[2 * 2 * 3] = {};
  const ZoetraPicture good{nullptr, rgb, 2, 2, 0, ZOETRA_PIXELS_RGB};
  ZoetraPicture bad = good;
  bad.layout = 99;
  const char* files[] = {"a.png"};
  ZoetraWriter* w = reinterpret_cast<ZoetraWriter*>(1);

  // Without an instance nothing is recorded: the return alone tells.
  EXPECT_EQ(zoetra_create(nullptr, files, 1, out.c_str(), nullptr, nullptr, 0, nullptr), ZOETRA_E_MISUSE);
  EXPECT_EQ(zoetra_create_pictures(nullptr, &good, 1, out.c_str(), nullptr, nullptr, 0, nullptr), ZOETRA_E_MISUSE);
  EXPECT_EQ(zoetra_writer_open(nullptr, out.c_str(), nullptr, &w), ZOETRA_E_MISUSE);
  EXPECT_EQ(w, nullptr);

  const struct {
    const char* what;
    std::function<int()> call;
    std::int32_t number;
    const char* said;  // in the description
  } cases[] = {
      {"open without a writer slot", [&] { return zoetra_writer_open(z_, out.c_str(), nullptr, nullptr); },
       ZOETRA_E_MISUSE, "zoetra_writer_open"},
      {"add to no writer", [&] { return zoetra_writer_add(z_, nullptr, &good, -1); }, ZOETRA_E_MISUSE,
       "zoetra_writer_add was given no writer"},
      {"finish no writer", [&] { return zoetra_writer_finish(z_, nullptr, nullptr); }, ZOETRA_E_MISUSE,
       "zoetra_writer_finish was given no writer"},
      // Bad data stays bad data.
      {"a missing file", [&] { return zoetra_create(z_, files, 1, out.c_str(), nullptr, nullptr, 0, nullptr); },
       ZOETRA_E_FILE_NOT_FOUND, "a.png"},
      {"an unknown layout", [&] { return zoetra_create_pictures(z_, &bad, 1, out.c_str(), nullptr, nullptr, 0, nullptr); },
       ZOETRA_E_INVALID_ARGUMENT, "unknown pixel layout"},
      {"an empty list", [&] { return zoetra_create(z_, nullptr, 0, out.c_str(), nullptr, nullptr, 0, nullptr); },
       ZOETRA_E_INVALID_ARGUMENT, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(), c.number);
    EXPECT_EQ(zoetra_error_number(z_), c.number);
    EXPECT_NE(std::string(zoetra_error_description(z_)).find(c.said), std::string::npos)
        << zoetra_error_description(z_);
  }
  EXPECT_FALSE(std::filesystem::exists(out));

  // A finished writer refuses more frames and a second finish.
  ASSERT_EQ(zoetra_writer_open(z_, out.c_str(), nullptr, &w), 0);
  ASSERT_EQ(zoetra_writer_add(z_, w, &good, -1), 0);
  std::int64_t frames = 0;
  ASSERT_EQ(zoetra_writer_finish(z_, w, &frames), 0) << zoetra_error_description(z_);
  EXPECT_EQ(frames, 1);
  const std::string made = zoetra::test::ReadAll(out);
  EXPECT_EQ(zoetra_writer_add(z_, w, &good, -1), ZOETRA_E_MISUSE);
  EXPECT_NE(std::string(zoetra_error_description(z_)).find("is finished"), std::string::npos);
  EXPECT_EQ(zoetra_writer_finish(z_, w, &frames), ZOETRA_E_MISUSE);
  EXPECT_EQ(zoetra::test::ReadAll(out), made) << "a refused call changed the file";
  zoetra_writer_release(w);

  // A writer that failed on a bad picture (bad data: 5) refuses the rest as misuse.
  const std::string other = dir.Path("other.gif");
  ASSERT_EQ(zoetra_writer_open(z_, other.c_str(), nullptr, &w), 0);
  EXPECT_EQ(zoetra_writer_add(z_, w, &bad, -1), ZOETRA_E_INVALID_ARGUMENT);
  EXPECT_EQ(zoetra_writer_add(z_, w, &good, -1), ZOETRA_E_MISUSE);
  EXPECT_NE(std::string(zoetra_error_description(z_)).find("earlier failure"), std::string::npos);
  EXPECT_EQ(zoetra_writer_finish(z_, w, &frames), ZOETRA_E_MISUSE);
  zoetra_writer_release(w);
  EXPECT_FALSE(std::filesystem::exists(other));
}

TEST_F(CInterfaceTest, CreateZoetraEndToEnd) {
  zoetra::test::TempDir dir;
  const std::string red = dir.Path("red.bmp"), blue = dir.Path("blue.bmp"), out = dir.Path("anim.gif");
  zoetra::test::WriteAll(red, HalvesBmp(6, 4, 255, 0, 0));
  zoetra::test::WriteAll(blue, HalvesBmp(6, 4, 0, 0, 255));  // all blue
  const char* files[] = {red.c_str(), blue.c_str(), red.c_str()};
  char text[128];
  std::size_t length = 0;
  ASSERT_EQ(zoetra_create_zoetra(z_, files, 3, out.c_str(), 250, 0, 0, 0, 0, text, sizeof text, &length), 0)
      << zoetra_error_description(z_);
  // Only ':' and '\\' separate path components in the result text, so a POSIX path stays whole.
  EXPECT_EQ(std::string(text), "OK, Animated GIF: " + out + " created with 3 frames");
  EXPECT_EQ(length, std::strlen(text));

  zoetra::cGIF gif;
  ASSERT_TRUE(gif.LoadFromFile(out));
  ASSERT_EQ(gif.FramesCount(), 3);
  EXPECT_EQ(gif.ScreenWidth(), 6);
  EXPECT_EQ(gif.FrameDelay(2), 25);
  // The palette comes from the first picture (red and blue halves); frame 2 is all blue.
  EXPECT_EQ(gif.LocalPaletteRGBEntry(1, gif.FrameDIBXOR(1)->lpBits()[0]), 0x0000FF);
  EXPECT_EQ(gif.LocalPaletteRGBEntry(2, gif.FrameDIBXOR(2)->lpBits()[0]), 0xFF0000);

  // A missing picture without show_error: the loader's own failure, an empty text, no file.
  const std::string missing = dir.Path("missing.png"), out2 = dir.Path("other.gif");
  const char* bad[] = {red.c_str(), missing.c_str()};
  EXPECT_EQ(zoetra_create_zoetra(z_, bad, 2, out2.c_str(), 350, 0, 0, 0, 0, text, sizeof text, &length), 1);
  EXPECT_EQ(zoetra_error_number(z_), ZOETRA_E_FILE_NOT_FOUND);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(length, 0u);
  EXPECT_FALSE(std::filesystem::exists(out2));
  // With show_error: the component's error around the loader's report.
  EXPECT_EQ(zoetra_create_zoetra(z_, bad, 2, out2.c_str(), 350, 0, 0, 0, 1, text, sizeof text, &length), 1);
  EXPECT_EQ(zoetra_error_number(z_), ZOETRA_E_COMPONENT);
  EXPECT_EQ(std::string(zoetra_error_description(z_)).rfind("Basic Error: Error Code: 0x35\r\n", 0), 0u);

  // A directory as output: the save message as text, or raised with show_error.
  EXPECT_EQ(zoetra_create_zoetra(z_, files, 1, dir.path().c_str(), 350, 0, 0, 0, 0, text, sizeof text, &length), 0);
  EXPECT_STREQ(text, "Unexpected error saving GIF file. (Can be access denied)");
  EXPECT_EQ(zoetra_create_zoetra(z_, files, 1, dir.path().c_str(), 350, 0, 0, 0, -1, text, sizeof text, &length), 1);
  EXPECT_EQ(zoetra_error_number(z_), ZOETRA_E_COMPONENT);
  // Not an array.
  EXPECT_EQ(zoetra_create_zoetra(z_, nullptr, 0, out.c_str(), 350, 0, 0, 0, 0, text, sizeof text, &length), 0);
  EXPECT_STREQ(text, "Input is not an variant Array.");
}

TEST_F(CInterfaceTest, ResultTextIsCutToTheBufferAndKeepsItsLength) {
  const char* files[] = {"x"};
  const std::string full = "OK";
  for (const std::size_t size : {0u, 1u, 2u, 3u}) {
    SCOPED_TRACE(size);
    char text[4] = {'#', '#', '#', '#'};
    std::size_t length = 0;
    ASSERT_EQ(zoetra_create_zoetra2(z_, files, 1, size == 0 ? nullptr : text, size, &length), 0);
    EXPECT_EQ(length, full.size());
    if (size == 0) {
      EXPECT_EQ(text[0], '#');
    } else {
      EXPECT_EQ(std::string(text), full.substr(0, size - 1));
      EXPECT_EQ(text[size], '#') << "wrote past the buffer";
    }
  }
  // The save message (56 bytes) into 10 bytes: 9 characters and the NUL.
  char small[11];
  std::memset(small, '#', sizeof small);
  std::size_t length = 0;
  zoetra::test::TempDir dir;
  const std::string pic = dir.Path("p.bmp");
  zoetra::test::WriteAll(pic, HalvesBmp(2, 2, 1, 2, 3));
  const char* one[] = {pic.c_str()};
  ASSERT_EQ(zoetra_create_zoetra(z_, one, 1, dir.path().c_str(), 350, 0, 0, 0, 0, small, 10, &length), 0);
  EXPECT_STREQ(small, "Unexpecte");
  EXPECT_EQ(small[10], '#');
  EXPECT_EQ(length, std::strlen("Unexpected error saving GIF file. (Can be access denied)"));

  // A cut never splits a character: the buffer ends inside the two bytes of U+00E9.
  const std::string accented = dir.Path("\xC3\xA9.gif");
  const std::string head = "OK, Animated GIF: " + dir.path() + "/";
  std::vector<char> cut(head.size() + 2, '#');
  ASSERT_EQ(zoetra_create_zoetra(z_, one, 1, accented.c_str(), 350, 0, 0, 0, 0, cut.data(), cut.size(), &length), 0);
  EXPECT_EQ(std::string(cut.data()), head);
  EXPECT_EQ(length, head.size() + std::strlen("\xC3\xA9.gif created with 1 frames"));
}

TEST(CInterfaceEntryPointsTest, RegistrationAndClassObject) {
  zoetra::test::EndPoolThreads();
  ASSERT_EQ(DllCanUnloadNow(), ZOETRA_S_OK);
  EXPECT_EQ(DllRegisterServer(), ZOETRA_S_OK);
  EXPECT_EQ(DllUnregisterServer(), ZOETRA_S_OK);

  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(&IID__Zoetra, &IID_ZoetraClassFactory, &object), ZOETRA_CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  object = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(&CLSID_Zoetra, &IID__Zoetra, &object), ZOETRA_E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(DllGetClassObject(&CLSID_Zoetra, &IID_ZoetraClassFactory, nullptr), ZOETRA_E_POINTER);
  object = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(nullptr, &IID_ZoetraClassFactory, &object), ZOETRA_E_POINTER);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(DllGetClassObject(&CLSID_Zoetra, nullptr, &object), ZOETRA_E_POINTER);
  EXPECT_EQ(DllCanUnloadNow(), ZOETRA_S_OK) << "failed calls must not count objects";

  ASSERT_EQ(DllGetClassObject(&CLSID_Zoetra, &IID_ZoetraClassFactory, &object), ZOETRA_S_OK);
  auto* factory = static_cast<ZoetraClassFactory*>(object);
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(DllCanUnloadNow(), ZOETRA_S_FALSE) << "the class object lives";
  factory->Release(nullptr);  // releases nothing
  EXPECT_EQ(DllCanUnloadNow(), ZOETRA_S_FALSE);

  void* made = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(factory, &IID_ZoetraClassFactory, &made), ZOETRA_E_NOINTERFACE);
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(factory->CreateInstance(factory, nullptr, &made), ZOETRA_E_POINTER);
  EXPECT_EQ(factory->CreateInstance(factory, &IID__Zoetra, nullptr), ZOETRA_E_POINTER);
  ASSERT_EQ(factory->CreateInstance(factory, &IID__Zoetra, &made), ZOETRA_S_OK);
  auto* instance = static_cast<ZoetraInstance*>(made);
  std::int16_t sum = 0;
  EXPECT_EQ(zoetra_sum(instance, 40, 2, &sum), 0);
  EXPECT_EQ(sum, 42);

  factory->Release(factory);
  EXPECT_EQ(DllCanUnloadNow(), ZOETRA_S_FALSE) << "the instance outlives its class object";
  zoetra_release(instance);
  EXPECT_EQ(DllCanUnloadNow(), ZOETRA_S_OK);

  // A plain instance counts as well.
  ZoetraInstance* plain = zoetra_new();
  EXPECT_EQ(DllCanUnloadNow(), ZOETRA_S_FALSE);
  zoetra_release(plain);
  EXPECT_EQ(DllCanUnloadNow(), ZOETRA_S_OK);
}

// Pool threads run the library's code: while one lives, the library must stay.
TEST(CInterfaceEntryPointsTest, PoolThreadsKeepTheLibrary) {
  const zoetra::test::LimitsScope limits(3);
  zoetra::test::EndPoolThreads();
  ASSERT_EQ(DllCanUnloadNow(), ZOETRA_S_OK);
  {
    const zoetra::test::PoolHold busy(2);
    EXPECT_EQ(DllCanUnloadNow(), ZOETRA_S_FALSE) << "busy pool threads";
  }
  EXPECT_EQ(DllCanUnloadNow(), ZOETRA_S_FALSE) << "idle pool threads";
  zoetra::test::EndPoolThreads();
  EXPECT_EQ(DllCanUnloadNow(), ZOETRA_S_OK);
}

TEST(CInterfaceEntryPointsTest, IdentifiersAreDistinct) {
  const ZoetraGuid* ids[] = {&LIBID_ZoetraCom, &CLSID_Zoetra, &IID__Zoetra, &IID_ZoetraClassFactory};
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = i + 1; j < 4; ++j) EXPECT_NE(std::memcmp(ids[i], ids[j], sizeof(ZoetraGuid)), 0);
  }
}

}  // namespace

// What a host gets from <zoetra/zoetra.hpp> and <zoetra/zoetra.h>: the
// version, and nothing of the drawing layer or of the classic calls.
#include <zoetra/zoetra.h>
#include <zoetra/zoetra.hpp>

// The classic calls, the identifiers and the entry points stay behind <zoetra/compat.h>.
#if defined(ZOETRA_COMPAT_H_) || defined(ZOETRA_S_OK) || defined(ZOETRA_DISPID_SUM)
#error "the front door brings in the classic calls of <zoetra/compat.h>"
#endif

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

namespace {
// Stand-ins that unqualified lookup below reaches only while the headers
// declare no names of their own like them: the drawing layer's handles, the
// raster and the loaded picture.
struct Handle {};
struct HDC {};
struct HBITMAP {};
struct HGDIOBJ {};
struct StdPicture {};
struct cDIB {};
}  // namespace

namespace zoetra::platform {
static_assert(std::is_same_v<Handle, ::Handle> && std::is_same_v<HDC, ::HDC> &&
                  std::is_same_v<HBITMAP, ::HBITMAP> && std::is_same_v<HGDIOBJ, ::HGDIOBJ>,
              "zoetra.hpp brings in the drawing layer's handle types");
static_assert(std::is_same_v<StdPicture, ::StdPicture>, "zoetra.hpp brings in the picture codecs");
}  // namespace zoetra::platform
namespace zoetra {
static_assert(std::is_same_v<cDIB, ::cDIB>, "zoetra.hpp brings in the raster type");
}  // namespace zoetra

// The headers' version, the C++ and C calls, and the numbers all tell one version.
TEST(PublicHeaders, VersionIsTheLibrarys) {
  const std::string numbers = std::to_string(ZOETRA_VERSION_MAJOR) + "." +
                              std::to_string(ZOETRA_VERSION_MINOR) + "." +
                              std::to_string(ZOETRA_VERSION_PATCH);
  EXPECT_EQ(numbers, ZOETRA_VERSION_STRING);
  EXPECT_EQ(zoetra::Version(), ZOETRA_VERSION_STRING);
  EXPECT_STREQ(zoetra_version(), ZOETRA_VERSION_STRING);
}

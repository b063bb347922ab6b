// FFmpeg's libraries opened by name: every function found in its library, and
// what is missing said by name when a library cannot be loaded or lacks one.
#include <gtest/gtest.h>

#include <string>

#include "video/ffmpeg_library.hpp"

namespace zoetra::video {
namespace {

TEST(FFmpegLibraryTest, LoadsEveryFunctionOrNamesWhatIsMissing) {
  FFmpegSonames absent = kFFmpegSonames;
  absent[kAvutil] = "libzoetra-absent.so.1";
  FFmpegSonames wrong = kFFmpegSonames;  // libavutil has none of libavformat's functions
  wrong[kAvformat] = kFFmpegSonames[kAvutil];
  const struct {
    const char* what;
    FFmpegSonames sonames;
    std::string missing;  // the start of what is said missing; "" for nothing
  } cases[] = {
      {"the libraries of the headers", kFFmpegSonames, ""},
      {"an absent library", absent, "libzoetra-absent.so.1, which cannot be loaded: "},
      {"a library without a function", wrong, std::string(kFFmpegSonames[kAvutil]) + ", which lacks av_"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FFmpeg table;
    const std::string missing = LoadFFmpeg(c.sonames, table);
    EXPECT_EQ(missing.substr(0, c.missing.size()), c.missing) << missing;
    if (c.missing.empty()) {
      EXPECT_EQ(missing, "");
#define ZOETRA_EXPECT_FOUND(library, name) EXPECT_NE(table.name, nullptr) << #name;
      ZOETRA_FFMPEG_FUNCTIONS(ZOETRA_EXPECT_FOUND)
#undef ZOETRA_EXPECT_FOUND
    } else {
      // The loader's own reason follows for a library it cannot open.
      EXPECT_GT(missing.size(), c.missing.size()) << missing;
    }
  }
  // The names are those of the headers' major versions.
  EXPECT_EQ(std::string(kFFmpegSonames[kAvformat]), "libavformat.so." + std::to_string(LIBAVFORMAT_VERSION_MAJOR));
}

}  // namespace
}  // namespace zoetra::video

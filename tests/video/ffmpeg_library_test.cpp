// FFmpeg's libraries opened by name: every function found in its library; and
// when a library cannot be loaded or lacks a function, each clip refused by
// name with what is missing, the first failure kept for the next clip.
#include <gtest/gtest.h>

#include <string>

#include "platform/base/error.hpp"
#include "video/ffmpeg_library.hpp"

namespace zoetra::video {
namespace {

TEST(FFmpegLibraryTest, LoadsEveryFunctionOrRefusesEachClipNamingWhatIsMissing) {
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
    FFmpegLoader loader(c.sonames);
    if (c.missing.empty()) {
      const FFmpeg& table = loader.For("a.mp4");
#define ZOETRA_EXPECT_FOUND(library, name) EXPECT_NE(table.name, nullptr) << #name;
      ZOETRA_FFMPEG_FUNCTIONS(ZOETRA_EXPECT_FOUND)
#undef ZOETRA_EXPECT_FOUND
      continue;
    }
    std::string first_reason;
    for (const std::string clip : {"a.mp4", "b.webm"}) {
      try {
        loader.For(clip);
        ADD_FAILURE() << clip << " was not refused";
      } catch (const Error& e) {
        EXPECT_EQ(e.number(), kErrInvalidPicture);
        const std::string start = "Invalid picture (" + clip + ": video needs FFmpeg's " + c.missing;
        EXPECT_EQ(e.description().substr(0, start.size()), start) << e.description();
        // The same reason for every clip: the first failure is kept.
        const std::string reason = e.description().substr(e.description().find(": ") + 2);
        if (first_reason.empty()) first_reason = reason;
        EXPECT_EQ(reason, first_reason);
      }
    }
  }
  // The names are those of the headers' major versions.
  EXPECT_EQ(std::string(kFFmpegSonames[kAvformat]), "libavformat.so." + std::to_string(LIBAVFORMAT_VERSION_MAJOR));
}

}  // namespace
}  // namespace zoetra::video

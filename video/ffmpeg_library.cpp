#include "video/ffmpeg_library.hpp"

#include <dlfcn.h>

#include <cstring>

#include "platform/base/error.hpp"
#include "platform/codecs/picture_loader.hpp"

namespace zoetra::video {

#define ZOETRA_SONAME_TEXT(major) #major
#define ZOETRA_SONAME(name, major) "lib" name ".so." ZOETRA_SONAME_TEXT(major)
const FFmpegSonames kFFmpegSonames = {
    ZOETRA_SONAME("avutil", LIBAVUTIL_VERSION_MAJOR), ZOETRA_SONAME("swscale", LIBSWSCALE_VERSION_MAJOR),
    ZOETRA_SONAME("avcodec", LIBAVCODEC_VERSION_MAJOR), ZOETRA_SONAME("avformat", LIBAVFORMAT_VERSION_MAJOR)};
#undef ZOETRA_SONAME
#undef ZOETRA_SONAME_TEXT

namespace {

// dlsym gives an object pointer; POSIX lets it stand for a function, and a
// copy of its bytes says so without a cast the language leaves open.
template <typename Function>
bool Resolve(void* library, const char* name, Function& slot) {
  void* symbol = ::dlsym(library, name);
  static_assert(sizeof symbol == sizeof slot);
  std::memcpy(&slot, &symbol, sizeof slot);
  return symbol != nullptr;
}

// Opens `sonames` and fills `table` from them; returns what is missing, "" for nothing.
std::string Load(const FFmpegSonames& sonames, FFmpeg& table) {
  std::array<void*, kFFmpegLibraries> libraries{};
  for (std::size_t i = 0; i < libraries.size(); ++i) {
    libraries[i] = ::dlopen(sonames[i], RTLD_NOW | RTLD_LOCAL);
    if (libraries[i] == nullptr) {
      const char* why = ::dlerror();
      return std::string(sonames[i]) + ", which cannot be loaded: " + (why != nullptr ? why : "no reason given");
    }
  }
#define ZOETRA_FFMPEG_RESOLVE(library, name) \
  if (!Resolve(libraries[library], #name, table.name)) return std::string(sonames[library]) + ", which lacks " #name;
  ZOETRA_FFMPEG_FUNCTIONS(ZOETRA_FFMPEG_RESOLVE)
#undef ZOETRA_FFMPEG_RESOLVE
  return {};
}

}  // namespace

const FFmpeg& FFmpegLoader::For(const std::string& clip) {
  std::call_once(once_, [this] { missing_ = Load(sonames_, table_); });
  if (!missing_.empty()) {
    RaiseError(kErrInvalidPicture, std::string(platform::kInvalidPictureText) + " (" + clip +
                                       ": video needs FFmpeg's " + missing_ + ")");
  }
  return table_;
}

const FFmpeg& FFmpegFor(const std::string& clip) {
  // Never freed: threads' scalers are freed through the table as the threads
  // end, which may be after static destruction.
  static FFmpegLoader* const loader = new FFmpegLoader(kFFmpegSonames);
  return loader->For(clip);
}

}  // namespace zoetra::video

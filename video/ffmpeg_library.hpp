// FFmpeg's functions, loaded when the first clip is opened. Linking FFmpeg
// maps its libraries and the hundred-odd they need at every start, some 27 ms,
// while most runs read pictures only; so nothing links it, and the decoder
// calls through one table of the functions it uses, filled once per process
// by dlopen and dlsym and never unloaded. Inline functions and macros of the
// headers (av_q2d, AVERROR, ...) are used as they are.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/mathematics.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <array>
#include <mutex>
#include <string>

namespace zoetra::video {

// FFmpeg's libraries in the order they are opened, each after those it needs.
enum FFmpegLibrary { kAvutil, kSwscale, kAvcodec, kAvformat, kFFmpegLibraries };

// Every function the decoder calls, with the library that holds it.
#define ZOETRA_FFMPEG_FUNCTIONS(X)                                                                             \
  X(kAvutil, av_display_rotation_get) X(kAvutil, av_frame_alloc) X(kAvutil, av_frame_clone)                    \
  X(kAvutil, av_frame_free) X(kAvutil, av_frame_unref) X(kAvutil, av_get_pix_fmt_name)                         \
  X(kAvutil, av_log_get_level) X(kAvutil, av_log_set_level) X(kAvutil, av_max_alloc)                           \
  X(kAvutil, av_pix_fmt_desc_get) X(kAvutil, av_rescale_q) X(kAvutil, av_strerror)                             \
  X(kSwscale, sws_freeContext) X(kSwscale, sws_getCachedContext) X(kSwscale, sws_getCoefficients)              \
  X(kSwscale, sws_scale) X(kSwscale, sws_setColorspaceDetails)                                                 \
  X(kAvcodec, av_packet_alloc) X(kAvcodec, av_packet_free) X(kAvcodec, av_packet_unref)                        \
  X(kAvcodec, avcodec_alloc_context3) X(kAvcodec, avcodec_flush_buffers) X(kAvcodec, avcodec_free_context)     \
  X(kAvcodec, avcodec_open2) X(kAvcodec, avcodec_parameters_to_context) X(kAvcodec, avcodec_receive_frame)     \
  X(kAvcodec, avcodec_send_packet)                                                                             \
  X(kAvformat, av_find_best_stream) X(kAvformat, av_read_frame) X(kAvformat, av_seek_frame)                    \
  X(kAvformat, av_stream_get_side_data) X(kAvformat, avformat_close_input) X(kAvformat, avformat_find_stream_info) \
  X(kAvformat, avformat_open_input)

struct FFmpeg {
#define ZOETRA_FFMPEG_SLOT(library, name) decltype(&::name) name = nullptr;
  ZOETRA_FFMPEG_FUNCTIONS(ZOETRA_FFMPEG_SLOT)
#undef ZOETRA_FFMPEG_SLOT
};

using FFmpegSonames = std::array<const char*, kFFmpegLibraries>;

// The libraries of the major versions whose headers this build was compiled
// against ("libavformat.so.59"): another major version has another ABI.
extern const FFmpegSonames kFFmpegSonames;

// The functions of the libraries `sonames` names, loaded by the first For()
// on whichever thread; the libraries are never closed.
class FFmpegLoader {
 public:
  explicit FFmpegLoader(const FFmpegSonames& sonames) : sonames_(sonames) {}
  // The table. When it cannot be loaded, every call raises 481 naming `clip`
  // and what is missing: the library that cannot be loaded and the loader's
  // reason, or the library and the function it lacks.
  const FFmpeg& For(const std::string& clip);

 private:
  FFmpegSonames sonames_;
  std::once_flag once_;
  FFmpeg table_;
  std::string missing_;
};

// This process's table, from kFFmpegSonames.
const FFmpeg& FFmpegFor(const std::string& clip);

}  // namespace zoetra::video

#include "video/video_decoder.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include "platform/base/error.hpp"
#include "platform/base/files.hpp"
#include "platform/base/limits.hpp"
#include "platform/codecs/picture_loader.hpp"
#include "raster/picture_fit.hpp"
#include "video/apng_head.hpp"
#include "video/ffmpeg_library.hpp"

namespace zoetra::video {

bool VideoSupported() { return true; }

namespace {

std::string Reason(const FFmpeg& ff, int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  ff.av_strerror(code, text, sizeof text);
  return text;
}

// Decoders warn on stderr about every damaged packet; a library keeps quiet
// and says what matters through its own errors. A host that set its own
// level keeps it.
void QuietLog(const FFmpeg& ff) {
  static std::once_flag once;
  std::call_once(once, [&ff] {
    if (ff.av_log_get_level() == AV_LOG_INFO) ff.av_log_set_level(AV_LOG_QUIET);
  });
}

// Damaged packets in a row after which a stream counts as ended.
constexpr int kMostBadInARow = 64;

bool FullRange(const AVFrame& frame) {
  switch (frame.format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
      return true;
    default:
      return frame.color_range == AVCOL_RANGE_JPEG;
  }
}

// libswscale writes whole vectors, so past the end of a narrow row and of the
// last row; it wants an image laid out as FFmpeg lays out its own frames: rows
// 64-byte aligned and padded to a multiple of 64 bytes, 64 bytes to spare
// after the last. A raster is packed, so frames are converted into such an
// image and their rows copied out.
constexpr std::size_t kScalerAlign = 64;

struct ScalerImage {
  std::vector<std::uint8_t> bytes;
  std::uint8_t* first = nullptr;  // the top row
  int stride = 0;

  void Fit(int width, int height) {
    stride = static_cast<int>((static_cast<std::size_t>(width) * 4 + kScalerAlign - 1) / kScalerAlign * kScalerAlign);
    const std::size_t need =
        static_cast<std::size_t>(stride) * static_cast<std::size_t>(height) + 2 * kScalerAlign;
    if (bytes.size() < need) {
      bytes = std::vector<std::uint8_t>();
      bytes.resize(need);
    }
    const auto at = reinterpret_cast<std::uintptr_t>(bytes.data());
    first = bytes.data() + ((kScalerAlign - at % kScalerAlign) % kScalerAlign);
  }
};

// Each thread converts with a scaler and an image of its own, kept for the
// next frame of the same kind.
struct ThreadScaler {
  const FFmpeg* ff = nullptr;
  SwsContext* context = nullptr;
  ScalerImage image;
  ~ThreadScaler() {
    if (context != nullptr) ff->sws_freeContext(context);
  }
};

// A decoded frame, held by reference to the decoder's buffer until converted.
class VideoPicture final : public FramePicture {
 public:
  VideoPicture(const FFmpeg& ff, AVFrame* frame, int orientation, const std::string& path)
      : ff_(ff), frame_(frame), orientation_(orientation), path_(path) {}
  ~VideoPicture() override { ff_.av_frame_free(&frame_); }

  void ToRaster(cDIB& raster, bool keep_alpha, bool& alpha) const override {
    const FFmpeg& ff = ff_;
    thread_local ThreadScaler scaler;
    scaler.ff = &ff;
    const AVFrame& frame = *frame_;
    const int width = frame.width, height = frame.height;
    const auto source = static_cast<AVPixelFormat>(frame.format);
    scaler.context = ff.sws_getCachedContext(scaler.context, width, height, source, width, height, AV_PIX_FMT_BGRA,
                                             SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (scaler.context == nullptr) {
      const char* name = ff.av_get_pix_fmt_name(source);
      RaiseError(kErrInvalidPicture, std::string(platform::kInvalidPictureText) + " (" + path_ +
                                         ": frames in pixel format " + (name ? name : "?") + " cannot be converted)");
    }
    // Untagged streams are taken as BT.601, as encoders write them by default.
    int matrix = frame.colorspace;
    if (matrix == AVCOL_SPC_UNSPECIFIED || matrix == AVCOL_SPC_RGB || matrix == AVCOL_SPC_RESERVED) {
      matrix = AVCOL_SPC_BT470BG;
    }
    ff.sws_setColorspaceDetails(scaler.context, ff.sws_getCoefficients(matrix), FullRange(frame) ? 1 : 0,
                                ff.sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    if (!raster.Create(width, height, 32)) RaiseOutOfMemory();
    scaler.image.Fit(width, height);
    std::uint8_t* planes[4] = {scaler.image.first, nullptr, nullptr, nullptr};
    int strides[4] = {scaler.image.stride, 0, 0, 0};
    ff.sws_scale(scaler.context, frame.data, frame.linesize, 0, height, planes, strides);
    const AVPixFmtDescriptor* desc = ff.av_pix_fmt_desc_get(source);
    alpha = keep_alpha && desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
    // The raster keeps its bottom row first; without alpha its fourth bytes are 0.
    constexpr std::uint32_t kColour = std::endian::native == std::endian::little ? 0x00FFFFFFu : 0xFFFFFF00u;
    const std::uint32_t keep = alpha ? 0xFFFFFFFFu : kColour;
    const auto from_stride = static_cast<std::size_t>(scaler.image.stride);
    const auto to_stride = static_cast<std::size_t>(raster.BytesPerScanline());
    for (int y = 0; y < height; ++y) {
      const std::uint8_t* from = scaler.image.first + static_cast<std::size_t>(y) * from_stride;
      std::uint8_t* to = raster.lpBits() + static_cast<std::size_t>(height - 1 - y) * to_stride;
      for (int x = 0; x < width; ++x, from += 4, to += 4) {
        std::uint32_t pixel;
        std::memcpy(&pixel, from, 4);
        pixel &= keep;
        std::memcpy(to, &pixel, 4);
      }
    }
    OrientPicture(raster, orientation_);
  }

 private:
  const FFmpeg& ff_;
  AVFrame* frame_;
  int orientation_;
  std::string path_;
};

}  // namespace

struct VideoDecoder::State {
  State(const FFmpeg& table, const std::string& clip) : ff(table), path(clip) {}

  const FFmpeg& ff;
  std::string path;
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  AVStream* stream = nullptr;
  int orientation = 1;
  bool draining = false;
  int bad_in_a_row = 0;
  std::string stopped;
  std::string warning;
  // After a seek, the tick whose frame must come first (kNoSeek when none),
  // and how far before it the last try went.
  std::int64_t seek_target = kNoSeek;
  std::int64_t seek_back = 0;

  ~State() {
    ff.av_frame_free(&frame);
    ff.av_packet_free(&packet);
    ff.avcodec_free_context(&codec);
    ff.avformat_close_input(&format);
  }

  [[noreturn]] void Refuse(const std::string& why) const {
    RaiseError(kErrInvalidPicture, std::string(platform::kInvalidPictureText) + " (" + path + ": " + why + ")");
  }

  static constexpr std::int64_t kNoSeek = std::numeric_limits<std::int64_t>::min();
  static constexpr std::int64_t kMostBack = std::int64_t{1} << 60;

  void Restart() {
    ff.avcodec_flush_buffers(codec);
    draining = false;
    bad_in_a_row = 0;
  }

  // A seek that did not reach a key frame at or before its target is made
  // good by seeking again, twice as far back each time from a second before
  // it, and at last from the first frame. MPEG-TS seeks to any packet, and
  // the decoder waits for the next key frame; where none comes at all, the
  // clip is decoded from its first frame at once.
  bool MissedTarget(bool ended, std::int64_t pts) {
    if (seek_target == kNoSeek) return false;
    if (!ended && pts <= seek_target) {
      seek_target = kNoSeek;
      return false;
    }
    const std::int64_t first = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    const std::int64_t second = std::max(1, stream->time_base.den / std::max(1, stream->time_base.num));
    seek_back = seek_back == 0 ? second : seek_back > kMostBack / 2 ? kMostBack : seek_back * 2;
    const auto span = static_cast<std::uint64_t>(seek_target) - static_cast<std::uint64_t>(first);
    const bool room = seek_target > first && span > static_cast<std::uint64_t>(seek_back);
    bool moved = false;
    if (!ended && room) {
      moved = ff.av_seek_frame(format, stream->index, seek_target - seek_back, AVSEEK_FLAG_BACKWARD) >= 0;
    }
    if (!moved) {
      seek_target = kNoSeek;  // the last try
      // A stream of packets (MPEG-TS, -PS) goes back to its first byte: a seek
      // by time can land past its only key frame.
      const bool by_byte = (format->iformat->flags & AVFMT_TS_DISCONT) != 0;
      moved = (by_byte && ff.av_seek_frame(format, -1, 0, AVSEEK_FLAG_BYTE) >= 0) ||
              ff.av_seek_frame(format, stream->index, first, AVSEEK_FLAG_BACKWARD) >= 0 ||
              (!by_byte && ff.av_seek_frame(format, -1, 0, AVSEEK_FLAG_BYTE) >= 0);
    }
    if (moved) Restart();
    return moved;
  }

  void Stop(const std::string& why) {
    if (stopped.empty()) stopped = why;
  }

  // One more packet of the stream to the decoder; false once there are none.
  bool Feed() {
    if (draining) return false;
    for (;;) {
      const int read = ff.av_read_frame(format, packet);
      if (read < 0) {
        if (read != AVERROR_EOF) Stop(Reason(ff, read));
        draining = true;
        ff.avcodec_send_packet(codec, nullptr);
        return true;
      }
      if (packet->stream_index != stream->index) {
        ff.av_packet_unref(packet);
        continue;
      }
      const int sent = ff.avcodec_send_packet(codec, packet);
      ff.av_packet_unref(packet);
      if (sent < 0 && sent != AVERROR(EAGAIN)) {
        if (++bad_in_a_row > kMostBadInARow) {
          Stop(Reason(ff, sent));
          draining = true;
          ff.avcodec_send_packet(codec, nullptr);
        }
      }
      return true;
    }
  }
};

namespace {

// FFmpeg's demuxers size some buffers by what a file claims: a hostile file of
// a few bytes can ask for a gigabyte. No single allocation of theirs may pass
// what the largest legal frame needs (process-wide: FFmpeg keeps one cap).
void CapAllocations(const FFmpeg& ff) {
  static std::mutex mutex;
  const std::int64_t frame = platform::GetLimits().max_picture_pixels * 4;
  const std::int64_t cap = std::clamp<std::int64_t>(frame, std::int64_t{64} << 20, std::numeric_limits<int>::max());
  std::lock_guard lock(mutex);
  ff.av_max_alloc(static_cast<std::size_t>(cap));
}

// How to show frames stored as a display matrix says: a quarter turn (as an
// EXIF orientation), when that is all it says. A GIF shows no other turn,
// nor a mirror or skew: those clips are shown as stored, and `warning` says so.
int Orientation(const FFmpeg& ff, const std::int32_t (&m)[9], std::string& warning) {
  // A turn is [a b; -b a] with nothing projective; a quarter turn has a or b 0.
  const bool turn = m[0] == m[4] && m[1] == -m[3] && m[2] == 0 && m[5] == 0 && (m[0] != 0 || m[1] != 0);
  const double angle = ff.av_display_rotation_get(m);  // anticlockwise degrees
  if (!turn || !std::isfinite(angle)) {
    warning = "its display matrix mirrors or skews the picture, which is not followed; the frames are shown as stored";
    return 1;
  }
  if (m[0] != 0 && m[1] != 0) {
    char degrees[32];
    std::snprintf(degrees, sizeof degrees, "%.4g", -angle);
    warning = std::string("its display matrix turns the picture ") + degrees +
              " degrees clockwise, not by quarter turns; the frames are shown as stored";
    return 1;
  }
  switch (((std::lround(-angle / 90.0) % 4) + 4) % 4) {
    case 1: return 6;  // shown turned a quarter clockwise
    case 2: return 3;
    case 3: return 8;
    default: return 1;
  }
}

}  // namespace

VideoDecoder::VideoDecoder(const std::string& path, unsigned threads) {
  platform::CheckReadable(path);
  state_ = std::make_unique<State>(FFmpegFor(path), path);
  State& s = *state_;
  const FFmpeg& ff = s.ff;
  QuietLog(ff);
  CapAllocations(ff);
  int rc = ff.avformat_open_input(&s.format, path.c_str(), nullptr, nullptr);
  if (rc < 0) s.Refuse(std::string(kNoClipDecoder) + " (" + Reason(ff, rc) + ")");
  // An animated PNG is composed on its canvas frame after frame, from however
  // few bytes: its header's canvas is held to the animation limits before
  // the stream's first frame is decoded.
  for (unsigned i = 0; i < s.format->nb_streams; ++i) {
    const AVCodecParameters* head = s.format->streams[i]->codecpar;
    if (head->codec_id == AV_CODEC_ID_APNG) {
      platform::CheckAnimation(path, head->width, head->height, ApngFrames(path), platform::FileLen(path));
    }
  }
  rc = ff.avformat_find_stream_info(s.format, nullptr);
  if (rc < 0) s.Refuse("its streams cannot be read (" + Reason(ff, rc) + ")");
  const AVCodec* decoder = nullptr;
  const int index = ff.av_find_best_stream(s.format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  if (index == AVERROR_DECODER_NOT_FOUND) s.Refuse("this build has no decoder for its video");
  if (index < 0) s.Refuse("it holds no video stream");
  s.stream = s.format->streams[index];
  s.codec = ff.avcodec_alloc_context3(decoder);
  s.packet = ff.av_packet_alloc();
  s.frame = ff.av_frame_alloc();
  if (s.codec == nullptr || s.packet == nullptr || s.frame == nullptr) RaiseOutOfMemory();
  rc = ff.avcodec_parameters_to_context(s.codec, s.stream->codecpar);
  if (rc < 0) s.Refuse("its video cannot be decoded (" + Reason(ff, rc) + ")");
  s.codec->pkt_timebase = s.stream->time_base;
  s.codec->thread_count = static_cast<int>(std::max(1u, threads));
  // The decoder itself allocates no frame past the picture limits.
  s.codec->max_pixels = static_cast<std::int64_t>(
      std::min<std::int64_t>(platform::GetLimits().max_picture_pixels, std::numeric_limits<int>::max()));
  platform::CheckPictureSize(s.codec->width, s.codec->height);
  rc = ff.avcodec_open2(s.codec, decoder, nullptr);
  if (rc < 0) s.Refuse("its video cannot be decoded (" + Reason(ff, rc) + ")");

  std::size_t size = 0;
  const std::uint8_t* matrix = ff.av_stream_get_side_data(s.stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (matrix != nullptr && size >= 9 * sizeof(std::int32_t)) {
    std::int32_t m[9];
    std::memcpy(m, matrix, sizeof m);
    s.orientation = Orientation(ff, m, s.warning);
  }
}

const std::string& VideoDecoder::Warning() const { return state_->warning; }

VideoDecoder::~VideoDecoder() = default;

Ticks VideoDecoder::TimeBase() const { return {state_->stream->time_base.num, state_->stream->time_base.den}; }

std::int64_t VideoDecoder::Origin() const {
  const std::int64_t start = state_->stream->start_time;
  return start == AV_NOPTS_VALUE ? 0 : start;
}

std::int64_t VideoDecoder::Length() const {
  const AVStream& st = *state_->stream;
  if (st.duration != AV_NOPTS_VALUE && st.duration > 0) return st.duration;
  if (state_->format->duration != AV_NOPTS_VALUE && state_->format->duration > 0) {
    return state_->ff.av_rescale_q(state_->format->duration, AV_TIME_BASE_Q, st.time_base);
  }
  return 0;
}

double VideoDecoder::Rate() const {
  const AVStream& st = *state_->stream;
  AVRational rate = st.avg_frame_rate.num > 0 && st.avg_frame_rate.den > 0 ? st.avg_frame_rate : st.r_frame_rate;
  return rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;
}


void VideoDecoder::Seek(std::int64_t ticks) {
  State& s = *state_;
  const FFmpeg& ff = s.ff;
  if (ff.av_seek_frame(s.format, s.stream->index, ticks, AVSEEK_FLAG_BACKWARD) >= 0) {
    s.Restart();
    s.seek_target = ticks;
    s.seek_back = 0;
  }
}

bool VideoDecoder::Next(std::int64_t& pts, std::int64_t& length, Shot& picture) {
  State& s = *state_;
  const FFmpeg& ff = s.ff;
  for (;;) {
    const int rc = ff.avcodec_receive_frame(s.codec, s.frame);
    if (rc == 0) {
      std::int64_t at = s.frame->best_effort_timestamp;
      if (at == AV_NOPTS_VALUE) at = s.frame->pts;
      if (at != AV_NOPTS_VALUE && s.MissedTarget(false, at)) {
        ff.av_frame_unref(s.frame);
        continue;
      }
      break;
    }
    if (rc == AVERROR_EOF || (rc == AVERROR(EAGAIN) && !s.Feed())) {
      if (s.MissedTarget(true, 0)) continue;
      return false;
    }
    if (rc == AVERROR(EAGAIN)) continue;
    // A frame that fails to decode is skipped; a run of them ends the stream.
    if (++s.bad_in_a_row > kMostBadInARow) {
      s.Stop(Reason(ff, rc));
      return false;
    }
  }
  s.bad_in_a_row = 0;
  pts = s.frame->best_effort_timestamp;
  if (pts == AV_NOPTS_VALUE) pts = s.frame->pts;
#if LIBAVUTIL_VERSION_MAJOR >= 58
  length = s.frame->duration;
#else
  length = s.frame->pkt_duration;
#endif
  if (length < 0) length = 0;
  // Frames may change size mid-stream: each is held to the picture limits.
  const int width = s.frame->width, height = s.frame->height;
  AVFrame* held = ff.av_frame_clone(s.frame);
  ff.av_frame_unref(s.frame);
  if (held == nullptr) RaiseOutOfMemory();
  auto shot = std::make_shared<const VideoPicture>(ff, held, s.orientation, s.path);
  platform::CheckPictureSize(width, height);
  picture = std::move(shot);
  return true;
}

const std::string& VideoDecoder::Stopped() const { return state_->stopped; }

}  // namespace zoetra::video

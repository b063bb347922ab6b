// JPEG through libjpeg-turbo, decoded straight into the rows of the final
// 32-bit bitmap: grey, YCbCr and RGB come out as B,G,R,X (X then cleared), and
// CMYK/YCCK as C,M,Y,K, converted to B,G,R,0 in place.
//
// A truncated stream is refused: the library would pad it with grey, and a
// partial picture is not what the file holds. Other recoverable warnings
// (stray bytes between markers) are accepted as the library decodes them.
#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <memory>
#include <string>

#include "platform/base/error.hpp"
#include "platform/codecs/picture_codecs.hpp"
#include "platform/codecs/picture_loader.hpp"

namespace zoetra::platform::detail {
namespace {

// Progressive files may hold many scans, each a pass over the whole picture;
// a file that needs more than this is refused rather than decoded forever.
constexpr int kMaxScans = 1000;
constexpr int kRowsPerRead = 16;

enum class JpegOutcome { Done, LibraryError, TooLarge, Truncated, NoMemory };

// Everything the decode touches lives here, outside the frame that calls
// setjmp, so that a longjmp from the library loses nothing.
struct JpegJob {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  jpeg_progress_mgr progress;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  bool truncated;
  std::uint32_t width;
  std::uint32_t height;
  NewSurface out;
};

JpegJob* JobOf(j_common_ptr c) { return static_cast<JpegJob*>(c->client_data); }

void OnError(j_common_ptr c) {
  JpegJob* job = JobOf(c);
  (*c->err->format_message)(c, job->message);
  std::longjmp(job->jump, 1);
}

void OnMessage(j_common_ptr c, int level) {
  if (level < 0 && c->err->msg_code == JWRN_JPEG_EOF) JobOf(c)->truncated = true;
}

void OnProgress(j_common_ptr c) {
  auto* d = reinterpret_cast<j_decompress_ptr>(c);
  if (d->input_scan_number > kMaxScans) {
    JpegJob* job = JobOf(c);
    std::snprintf(job->message, sizeof job->message, "more than %d scans", kMaxScans);
    std::longjmp(job->jump, 1);
  }
}

bool AllocateSurface(JpegJob& job) noexcept {
  try {
    job.out = NewPictureSurface(static_cast<std::int32_t>(job.width), static_cast<std::int32_t>(job.height), 32);
    return true;
  } catch (...) {
    return false;
  }
}

bool SizeAllowed(std::uint32_t width, std::uint32_t height) noexcept {
  try {
    CheckPictureSize(width, height);
    return true;
  } catch (...) {
    return false;
  }
}

// (a * b) / 255, rounded.
inline std::uint32_t MulDiv255(std::uint32_t a, std::uint32_t b) {
  const std::uint32_t t = a * b + 128;
  return ((t >> 8) + t) >> 8;
}

void CmykToBgr0(std::uint8_t* row, std::uint32_t width, bool inverted) {
  const std::uint8_t flip = inverted ? 0xFF : 0x00;
  for (std::uint32_t x = 0; x < width; ++x) {
    std::uint8_t* p = row + 4 * x;
    const std::uint32_t c = p[0] ^ flip, m = p[1] ^ flip, y = p[2] ^ flip, k = p[3] ^ flip;
    const std::uint32_t nk = 255 - k;
    p[0] = static_cast<std::uint8_t>(nk - MulDiv255(y, nk));
    p[1] = static_cast<std::uint8_t>(nk - MulDiv255(m, nk));
    p[2] = static_cast<std::uint8_t>(nk - MulDiv255(c, nk));
    p[3] = 0;
  }
}

// No object with a destructor may live in this frame: library errors
// longjmp back into it.
JpegOutcome RunJpeg(JpegJob& job, const std::uint8_t* data, std::size_t size) {
  job.cinfo.err = jpeg_std_error(&job.err);
  job.err.error_exit = OnError;
  job.err.emit_message = OnMessage;
  job.cinfo.client_data = &job;
  if (setjmp(job.jump)) {
    jpeg_destroy_decompress(&job.cinfo);
    return JpegOutcome::LibraryError;
  }
  jpeg_create_decompress(&job.cinfo);
  job.cinfo.client_data = &job;
  job.progress.progress_monitor = OnProgress;
  job.cinfo.progress = &job.progress;
  jpeg_mem_src(&job.cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&job.cinfo, TRUE);
  job.width = job.cinfo.image_width;
  job.height = job.cinfo.image_height;
  if (!SizeAllowed(job.width, job.height)) {
    jpeg_destroy_decompress(&job.cinfo);
    return JpegOutcome::TooLarge;
  }
  const bool cmyk = job.cinfo.jpeg_color_space == JCS_CMYK || job.cinfo.jpeg_color_space == JCS_YCCK;
  job.cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRX;
  jpeg_start_decompress(&job.cinfo);
  if (job.cinfo.output_width != job.width || job.cinfo.output_height != job.height ||
      job.cinfo.output_components != 4) {
    std::snprintf(job.message, sizeof job.message, "unexpected decoder output layout");
    jpeg_destroy_decompress(&job.cinfo);
    return JpegOutcome::LibraryError;
  }
  if (!AllocateSurface(job)) {
    jpeg_destroy_decompress(&job.cinfo);
    return JpegOutcome::NoMemory;
  }
  // Adobe files store CMYK inverted.
  const bool inverted = job.cinfo.saw_Adobe_marker;
  JSAMPROW rows[kRowsPerRead];
  while (job.cinfo.output_scanline < job.height) {
    const std::uint32_t first = job.cinfo.output_scanline;
    const std::uint32_t want = std::min<std::uint32_t>(kRowsPerRead, job.height - first);
    for (std::uint32_t i = 0; i < want; ++i) {
      // File rows run top-down, memory rows bottom-up.
      rows[i] = job.out.bits + static_cast<std::size_t>(job.height - 1 - (first + i)) * job.out.stride;
    }
    const JDIMENSION got = jpeg_read_scanlines(&job.cinfo, rows, want);
    for (JDIMENSION i = 0; i < got; ++i) {
      if (cmyk) {
        CmykToBgr0(rows[i], job.width, inverted);
      } else {
        for (std::uint32_t x = 0; x < job.width; ++x) rows[i][4 * x + 3] = 0;
      }
    }
    if (job.truncated) break;  // the rest would be padding
  }
  if (!job.truncated) jpeg_finish_decompress(&job.cinfo);
  jpeg_destroy_decompress(&job.cinfo);
  return job.truncated ? JpegOutcome::Truncated : JpegOutcome::Done;
}

}  // namespace

HBITMAP DecodeJpeg(std::span<const std::uint8_t> file) {
  const auto job = std::make_unique<JpegJob>();  // value-initialised: all zero
  const JpegOutcome outcome = RunJpeg(*job, file.data(), file.size());
  BitmapGuard guard(job->out.handle);
  switch (outcome) {
    case JpegOutcome::Done: return guard.Release();
    case JpegOutcome::TooLarge: CheckPictureSize(job->width, job->height); break;
    case JpegOutcome::NoMemory: RaiseOutOfMemory();
    case JpegOutcome::Truncated: RaiseInvalidPicture("JPEG data is truncated");
    case JpegOutcome::LibraryError: break;
  }
  RaiseInvalidPicture(std::string("JPEG: ") + job->message);
}

}  // namespace zoetra::platform::detail

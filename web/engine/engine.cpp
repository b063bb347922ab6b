// The engine as the browser's worker calls it: plain C functions over the
// module's memory, one GIF at a time (a worker runs one job). Pictures come
// as RGBA pixels the browser decoded, through the same path as pixels in
// memory natively, so the same pixels give the same bytes as the command.
//
// Every function returns 0 (or a count) on success and -1 on failure; the
// failure's text is then zw_error().
#include <emscripten/emscripten.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "component/stream_output.hpp"
#include <zoetra/zoetra.hpp>
#include "gif/cgif.hpp"
#include "gif/gif_compose.hpp"
#include "gif/gif_info.hpp"
#include "pipeline/clip_source.hpp"
#include "pipeline/clip_timing.hpp"
#include "pipeline/session.hpp"
#include "pipeline/source.hpp"
#include "platform/base/limits.hpp"
#include "platform/base/yield.hpp"

// The worker's progress: every stage the conversion passes, as natively.
EM_JS(void, zoetra_yield, (int stage, int picture, int pictures), {
  if (globalThis.zoetraYield) globalThis.zoetraYield(stage, picture, pictures);
});

namespace zoetra::web {
namespace {

// A clip's frame as the browser gave it: its pixels stay while a GIF frame may show it.
struct ClipPicture {
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;
  PicturePixels pixels;
};

// A clip's frames as the browser shows them at its times, turned into GIF
// frames and delays by the command's own timing.
struct Clip {
  std::unique_ptr<pipeline::ClipTiming> timing;
  std::unique_ptr<pipeline::ClipPacer<ClipPicture>> pacer;
  ClipPicture held;  // the frame before the last one added
  bool have_held = false;
};

struct Job {
  explicit Job(const BuilderOptions& o) : options(o) {}
  BuilderOptions options;
  std::vector<std::uint8_t> made;  // bytes made and not yet taken
  std::unique_ptr<detail::StreamOutput> out;
  std::unique_ptr<pipeline::Session> session;
  Clip clip;
};

std::unique_ptr<Job> g_job;
std::vector<std::uint8_t> g_in;  // where the worker puts a picture or a file
std::vector<std::uint8_t> g_taken;
std::string g_error;
std::string g_text;
std::string g_text_in;

struct Gif {
  cGIF doc;
  std::unique_ptr<cGIFComposer> composer;
  std::vector<std::uint8_t> rgba;
};
std::unique_ptr<Gif> g_gif;

template <class F>
int Guarded(F&& body) {
  try {
    return body();
  } catch (...) {
    const Error failure = ToError(std::current_exception());
    g_error = failure.description();
    return -1;
  }
}

Job& Current() {
  if (!g_job) RaiseInvalidArgument("no GIF is being made");
  return *g_job;
}

// `layout` as the worker gives it: 1 RGBA, 2 BGRA.
PicturePixels Pixels(const std::uint8_t* data, std::int32_t width, std::int32_t height, int layout) {
  if (width < 0 || height < 0 || std::size_t{4} * width * height > g_in.size()) {
    RaiseInvalidArgument("the picture is larger than its pixels");
  }
  PicturePixels p;
  p.data = data;
  p.width = width;
  p.height = height;
  p.layout = layout == 2 ? PixelLayout::BGRA : PixelLayout::RGBA;
  return p;
}

// One GIF frame to the pass running now. A frame the counting pass kept
// needs no pixels the second time (width and height may be 0).
void Frame(Job& job, const PicturePixels& p, std::int32_t delay) {
  if (job.session->NextKept()) {
    job.session->AddKept(delay);
  } else {
    job.session->Add(PictureSource(p), delay);
  }
}

// The clip's GIF frames whose start is known, each once the next start gives its delay.
void ClipStarts(Job& job) {
  Clip& c = job.clip;
  while (c.pacer->Next(*c.timing, c.held, [&](const ClipPicture& shown, std::int32_t delay) {
    Frame(job, shown.pixels, delay);
  })) {
  }
}

}  // namespace
}  // namespace zoetra::web

using namespace zoetra;
using namespace zoetra::web;

extern "C" {

// The text of the last failure.
EMSCRIPTEN_KEEPALIVE const char* zw_error() { return g_error.c_str(); }

// Room for `bytes` of input (a picture's RGBA pixels or a GIF file); 0 when it cannot be had.
EMSCRIPTEN_KEEPALIVE std::uint8_t* zw_input(double bytes) {
  const int status = Guarded([&] {
    if (!(bytes >= 0 && bytes <= double(std::size_t{1} << 31))) RaiseOutOfMemory();
    g_in.resize(static_cast<std::size_t>(bytes));
    return 0;
  });
  return status < 0 ? nullptr : g_in.data();
}

// Room for a text of `bytes` (with its end), apart from the input room.
EMSCRIPTEN_KEEPALIVE char* zw_text(int bytes) {
  g_text_in.assign(static_cast<std::size_t>(std::max(bytes, 1)), '\0');
  return g_text_in.data();
}

// The palette modes' names, comma-separated, as the module lists them.
EMSCRIPTEN_KEEPALIVE const char* zw_palette_modes() {
  g_text.clear();
  for (std::string_view name : kPaletteModeNames) g_text += (g_text.empty() ? "" : ",") + std::string(name);
  return g_text.c_str();
}

// Starts a GIF. Unset numbers are NaN; `palette` a mode's name; `background` -1: none.
EMSCRIPTEN_KEEPALIVE int zw_begin(const char* palette, int optimize, double quality, double delay_ms, double fps,
                                  double loop, double width, double height, double fit_width,
                                  double fit_height, double background, double start, double duration) {
  return Guarded([&] {
    g_job.reset();
    BuilderOptions o;
    o.threads = 1;
    o.palette = ParsePaletteMode(palette);
    o.optimize = optimize != 0;
    // Numbers past what the options hold are refused by their checks, not wrapped.
    auto whole = [](double v, std::int64_t unset) {
      if (std::isnan(v)) return unset;
      return std::fabs(v) < 9e18 ? static_cast<std::int64_t>(v) : std::int64_t{1} << 62;
    };
    o.quality = whole(quality, 100);
    o.delay_ms = whole(delay_ms, 350);
    if (!std::isnan(fps)) o.fps = fps;
    o.loop = whole(loop, 0);
    o.width = whole(width, 0);
    o.height = whole(height, 0);
    o.fit_width = whole(fit_width, 0);
    o.fit_height = whole(fit_height, 0);
    if (background >= 0) {
      if (background > 0xFFFFFF) RaiseInvalidArgument("the background is a colour #rrggbb");
      o.background = static_cast<std::uint32_t>(background);
    }
    if (!std::isnan(start)) o.start = start;
    if (!std::isnan(duration)) o.duration = duration;
    CheckBuilderOptions(o);
    auto job = std::make_unique<Job>(o);
    Job& j = *job;
    const ByteWriter keep = [&j](std::span<const std::uint8_t> bytes) {
      j.made.insert(j.made.end(), bytes.begin(), bytes.end());
      return true;
    };
    if (o.palette != PaletteMode::First) job->out = std::make_unique<detail::StreamOutput>(keep);
    // The first picture's palette makes a document of every picture at the end.
    job->session = std::make_unique<pipeline::Session>(
        o, 1u, job->out ? &job->out->Stream() : nullptr, pipeline::Session::Again::Given,
        [keep, o](const std::vector<PictureSource>& list) { return Zoetra().CreateToStream(list, keep, o); });
    platform::SetYieldHook([](const platform::YieldInfo& info) {
      zoetra_yield(static_cast<int>(info.stage), info.picture, info.pictures);
    });
    g_job = std::move(job);
    return 0;
  });
}

// 1 when every frame must be counted (zw_seal) before the frames are made again.
EMSCRIPTEN_KEEPALIVE int zw_counts_first() {
  return Guarded([] { return Current().session->CountsFirst() ? 1 : 0; });
}

// Frames to come in all, for progress.
EMSCRIPTEN_KEEPALIVE int zw_total(double frames) {
  return Guarded([&] {
    Current().session->Total(static_cast<std::int64_t>(frames));
    return 0;
  });
}

// The picture in the input room (width x height, `layout` 1 RGBA or 2 BGRA)
// as the next frame, for `delay_ms` (NaN: the options' delay).
EMSCRIPTEN_KEEPALIVE int zw_frame(int width, int height, int layout, double delay_ms) {
  return Guarded([&] {
    Job& job = Current();
    std::int32_t delay = -1;
    if (!std::isnan(delay_ms)) {
      delay = job.session->FrameDelay(std::fabs(delay_ms) < 1e9 ? static_cast<std::int64_t>(delay_ms)
                                                                 : std::int64_t{1} << 40);
    }
    Frame(job, Pixels(g_in.data(), width, height, layout), delay);
    return 0;
  });
}

// The counting pass is over; the same frames come again to be made.
EMSCRIPTEN_KEEPALIVE int zw_seal() {
  return Guarded([] {
    Current().session->Seal();
    return 0;
  });
}

// 1 when the next frame of the mapping pass was kept by the counting pass:
// then the worker need not read its picture again (zw_frame takes 0 x 0).
EMSCRIPTEN_KEEPALIVE int zw_next_kept() {
  return Guarded([] { return Current().session->NextKept() ? 1 : 0; });
}

// Seconds from a number or "[hh:]mm:ss[.ms]", as the command reads them; NaN when refused.
EMSCRIPTEN_KEEPALIVE double zw_seconds(const char* text) {
  double seconds = std::nan("");
  Guarded([&] {
    seconds = ParseTime(text);
    return 0;
  });
  return seconds;
}

// A clip begins: its frames come with their times in microseconds from its start.
EMSCRIPTEN_KEEPALIVE int zw_clip_begin(int min_hundredths) {
  return Guarded([&] {
    Job& job = Current();
    const BuilderOptions& o = job.options;
    pipeline::ClipWindow window;
    window.start = o.start;
    if (o.duration) window.end = o.start + *o.duration;
    if (o.end) window.end = *o.end;
    window.fps = o.fps;
    window.min_hundredths = min_hundredths;
    const platform::Limits limits = platform::GetLimits();
    window.max_frames = limits.max_clip_frames;
    window.max_seconds = limits.max_clip_seconds;
    job.clip = Clip{};
    job.clip.timing = std::make_unique<pipeline::ClipTiming>("the clip", 1, 1000000, 0, window);
    job.clip.pacer = std::make_unique<pipeline::ClipPacer<ClipPicture>>(min_hundredths);
    return 0;
  });
}

// The picture in the input room begins at `micros`.
EMSCRIPTEN_KEEPALIVE int zw_clip_frame(int width, int height, int layout, double micros) {
  return Guarded([&] {
    Job& job = Current();
    Clip& c = job.clip;
    if (!c.timing) RaiseInvalidArgument("no clip has begun");
    const PicturePixels p = Pixels(g_in.data(), width, height, layout);
    if (!c.timing->Add(static_cast<std::int64_t>(micros))) return 0;
    if (c.have_held) ClipStarts(job);
    auto bytes = std::make_shared<const std::vector<std::uint8_t>>(p.data, p.data + std::size_t{4} * width * height);
    c.held.pixels = p;
    c.held.pixels.data = bytes->data();
    c.held.bytes = std::move(bytes);
    c.have_held = true;
    return 0;
  });
}

// The clip ends at `micros`; returns the GIF frames it gave so far.
EMSCRIPTEN_KEEPALIVE int zw_clip_end(double micros) {
  return Guarded([&] {
    Job& job = Current();
    Clip& c = job.clip;
    if (!c.timing) RaiseInvalidArgument("no clip has begun");
    if (c.have_held) {
      c.timing->End(static_cast<std::int64_t>(micros));
      ClipStarts(job);
      c.pacer->End(c.timing->EndHundredths(),
                   [&](const ClipPicture& shown, std::int32_t delay) { Frame(job, shown.pixels, delay); });
    }
    job.clip = Clip{};
    return 0;
  });
}

// Whether the clip's window is over: no later frame can show.
EMSCRIPTEN_KEEPALIVE int zw_clip_done() {
  return Guarded([] { return Current().clip.timing && Current().clip.timing->Done() ? 1 : 0; });
}

// Writes what is left and the end of the file; returns the frames.
EMSCRIPTEN_KEEPALIVE int zw_finish() {
  return Guarded([] { return static_cast<int>(Current().session->Finish()); });
}

// The bytes made since the last call (zw_taken() of them), so that the
// module's memory never holds the whole file.
EMSCRIPTEN_KEEPALIVE const std::uint8_t* zw_take() {
  g_taken.clear();
  if (g_job) g_taken.swap(g_job->made);
  return g_taken.data();
}
EMSCRIPTEN_KEEPALIVE int zw_taken() { return static_cast<int>(g_taken.size()); }

// Lets go of the GIF being made and of every buffer.
EMSCRIPTEN_KEEPALIVE void zw_end() {
  g_job.reset();
  platform::SetYieldHook({});
  std::vector<std::uint8_t>().swap(g_in);
  std::vector<std::uint8_t>().swap(g_taken);
}

// Reads the GIF file in the input room; returns its description as JSON
// (what `zoetra info --json` prints), or null.
EMSCRIPTEN_KEEPALIVE const char* zw_gif_open(const char* name) {
  const int status = Guarded([&] {
    g_gif = std::make_unique<Gif>();
    if (g_in.size() < 6 || !g_gif->doc.LoadFromStream(g_in)) {
      RaiseError(kErrInvalidPicture, "Invalid picture: not a GIF file");
    }
    g_text = gif_info::Json(g_gif->doc, name);
    g_gif->composer = std::make_unique<cGIFComposer>(g_gif->doc);
    if (!g_gif->composer->Start()) {
      RaiseError(kErrInvalidPicture, "Invalid picture: " + g_gif->composer->StartFailure());
    }
    return 0;
  });
  if (status < 0) g_gif.reset();
  return status < 0 ? nullptr : g_text.c_str();
}

// The next frame as a viewer shows it (the screen's RGBA, top row first), or
// null after the last one or on a failure (then zw_error() is not empty).
EMSCRIPTEN_KEEPALIVE const std::uint8_t* zw_gif_next() {
  g_error.clear();
  const int status = Guarded([] {
    if (!g_gif) return 1;
    const cGIFComposer::Step step = g_gif->composer->Next();
    if (step == cGIFComposer::kOutOfMemory) RaiseOutOfMemory();
    if (step == cGIFComposer::kEnd) return 1;
    const cDIB& screen = g_gif->composer->Screen();
    const std::int32_t w = screen.Width(), h = screen.Height();
    g_gif->rgba.resize(std::size_t{4} * w * h);
    std::uint8_t* to = g_gif->rgba.data();
    const std::size_t stride = static_cast<std::size_t>(screen.BytesPerScanline());
    // Rows run bottom-up in the raster, pixels blue, green, red, 0.
    for (std::int32_t y = 0; y < h; ++y) {
      const std::uint8_t* from = screen.lpBits() + static_cast<std::size_t>(h - 1 - y) * stride;
      for (std::int32_t x = 0; x < w; ++x, from += 4, to += 4) {
        to[0] = from[2], to[1] = from[1], to[2] = from[0], to[3] = 255;
      }
    }
    return 0;
  });
  return status == 0 ? g_gif->rgba.data() : nullptr;
}

// The size of the frames zw_gif_next gives.
EMSCRIPTEN_KEEPALIVE int zw_gif_width() { return g_gif ? g_gif->doc.ScreenWidthU16() : 0; }
EMSCRIPTEN_KEEPALIVE int zw_gif_height() { return g_gif ? g_gif->doc.ScreenHeightU16() : 0; }

EMSCRIPTEN_KEEPALIVE void zw_gif_close() { g_gif.reset(); }

}  // extern "C"

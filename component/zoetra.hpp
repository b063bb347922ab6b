// The public class `Zoetra`: the animation builder and three small probes.
//
// Failures caught by a member are reported with the component's own error
// 0x800403E9 (source "Basic Component", description "Basic Error: " + text),
// and the error report of the caught failure is written to the event log.
// Members run on the caller's thread, and conversions also on the process's
// worker pool (platform/base/worker_pool.hpp); the yield hook and every failure
// stay on the caller's thread. Instances keep no state between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "component/zoetra_version.h"
#include "platform/base/export.hpp"
#include "platform/base/error.hpp"
#include "platform/base/variant.hpp"
#include "raster/pixel_layout.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra {

// The library's version, "MAJOR.MINOR.PATCH", as it was built; a host compares
// it with ZOETRA_VERSION_STRING of the headers it was compiled with.
std::string_view Version() noexcept;

// Dispatch ids of the members of the `_Zoetra` interface, in vtable order.
inline constexpr std::int32_t kDispIdSum = 0x60030003;
inline constexpr std::int32_t kDispIdRatio = 0x60030004;
inline constexpr std::int32_t kDispIdCreateZoetra2 = 0x60030005;
inline constexpr std::int32_t kDispIdCreateZoetra = 0x60030006;

inline constexpr std::string_view kComponentSource = "Basic Component";
inline constexpr std::string_view kComponentPrefix = "Basic Error: ";

// "Error Code: 0x<HEX>\r\nError Description: <text>\r\nError Source: <source>".
std::string ErrorReport(const Error& failure);
// Builds the report, logs it as an error event, raises 0x800403E9 with it.
[[noreturn]] void CatchLogRaise(const Error& failure);
// Raises 0x800403E9 with `message`; nothing is logged.
[[noreturn]] void RaiseComponentError(std::string_view message);
// Runs `body`; any failure goes through CatchLogRaise. Failures that are not
// zoetra::Error (memory exhaustion, library faults) are first given a number.
template <class F>
auto WithCatchLogRaise(F&& body) -> decltype(body());

// Where the frames' colours come from.
enum class PaletteMode : std::uint8_t {
  First,  // the first picture's octree palette for every frame (the exact default)
  All,    // one palette from the pixels of every picture
  Frame,  // each frame its own palette, written as its local colour table
};

// What a conversion found out besides its result; filled when asked for.
struct BuilderReport {
  std::int32_t frames = 0;
  // PaletteMode::First: the later picture whose colours fit the palette worst,
  // and the root of the mean squared distance of its (sampled) colours to
  // their nearest palette entries, per channel in 0..255. 0 when all fit.
  std::int32_t worst_fit_picture = 0;
  double worst_fit_error = 0;
  // The first picture whose size differs from the first one's (0: all alike);
  // with PaletteMode::First and no fitting size, such frames sit at the top
  // left of the last picture's screen; otherwise they were fitted into the
  // first picture's size (other_sizes_fitted).
  std::int32_t other_size_picture = 0;
  bool other_sizes_fitted = false;
  // What a person should know of the sources, each naming its file: a clip
  // that stopped early or ends before the length it announces.
  std::vector<std::string> warnings;
};

// BuilderOptions::loop for a file without a loop block: viewers play it once.
inline constexpr std::int32_t kPlayOnce = -1;

// Everything a conversion can be asked for; the defaults serve people best
// (one palette from every picture). `palette = PaletteMode::First` gives
// CreateZoetra's exact behaviour and bytes. Numbers are wide so that any value
// a caller holds reaches CheckBuilderOptions, which every conversion calls
// before any work.
struct BuilderOptions {
  std::int64_t delay_ms = 350;  // frame delay, 0 to 32767, kept in hundredths
  // Frames per second instead of delay_ms (each frame 1000 / fps ms, rounded
  // to whole milliseconds); unset: delay_ms decides.
  std::optional<double> fps;
  bool gray = false;          // 256 greys (then the palette mode does not matter)
  bool optimize = false;      // crop and merge frames to what changed
  bool swap_rg = false;       // exchange red and green
  bool raise_errors = false;  // showError: failures raised as 0x800403E9 and logged
  PaletteMode palette = PaletteMode::All;
  // Threads for this conversion, the calling one included (0: one per core),
  // never more than platform::Limits::max_threads; 1 runs everything on the
  // calling thread. The bytes written do not depend on it.
  std::int64_t threads = 0;
  BuilderReport* report = nullptr;  // filled on success when not null
  // Times the animation repeats, written in the loop block: 0 forever (the
  // default), up to 65535; kPlayOnce writes no loop block.
  std::int64_t loop = 0;
  // Every picture scaled to fit inside fit_width x fit_height keeping its
  // aspect ratio, centred, the rest filled with the background (black when
  // none is given); the screen is that size. 0 x 0: with PaletteMode::First
  // pictures stay as they are (frames of other sizes at the top left of the
  // last picture's screen); with the other modes pictures of another size
  // than the first are fitted into the first one's size.
  std::int64_t fit_width = 0;
  std::int64_t fit_height = 0;
  // 0x00RRGGBB: the colour transparent and half-transparent pixels are
  // blended over (PNG alpha and transparent colours, 32-bit pixels in memory
  // with alpha) and the fill around fitted pictures. Unset: with the modes
  // all and frame (not gray) a pixel less than half opaque is transparent in
  // the GIF and the others keep their colour (fitted pictures with alpha are
  // padded with transparency); with first and gray, alpha is dropped.
  std::optional<std::uint32_t> background;
  bool auto_orient = false;  // JPEGs turned upright by their EXIF orientation
  // Clips and animated GIFs: the part from `start` seconds, for `duration`
  // seconds or up to `end` (not both); unset: to their end. Their frames keep
  // their own times unless fps is set, which then resamples them.
  double start = 0;
  std::optional<double> duration;
  std::optional<double> end;
  // Every frame scaled to this width, or height, keeping the first source's
  // shape (the other side follows); both: scaled to fit inside them. 0: unset.
  // Not with fit_width / fit_height.
  std::int64_t width = 0;
  std::int64_t height = 0;
  // 1 to 100: picture traded for bytes as it falls (the modes all and frame).
  // 100 keeps every frame's mapping; with optimize, unchanged pixels become
  // transparent. Lower: colours that changed less than a tolerance keep what
  // the frame before showed, the encoder may bend pixels toward longer
  // strings, and the palette may hold fewer colours.
  std::int64_t quality = 100;
};

// Refuses, with error 5 and a text naming the value and its range, an option
// out of its range: the delay (0 to 32767 ms), fps (finite, giving such a
// delay), the loop count, threads (0 to 1024), the fitting size and the
// scaled width and height (1 to 32767 a side, within the picture limits), the
// background, the quality (1 to 100), and the clip part (start, duration and end finite, not
// negative, end after start, not both duration and end). Every conversion with
// options calls it first; front ends call it to refuse before other work.
void CheckBuilderOptions(const BuilderOptions& options);
// Seconds from "2.5", "1:02.5" or "1:00:02" ([hh:]mm:ss[.ms]); error 5
// naming the text otherwise. For start, duration and end.
double ParseTime(std::string_view text);
// The delay each frame gets, in hundredths of a second (what the file holds),
// from fps or delay_ms; the options must have passed CheckBuilderOptions.
std::int32_t FrameDelayHundredths(const BuilderOptions& options);
// The milliseconds asked for, from fps or delay_ms, before the file's hundredths.
std::int64_t AskedDelayMs(const BuilderOptions& options);
// What a person should know about the delay the file will hold: that it was
// rounded to whole hundredths (and the frame rate that gives), or that
// browsers slow frames under 20 ms down; empty when there is nothing to say.
std::string DelayNote(const BuilderOptions& options);

// A picture in memory: 8 bits per channel in `layout` order, rows top to
// bottom, `stride` bytes apart (0: rows packed). The pixels stay the caller's
// and must not change until the conversion returns. The same pixels give the
// same bytes as the same picture in a PNG file; alpha counts as it counts
// there (BuilderOptions::background).
struct PicturePixels {
  const std::uint8_t* data = nullptr;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::size_t stride = 0;
  PixelLayout layout = PixelLayout::RGB;
};

// One entry of a picture list: a file name, or pixels in memory.
class PictureSource {
 public:
  PictureSource(std::string file) : file_(std::move(file)) {}
  PictureSource(const char* file) : file_(file) {}
  PictureSource(const PicturePixels& pixels) : pixels_(pixels), in_memory_(true) {}

  bool InMemory() const { return in_memory_; }
  const std::string& File() const { return file_; }
  const PicturePixels& Pixels() const { return pixels_; }

 private:
  std::string file_;
  PicturePixels pixels_;
  bool in_memory_ = false;
};

// Where streamed bytes go: each piece in order, as it is made. Returning
// false (or throwing) stops the conversion.
using ByteWriter = std::function<bool(std::span<const std::uint8_t>)>;

// Threshold above which BuilderReport::worst_fit_error says a later picture's
// colours are plainly missing from the first picture's palette. Sequences of
// one scene stay below 7 (video, fractal zooms, test patterns), while a later
// photo of another scene or colours that appear later land at 12 and above.
inline constexpr double kPoorPaletteFit = 9.0;

class Zoetra {
 public:
  std::int16_t Sum(std::int16_t Val1, std::int16_t Val2);
  std::int16_t Ratio(std::int16_t Val1, std::int16_t Val2);
  std::string CreateZoetra2(const platform::Variant& sFile);

  // The animation builder (component/zoetra_builder.cpp).
  platform::Variant CreateZoetra(const platform::Variant& sFile, const platform::Variant& oFile,
                                 std::int16_t lDelay = 350, std::int16_t isGray = 0, std::int16_t doOptimize = 0,
                                 std::int16_t SwapRG = 0, std::int16_t showError = 0);
  std::string CreateZoetra(const std::vector<std::string>& files, std::string_view output, std::int16_t lDelay = 350,
                           std::int16_t isGray = 0, std::int16_t doOptimize = 0, std::int16_t SwapRG = 0,
                           std::int16_t showError = 0);
  // The same conversion into memory (the bytes the file would hold); every
  // failure is raised, the save failure as 0x800403E9 with the save message.
  std::vector<std::uint8_t> CreateZoetraToBuffer(const std::vector<std::string>& files, std::int16_t lDelay = 350,
                                                 std::int16_t isGray = 0, std::int16_t doOptimize = 0,
                                                 std::int16_t SwapRG = 0);

  // The same with every option in one place; the switches act as the options say.
  std::string CreateZoetra(const std::vector<std::string>& files, std::string_view output,
                           const BuilderOptions& options);
  std::vector<std::uint8_t> CreateZoetraToBuffer(const std::vector<std::string>& files,
                                                 const BuilderOptions& options);
  // The same from a list of files and pictures in memory, mixed freely; a
  // file may be a clip or an animated picture, which gives its frames with
  // their own times (the palette modes all and frame). A
  // picture in memory with no pixels, a size that is not positive or a stride
  // shorter than its rows fails with error 5 before any picture is read.
  std::string Create(const std::vector<PictureSource>& pictures, std::string_view output,
                     const BuilderOptions& options);
  std::vector<std::uint8_t> CreateToBuffer(const std::vector<PictureSource>& pictures,
                                           const BuilderOptions& options);
  // The same bytes handed to `write` as they are made: the palette modes all
  // and frame write each frame as soon as it and the ones before it are
  // encoded (first writes them at the end). Returns the frames.
  std::int64_t CreateToStream(const std::vector<PictureSource>& pictures, const ByteWriter& write,
                              const BuilderOptions& options);

  // Object control as a transaction server calls it: never pooled.
  void Activate() {}
  void Deactivate() {}
  bool CanBePooled() const { return false; }
};

// Frames handed over one at a time, for programs that make their frames as
// they run (simulations, plots, games, screen grabbers):
//
//   zoetra::Writer gif("out.gif", options);
//   for (...) gif.Add(PicturePixels{...});   // or a file name; copied at once
//   gif.Finish();
//
// The file holds the same bytes as Create with the same pictures and
// options. With the palette mode frame, each frame is written as soon as a
// few have come, and memory stays flat however many come. The modes all and
// first need every picture before the first frame: pictures are held until
// Finish, pixels copied into memory up to 64 MiB, past that (mode all) into
// an unnamed temporary file; mode first keeps them all in memory. The output
// is made only by Finish: a writer destroyed without it leaves any old file
// as it was. A failure raises, and every later call raises error 5. Each Add
// is one still picture: clips and animated GIFs go to Create, which reads
// their frames and times.
class Writer {
 public:
  Writer(std::string_view output, const BuilderOptions& options = {});
  Writer(ByteWriter write, const BuilderOptions& options = {});
  ~Writer();
  Writer(Writer&&) noexcept;
  Writer& operator=(Writer&&) noexcept;

  // The next frame, shown for the options' delay, or for `delay_ms` (0 to
  // 32767, kept in whole hundredths; not with the mode first).
  void Add(const PictureSource& picture);
  void Add(const PictureSource& picture, std::int64_t delay_ms);
  // Writes what is left and the end of the file; returns the frames added.
  std::int64_t Finish();
  std::int64_t Frames() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Converts whatever a member caught into the failure it reports.
Error ToError(std::exception_ptr caught);

template <class F>
auto WithCatchLogRaise(F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    CatchLogRaise(ToError(std::current_exception()));
  }
}

}  // namespace zoetra

ZOETRA_PUBLIC_END

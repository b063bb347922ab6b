// What a conversion can be asked for, checked in one place for every front
// door: the options record, the palette modes and their names, the pictures
// of a list, and what a conversion reports. Every stage below the front
// doors reads these; nothing here converts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/export.hpp"
#include "raster/pixel_layout.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra {

// Where the frames' colours come from.
enum class PaletteMode : std::uint8_t {
  First,  // the first picture's octree palette for every frame (the exact default)
  All,    // one palette from the pixels of every picture
  Frame,  // each frame its own palette, written as its local colour table
};

// The names people give the modes, in the order front doors list them. Not
// inline: an inline array the library takes the address of becomes a unique
// symbol, which keeps the shared library from ever unloading.
constexpr std::string_view kPaletteModeNames[] = {"all", "frame", "first"};
// The mode a name gives; error 5 naming the text and the names otherwise.
PaletteMode ParsePaletteMode(std::string_view name);
// The name of a mode; error 5 for a number that is no mode.
std::string_view PaletteModeName(PaletteMode mode);

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

// What the first picture's palette refuses, after what it is: clips and the
// options only clips and the pipeline know.
inline constexpr const char* kDocumentOnly =
    " takes the palette modes all and frame; the first picture's palette keeps a document of still pictures";

}  // namespace zoetra

ZOETRA_PUBLIC_END

// <zoetra/zoetra.hpp>: the C++ interface. The class `Zoetra` (the list
// conversions, and the classic calls: CreateZoetra and the probes Sum, Ratio
// and CreateZoetra2, whose dispatch ids are in <zoetra/compat.h>) and the
// frame-by-frame `Writer`; the options record comes with it.
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

#include <zoetra/version.h>

#include "pipeline/options.hpp"
#include "platform/base/export.hpp"
#include "platform/base/error.hpp"
#include "platform/base/variant.hpp"
#include "raster/pixel_layout.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra {

// The library's version, "MAJOR.MINOR.PATCH", as it was built; a host compares
// it with ZOETRA_VERSION_STRING of the headers it was compiled with.
std::string_view Version() noexcept;

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

class Zoetra {
 public:
  // The classic probes. They stay members: their exported names are
  // zoetra::Zoetra's, which a declaration elsewhere could not keep.
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

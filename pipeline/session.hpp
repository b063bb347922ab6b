// One GIF being made, whichever front door feeds it: the list call, the
// Writer (C++, C and Python) and the browser's engine all go through here.
// Frames and sources come in order, then Finish writes the end.
//
// A palette that counts every frame first (mode all) sees each frame twice:
// in the counting pass, then in the mapping pass after Seal. Where the second
// pass gets its frames is the one thing the front doors differ in:
//   - Again::Held: the session holds what comes (files by name, pixels
//     copied: in memory up to 64 MiB, then in an unnamed temporary file) and
//     runs both passes at Finish. Without counting, frames are made a few at
//     a time as they come.
//   - Again::Given: the caller gives every frame again after Seal (a browser
//     decodes again rather than hold), or the list call reads its sources again.
// The first picture's palette keeps a document of every picture, which the
// pipeline does not make: the session holds the pictures and hands them to
// `whole` at Finish.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "pipeline/conversion.hpp"
#include "pipeline/gif_stream.hpp"
#include "pipeline/held_frames.hpp"
#include "pipeline/options.hpp"
#include "pipeline/source.hpp"

namespace zoetra::pipeline {

class Session {
 public:
  enum class Again : std::uint8_t { Held, Given };
  // Makes the GIF of the first picture's palette from every picture; returns the frames.
  using Whole = std::function<std::int64_t(const std::vector<PictureSource>&)>;

  // `options` must have passed CheckBuilderOptions; `out` may be null with
  // the first picture's palette only.
  Session(const BuilderOptions& options, unsigned threads, GifStream* out, Again again, Whole whole = {},
          std::int64_t kept_bytes = kKeptBytes);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Whether frames are counted before any is made (then, with Again::Given,
  // they come again after Seal).
  bool CountsFirst() const;
  bool Counting() const { return counting_; }
  // Frames the whole GIF will have, for progress; 0: not known.
  void Total(std::int64_t frames);

  // A frame's own delay in hundredths, from milliseconds (0 to 32767); error
  // 5 with the first picture's palette, whose frames all take the options' delay.
  std::int32_t FrameDelay(std::int64_t delay_ms) const;
  // One still picture as the next frame, checked first (error 5 naming it as
  // frame `Added() + 1`), for `delay` hundredths (-1: the options').
  void Add(const PictureSource& picture, std::int32_t delay = -1);
  // The next frames, from a source that reads them (a run of a list, a
  // clip's batch), to the pass running now.
  void Add(const FrameSource& frames);
  // With Again::Given, in the mapping pass: whether the counting pass kept
  // the next frame, which then comes by AddKept, without its pixels.
  bool NextKept() const;
  void AddKept(std::int32_t delay);
  // The counting pass is over (Again::Given); frames are counted from 1 again.
  void Seal();
  // Frames given so far in this pass.
  std::int64_t Added() const { return added_; }

  // What is pending, and the end of the file. Returns the frames; error 5
  // when none came. The report, when given, is filled.
  std::int64_t Finish(BuilderReport* report = nullptr);

  // The conversion's view for the list call, which decides what to read again.
  const Conversion& Frames() const { return *conversion_; }

 private:
  void MakeHeld();

  BuilderOptions options_;
  unsigned threads_;
  Again again_;
  Whole whole_;
  std::unique_ptr<Conversion> conversion_;
  HeldFrames held_;
  bool counting_ = false;
  std::int64_t added_ = 0;
};

// Every frame of `source` into `out`: counted first when the palette needs
// it, then made and written; the report, when given, is filled.
void ConvertFrames(const FrameSource& source, const BuilderOptions& options, unsigned threads, GifStream& out,
                   BuilderReport* report);

}  // namespace zoetra::pipeline

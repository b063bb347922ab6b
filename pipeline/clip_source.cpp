#include "pipeline/clip_source.hpp"

#include <array>
#include <cctype>
#include <string_view>
#include <cmath>
#include <fstream>
#include <limits>

#include "pipeline/gif_frames.hpp"
#include "platform/base/error.hpp"
#include "platform/base/files.hpp"
#include "platform/base/limits.hpp"
#include "platform/codecs/picture_loader.hpp"
#include "video/apng_head.hpp"
#include "video/webp_frames.hpp"

namespace zoetra::pipeline {

namespace {

bool Starts(const std::vector<std::uint8_t>& head, std::initializer_list<std::uint8_t> bytes, std::size_t at = 0) {
  if (head.size() < at + bytes.size()) return false;
  std::size_t i = at;
  for (const std::uint8_t b : bytes) {
    if (head[i++] != b) return false;
  }
  return true;
}

// The why of "Invalid picture (<name>: <why>)".
std::string Inner(const std::string& text, const std::string& name) {
  const std::string head = std::string(platform::kInvalidPictureText) + " (" + (name.empty() ? "" : name + ": ");
  if (text.rfind(head, 0) != 0 || text.empty() || text.back() != ')') return text;
  return text.substr(head.size(), text.size() - head.size() - 1);
}

std::string SecondsText(long double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", static_cast<double>(seconds));
  return text;
}

}  // namespace

SourceKind KindOf(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::vector<std::uint8_t> head(16);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  if (Starts(head, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})) {
    return video::ApngFrames(name) > 0 ? SourceKind::Clip : SourceKind::Picture;
  }
  // A GIF the reader cannot take is left to the picture loader's message.
  if (Starts(head, {'G', 'I', 'F', '8'})) return IsAnimatedGif(name) ? SourceKind::AnimatedGif : SourceKind::Picture;
  // Content the picture loader does not know, in a file named as one of its
  // pictures, gets the loader's words on what it is instead.
  static constexpr std::array<std::string_view, 12> kPictureNames = {
      ".png", ".jpg", ".jpeg", ".jpe", ".jfif", ".bmp", ".dib", ".gif", ".ico", ".cur", ".wmf", ".emf"};
  const std::size_t dot = name.rfind('.');
  std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const std::string_view known : kPictureNames) {
    if (extension == known) return SourceKind::Picture;
  }
  if (Starts(head, {'R', 'I', 'F', 'F'}) && Starts(head, {'W', 'E', 'B', 'P'}, 8)) return SourceKind::Webp;
  const bool picture = Starts(head, {0xFF, 0xD8, 0xFF}) || Starts(head, {'B', 'M'}) ||
                       Starts(head, {0, 0, 1, 0}) || Starts(head, {0, 0, 2, 0}) ||
                       Starts(head, {0xD7, 0xCD, 0xC6, 0x9A}) || Starts(head, {1, 0, 9, 0}) ||
                       Starts(head, {2, 0, 9, 0}) || Starts(head, {1, 0, 0, 0});
  // Empty and tiny files get the picture loader's own words.
  return picture || head.size() < 12 ? SourceKind::Picture : SourceKind::Clip;
}

void ClipFrames::Read(std::size_t k, bool keep_alpha, Decoded& out) const {
  frames_[k]->ToRaster(out.raster, keep_alpha, out.alpha);
}

void KeptFrames::Read(std::size_t k, bool, Decoded&) const {
  RaiseError(kErrInternal, "frame " + std::to_string(k + 1) + " of a kept clip was not kept");
}

void ClipFrames::Clear() {
  frames_.clear();
  delays_.clear();
}

void ClipFrames::Add(video::Shot picture, std::int16_t delay) {
  frames_.push_back(std::move(picture));
  delays_.push_back(delay);
}

ClipReader::ClipReader(const std::string& name, SourceKind kind, const BuilderOptions& options, unsigned threads)
    : name_(name) {
  still_delay_ = static_cast<std::int16_t>(FrameDelayHundredths(options));
  if (kind == SourceKind::AnimatedGif) {
    reader_ = std::make_unique<GifFrames>(name);
    // A GIF keeps its own delays, 0 and 1 too, unless a rate is asked for.
    if (!options.fps) min_hundredths_ = 0;
  } else if (kind == SourceKind::Webp) {
    reader_ = std::make_unique<video::WebpFrames>(name);
    if (!options.fps) min_hundredths_ = 0;
  } else {
    try {
      reader_ = std::make_unique<video::VideoDecoder>(name, threads);
    } catch (const Error& clip_failure) {
      // A build without clips says so, and a clip that cannot be read says
      // why; what is neither a clip nor a picture gets both reasons.
      if (!video::VideoSupported() ||
          clip_failure.description().find(video::kNoClipDecoder) == std::string::npos) {
        throw;
      }
      try {
        (void)platform::LoadPicture(name);
      } catch (const Error& picture_failure) {
        if (picture_failure.number() != kErrInvalidPicture) throw;
        RaiseError(kErrInvalidPicture, "Invalid picture (" + name + ": " + Inner(picture_failure.description(), "") +
                                           "; nor a clip: " + Inner(clip_failure.description(), name) + ")");
      }
      throw;
    }
  }
  const platform::Limits limits = platform::GetLimits();
  ClipWindow window;
  window.start = options.start;
  if (options.duration) {
    window.end = options.start + *options.duration;
  } else if (options.end) {
    window.end = *options.end;
  }
  window.fps = options.fps;
  window.min_hundredths = min_hundredths_;
  // An animated picture's frames are all in the file, and the animation
  // limits bound them when it is opened: only a clip can claim endless ones.
  const bool clip = kind == SourceKind::Clip;
  window.max_frames = clip ? limits.max_clip_frames : 0;
  window.max_seconds = clip ? limits.max_clip_seconds : 0;
  const video::Ticks tick = reader_->TimeBase();
  timing_ = std::make_unique<ClipTiming>(name, tick.num, tick.den, reader_->Origin(), window);
  pacer_ = std::make_unique<ClipPacer<video::Shot>>(min_hundredths_);
  if (window.start > 0) reader_->Seek(timing_->StartTicks());

  const long double length = static_cast<long double>(reader_->Length()) * tick.num / std::max<std::int64_t>(tick.den, 1);
  const long double until = window.end ? std::min<long double>(*window.end, length) : length;
  const long double seconds = std::max<long double>(0, until - window.start);
  const double rate = options.fps ? *options.fps : std::min(reader_->Rate(), 50.0);
  if (std::isfinite(static_cast<double>(seconds)) && rate > 0 && seconds < 1e7) {
    expected_ = static_cast<std::int64_t>(std::ceil(seconds * rate));
  } else if (!options.fps && !window.end && window.start == 0) {
    expected_ = reader_->FrameCount();  // an animated picture, whole
  }
}

ClipReader::~ClipReader() = default;

bool ClipReader::Decode(Frame& frame) {
  std::int64_t pts = 0, length = 0;
  if (!reader_->Next(pts, length, frame.picture)) return false;
  if (pts == std::numeric_limits<std::int64_t>::min()) pts = last_pts_ + std::max<std::int64_t>(step_, 1);
  if (decoded_any_ && pts > last_pts_) step_ = pts - last_pts_;
  frame.pts = pts;
  last_pts_ = pts;
  last_length_ = length;
  decoded_any_ = true;
  return true;
}

bool ClipReader::Fill(ClipFrames& batch, std::size_t most) {
  try {
    return FillNamed(batch, most);
  } catch (const Error& e) {
    RaiseNamed(e, name_);
  }
}

bool ClipReader::FillNamed(ClipFrames& batch, std::size_t most) {
  batch.Clear();
  // A frame shown again is the same picture, made into a raster once more.
  const auto add = [&](const video::Shot& picture, std::int16_t delay) {
    batch.Add(picture, delay);
    ++shown_;
  };
  while (batch.Frames() < most) {
    if (pacer_->Next(*timing_, held_.picture, add)) continue;
    if (ended_) {
      // A still shows as long as a picture of the list does.
      const bool still = shown_ == 0 && last_length_ == 0 && step_ == 0;
      pacer_->End(still ? pacer_->Start() + still_delay_ : timing_->EndHundredths(), add);
      break;
    }
    // The held frame's GIF frames are all found: the incoming one takes its place.
    if (have_incoming_) {
      held_ = std::move(incoming_);
      incoming_ = Frame{};
      have_incoming_ = false;
    }
    if (timing_->Done()) {
      timing_->End(last_pts_);
      ended_ = true;
      continue;
    }
    if (!Decode(incoming_)) {
      const std::int64_t length = last_length_ > 0 ? last_length_ : step_;
      timing_->End(last_pts_ + length);
      ended_ = true;
      continue;
    }
    have_incoming_ = timing_->Add(incoming_.pts);
  }
  return batch.Frames() > 0;
}

std::string ClipReader::Warning() const {
  const video::Ticks tick = reader_->TimeBase();
  const auto seconds = [&](std::int64_t ticks) {
    return static_cast<long double>(ticks - reader_->Origin()) * tick.num / std::max<std::int64_t>(tick.den, 1);
  };
  std::string notes = reader_->Warning();
  const auto note = [&notes](const std::string& text) { notes += (notes.empty() ? "" : "; ") + text; };
  const std::string& stopped = reader_->Stopped();
  const std::int64_t length = reader_->Length();
  const std::int64_t reached = last_pts_ + std::max(last_length_, step_);
  if (!stopped.empty()) {
    note("the clip stopped at " + SecondsText(seconds(last_pts_)) + " s (" + stopped +
         "); the frames before it are kept");
  } else if (decoded_any_ && length > 0 && seconds(reached) + 0.5L < seconds(length + reader_->Origin()) &&
             !timing_->Done()) {
    // A clip cut short ends well before the length its container announces.
    note("the clip ends at " + SecondsText(seconds(reached)) + " s of the " +
         SecondsText(seconds(length + reader_->Origin())) + " s it announces; the file may be cut short");
  }
  return notes.empty() ? notes : name_ + ": " + notes;
}

}  // namespace zoetra::pipeline

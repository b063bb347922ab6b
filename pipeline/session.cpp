#include "pipeline/session.hpp"

#include <algorithm>
#include <limits>

#include "pipeline/clip_source.hpp"

namespace zoetra::pipeline {
namespace {

// Pixels held in memory before the mode all holds them in a temporary file.
constexpr std::int64_t kHeldInMemory = std::int64_t{64} << 20;

// One picture given to the pass running now.
class OneFrame final : public FrameSource {
 public:
  OneFrame(const PictureSource& picture, std::int32_t delay, bool auto_orient)
      : picture_(picture), delay_(delay), auto_orient_(auto_orient) {}
  std::size_t Frames() const override { return 1; }
  void Read(std::size_t, bool keep_alpha, Decoded& out) const override {
    if (picture_.InMemory()) {
      ReadPixels(picture_.Pixels(), keep_alpha, out);
    } else {
      ReadFile(picture_.File(), keep_alpha, auto_orient_, out);
    }
  }
  std::int32_t Delay(std::size_t) const override { return delay_; }

 private:
  const PictureSource& picture_;
  std::int32_t delay_;
  bool auto_orient_;
};

}  // namespace

Session::Session(const BuilderOptions& options, unsigned threads, GifStream* out, Again again, Whole whole,
                 std::int64_t kept_bytes)
    : options_(options),
      threads_(std::max(1u, threads)),
      again_(again),
      whole_(std::move(whole)),
      held_(options.auto_orient,
            options.palette == PaletteMode::First ? std::numeric_limits<std::int64_t>::max() : kHeldInMemory) {
  if (options.palette == PaletteMode::First) return;
  if (out == nullptr) RaiseError(kErrInternal, "a session of this palette mode needs an output");
  conversion_ = std::make_unique<Conversion>(options, threads_, *out, kept_bytes);
  counting_ = again_ == Again::Given && conversion_->CountsFirst();
}

Session::~Session() = default;

bool Session::CountsFirst() const { return conversion_ && conversion_->CountsFirst(); }

void Session::Total(std::int64_t frames) {
  if (conversion_) conversion_->Total(frames);
}

std::int32_t Session::FrameDelay(std::int64_t delay_ms) const {
  if (!conversion_) RaiseInvalidArgument("a frame's own delay needs the palette mode all or frame");
  BuilderOptions own = options_;
  own.fps.reset();
  own.delay_ms = delay_ms;
  CheckBuilderOptions(own);
  return FrameDelayHundredths(own);
}

void Session::Add(const PictureSource& picture, std::int32_t delay) {
  const std::int64_t number = added_ + 1;
  CheckPicture(picture, static_cast<std::size_t>(number));
  if (!conversion_ || again_ == Again::Held) {
    held_.Add(picture, delay);
    added_ = number;
    // Without counting, a few frames at a time keep every thread busy and memory flat.
    if (conversion_ && !conversion_->CountsFirst() && held_.Frames() >= 2 * std::size_t{threads_} + 2) MakeHeld();
    return;
  }
  Add(OneFrame(picture, delay, options_.auto_orient));
}

void Session::Add(const FrameSource& frames) {
  if (!conversion_) RaiseError(kErrInternal, "the first picture's palette takes pictures one by one");
  counting_ ? conversion_->Count(frames) : conversion_->Emit(frames);
  added_ += static_cast<std::int64_t>(frames.Frames());
}

bool Session::NextKept() const {
  return conversion_ && !counting_ && conversion_->CountsFirst() && conversion_->KeptThrough(added_ + 1);
}

void Session::AddKept(std::int32_t delay) {
  if (!NextKept()) RaiseInvalidArgument("the counting pass did not keep frame " + std::to_string(added_ + 1));
  Add(KeptFrames({delay}));
}

void Session::Seal() {
  if (!counting_) RaiseInvalidArgument("this palette mode does not count first");
  conversion_->Seal();
  counting_ = false;
  added_ = 0;
}

void Session::MakeHeld() {
  conversion_->Emit(held_);
  held_.Clear();
}

std::int64_t Session::Finish(BuilderReport* report) {
  if (!conversion_) {
    const std::int64_t frames = whole_(held_.List());
    held_.Clear();
    return frames;
  }
  if (again_ == Again::Held) {
    conversion_->Total(std::max<std::int64_t>(added_, 0));
    if (conversion_->CountsFirst()) {
      conversion_->Count(held_);
      conversion_->Seal();
    }
    MakeHeld();
  } else if (counting_) {
    RaiseInvalidArgument("the counting pass was not sealed");
  }
  conversion_->Finish();
  if (report != nullptr) conversion_->Fill(*report);
  return conversion_->Frames();
}

void ConvertFrames(const FrameSource& source, const BuilderOptions& options, unsigned threads, GifStream& out,
                   BuilderReport* report) {
  Session session(options, threads, &out, Session::Again::Given);
  session.Total(static_cast<std::int64_t>(source.Frames()));
  if (session.CountsFirst()) {
    session.Add(source);
    session.Seal();
  }
  session.Add(source);
  session.Finish(report);
}

}  // namespace zoetra::pipeline

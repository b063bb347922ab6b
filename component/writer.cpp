// zoetra::Writer: frames handed over one at a time, through the same stages
// as a list of pictures, so that both give the same bytes.
#include <limits>

#include "component/stream_output.hpp"
#include "component/zoetra.hpp"
#include "pipeline/conversion.hpp"
#include "pipeline/held_frames.hpp"
#include "platform/base/arith.hpp"
#include "platform/base/display_name.hpp"
#include "platform/base/files.hpp"
#include "platform/base/yield.hpp"

namespace zoetra {
namespace {

// Pixels held in memory before the mode all holds them in a temporary file.
constexpr std::int64_t kHeldInMemory = std::int64_t{64} << 20;

}  // namespace

class Writer::Impl {
 public:
  Impl(std::string path, ByteWriter write, const BuilderOptions& options)
      : options_(options),
        path_(std::move(path)),
        write_(std::move(write)),
        threads_(detail::ConversionThreads(options.threads)),
        held_(options.auto_orient,
              options.palette == PaletteMode::First ? std::numeric_limits<std::int64_t>::max() : kHeldInMemory) {
    Guarded([&] {
      CheckBuilderOptions(options_);
      if (options_.palette == PaletteMode::First) return;
      out_ = path_.empty() ? std::make_unique<detail::StreamOutput>(write_)
                           : std::make_unique<detail::StreamOutput>(path_);
      conversion_ = std::make_unique<pipeline::Conversion>(options_, threads_, out_->Stream());
    });
  }

  void Add(const PictureSource& picture, std::optional<std::int64_t> delay_ms) {
    Guarded([&] {
      Usable();
      const std::int64_t number = added_ + 1;
      pipeline::CheckPicture(picture, static_cast<std::size_t>(number));
      if (!picture.InMemory()) CheckFile(picture.File(), number);
      std::int32_t delay = -1;
      if (delay_ms) {
        if (options_.palette == PaletteMode::First) {
          RaiseInvalidArgument("a frame's own delay needs the palette mode all or frame");
        }
        BuilderOptions own = options_;
        own.fps.reset();
        own.delay_ms = *delay_ms;
        CheckBuilderOptions(own);
        delay = FrameDelayHundredths(own);
      }
      held_.Add(picture, delay);
      added_ = number;
      // A few frames at a time keep every thread busy and memory flat.
      if (conversion_ && !conversion_->CountsFirst() && held_.Frames() >= 2 * std::size_t{threads_} + 2) {
        conversion_->Emit(held_);
        held_.Clear();
      }
    });
  }

  std::int64_t Finish() {
    return Guarded([&] {
      Usable();
      finished_ = true;
      if (!conversion_) {
        Zoetra component;
        const std::vector<PictureSource> list = held_.List();
        if (path_.empty()) return component.CreateToStream(list, write_, options_);
        component.Create(list, path_, options_);
        return added_;
      }
      conversion_->Total(added_);
      if (conversion_->CountsFirst()) {
        conversion_->Count(held_);
        conversion_->Seal();
      }
      conversion_->Emit(held_);
      held_.Clear();
      conversion_->Finish();
      out_->Commit();
      if (options_.report != nullptr) conversion_->Fill(*options_.report);
      if (!path_.empty()) {
        const auto frames = static_cast<std::int32_t>(std::min<std::int64_t>(added_, 0x7FFFFFFF));
        platform::DoEvents({platform::YieldStage::Saved, frames, frames});
      }
      return added_;
    });
  }

  std::int64_t Frames() const { return added_; }

 private:
  // A failure stops the writer for good; with raise_errors it is raised as
  // the component's own error, as the other calls raise theirs.
  template <class F>
  auto Guarded(F&& body) -> decltype(body()) {
    try {
      return options_.raise_errors ? WithCatchLogRaise(body) : body();
    } catch (...) {
      failed_ = true;
      throw;
    }
  }

  void Usable() const {
    if (failed_) RaiseInvalidArgument("the writer stopped at an earlier failure");
    if (finished_) RaiseInvalidArgument("the writer is finished");
  }

  void CheckFile(const std::string& name, std::int64_t number) const {
    if (name.find('\0') != std::string::npos) {
      RaiseInvalidArgument("the name of picture " + std::to_string(number) + " holds a NUL byte");
    }
    platform::CheckReadable(name);
    if (!path_.empty() && platform::GetFileAttributes(path_) && platform::SameFile(name, path_)) {
      RaisePathAccess(path_, "it is picture " + std::to_string(number) + " (" + platform::DisplayName(name) +
                                 "); the GIF would overwrite it");
    }
  }

  BuilderOptions options_;
  std::string path_;
  ByteWriter write_;
  unsigned threads_;
  pipeline::HeldFrames held_;
  std::unique_ptr<detail::StreamOutput> out_;
  std::unique_ptr<pipeline::Conversion> conversion_;
  std::int64_t added_ = 0;
  bool finished_ = false;
  bool failed_ = false;
};

Writer::Writer(std::string_view output, const BuilderOptions& options)
    : impl_(std::make_unique<Impl>(std::string(output), ByteWriter(), options)) {}

Writer::Writer(ByteWriter write, const BuilderOptions& options)
    : impl_(std::make_unique<Impl>(std::string(), std::move(write), options)) {}

Writer::~Writer() = default;
Writer::Writer(Writer&&) noexcept = default;
Writer& Writer::operator=(Writer&&) noexcept = default;

void Writer::Add(const PictureSource& picture) { impl_->Add(picture, std::nullopt); }
void Writer::Add(const PictureSource& picture, std::int64_t delay_ms) { impl_->Add(picture, delay_ms); }
std::int64_t Writer::Finish() { return impl_->Finish(); }
std::int64_t Writer::Frames() const { return impl_->Frames(); }

}  // namespace zoetra

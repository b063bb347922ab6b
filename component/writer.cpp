// zoetra::Writer: frames handed over one at a time, through the same stages
// as a list of pictures, so that both give the same bytes.
#include <limits>

#include "component/stream_output.hpp"
#include <zoetra/zoetra.hpp>
#include "pipeline/session.hpp"
#include "platform/base/arith.hpp"
#include "platform/base/display_name.hpp"
#include "platform/base/files.hpp"
#include "platform/base/yield.hpp"

namespace zoetra {

class Writer::Impl {
 public:
  Impl(std::string path, ByteWriter write, const BuilderOptions& options)
      : options_(options),
        path_(std::move(path)),
        write_(std::move(write)),
        threads_(detail::ConversionThreads(options.threads)) {
    Guarded([&] {
      CheckBuilderOptions(options_);
      if (options_.palette != PaletteMode::First) {
        out_ = path_.empty() ? std::make_unique<detail::StreamOutput>(write_)
                             : std::make_unique<detail::StreamOutput>(path_);
      }
      session_ = std::make_unique<pipeline::Session>(
          options_, threads_, out_ ? &out_->Stream() : nullptr, pipeline::Session::Again::Held,
          [this](const std::vector<PictureSource>& list) { return Whole(list); });
    });
  }

  void Add(const PictureSource& picture, std::optional<std::int64_t> delay_ms) {
    Guarded([&] {
      Usable();
      const std::int64_t number = session_->Added() + 1;
      pipeline::CheckPicture(picture, static_cast<std::size_t>(number));
      if (!picture.InMemory()) CheckFile(picture.File(), number);
      session_->Add(picture, delay_ms ? session_->FrameDelay(*delay_ms) : -1);
    });
  }

  std::int64_t Finish() {
    return Guarded([&] {
      Usable();
      finished_ = true;
      const std::int64_t added = session_->Added();
      if (!out_) return session_->Finish();
      session_->Finish(options_.report);
      out_->Commit();
      if (!path_.empty()) {
        const auto frames = static_cast<std::int32_t>(std::min<std::int64_t>(added, 0x7FFFFFFF));
        platform::DoEvents({platform::YieldStage::Saved, frames, frames});
      }
      return added;
    });
  }

  std::int64_t Frames() const { return session_ ? session_->Added() : 0; }

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

  // The first picture's palette: every picture at once, through the document.
  std::int64_t Whole(const std::vector<PictureSource>& list) {
    Zoetra component;
    if (path_.empty()) return component.CreateToStream(list, write_, options_);
    component.Create(list, path_, options_);
    return static_cast<std::int64_t>(list.size());
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
  std::unique_ptr<detail::StreamOutput> out_;
  std::unique_ptr<pipeline::Session> session_;
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

#include "component/stream_output.hpp"

namespace zoetra::detail {

class StreamOutput::FunctionSink final : public gif_blocks::Sink {
 public:
  explicit FunctionSink(ByteWriter write) : write_(std::move(write)) {}
  bool Write(std::span<const std::uint8_t> bytes) override { return write_(bytes); }

 private:
  ByteWriter write_;
};

StreamOutput::StreamOutput(std::string_view path) : path_(path) {
  if (!file_.Open(path)) pipeline::RaiseCannotSave(path);
  sink_ = std::make_unique<gif_blocks::AtomicFileSink>(file_);
  stream_ = std::make_unique<pipeline::GifStream>(*sink_, path_);
}

StreamOutput::StreamOutput(std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  sink_ = std::make_unique<mGIFLZWEnc::VectorSink>(bytes);
  stream_ = std::make_unique<pipeline::GifStream>(*sink_, "memory");
}

StreamOutput::StreamOutput(ByteWriter write) {
  sink_ = std::make_unique<FunctionSink>(std::move(write));
  stream_ = std::make_unique<pipeline::GifStream>(*sink_, "the host's output");
}

void StreamOutput::Commit() {
  if (!path_.empty() && !file_.Commit()) pipeline::RaiseCannotSave(path_);
}

}  // namespace zoetra::detail

// Where a streamed conversion's bytes go: a file that is replaced only by a
// complete new one, bytes in memory, or a host's function.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <zoetra/zoetra.hpp>
#include "gif/gif_blocks.hpp"
#include "pipeline/gif_stream.hpp"
#include "platform/base/files.hpp"

namespace zoetra::detail {

class StreamOutput {
 public:
  // Raises 75 naming the file when it cannot be made.
  explicit StreamOutput(std::string_view path);
  explicit StreamOutput(std::vector<std::uint8_t>& bytes);
  explicit StreamOutput(ByteWriter write);
  StreamOutput(const StreamOutput&) = delete;
  StreamOutput& operator=(const StreamOutput&) = delete;

  pipeline::GifStream& Stream() { return *stream_; }
  // The file takes the place of the old one; raises 75 when it cannot.
  void Commit();

 private:
  class FunctionSink;
  platform::AtomicFile file_;
  std::string path_;
  std::unique_ptr<gif_blocks::Sink> sink_;
  std::unique_ptr<pipeline::GifStream> stream_;
};

}  // namespace zoetra::detail

namespace zoetra::detail {

// Threads for one conversion: as asked (0: one per core), never past the host's limit.
unsigned ConversionThreads(std::int64_t asked);
// What the options calls refuse before any picture is decoded: pictures in
// memory that cannot be read, an empty list, a name no file can have, a
// missing or unreadable file, and (for a document) more than 32767 pictures.
void CheckSources(const std::vector<PictureSource>& pictures, bool document);
// "OK, Animated GIF: NAME.EXT created with N frames". The classic calls say
// "1 frames" too; the options calls, `singular`, say "1 frame".
std::string SuccessText(std::string_view output, std::int64_t frames, bool singular = false);

}  // namespace zoetra::detail

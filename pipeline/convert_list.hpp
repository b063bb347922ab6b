// The list call's conversion: pictures, clips and animated pictures, mixed.
#pragma once

#include <cstdint>
#include <vector>

#include "pipeline/conversion.hpp"
#include "pipeline/gif_stream.hpp"
#include "pipeline/options.hpp"

namespace zoetra::pipeline {

// A list of pictures, clips and animated GIFs, mixed, into `out`, in list
// order: runs of pictures as a PictureList, clips in batches as they are
// decoded (twice for a palette that counts first). Returns the frames; the
// report, when given, is filled, with what a person should know of damaged clips.
std::int64_t ConvertList(const std::vector<PictureSource>& pictures, const BuilderOptions& options, unsigned threads,
                         GifStream& out, BuilderReport* report, std::int64_t kept_bytes = kKeptBytes);

}  // namespace zoetra::pipeline

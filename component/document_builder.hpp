// The classic conversion: every frame made through the first picture's
// palette into one in-memory GIF document, which is then compacted,
// optimised and saved whole. Its bytes, errors and yields are fixed; the
// other palette modes stream instead (pipeline/conversion.hpp).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "pipeline/options.hpp"
#include "gif/cgif.hpp"
#include "platform/base/variant.hpp"

namespace zoetra::document {

struct Outcome {
  bool saved = false;
  std::int32_t frames = 0;
};

// Converts the list (names; `sources`, when given, is the list they came
// from, whose pictures in memory are read from there) and hands the document
// to `save`. The options are taken as they are: the classic calls give
// values (a negative delay) that CheckBuilderOptions would refuse.
Outcome Build(const platform::VariantArray& list, const BuilderOptions& options,
              const std::vector<PictureSource>* sources, const std::function<bool(cGIF&)>& save);

}  // namespace zoetra::document

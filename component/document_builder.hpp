// The classic conversion: every frame made through the first picture's
// palette into one in-memory GIF document, which is then compacted,
// optimised and saved whole. Its bytes, errors and yields are fixed; the
// other palette modes stream instead (pipeline/conversion.hpp).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "component/zoetra.hpp"
#include "gif/cgif.hpp"
#include "platform/base/variant.hpp"

namespace zoetra::document {

struct Settings {
  std::int16_t lDelay = 350;
  std::int16_t isGray = 0;
  std::int16_t doOptimize = 0;
  std::int16_t SwapRG = 0;
  BuilderReport* report = nullptr;
  unsigned threads = 1;
  std::int32_t loop = 0;
  std::int32_t fit_width = 0, fit_height = 0;
  std::optional<std::uint32_t> background;
  bool auto_orient = false;
};

struct Outcome {
  bool saved = false;
  std::int32_t frames = 0;
};

// Converts the list (names; `sources`, when given, is the list they came
// from, whose pictures in memory are read from there) and hands the document
// to `save`.
Outcome Build(const platform::VariantArray& list, const Settings& settings,
              const std::vector<PictureSource>* sources, const std::function<bool(cGIF&)>& save);

}  // namespace zoetra::document

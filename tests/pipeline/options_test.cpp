// The palette modes' names: the one table every front door parses with.
#include "pipeline/options.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "platform/base/error.hpp"
#include "support/caught.hpp"

namespace zoetra {
namespace {

TEST(PaletteModeNamesTest, EveryNameGivesItsOwnModeAndBack) {
  std::set<PaletteMode> modes;
  for (const std::string_view name : kPaletteModeNames) {
    const PaletteMode mode = ParsePaletteMode(name);
    EXPECT_EQ(PaletteModeName(mode), name);
    modes.insert(mode);
  }
  EXPECT_EQ(modes, (std::set<PaletteMode>{PaletteMode::First, PaletteMode::All, PaletteMode::Frame}));
  EXPECT_EQ(BuilderOptions{}.palette, ParsePaletteMode(kPaletteModeNames[0]));  // the first listed is the default
}

TEST(PaletteModeNamesTest, WhatIsNoModeIsRefusedByName) {
  const struct Case {
    std::function<void()> call;
    const char* text;
  } cases[] = {
      {[] { ParsePaletteMode("best"); }, "the palette mode \"best\" is not all, frame or first"},
      {[] { ParsePaletteMode("All"); }, "the palette mode \"All\" is not all, frame or first"},
      {[] { ParsePaletteMode(""); }, "the palette mode \"\" is not all, frame or first"},
      {[] { PaletteModeName(static_cast<PaletteMode>(7)); }, "the palette mode 7 is not all, frame or first"},
  };
  for (const Case& c : cases) {
    const Error e = test::Caught(c.call);
    EXPECT_EQ(e.number(), kErrInvalidArgument);
    EXPECT_NE(e.description().find(c.text), std::string::npos) << e.description();
  }
}

}  // namespace
}  // namespace zoetra

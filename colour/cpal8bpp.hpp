// cPal8bpp: the palette object. A table of 256 entries (blue, green, red, 0),
// a count of the entries in use, and a logical palette of the drawing layer
// built from them that answers nearest-colour questions.
//
// The table is absent in a new object and after Destroy; Initialize, a preset
// or CreateOptimal makes it. The logical palette (hPal) is owned by the object:
// it is released on Destroy, on the next BuildLogicalPalette and at destruction.
// Changing entries or the count does not touch it; only BuildLogicalPalette
// (run at the end of every preset and of CreateOptimal) rebuilds it.
//
// Throws zoetra::Error:
//   9  any access to the table while there is none (lpPalette, rgbR/G/B,
//      ClosestColor, BuildLogicalPalette, IsGreyScale with Entries > 0);
//      ClosestColor when the nearest-entry query fails (no logical palette);
//      CreateHalftone with a level outside 0..4; CreateOptimal when its tree
//      would need more than 8 levels of inner nodes (nLevels 0 or 10 and above
//      at the first pixel, nLevels 9 at the first merge), or with more than
//      256 leaves at the end.
//   11 CreateGreyScale with a level outside 0..2.
//   6  CreateOptimal with nLevels outside 0..255, or a colour sum past 2^31 - 1.
// A failing operation leaves the object in the state it had reached.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/base/export.hpp"
#include "platform/drawing/gdi.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra {

class cDIB;

class cPal8bpp {
 public:
  static constexpr int kTableEntries = 256;
  static constexpr int kTableBytes = kTableEntries * 4;

  cPal8bpp() = default;
  ~cPal8bpp();
  cPal8bpp(const cPal8bpp&) = delete;
  cPal8bpp& operator=(const cPal8bpp&) = delete;

  // Destroy, then a fresh all-zero table with Entries = InitialEntries (stored
  // as given) and no logical palette.
  void Initialize(std::int16_t InitialEntries);
  // Rebuilds hPal from the first Entries entries. An Entries outside 0..256 is
  // clamped to that range for the logical palette (Entries itself is kept).
  // If the drawing layer refuses, hPal stays 0.
  void BuildLogicalPalette();
  // Entries 0, no table, no logical palette.
  void Destroy();

  // Red, green, blue of the entry ClosestIndex picks for (R, G, B).
  void ClosestColor(std::uint8_t R, std::uint8_t G, std::uint8_t B, std::uint8_t& cR,
                    std::uint8_t& cG, std::uint8_t& cb) const;
  // Index of the entry in use nearest to (R, G, B) (squared distance, lowest
  // index on a tie); 0 when there is no logical palette or it is empty.
  void ClosestIndex(std::uint8_t R, std::uint8_t G, std::uint8_t B, std::uint8_t& Index) const;
  // True when Entries > 0 and entries 0..Entries-1 all have red = green = blue.
  bool IsGreyScale() const;

  // Presets. Each starts with Initialize(0) and ends with BuildLogicalPalette.
  // Grey ramp: level 0 gives 0, 255; 1 gives 0, 17, ..., 255; 2 gives 0..255.
  void CreateGreyScale(std::int32_t GreyLevels);
  // The 16 standard colours: eight dark ones, then eight bright ones.
  void CreateEGA();
  // Uniform colour cube with 2, 3, 4, 5 or 6 values per channel (levels 0..4);
  // the colour with value indices (r, g, b) is entry r + n*g + n*n*b.
  void CreateHalftone(std::int32_t HalftoneLevels);
  // 256 entries: standard colours at 0..7 and 248..255, the 6x6x6 cube without
  // its corners at 8..215, black at 216, greys 8..248 at 217..247.
  void CreateWebsafe();
  // At most nColors colours chosen from a 32-bit raster with a colour tree of
  // nLevels levels (1..8), entries in ascending tree-node order. A raster of
  // any other depth leaves the object unchanged. (cpal8bpp_optimal.cpp)
  void CreateOptimal(const cDIB& oDIB32, std::int32_t nColors, std::int32_t nLevels, float RWeight,
                     float GWeight, float BWeight);

  // Address of entry 0 of the table (4 bytes per entry, 256 entries). Non-owning:
  // valid until the next Initialize, preset, CreateOptimal or Destroy.
  std::uint8_t* lpPalette() const;
  platform::HPALETTE hPal() const { return hpal_; }
  std::int16_t Entries() const { return entries_; }
  void Entries(std::int16_t New_Entries) { entries_ = New_Entries; }

  std::uint8_t rgbR(std::uint8_t PalEntry) const { return Channel(PalEntry, kRed); }
  std::uint8_t rgbG(std::uint8_t PalEntry) const { return Channel(PalEntry, kGreen); }
  std::uint8_t rgbB(std::uint8_t PalEntry) const { return Channel(PalEntry, kBlue); }
  void rgbR(std::uint8_t PalEntry, std::uint8_t New_rgbR) { SetChannel(PalEntry, kRed, New_rgbR); }
  void rgbG(std::uint8_t PalEntry, std::uint8_t New_rgbG) {
    SetChannel(PalEntry, kGreen, New_rgbG);
  }
  void rgbB(std::uint8_t PalEntry, std::uint8_t New_rgbB) { SetChannel(PalEntry, kBlue, New_rgbB); }

  // Highest node number the colour tree's array holds after the last
  // CreateOptimal (0 before any); the array grows by a tenth when it is full.
  std::int32_t NodeCapacity() const {
    return nodes_.empty() ? 0 : static_cast<std::int32_t>(nodes_.size()) - 1;
  }

 private:
  // Byte offsets of the channels within an entry.
  static constexpr int kBlue = 0;
  static constexpr int kGreen = 1;
  static constexpr int kRed = 2;

  // One node of the colour tree; numbers start at 1, 0 means none.
  struct TreeNode {
    bool IsLeaf = false;
    bool IsListed = false;
    // 64-bit sums: a 32-bit one overflows after 8 421 504 pixels of 255 in
    // one leaf, which one flat 4000 x 3000 picture passes. PixelCount (checked)
    // stays below 2^31, so the sums stay below 2^39 and convert to double exactly.
    std::int64_t SumR = 0;
    std::int64_t SumG = 0;
    std::int64_t SumB = 0;
    std::int32_t PixelCount = 0;
    std::int32_t Child[8] = {};  // slot red bit + 2 * green bit + 4 * blue bit
    std::int32_t NextNode = 0;   // next on the same reduction list or on the free list
  };
  static constexpr int kMaxListDepth = 8;

  std::uint8_t* Table() const;  // raises 9 without a table
  std::uint8_t Channel(std::uint8_t entry, int channel) const {
    return Table()[entry * 4 + channel];
  }
  void SetChannel(std::uint8_t entry, int channel, std::uint8_t value) {
    Table()[entry * 4 + channel] = value;
  }
  void SetEntry(int index, std::uint8_t red, std::uint8_t green, std::uint8_t blue);
  void SetDarkColors(int first);
  void SetBrightColors(int first);
  // Nearest entry as the drawing layer reports it (kClrInvalid on failure).
  std::uint32_t NearestEntry(std::uint8_t R, std::uint8_t G, std::uint8_t B) const;

  // Colour tree (cpal8bpp_optimal.cpp). AddColor takes the pixel's descent
  // code (3 bits per depth, slot of depth d at bits 3(d-1)..3(d-1)+2) and
  // returns the leaf the pixel went into.
  std::int32_t AddColor(std::uint32_t code, std::uint8_t R, std::uint8_t G, std::uint8_t B);
  void AddToLeaf(TreeNode& leaf, std::uint8_t R, std::uint8_t G, std::uint8_t B);
  bool ReduceTree();
  void FreeNode(std::int32_t node);
  std::int32_t NewNode();

  std::int16_t entries_ = 0;
  platform::HPALETTE hpal_ = 0;
  std::unique_ptr<std::array<std::uint8_t, kTableBytes>> table_;

  std::vector<TreeNode> nodes_;  // element 0 unused so that node n is nodes_[n]
  std::int32_t node_count_ = 0;
  std::uint8_t max_depth_ = 0;
  std::int32_t free_head_ = 0;
  std::int32_t leaf_count_ = 0;
  std::array<std::int32_t, kMaxListDepth> list_head_{};  // depths 1..8
  float r_weight_ = 0.0f;
  float g_weight_ = 0.0f;
  float b_weight_ = 0.0f;
};

}  // namespace zoetra

ZOETRA_PUBLIC_END

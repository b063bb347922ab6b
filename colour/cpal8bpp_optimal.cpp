// Optimal palette: a colour tree (octree) over the pixels of a 32-bit raster.
//
// The entry order of the result follows from the node numbering (from 1, freed
// nodes reused in stack order) and the ascending walk over node numbers; every
// frame of an animation depends on it, so none of those rules may change.
#include <algorithm>
#include <array>

#include "colour/cpal8bpp.hpp"
#include "platform/base/arith.hpp"
#include "platform/base/error.hpp"
#include "raster/cdib.hpp"

namespace zoetra {

namespace {

constexpr std::int32_t kInitialNodes = 50;
constexpr double kNodeGrowth = 1.1;
// A descent never goes past depth 9: a leaf is made there (nLevels 9) or an
// inner node would need list 9, which does not exist.
constexpr int kCodeDepths = 9;
using DescentCodes = std::array<std::uint32_t, 256>;

// The bits one channel contributes to the descent of every byte value, for a
// fixed weight. The bounds of a channel only depend on that channel's earlier
// bits, so the whole path is a function of the value alone: computing it once
// per value runs exactly the comparisons the descent would run per pixel.
// Bit of depth d lands at 3(d-1) + shift (red 0, green 1, blue 2).
void BuildDescentCodes(float weight, int shift, DescentCodes& codes) {
  for (int v = 0; v < 256; ++v) {
    const float scaled = static_cast<float>(v) * weight;  // single-precision product
    int lo = 0;
    int hi = 255;
    std::uint32_t code = 0;
    for (int d = 0; d < kCodeDepths; ++d) {
      const std::uint8_t m = RoundToByte(lo / 2.0 + hi / 2.0);
      if (scaled > static_cast<float>(m)) {
        code |= 1u << (3 * d + shift);
        lo = m;
      } else {
        hi = m;
      }
    }
    codes[v] = code;
  }
}

}  // namespace

void cPal8bpp::CreateOptimal(const cDIB& oDIB32, std::int32_t nColors, std::int32_t nLevels,
                             float RWeight, float GWeight, float BWeight) {
  if (oDIB32.BPP() != 32) return;

  r_weight_ = RWeight;
  g_weight_ = GWeight;
  b_weight_ = BWeight;
  nodes_.assign(kInitialNodes + 1, TreeNode{});
  list_head_.fill(0);
  max_depth_ = Narrow<std::uint8_t>(nLevels);
  node_count_ = 1;
  free_head_ = 0;
  leaf_count_ = 0;

  DescentCodes red_codes, green_codes, blue_codes;
  BuildDescentCodes(r_weight_, 0, red_codes);
  BuildDescentCodes(g_weight_, 1, green_codes);
  BuildDescentCodes(b_weight_, 2, blue_codes);

  const std::uint8_t* px = oDIB32.lpBits();
  std::size_t pixels = 0;
  if (px != nullptr && oDIB32.Width() > 0 && oDIB32.Height() > 0) {
    pixels = std::min(
        static_cast<std::size_t>(oDIB32.Width()) * static_cast<std::size_t>(oDIB32.Height()),
        static_cast<std::size_t>(static_cast<std::uint32_t>(oDIB32.Size())) / 4);
  }
  // Pixels with the same descent as the previous one reach the same leaf, as
  // long as no reduction has changed the tree since: then the descent is
  // skipped (every inner node on the way is already listed).
  const int used_depths = max_depth_ >= 1 && max_depth_ < kCodeDepths ? max_depth_ : kCodeDepths;
  const std::uint32_t code_mask = (1u << (3 * used_depths)) - 1u;
  std::uint32_t last_code = 0;
  std::int32_t last_leaf = 0;
  for (const std::uint8_t* end = px + pixels * 4; px != end; px += 4) {
    const std::uint8_t b = px[0], g = px[1], r = px[2];
    const std::uint32_t code = (red_codes[r] | green_codes[g] | blue_codes[b]) & code_mask;
    if (last_leaf != 0 && code == last_code) {
      AddToLeaf(nodes_[last_leaf], r, g, b);
    } else {
      last_leaf = AddColor(code, r, g, b);
      last_code = code;
    }
    while (leaf_count_ > nColors) {
      if (!ReduceTree()) break;
      last_leaf = 0;
    }
  }

  // Only now is the previous palette dropped.
  Initialize(0);
  int k = 0;
  for (std::size_t n = 1; n < nodes_.size(); ++n) {
    const TreeNode& node = nodes_[n];
    if (!node.IsLeaf) continue;
    // Sums below 2^53 are exact as doubles: the quotients, and so the rounding,
    // are those of the 32-bit sums wherever those did not overflow.
    const double count = node.PixelCount;
    SetEntry(k, RoundToByte(static_cast<double>(node.SumR) / count),
             RoundToByte(static_cast<double>(node.SumG) / count),
             RoundToByte(static_cast<double>(node.SumB) / count));
    ++k;
  }
  entries_ = static_cast<std::int16_t>(k);
  BuildLogicalPalette();
}

void cPal8bpp::AddToLeaf(TreeNode& leaf, std::uint8_t R, std::uint8_t G, std::uint8_t B) {
  if (leaf.PixelCount == 0) ++leaf_count_;
  leaf.PixelCount = Add32(leaf.PixelCount, 1);
  leaf.SumR += R;
  leaf.SumG += G;
  leaf.SumB += B;
}

std::int32_t cPal8bpp::AddColor(std::uint32_t code, std::uint8_t R, std::uint8_t G,
                                std::uint8_t B) {
  std::int32_t node = 1;
  for (int depth = 1;; ++depth, code >>= 3) {
    const int slot = static_cast<int>(code & 7u);
    std::int32_t child = nodes_[node].Child[slot];
    if (child == 0) {
      child = NewNode();  // may grow nodes_: take references only afterwards
      nodes_[node].Child[slot] = child;
      TreeNode& fresh = nodes_[child];
      fresh.IsLeaf = depth == max_depth_;
      fresh.SumR = fresh.SumG = fresh.SumB = fresh.PixelCount = 0;
      fresh.NextNode = 0;
    }
    TreeNode& c = nodes_[child];
    if (c.IsLeaf) {
      AddToLeaf(c, R, G, B);
      return child;
    }
    if (!c.IsListed) {
      if (depth > kMaxListDepth) RaiseSubscript();
      c.NextNode = list_head_[depth - 1];
      list_head_[depth - 1] = child;
      c.IsListed = true;
    }
    node = child;
  }
}

bool cPal8bpp::ReduceTree() {
  int depth = max_depth_;
  for (; depth >= 1; --depth) {
    if (depth > kMaxListDepth) RaiseSubscript();
    if (list_head_[depth - 1] != 0) break;
  }
  if (depth < 1) return false;

  const std::int32_t node = list_head_[depth - 1];
  list_head_[depth - 1] = nodes_[node].NextNode;
  std::int64_t sum_r = 0, sum_g = 0, sum_b = 0;
  std::int32_t count = 0;
  for (int s = 0; s < 8; ++s) {
    const std::int32_t child = nodes_[node].Child[s];
    if (child == 0) continue;
    // Every child is a leaf: no deeper list holds an inner node.
    const TreeNode& c = nodes_[child];
    sum_r += c.SumR;
    sum_g += c.SumG;
    sum_b += c.SumB;
    count = Add32(count, c.PixelCount);
    FreeNode(child);
    --leaf_count_;
    nodes_[node].Child[s] = 0;
  }
  TreeNode& merged = nodes_[node];
  merged.IsLeaf = true;
  merged.SumR = sum_r;
  merged.SumG = sum_g;
  merged.SumB = sum_b;
  merged.PixelCount = count;
  ++leaf_count_;
  return true;
}

void cPal8bpp::FreeNode(std::int32_t node) {
  TreeNode& n = nodes_[node];
  n.NextNode = free_head_;
  free_head_ = node;
  n.IsLeaf = false;
  n.IsListed = false;
  --node_count_;
}

std::int32_t cPal8bpp::NewNode() {
  ++node_count_;
  if (free_head_ == 0) {
    if (static_cast<std::size_t>(node_count_) >= nodes_.size()) {
      const std::int32_t highest = RoundToInt32(node_count_ * kNodeGrowth);
      nodes_.resize(static_cast<std::size_t>(highest) + 1);
    }
    return node_count_;
  }
  const std::int32_t node = free_head_;
  TreeNode& n = nodes_[node];
  free_head_ = n.NextNode;
  std::fill(std::begin(n.Child), std::end(n.Child), 0);
  return node;
}

}  // namespace zoetra

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "colour/cpal8bpp.hpp"
#include "platform/base/error.hpp"
#include "raster/cdib.hpp"
#include "tests/colour/colour_test_util.hpp"

namespace zoetra {
namespace {

using namespace colour_test;

std::vector<Rgb> Optimal(const std::vector<Rgb>& pixels, int nColors, int nLevels, float rw = 1,
                         float gw = 1, float bw = 1) {
  cDIB d;
  Fill(d, static_cast<std::int32_t>(pixels.size()), 1, pixels);
  cPal8bpp pal;
  pal.CreateOptimal(d, nColors, nLevels, rw, gw, bw);
  EXPECT_NE(pal.hPal(), 0u);
  return EntriesOf(pal);
}

// The colour tree written out the plain way (recursive descent, midpoints per
// call, numbering and free stack as the behaviour requires), to hold the fast
// version to exactly the same entries in the same order.
class ReferenceTree {
 public:
  std::vector<Rgb> Run(const std::vector<Rgb>& pixels, int n_colors, int n_levels, float rw,
                       float gw, float bw) {
    weights_[0] = rw;
    weights_[1] = gw;
    weights_[2] = bw;
    nodes_.assign(2, Node{});
    max_depth_ = n_levels;
    node_count_ = 1;
    free_head_ = 0;
    leaf_count_ = 0;
    std::fill(std::begin(list_head_), std::end(list_head_), 0);
    for (const Rgb& c : pixels) {
      Add(1, 1, {0, 0, 0}, {255, 255, 255}, c);
      while (leaf_count_ > n_colors && Reduce()) {
      }
    }
    std::vector<Rgb> out;
    for (const Node& n : nodes_) {
      if (!n.leaf) continue;
      out.push_back({RoundHalfEven(static_cast<double>(n.sum[0]) / n.count),
                     RoundHalfEven(static_cast<double>(n.sum[1]) / n.count),
                     RoundHalfEven(static_cast<double>(n.sum[2]) / n.count)});
    }
    return out;
  }

 private:
  struct Node {
    bool leaf = false, listed = false;
    long long sum[3] = {};
    long long count = 0;
    int child[8] = {};
    int next = 0;
  };

  void Add(int node, int depth, std::array<int, 3> lo, std::array<int, 3> hi, const Rgb& c) {
    const int v[3] = {c.r, c.g, c.b};
    int slot = 0;
    for (int ch = 0; ch < 3; ++ch) {
      const int m = RoundHalfEven(lo[ch] / 2.0 + hi[ch] / 2.0);
      if (static_cast<float>(v[ch]) * weights_[ch] > static_cast<float>(m)) {
        slot |= 1 << ch;
        lo[ch] = m;
      } else {
        hi[ch] = m;
      }
    }
    int child = nodes_[node].child[slot];
    if (child == 0) {
      child = NewNode();
      nodes_[node].child[slot] = child;
      Node& n = nodes_[child];
      n.leaf = depth == max_depth_;
      n.sum[0] = n.sum[1] = n.sum[2] = n.count = 0;
      n.next = 0;
    }
    Node& n = nodes_[child];
    if (n.leaf) {
      if (n.count == 0) ++leaf_count_;
      ++n.count;
      for (int ch = 0; ch < 3; ++ch) n.sum[ch] += v[ch];
      return;
    }
    if (!n.listed) {
      n.next = list_head_[depth];
      list_head_[depth] = child;
      n.listed = true;
    }
    Add(child, depth + 1, lo, hi, c);
  }

  bool Reduce() {
    int d = max_depth_;
    while (d >= 1 && list_head_[d] == 0) --d;
    if (d < 1) return false;
    const int node = list_head_[d];
    list_head_[d] = nodes_[node].next;
    long long sum[3] = {}, count = 0;
    for (int s = 0; s < 8; ++s) {
      const int c = nodes_[node].child[s];
      if (c == 0) continue;
      for (int ch = 0; ch < 3; ++ch) sum[ch] += nodes_[c].sum[ch];
      count += nodes_[c].count;
      nodes_[c].next = free_head_;
      free_head_ = c;
      nodes_[c].leaf = nodes_[c].listed = false;
      --node_count_;
      --leaf_count_;
      nodes_[node].child[s] = 0;
    }
    Node& n = nodes_[node];
    n.leaf = true;
    std::copy(std::begin(sum), std::end(sum), n.sum);
    n.count = count;
    ++leaf_count_;
    return true;
  }

  int NewNode() {
    ++node_count_;
    if (free_head_ == 0) {
      if (node_count_ >= static_cast<int>(nodes_.size())) nodes_.resize(node_count_ + 1);
      return node_count_;
    }
    const int n = free_head_;
    free_head_ = nodes_[n].next;
    std::fill(std::begin(nodes_[n].child), std::end(nodes_[n].child), 0);
    return n;
  }

  float weights_[3] = {};
  std::vector<Node> nodes_;
  int max_depth_ = 0, node_count_ = 0, free_head_ = 0, leaf_count_ = 0;
  int list_head_[9] = {};
};

TEST(cPal8bppOptimalTest, OneColourGivesOneEntry) {
  cDIB d;
  Fill(d, 7, 5, std::vector<Rgb>(35, Rgb{10, 200, 30}));
  cPal8bpp pal;
  pal.CreateOptimal(d, 256, 6, 1, 1, 1);
  EXPECT_EQ(EntriesOf(pal), (std::vector<Rgb>{{10, 200, 30}}));
  std::uint8_t index = 9;
  pal.ClosestIndex(250, 0, 250, index);
  EXPECT_EQ(index, 0);
}

TEST(cPal8bppOptimalTest, SplitsAndAverages) {
  struct Case {
    const char* name;
    std::vector<Rgb> pixels;
    int levels;
    float rw;
    std::vector<Rgb> expected;
  };
  const Case cases[] = {
      {"0.5 rounds to 0", {{0, 0, 0}, {1, 1, 1}}, 6, 1, {{0, 0, 0}}},
      {"1.5 rounds to 2", {{1, 1, 1}, {2, 2, 2}}, 6, 1, {{2, 2, 2}}},
      {"128 | 129 red", {{128, 0, 0}, {129, 0, 0}}, 1, 1, {{128, 0, 0}, {129, 0, 0}}},
      {"127, 128 red", {{127, 0, 0}, {128, 0, 0}}, 1, 1, {{128, 0, 0}}},
      {"128 | 129 green", {{0, 129, 0}, {0, 128, 0}}, 1, 1, {{0, 129, 0}, {0, 128, 0}}},
      {"128 | 129 blue", {{0, 0, 128}, {0, 0, 129}}, 1, 1, {{0, 0, 128}, {0, 0, 129}}},
      {"second split at 64", {{64, 0, 0}, {65, 0, 0}}, 2, 1, {{64, 0, 0}, {65, 0, 0}}},
      {"second split at 192", {{192, 0, 0}, {193, 0, 0}}, 2, 1, {{192, 0, 0}, {193, 0, 0}}},
      {"RWeight 2 splits above 64", {{64, 0, 0}, {65, 0, 0}}, 1, 2, {{64, 0, 0}, {65, 0, 0}}},
      {"RWeight 1 keeps 64, 65", {{64, 0, 0}, {65, 0, 0}}, 1, 1, {{64, 0, 0}}},
      {"RWeight 2 sends 200 high too", {{65, 0, 0}, {200, 0, 0}}, 1, 2, {{132, 0, 0}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Optimal(c.pixels, 256, c.levels, c.rw), c.expected) << c.name;
  }
}

TEST(cPal8bppOptimalTest, RootChildrenAreNeverMerged) {
  std::vector<Rgb> pixels;
  for (int i = 0; i < 8; ++i) pixels.push_back({i & 1 ? 255 : 0, i & 2 ? 255 : 0, i & 4 ? 255 : 0});
  const std::vector<Rgb> got = Optimal(pixels, 1, 6);
  EXPECT_EQ(got.size(), 8u);
  EXPECT_EQ(std::set<Rgb>(got.begin(), got.end()), std::set<Rgb>(pixels.begin(), pixels.end()));
}

TEST(cPal8bppOptimalTest, DistinctLeavesKeepFirstAppearanceOrder) {
  // Without reductions every new leaf gets the highest node number so far.
  std::vector<Rgb> colours;
  for (int k = 0; k < 256; ++k) colours.push_back({16 * (k % 16), 16 * (k / 16), 0});
  std::mt19937 rng(7);
  std::shuffle(colours.begin(), colours.end(), rng);
  std::vector<Rgb> pixels;
  for (int rep = 0; rep < 3; ++rep) pixels.insert(pixels.end(), colours.begin(), colours.end());
  EXPECT_EQ(Optimal(pixels, 256, 6), colours);
}

TEST(cPal8bppOptimalTest, FreedNodesAreReusedLastFreedFirst) {
  // Two levels, two colours. (200,0,0) forces both depth-1 nodes to merge,
  // freeing 6, then 3, 4; (0,0,200) then reuses 4 (inner) and 3 (leaf), so it
  // sorts between node 2 and node 5.
  const std::vector<Rgb> pixels = {{0, 0, 0}, {100, 0, 0}, {200, 0, 0}, {0, 0, 200}};
  EXPECT_EQ(Optimal(pixels, 2, 2), (std::vector<Rgb>{{50, 0, 0}, {0, 0, 200}, {200, 0, 0}}));
}

TEST(cPal8bppOptimalTest, NodeArrayGrowsByATenth) {
  // Eight octant corners take 1 + 8 * 6 nodes; each further colour below
  // differs from an earlier one only at the last split and adds one leaf.
  std::vector<Rgb> colours;
  for (int i = 0; i < 8; ++i)
    colours.push_back({i & 1 ? 255 : 0, i & 2 ? 255 : 0, i & 4 ? 255 : 0});
  for (const Rgb c : {Rgb{5, 0, 0}, Rgb{0, 5, 0}, Rgb{5, 5, 0}, Rgb{0, 0, 5}, Rgb{5, 0, 5},
                      Rgb{0, 5, 5}, Rgb{5, 5, 5}, Rgb{250, 255, 255}}) {
    colours.push_back(c);
  }
  struct Case {
    std::size_t colours;
    int capacity;
  };
  for (const Case c : {Case{8, 50}, Case{9, 50}, Case{10, 56}, Case{15, 56}, Case{16, 63}}) {
    const std::vector<Rgb> pixels(colours.begin(),
                                  colours.begin() + static_cast<std::ptrdiff_t>(c.colours));
    cDIB d;
    Fill(d, static_cast<std::int32_t>(pixels.size()), 1, pixels);
    cPal8bpp pal;
    EXPECT_EQ(pal.NodeCapacity(), 0);
    pal.CreateOptimal(d, 256, 6, 1, 1, 1);
    EXPECT_EQ(pal.Entries(), static_cast<int>(c.colours));
    EXPECT_EQ(pal.NodeCapacity(), c.capacity) << c.colours << " colours";
  }
}

TEST(cPal8bppOptimalTest, OtherDepthsLeaveThePaletteAlone) {
  for (const int bpp : {0, 8, 24}) {
    cDIB d;
    if (bpp != 0) {
      ASSERT_TRUE(d.Create(4, 4, bpp));
    }
    cPal8bpp pal;
    pal.CreateEGA();
    const platform::HPALETTE h = pal.hPal();
    const std::vector<Rgb> before = EntriesOf(pal);
    pal.CreateOptimal(d, 256, 6, 1, 1, 1);
    EXPECT_EQ(pal.Entries(), 16) << bpp;
    EXPECT_EQ(pal.hPal(), h);
    EXPECT_EQ(EntriesOf(pal), before);
  }
}

TEST(cPal8bppOptimalTest, FailuresKeepThePreviousPalette) {
  std::vector<Rgb> many;
  for (int k = 0; k < 600; ++k) many.push_back({k % 256, (k / 256) * 100, 0});
  struct Case {
    const char* name;
    std::vector<Rgb> pixels;
    int levels;
    std::int32_t error;
  };
  const Case cases[] = {{"nLevels 256", {{1, 2, 3}}, 256, kErrOverflow},
                        {"nLevels -1", {{1, 2, 3}}, -1, kErrOverflow},
                        {"nLevels 0", {{1, 2, 3}}, 0, kErrSubscript},
                        {"nLevels 10", {{1, 2, 3}}, 10, kErrSubscript},
                        {"nLevels 9 reducing", many, 9, kErrSubscript}};
  for (const Case& c : cases) {
    cDIB d;
    Fill(d, static_cast<std::int32_t>(c.pixels.size()), 1, c.pixels);
    cPal8bpp pal;
    pal.CreateEGA();
    const std::vector<Rgb> before = EntriesOf(pal);
    ExpectErrorNumber([&] { pal.CreateOptimal(d, 256, c.levels, 1, 1, 1); }, c.error);
    EXPECT_EQ(EntriesOf(pal), before) << c.name;
    EXPECT_NE(pal.hPal(), 0u);
  }
  // Nine levels work while nothing has to be merged.
  EXPECT_EQ(Optimal({{1, 2, 3}, {200, 100, 0}}, 256, 9),
            (std::vector<Rgb>{{1, 2, 3}, {200, 100, 0}}));
}

TEST(cPal8bppOptimalTest, ChannelSumsPast31BitsKeepTheirAverage) {
  // 255 x 8421505 is the first red sum past 2^31 - 1 in one leaf.
  constexpr std::int32_t kPastInt32 = 8421505;
  cDIB d;
  ASSERT_TRUE(d.Create(kPastInt32, 1, 32));
  for (std::int32_t i = 0; i < kPastInt32; ++i)
    d.lpBits()[4 * static_cast<std::size_t>(i) + 2] = 255;
  cPal8bpp pal;
  pal.CreateOptimal(d, 256, 6, 1, 1, 1);
  EXPECT_EQ(EntriesOf(pal), (std::vector<Rgb>{{255, 0, 0}}));

  // A merge whose totals pass 2^31: N pixels of 255 and N of 250 fill two
  // sibling leaves (each sum fits), and a third sibling forces them together
  // with nColors 2. The averages lie just either side of a half:
  // red (505 N + 255) / (2N + 1) = 252.5 + 2.5 / (2N + 1) -> 253,
  // green and blue (505 N + 250) / (2N + 1) = 252.5 - 2.5 / (2N + 1) -> 252.
  constexpr std::int32_t kN = 4300000;
  ASSERT_TRUE(d.Create(2 * kN + 1, 1, 32));
  std::memset(d.lpBits(), 255, 4 * static_cast<std::size_t>(kN));
  std::memset(d.lpBits() + 4 * static_cast<std::size_t>(kN), 250, 4 * static_cast<std::size_t>(kN));
  std::uint8_t* last = d.lpBits() + 8 * static_cast<std::size_t>(kN);
  last[0] = 250, last[1] = 250, last[2] = 255;
  pal.CreateOptimal(d, 2, 6, 1, 1, 1);
  EXPECT_EQ(EntriesOf(pal), (std::vector<Rgb>{{253, 252, 252}}));

  // A flat 4000 x 3000 screenshot, 12 million pixels in one leaf.
  ASSERT_TRUE(d.Create(4000, 3000, 32));
  std::memset(d.lpBits(), 255, static_cast<std::size_t>(d.Size()));
  pal.CreateOptimal(d, 256, 6, 1, 1, 1);
  EXPECT_EQ(EntriesOf(pal), (std::vector<Rgb>{{255, 255, 255}}));
}

TEST(cPal8bppOptimalTest, MoreThan256LeavesFailAtEntry256) {
  std::vector<Rgb> pixels;
  for (int k = 0; k < 300; ++k)
    pixels.push_back({16 * (k % 16), 16 * ((k / 16) % 16), k < 256 ? 0 : 128});
  cDIB d;
  Fill(d, 300, 1, pixels);
  cPal8bpp pal;
  ExpectErrorNumber([&] { pal.CreateOptimal(d, 300, 6, 1, 1, 1); }, kErrSubscript);
  EXPECT_EQ(pal.Entries(), 0);
  EXPECT_EQ(pal.hPal(), 0u);
}

TEST(cPal8bppOptimalTest, MatchesPlainTreeOnRandomPictures) {
  struct Setup {
    int colours, levels;
    float rw, gw, bw;
  };
  const Setup setups[] = {{256, 6, 1, 1, 1}, {16, 6, 1, 1, 1},          {5, 3, 1, 1, 1},
                          {256, 8, 1, 1, 1}, {40, 4, 2.0f, 0.5f, 1.3f}, {1, 6, 1, 1, 1},
                          {256, 1, 1, 1, 1}, {64, 7, 0.3f, 1.7f, 0.9f}, {0, 5, 1, 1, 1}};
  std::mt19937 rng(20240611);
  for (const Setup& s : setups) {
    for (int pic = 0; pic < 4; ++pic) {
      const int w = 1 + static_cast<int>(rng() % 60), h = 1 + static_cast<int>(rng() % 60);
      std::vector<Rgb> pixels;
      const int noise = pic * 40 + 1;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          auto ch = [&](int base) {
            return std::clamp(base + static_cast<int>(rng() % noise) - noise / 2, 0, 255);
          };
          pixels.push_back({ch(x * 255 / w), ch(y * 255 / h), ch((x + y) * 127 / (w + h) + 60)});
        }
      cDIB d;
      Fill(d, w, h, pixels);
      cPal8bpp pal;
      pal.CreateOptimal(d, s.colours, s.levels, s.rw, s.gw, s.bw);
      ReferenceTree ref;
      ASSERT_EQ(EntriesOf(pal), ref.Run(pixels, s.colours, s.levels, s.rw, s.gw, s.bw))
          << s.colours << " colours, " << s.levels << " levels, picture " << pic;
      // Every entry is found exactly by the nearest-entry query.
      for (int i = 0; i < pal.Entries(); ++i) {
        const std::uint8_t* e = pal.lpPalette() + 4 * i;
        std::uint8_t index = 0;
        pal.ClosestIndex(e[2], e[1], e[0], index);
        ASSERT_EQ(std::memcmp(pal.lpPalette() + 4 * index, e, 4), 0);
      }
    }
  }
}

}  // namespace
}  // namespace zoetra

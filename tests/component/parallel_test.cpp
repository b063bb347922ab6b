// The conversion spread over threads: whatever the thread count, the pool's
// size or what else runs on it, the bytes, the yields the host sees, the
// failures it gets and the files left behind are those of one thread. Run
// under ThreadSanitizer too (-DZOETRA_TSAN=ON).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <zoetra/zoetra.h>
#include <zoetra/zoetra.hpp>
#include "platform/base/error.hpp"
#include "platform/base/limits.hpp"
#include "platform/base/worker_pool.hpp"
#include "platform/base/yield.hpp"
#include "support/caught.hpp"
#include "support/limits_scope.hpp"
#include "support/picture_files.hpp"
#include "support/pool_control.hpp"
#include "support/temp_dir.hpp"
#include "support/yield_hook.hpp"

namespace zoetra {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using platform::YieldInfo;
using platform::YieldStage;
using test::Rgb;

// Past the cores of a small machine: the thread counts below are used as asked.
constexpr std::int32_t kMaxThreads = 8;
constexpr unsigned kThreadCounts[] = {2, 3, 5, 8};

constexpr PaletteMode kModes[] = {PaletteMode::First, PaletteMode::All, PaletteMode::Frame};
constexpr YieldStage kPictureStages[] = {YieldStage::PictureStart, YieldStage::ChannelSwap, YieldStage::Flip,
                                         YieldStage::Dither, YieldStage::PaletteCopy};
constexpr YieldStage kClosingStages[] = {YieldStage::Screen, YieldStage::Compact, YieldStage::Optimize};

const char* ModeName(PaletteMode mode) {
  switch (mode) {
    case PaletteMode::First: return "First";
    case PaletteMode::All: return "All";
    case PaletteMode::Frame: return "Frame";
  }
  return "?";
}

std::uint8_t Hash(int x, int y, int c, int seed) {
  std::uint32_t h = static_cast<std::uint32_t>(x) * 0x9E3779B1u ^ static_cast<std::uint32_t>(y) * 0x85EBCA77u ^
                    static_cast<std::uint32_t>(c + 4 * seed) * 0xC2B2AE3Du;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  h *= 0x297A2D39u;
  h ^= h >> 15;
  return static_cast<std::uint8_t>(h);
}

std::uint8_t Clamp(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

enum class Look : std::uint8_t {
  Noise,     // every pixel its own colour: far more than 256
  Gradient,  // ramps with a little grain, tilted by the seed
  Pattern,   // the support files' pattern
  Film,      // one scene with a square at a place set by the seed: frames differ a little
};

struct PictureRecipe {
  int width, height;
  Look look;
  bool png;
};

Rgb Colour(const PictureRecipe& p, int seed, int x, int y) {
  const int w = std::max(1, p.width - 1), h = std::max(1, p.height - 1);
  switch (p.look) {
    case Look::Noise: return Rgb{Hash(x, y, 0, seed), Hash(x, y, 1, seed), Hash(x, y, 2, seed)};
    case Look::Gradient: {
      const int grain = Hash(x, y, 3, seed) % 17 - 8;
      return Rgb{Clamp(x * 255 / w + seed * 13 % 60 - 30 + grain), Clamp(y * 255 / h + grain),
                 Clamp((x + y) * 255 / (w + h) + 40 - seed * 7 % 40 + grain)};
    }
    case Look::Pattern:
      return Rgb{test::PatternByte(x, y, 0, seed), test::PatternByte(x, y, 1, seed), test::PatternByte(x, y, 2, seed)};
    case Look::Film: {
      if (x >= 2 * seed && x < 2 * seed + 6 && y >= 4 && y < 10) return Rgb{230, 40, 30};
      return Rgb{Clamp(x * 255 / w), Clamp(y * 255 / h), Clamp(90 + (Hash(x / 8, y / 8, 0, 0) & 31))};
    }
  }
  return Rgb{0, 0, 0};
}

// Writes pictures into a folder of their own and hands out their paths.
class PictureSet {
 public:
  PictureSet() { fs::create_directory(dir_.Path("in")); }

  std::string Add(const PictureRecipe& p, int seed) {
    const std::string path = dir_.Path("in/p" + std::to_string(count_++) + (p.png ? ".png" : ".bmp"));
    const auto colour = [&](int x, int y) { return Colour(p, seed, x, y); };
    test::WriteAll(path, p.png ? test::PngFileBytes(p.width, p.height, colour)
                                     : test::BmpBytes(p.width, p.height, colour));
    return path;
  }
  std::vector<std::string> AddAll(const std::vector<PictureRecipe>& recipes) {
    std::vector<std::string> paths;
    for (std::size_t k = 0; k < recipes.size(); ++k) paths.push_back(Add(recipes[k], static_cast<int>(k) + 1));
    return paths;
  }
  // A file in the folder that is not a picture list entry yet.
  std::string Path(const std::string& name) const { return dir_.Path(name); }

 private:
  test::TempDir dir_;
  int count_ = 0;
};

// Lists of 1 to 8 pictures: one size or several, PNG and bitmap files, noise
// and pictures that look like a film.
struct ListCase {
  const char* name;
  std::int16_t delay;
  std::vector<PictureRecipe> pictures;
  std::vector<int> repeats;  // list positions (0-based) that repeat the picture before them
};

std::vector<ListCase> ListCases() {
  std::vector<ListCase> cases;
  ListCase noise{"noise, one size", 350, {}, {}};
  for (int k = 0; k < 6; ++k) noise.pictures.push_back({32, 24, Look::Noise, k % 2 == 1});
  cases.push_back(noise);
  cases.push_back({"sizes differ",
                   120,
                   {{20, 12, Look::Gradient, false},
                    {64, 48, Look::Noise, true},
                    {40, 30, Look::Gradient, true},
                    {33, 17, Look::Pattern, false},
                    {25, 40, Look::Noise, true}},
                   {}});
  ListCase film{"film of one scene", 40, {}, {4}};
  for (int k = 0; k < 8; ++k) film.pictures.push_back({40, 24, Look::Film, k % 3 == 0});
  cases.push_back(film);
  cases.push_back({"two pictures", 350, {{40, 30, Look::Noise, true}, {40, 30, Look::Pattern, false}}, {}});
  cases.push_back({"one picture", 350, {{30, 20, Look::Gradient, true}}, {}});
  return cases;
}

std::vector<std::string> Write(PictureSet& set, const ListCase& list) {
  std::vector<std::string> paths = set.AddAll(list.pictures);
  for (int r : list.repeats) paths[static_cast<std::size_t>(r)] = paths[static_cast<std::size_t>(r) - 1];
  return paths;
}

struct Switches {
  bool gray, optimize, swap_rg;
};
// In the cheap default mode none, each switch alone and some together; in the
// modes that build palettes none, grey (which wins over them) and the other two.
std::vector<Switches> SwitchSets(PaletteMode mode) {
  if (mode == PaletteMode::First) {
    return {{false, false, false}, {true, false, false}, {false, true, false},
            {false, false, true},  {false, true, true},  {true, true, true}};
  }
  return {{false, false, false}, {true, false, false}, {false, true, true}};
}

BuilderOptions Options(PaletteMode mode, unsigned threads, Switches s = {}, std::int16_t delay = 350) {
  BuilderOptions o;
  o.palette = mode;
  o.threads = threads;
  o.gray = s.gray;
  o.optimize = s.optimize;
  o.swap_rg = s.swap_rg;
  o.delay_ms = delay;
  return o;
}

Bytes ToBuffer(const std::vector<std::string>& files, const BuilderOptions& o) {
  return Zoetra().CreateZoetraToBuffer(files, o);
}

// Reports where two outputs part, instead of printing both.
::testing::AssertionResult SameBytes(const Bytes& got, const Bytes& want) {
  if (got == want) return ::testing::AssertionSuccess();
  const std::size_t common = std::min(got.size(), want.size());
  const auto at = std::mismatch(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(common), want.begin());
  return ::testing::AssertionFailure() << got.size() << " bytes against " << want.size()
                                       << ", the first difference at byte " << (at.first - got.begin());
}

std::string Describe(PaletteMode mode, Switches s) {
  return std::string(ModeName(mode)) + (s.gray ? " gray" : "") + (s.optimize ? " optimize" : "") +
         (s.swap_rg ? " swap" : "");
}

// One yield as the host sees it.
struct Seen {
  YieldStage stage;
  std::int32_t picture, pictures;
  bool on_caller;
  bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& s) {
  return out << "(stage " << static_cast<int>(s.stage) << ", picture " << s.picture << " of " << s.pictures
             << (s.on_caller ? "" : ", off the calling thread") << ")";
}

// Records every yield of this thread while it lives.
class YieldRecorder {
 public:
  YieldRecorder()
      : caller_(std::this_thread::get_id()), hook_([this](const YieldInfo& i) {
          seen.push_back({i.stage, i.picture, i.pictures, std::this_thread::get_id() == caller_});
        }) {}
  std::vector<Seen> seen;

 private:
  std::thread::id caller_;
  test::HookScope hook_;
};

class ParallelTest : public ::testing::Test {
 protected:
  test::LimitsScope limits_{kMaxThreads};
  PictureSet set_;
};

class ParallelModeTest : public ParallelTest, public ::testing::WithParamInterface<PaletteMode> {};

TEST_P(ParallelModeTest, BytesAndReportAreTheSameForEveryThreadCount) {
  const PaletteMode mode = GetParam();
  for (const ListCase& list : ListCases()) {
    const std::vector<std::string> files = Write(set_, list);
    for (const Switches& s : SwitchSets(mode)) {
      SCOPED_TRACE(std::string(list.name) + ", " + Describe(mode, s));
      BuilderReport one_report;
      BuilderOptions o = Options(mode, 1, s, list.delay);
      o.report = &one_report;
      const Bytes one = ToBuffer(files, o);
      ASSERT_GT(one.size(), 13u);
      for (unsigned threads : kThreadCounts) {
        BuilderReport report;
        o.threads = threads;
        o.report = &report;
        EXPECT_TRUE(SameBytes(ToBuffer(files, o), one)) << threads << " threads";
        EXPECT_EQ(report.frames, one_report.frames) << threads << " threads";
        EXPECT_EQ(report.worst_fit_picture, one_report.worst_fit_picture) << threads << " threads";
        EXPECT_EQ(report.worst_fit_error, one_report.worst_fit_error) << threads << " threads";
      }
      if (mode == PaletteMode::First) {
        const Bytes classic = Zoetra().CreateZoetraToBuffer(files, list.delay, s.gray ? 1 : 0, s.optimize ? 1 : 0,
                                                            s.swap_rg ? 1 : 0);
        EXPECT_TRUE(SameBytes(classic, one)) << "the classic call";
      }
    }
  }
}

// The hook is per thread: a yield made on a worker would be missing here, or
// flagged off the calling thread if hooks were shared.
TEST_P(ParallelModeTest, TheHostSeesTheYieldsOfOneThread) {
  const ListCase film = ListCases()[2];
  const ListCase sizes = ListCases()[1];
  for (const ListCase* list : {&film, &sizes}) {
    const std::vector<std::string> files = Write(set_, *list);
    const auto record = [&](unsigned threads) {
      YieldRecorder recorder;
      const std::string text =
          Zoetra().CreateZoetra(files, set_.Path("y.gif"), Options(GetParam(), threads, {false, true, true}));
      EXPECT_EQ(text.rfind("OK, ", 0), 0u) << text;
      return recorder.seen;
    };
    const std::vector<Seen> one = record(1);
    SCOPED_TRACE(list->name);
    // Five yields per picture, three after the pictures, one after the save.
    ASSERT_EQ(one.size(), 5 * files.size() + 4);
    for (unsigned threads : {4u, 8u}) EXPECT_EQ(record(threads), one) << threads << " threads";
  }
}

// A host cancels by throwing from its hook, at every stage of a first, a
// second, a middle and the last picture and after the pictures, while
// workers are converting the pictures ahead.
TEST_P(ParallelModeTest, ACancelAtAnyStageReachesTheCallerAndLeavesTheOutputAsItWas) {
  struct Cancelled {
    int serial;
  };
  std::vector<PictureRecipe> recipes;
  for (int k = 0; k < 7; ++k) recipes.push_back({k % 2 == 0 ? 28 : 24, 16, k % 3 == 0 ? Look::Noise : Look::Film, k % 2 == 0});
  const std::vector<std::string> files = set_.AddAll(recipes);
  const int last = static_cast<int>(files.size());
  fs::create_directory(set_.Path("out"));
  const std::string output = set_.Path("out/anim.gif");
  const std::string old_content = "an earlier animation, which must survive";
  test::WriteAll(output, old_content);
  const BuilderOptions options = Options(GetParam(), 4, {false, true, true});
  const Bytes alone = ToBuffer(files, Options(GetParam(), 1, {false, true, true}));

  std::vector<std::pair<YieldStage, int>> points;
  for (int picture : {1, 2, last}) {
    for (YieldStage stage : kPictureStages) points.emplace_back(stage, picture);
  }
  points.emplace_back(YieldStage::PictureStart, 4);
  points.emplace_back(YieldStage::Dither, 4);
  for (YieldStage stage : kClosingStages) points.emplace_back(stage, last);
  int serial = 0;
  for (const auto& [stage, picture] : points) {
    SCOPED_TRACE("stage " + std::to_string(static_cast<int>(stage)) + ", picture " + std::to_string(picture));
    ++serial;
    {
      const test::HookScope hook([&, stage = stage, picture = picture](const YieldInfo& i) {
        if (i.stage == stage && i.picture == picture) throw Cancelled{serial};
      });
      try {
        Zoetra().CreateZoetra(files, output, options);
        ADD_FAILURE() << "the cancel did not arrive";
      } catch (const Cancelled& c) {
        EXPECT_EQ(c.serial, serial);
      } catch (...) {
        ADD_FAILURE() << "another failure arrived in place of the cancel";
      }
    }
    EXPECT_EQ(test::ReadAll(output), old_content);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(set_.Path("out"))) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"anim.gif"}) << "a temporary file was left behind";
    EXPECT_LE(platform::PoolThreadCount(), static_cast<std::size_t>(kMaxThreads - 1));
  }
  // Nothing of the cancelled conversions runs on: the next one is as it would be alone.
  EXPECT_TRUE(SameBytes(ToBuffer(files, options), alone));
}

enum class Broken : std::uint8_t { Missing, Garbage, OtherGarbage, Truncated };

// Puts a broken picture at list position `at` (0-based).
void Break(PictureSet& set, std::vector<std::string>& files, std::size_t at, Broken how) {
  const std::string path = set.Path((how == Broken::Missing ? "missing" : "broken") + std::to_string(at) + "-" +
                                    std::to_string(static_cast<int>(how)) + ".png");
  switch (how) {
    case Broken::Missing: break;
    case Broken::Garbage: test::WriteAll(path, "this is no picture at all"); break;
    case Broken::OtherGarbage: test::WriteAll(path, std::string(300, '\x7f')); break;
    case Broken::Truncated: {
      const Bytes whole = test::PngFileBytes(40, 30, 9);
      test::WriteAll(path, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2)));
      break;
    }
  }
  files[at] = path;
}

struct Failure {
  Error error{0, ""};
  std::vector<Seen> seen;  // the yields before it
};

TEST_P(ParallelModeTest, AFailingPictureGivesTheErrorOfOneThread) {
  std::vector<PictureRecipe> recipes;
  for (int k = 0; k < 8; ++k) recipes.push_back({20 + 4 * (k % 3), 16, k % 2 == 0 ? Look::Gradient : Look::Noise, k % 2 == 1});
  const std::vector<std::string> good = set_.AddAll(recipes);
  const std::string output = set_.Path("anim.gif");
  test::WriteAll(output, "before");
  const auto fail = [&](const std::vector<std::string>& files, unsigned threads) {
    Failure f;
    YieldRecorder recorder;
    f.error = test::Caught([&] { Zoetra().CreateZoetra(files, output, Options(GetParam(), threads)); });
    f.seen = recorder.seen;
    EXPECT_EQ(test::ReadAll(output), "before");
    return f;
  };
  const auto expect_same = [](const Failure& got, const Failure& want) {
    EXPECT_EQ(got.error.number(), want.error.number());
    EXPECT_EQ(got.error.description(), want.error.description());
    EXPECT_EQ(got.error.source(), want.error.source());
    EXPECT_EQ(got.seen, want.seen);
  };

  const struct {
    Broken how;
    std::int32_t number;
  } kinds[] = {{Broken::Missing, kErrFileNotFound},
               {Broken::Garbage, kErrInvalidPicture},
               {Broken::Truncated, kErrInvalidPicture}};
  for (const auto& kind : kinds) {
    for (std::size_t at : {0u, 1u, 4u, 7u}) {
      SCOPED_TRACE("kind " + std::to_string(static_cast<int>(kind.how)) + " at " + std::to_string(at));
      std::vector<std::string> files = good;
      Break(set_, files, at, kind.how);
      const Failure one = fail(files, 1);
      EXPECT_EQ(one.error.number(), kind.number) << one.error.description();
      if (kind.how == Broken::Missing) {
        // Every file is looked for before any picture is decoded.
        EXPECT_TRUE(one.seen.empty()) << one.seen.size() << " stages ran before the missing file was found";
        EXPECT_NE(one.error.description().find(files[at]), std::string::npos) << one.error.description();
      }
      expect_same(fail(files, 4), one);
    }
  }

  // Two broken pictures: the earlier one is reported, though a worker may meet
  // the later first; a missing file is found before any picture is read.
  const struct {
    std::size_t first;
    Broken first_how;
    std::size_t second;
    Broken second_how;
  } pairs[] = {{1, Broken::Garbage, 5, Broken::Truncated},
               {2, Broken::Missing, 6, Broken::Garbage},
               {3, Broken::Garbage, 4, Broken::OtherGarbage},
               {0, Broken::Truncated, 7, Broken::Garbage},
               {5, Broken::OtherGarbage, 6, Broken::Garbage}};
  for (const auto& p : pairs) {
    SCOPED_TRACE("broken at " + std::to_string(p.first) + " and " + std::to_string(p.second));
    std::vector<std::string> only_first = good;
    Break(set_, only_first, p.first, p.first_how);
    const Failure want = fail(only_first, 1);
    std::vector<std::string> both = only_first;
    Break(set_, both, p.second, p.second_how);
    std::vector<std::string> only_second = good;
    Break(set_, only_second, p.second, p.second_how);
    ASSERT_NE(fail(only_second, 1).error.description(), want.error.description())
        << "the two failures must be told apart";
    expect_same(fail(both, 1), want);
    expect_same(fail(both, 4), want);
    if (p.first_how != Broken::Missing) {
      std::vector<std::string> missing_later = only_first, only_missing = good;
      Break(set_, missing_later, p.second, Broken::Missing);
      Break(set_, only_missing, p.second, Broken::Missing);
      expect_same(fail(missing_later, 4), fail(only_missing, 1));
    }
  }

  // The host's document limits, reached at a picture the workers have read
  // already; the other modes stream and keep no document.
  if (GetParam() != PaletteMode::First) return;
  std::int64_t first_three = 0;
  for (std::size_t k = 0; k < 3; ++k) first_three += std::int64_t{recipes[k].width} * recipes[k].height;
  const platform::Limits saved = platform::GetLimits();
  for (const auto& limit : {std::pair<std::int32_t, std::int64_t>{5, saved.max_document_pixels},
                            std::pair<std::int32_t, std::int64_t>{saved.max_document_frames, first_three + 10}}) {
    SCOPED_TRACE("at most " + std::to_string(limit.first) + " frames, " + std::to_string(limit.second) + " pixels");
    platform::Limits lowered = saved;
    lowered.max_document_frames = limit.first;
    lowered.max_document_pixels = limit.second;
    platform::SetLimits(lowered);
    const Failure one = fail(good, 1);
    EXPECT_EQ(one.error.number(), kErrOutOfMemory) << one.error.description();
    expect_same(fail(good, 4), one);
  }
  platform::SetLimits(saved);
}

INSTANTIATE_TEST_SUITE_P(Modes, ParallelModeTest, ::testing::ValuesIn(kModes),
                         [](const ::testing::TestParamInfo<PaletteMode>& info) { return ModeName(info.param); });

// One conversion of a few, with its own list, mode and switches.
struct Job {
  std::vector<std::string> files;
  PaletteMode mode;
  Switches switches;
  bool to_file;
};

// Job j: list j % 3 of ListCases (noise, sizes differ, film) in mode j % 3.
std::vector<Job> Jobs(PictureSet& set, int count) {
  constexpr Switches kJobSwitches[] = {{false, false, false}, {false, true, true}, {false, true, false},
                                       {false, false, true},  {true, false, false}, {false, true, true}};
  std::vector<Job> jobs;
  const std::vector<ListCase> lists = ListCases();
  for (int j = 0; j < count; ++j) {
    const auto k = static_cast<std::size_t>(j);
    jobs.push_back({Write(set, lists[k % 3]), kModes[k % 3], kJobSwitches[k % std::size(kJobSwitches)], j % 2 == 0});
  }
  return jobs;
}

Bytes RunJob(const Job& job, unsigned threads, const std::string& output) {
  const BuilderOptions o = Options(job.mode, threads, job.switches);
  if (!job.to_file) return ToBuffer(job.files, o);
  const std::string text = Zoetra().CreateZoetra(job.files, output, o);
  if (text.rfind("OK, ", 0) != 0) throw std::runtime_error(text);
  const std::string bytes = test::ReadAll(output);
  return Bytes(bytes.begin(), bytes.end());
}

TEST_F(ParallelTest, ManyConversionsAtOnceOnASmallPool) {
  const std::vector<Job> jobs = Jobs(set_, 8);
  std::vector<Bytes> alone;
  for (const Job& job : jobs) alone.push_back(RunJob(job, 1, set_.Path("alone.gif")));
  // A pool grown large first, so the lowered limit has threads to send away.
  RunJob(jobs[0], kMaxThreads, set_.Path("large.gif"));

  limits_.SetMaxThreads(2);
  std::vector<Bytes> got(jobs.size());
  std::vector<std::string> failures(jobs.size());
  std::vector<std::thread> hosts;
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    hosts.emplace_back([&, j] {
      try {
        got[j] = RunJob(jobs[j], 8, set_.Path("host" + std::to_string(j) + ".gif"));
      } catch (const std::exception& e) {
        failures[j] = e.what();
      }
    });
  }
  for (std::thread& t : hosts) t.join();
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    EXPECT_EQ(failures[j], "") << "job " << j;
    EXPECT_TRUE(SameBytes(got[j], alone[j])) << "job " << j;
  }
  test::DrainPool();
  EXPECT_LE(platform::PoolThreadCount(), 1u);
}

TEST_F(ParallelTest, AConversionCompletesWhenEveryPoolThreadIsHeld) {
  const std::vector<Job> jobs = Jobs(set_, 3);
  limits_.SetMaxThreads(4);
  test::DrainPool();
  std::vector<Bytes> alone;
  for (const Job& job : jobs) alone.push_back(RunJob(job, 1, set_.Path("alone.gif")));
  const test::PoolHold hold(3);
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    EXPECT_TRUE(SameBytes(RunJob(jobs[j], 4, set_.Path("held.gif")), alone[j])) << "job " << j;
  }
}

// The host lowers the limit from its hook while workers are converting.
TEST_F(ParallelTest, ALimitLoweredDuringAConversionKeepsItsBytes) {
  const std::vector<Job> jobs = Jobs(set_, 3);
  std::vector<Bytes> alone;
  for (const Job& job : jobs) alone.push_back(RunJob(job, 1, set_.Path("alone.gif")));
  for (std::int32_t lowered : {1, 2}) {
    for (std::size_t j = 0; j < jobs.size(); ++j) {
      SCOPED_TRACE("job " + std::to_string(j) + ", lowered to " + std::to_string(lowered));
      limits_.SetMaxThreads(kMaxThreads);
      Bytes got;
      {
        const test::HookScope hook([&](const YieldInfo& i) {
          if (i.stage == YieldStage::PictureStart && i.picture == 2) limits_.SetMaxThreads(lowered);
        });
        got = RunJob(jobs[j], kMaxThreads, set_.Path("lowered.gif"));
      }
      EXPECT_TRUE(SameBytes(got, alone[j]));
      test::DrainPool();
      EXPECT_LE(platform::PoolThreadCount(), static_cast<std::size_t>(lowered - 1));
    }
  }
}

TEST_F(ParallelTest, OneThreadAtMostStillConvertsEveryMode) {
  const std::vector<Job> jobs = Jobs(set_, 3);
  std::vector<Bytes> spread;
  for (const Job& job : jobs) spread.push_back(RunJob(job, 5, set_.Path("spread.gif")));
  limits_.SetMaxThreads(1);
  test::DrainPool();
  EXPECT_EQ(platform::PoolThreadCount(), 0u);
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    EXPECT_TRUE(SameBytes(RunJob(jobs[j], 8, set_.Path("one.gif")), spread[j])) << "job " << j;
  }
  EXPECT_EQ(platform::PoolThreadCount(), 0u) << "a thread was started past the limit";
}

// A conversion started from the hook of another on the same thread, both
// spread over threads, at a stage where the outer one has workers ahead.
TEST_F(ParallelTest, AConversionNestedInAnothersYieldMatchesBothRunsAlone) {
  const std::vector<Job> jobs = Jobs(set_, 3);  // 6 pictures in First, 5 in All, 8 in Frame
  const struct {
    std::size_t outer, inner;
    YieldStage stage;
    int picture;
  } cases[] = {{0, 1, YieldStage::PaletteCopy, 2}, {0, 0, YieldStage::PictureStart, 3},
               {1, 2, YieldStage::PictureStart, 2}, {1, 0, YieldStage::Dither, 4},
               {2, 0, YieldStage::Flip, 3},         {2, 1, YieldStage::Screen, 8},
               {0, 2, YieldStage::Saved, 6}};
  std::vector<Bytes> alone;
  for (const Job& job : jobs) alone.push_back(RunJob(job, 1, set_.Path("alone.gif")));
  for (const auto& c : cases) {
    SCOPED_TRACE("outer " + std::to_string(c.outer) + ", inner " + std::to_string(c.inner) + " at stage " +
                 std::to_string(static_cast<int>(c.stage)) + " of picture " + std::to_string(c.picture));
    Bytes inner;
    bool entered = false;
    const test::HookScope hook([&](const YieldInfo& i) {
      if (entered || i.stage != c.stage || i.picture != c.picture) return;
      entered = true;
      inner = RunJob(jobs[c.inner], 4, set_.Path("inner.gif"));
    });
    const Bytes outer = RunJob(jobs[c.outer], 4, set_.Path("outer.gif"));
    ASSERT_TRUE(entered);
    EXPECT_TRUE(SameBytes(outer, alone[c.outer])) << "the outer conversion";
    EXPECT_TRUE(SameBytes(inner, alone[c.inner])) << "the nested conversion";
  }
}

TEST_F(ParallelTest, CInterfaceThreadLimitAndCount) {
  const std::int32_t before = zoetra_max_threads();
  for (std::int32_t refused : {0, -1, INT32_MIN}) {
    EXPECT_EQ(zoetra_set_max_threads(refused), 1) << refused;
    EXPECT_EQ(zoetra_max_threads(), before) << refused;
  }
  for (std::int32_t taken : {1, 3, 64}) {
    EXPECT_EQ(zoetra_set_max_threads(taken), 0) << taken;
    EXPECT_EQ(zoetra_max_threads(), taken);
    EXPECT_EQ(platform::GetLimits().max_threads, taken);
  }

  const std::vector<Job> jobs = Jobs(set_, 2);
  const std::vector<std::string>& files = jobs[0].files;
  std::vector<const char*> names;
  for (const std::string& f : files) names.push_back(f.c_str());
  ZoetraInstance* z = zoetra_new();
  const auto create = [&](std::uint32_t threads) {
    ZoetraOptions o;
    zoetra_options_init(&o);
    o.threads = threads;
    o.optimize = 1;
    const std::string out = set_.Path("c" + std::to_string(threads) + ".gif");
    char text[256];
    size_t length = 0;
    EXPECT_EQ(zoetra_create(z, names.data(), static_cast<std::int32_t>(names.size()), out.c_str(), &o, text,
                            sizeof text, &length),
              0)
        << zoetra_error_description(z);
    return test::ReadAll(out);
  };
  ASSERT_EQ(zoetra_set_max_threads(kMaxThreads), 0);
  const std::string one = create(1);
  ASSERT_FALSE(one.empty());
  for (std::uint32_t threads : {0u, 3u, 8u}) EXPECT_EQ(create(threads), one) << threads << " threads";
  zoetra_release(z);
}

}  // namespace
}  // namespace zoetra

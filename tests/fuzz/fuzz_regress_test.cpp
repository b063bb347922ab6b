// Replays every kept fuzz input through the same body the fuzz target runs:
// the crash inputs in tests/data/regress/<target>/ and the seeds in
// fuzz/corpus/<target>/. Each must pass without a sanitizer report or a
// broken promise (fuzz/fuzz_entries.hpp says what each target checks).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz/fuzz_entries.hpp"
#include "platform/base/limits.hpp"

namespace zoetra {
namespace fuzz {
// Test names and failure messages show the target's name.
void PrintTo(const Target& target, std::ostream* os) { *os << target.name; }
}  // namespace fuzz

namespace {

namespace fs = std::filesystem;

class FuzzLimitsScope {
 public:
  FuzzLimitsScope() : saved_(platform::GetLimits()) { platform::SetLimits(fuzz::FuzzLimits()); }
  ~FuzzLimitsScope() { platform::SetLimits(saved_); }

 private:
  platform::Limits saved_;
};

std::vector<std::uint8_t> ReadInput(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs every file under <base>/<target>/; returns how many ran.
int ReplayFolder(const fs::path& base, const fuzz::Target& target) {
  const fs::path dir = base / target.name;
  if (!fs::is_directory(dir)) return 0;
  int count = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::vector<std::uint8_t> input = ReadInput(entry.path());
    SCOPED_TRACE(entry.path().string());
    try {
      target.run(input.data(), input.size());
    } catch (const fuzz::Mismatch& m) {
      ADD_FAILURE() << target.name << " on " << entry.path() << ": " << m.what();
    } catch (const std::exception& e) {
      ADD_FAILURE() << target.name << " on " << entry.path() << " escaped with: " << e.what();
    }
    ++count;
  }
  return count;
}

class FuzzReplayTest : public ::testing::TestWithParam<fuzz::Target> {};

TEST_P(FuzzReplayTest, KeptInputsPass) {
  const FuzzLimitsScope limits;
  const fs::path source(ZOETRA_SOURCE_DIR);
  const int seeds = ReplayFolder(source / "fuzz" / "corpus", GetParam());
  ReplayFolder(source / "tests" / "data" / "regress", GetParam());
  EXPECT_GT(seeds, 0) << "no seed inputs for " << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplayTest, ::testing::ValuesIn(fuzz::kTargets),
                         [](const ::testing::TestParamInfo<fuzz::Target>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zoetra

#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/commands.hpp"
#include "component/zoetra.hpp"
#include "platform/yield.hpp"

namespace zoetra::cli {
namespace {

// A one-line progress bar on standard error, redrawn at each yield.
class ProgressBar {
 public:
  explicit ProgressBar(bool enabled) : enabled_(enabled) {
    if (!enabled_) return;
    previous_ = platform::SetYieldHook([this](const platform::YieldInfo& info) { Draw(info); });
  }
  ~ProgressBar() {
    if (!enabled_) return;
    platform::SetYieldHook(std::move(previous_));
    if (drawn_) std::fputs("\r\033[K", stderr);
  }

 private:
  void Draw(const platform::YieldInfo& info) {
    const int total = info.pictures > 0 ? info.pictures : 1;
    const char* stage = "converting";
    switch (info.stage) {
      case platform::YieldStage::Screen:
      case platform::YieldStage::Compact: stage = "palette"; break;
      case platform::YieldStage::Optimize: stage = "writing"; break;
      case platform::YieldStage::Saved: stage = "done"; break;
      default: break;
    }
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(static_cast<long long>(kWidth) * info.picture / total);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, '.');
    std::fprintf(stderr, "\r[%s] %d/%d %s", bar.c_str(), info.picture, info.pictures, stage);
    std::fflush(stderr);
    drawn_ = true;
  }

  bool enabled_;
  bool drawn_ = false;
  platform::YieldHook previous_;
};

std::int16_t Switch(bool on) { return on ? 1 : 0; }

}  // namespace

int RunCreate(const CreateOptions& o) {
  Zoetra component;
  const bool to_stdout = o.output == "-";
  try {
    ProgressBar progress(!o.quiet && ::isatty(STDERR_FILENO) == 1);
    if (to_stdout) {
      const std::vector<std::uint8_t> bytes =
          component.CreateZoetraToBuffer(o.pictures, static_cast<std::int16_t>(o.delay_ms), Switch(o.gray),
                                         Switch(o.optimize), Switch(o.swap_rg));
      if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "zoetra: cannot write to standard output\n");
        return 1;
      }
      return 0;
    }
    const std::string text = component.CreateZoetra(o.pictures, o.output, static_cast<std::int16_t>(o.delay_ms),
                                                    Switch(o.gray), Switch(o.optimize), Switch(o.swap_rg),
                                                    Switch(o.raise_errors));
    if (text.rfind("OK, ", 0) != 0) {
      std::fprintf(stderr, "zoetra: %s\n", text.c_str());
      return 1;
    }
    std::printf("%s\n", text.c_str());
    return 0;
  } catch (const Error& e) {
    std::fprintf(stderr, "zoetra: %s (error %d)\n", e.description().c_str(), e.number());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zoetra: %s\n", e.what());
  }
  return 1;
}

}  // namespace zoetra::cli

// The commands of the zoetra tool; each returns the process exit status.
#pragma once

#include <string>
#include <vector>

namespace zoetra::cli {

struct CreateOptions {
  std::string output;
  int delay_ms = 350;
  bool gray = false;
  bool optimize = false;
  bool swap_rg = false;
  bool raise_errors = false;
  bool quiet = false;
  std::vector<std::string> pictures;
};

struct InfoOptions {
  bool json = false;
  std::string file;
};

struct FramesOptions {
  std::string directory;
  std::string file;
};

int RunCreate(const CreateOptions& options);
int RunInfo(const InfoOptions& options);
int RunFrames(const FramesOptions& options);

}  // namespace zoetra::cli

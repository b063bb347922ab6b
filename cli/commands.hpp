// The commands of the zoetra tool; each returns the process exit status:
// 0 success, 1 a failure at run time (message on standard error), 2 a usage error.
// A command ended by SIGHUP, SIGINT or SIGTERM ends on that signal (129, 130, 143).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/error.hpp"

namespace zoetra::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitSignalBase = 128;  // plus the signal's number

// Standard input or output in place of a file name.
inline constexpr std::string_view kStdStream = "-";

struct CreateOptions {
  std::string output;
  std::int64_t delay_ms = 350;
  bool gray = false;
  bool optimize = false;
  bool swap_rg = false;
  bool raise_errors = false;
  bool quiet = false;
  std::string palette = "all";  // first, all or frame
  std::int64_t threads = 0;     // 0: one per core
  std::vector<std::string> pictures;
  // Slideshow options; empty or 0 where not given.
  std::optional<double> fps;
  std::int64_t loop = 0;   // 0 forever
  bool no_loop = false;    // no loop block
  std::string sort;        // "natural", or empty for the order given
  std::string list;        // a file of picture names, one per line; "-": standard input
  std::string fit;         // "WxH"
  std::string background;  // "#rrggbb"
  bool auto_orient = false;
  // Clips: the part to take, as seconds or [hh:]mm:ss[.ms]; the size to scale to.
  std::string start, duration, end;
  std::int64_t width = 0, height = 0;
  std::int64_t quality = 100;
};

// Picture names one per line (a final CR dropped, empty lines skipped) from
// `file`, "-" for standard input, appended to `names`. False, with a message
// on standard error, when the file cannot be read or a line cannot be a file
// name (it holds a NUL byte, or is PATH_MAX bytes long or more).
bool ReadPictureList(const std::string& file, std::vector<std::string>& names);
// Orders names with runs of digits compared as numbers ("p2" before "p10");
// names equal that way keep their order of the plain byte comparison.
bool NaturalLess(std::string_view a, std::string_view b);
// "WxH" (or "WXH"): two whole numbers of up to 9 digits; the builder checks the range.
bool ParseSize(std::string_view text, std::int64_t* width, std::int64_t* height);
// "#rrggbb" or "rrggbb" to 0xRRGGBB.
bool ParseColour(std::string_view text, std::uint32_t* rgb);

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

// SIGINT, SIGTERM and SIGHUP from now on: the handler notes the signal and
// abandons any save in progress, so that no output is replaced after it; the
// command stops at its next chance and calls EndOnInterrupt.
void CatchInterrupts();
// The signal noted since CatchInterrupts, or 0.
int CaughtInterrupt();
// Ends the process as the signal would have (exit status 128 + its number).
[[noreturn]] void EndOnInterrupt(int signal);
// For commands with no place to stop: the signal removes any unfinished file
// and ends the process at once.
void CleanUpOnInterrupt();

// An error number as people read it: the component's own numbers (negative
// as signed 32-bit values, or above 0xFFFF) in hexadecimal, others in decimal.
std::string ErrorNumberText(std::int32_t number);
// Writes "zoetra: [subject: ]description (error N)" to standard error. The
// CR LF line breaks of error reports become indented continuation lines; a
// `reason` (the system's word on why) follows on a line of its own. Here and
// in ReportMessage the subject is shown as platform::DisplayName shows names
// (escaped, a long one shortened) and every other text escaped likewise.
void ReportFailure(const Error& failure, std::string_view subject = {}, std::string_view reason = {});
// Writes "zoetra: [subject: ]message" to standard error, and the reason likewise.
void ReportMessage(std::string_view message, std::string_view subject = {}, std::string_view reason = {});

}  // namespace zoetra::cli

// The public class `Zoetra`: the animation builder and three small probes.
//
// Failures caught by a member are reported with the component's own error
// 0x800403E9 (source "Basic Component", description "Basic Error: " + text),
// and the error report of the caught failure is written to the event log.
// Every member runs on the caller's thread; instances keep no state between calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"
#include "platform/variant.hpp"

namespace zoetra {

// Dispatch ids of the members of the `_Zoetra` interface, in vtable order.
inline constexpr std::int32_t kDispIdSum = 0x60030003;
inline constexpr std::int32_t kDispIdRatio = 0x60030004;
inline constexpr std::int32_t kDispIdCreateZoetra2 = 0x60030005;
inline constexpr std::int32_t kDispIdCreateZoetra = 0x60030006;

inline constexpr std::string_view kComponentSource = "Basic Component";
inline constexpr std::string_view kComponentPrefix = "Basic Error: ";

// "Error Code: 0x<HEX>\r\nError Description: <text>\r\nError Source: <source>".
std::string ErrorReport(const Error& failure);
// Builds the report, logs it as an error event, raises 0x800403E9 with it.
[[noreturn]] void CatchLogRaise(const Error& failure);
// Raises 0x800403E9 with `message`; nothing is logged.
[[noreturn]] void RaiseComponentError(std::string_view message);
// Runs `body`; any failure goes through CatchLogRaise. Failures that are not
// zoetra::Error (memory exhaustion, library faults) are first given a number.
template <class F>
auto WithCatchLogRaise(F&& body) -> decltype(body());

class Zoetra {
 public:
  std::int16_t Sum(std::int16_t Val1, std::int16_t Val2);
  std::int16_t Ratio(std::int16_t Val1, std::int16_t Val2);
  std::string CreateZoetra2(const platform::Variant& sFile);

  // The animation builder (component/zoetra_builder.cpp).
  platform::Variant CreateZoetra(const platform::Variant& sFile, const platform::Variant& oFile,
                                 std::int16_t lDelay = 350, std::int16_t isGray = 0, std::int16_t doOptimize = 0,
                                 std::int16_t SwapRG = 0, std::int16_t showError = 0);
  std::string CreateZoetra(const std::vector<std::string>& files, std::string_view output, std::int16_t lDelay = 350,
                           std::int16_t isGray = 0, std::int16_t doOptimize = 0, std::int16_t SwapRG = 0,
                           std::int16_t showError = 0);
  // The same conversion into memory (the bytes the file would hold); every
  // failure is raised, the save failure as 0x800403E9 with the save message.
  std::vector<std::uint8_t> CreateZoetraToBuffer(const std::vector<std::string>& files, std::int16_t lDelay = 350,
                                                 std::int16_t isGray = 0, std::int16_t doOptimize = 0,
                                                 std::int16_t SwapRG = 0);

  // Object control as a transaction server calls it: never pooled.
  void Activate() {}
  void Deactivate() {}
  bool CanBePooled() const { return false; }
};

// Converts whatever a member caught into the failure it reports.
Error ToError(std::exception_ptr caught);

template <class F>
auto WithCatchLogRaise(F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    CatchLogRaise(ToError(std::current_exception()));
  }
}

}  // namespace zoetra

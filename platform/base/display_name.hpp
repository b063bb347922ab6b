// Names and texts from outside (file names, list lines) as they may be shown to
// a person: nothing in them can drive a terminal, and a huge name stays short.
#pragma once

#include <string>
#include <string_view>

namespace zoetra::platform {

// `text` with every control character written out: \0, \t, \n, \r, \xHH for
// the other bytes below 0x20 and 0x7F, and the bytes of C1 controls and of
// invalid UTF-8 as \xHH. Valid UTF-8 and backslashes stay as they are.
std::string DisplayText(std::string_view text);

// A name as DisplayText shows it; one of more than kDisplayNameMax bytes keeps
// its start and end, and the middle says how many bytes were left out:
// "photos/...(4210 bytes left out)...frame-0001.png".
std::string DisplayName(std::string_view name);

inline constexpr std::size_t kDisplayNameMax = 200;

}  // namespace zoetra::platform

#include <zoetra/zoetra.hpp>

#include <cstdio>
#include <new>

#include "platform/base/arith.hpp"
#include "platform/base/eventlog.hpp"

namespace zoetra {

std::string_view Version() noexcept {
  return ZOETRA_VERSION_STRING;
}

std::string ErrorReport(const Error& failure) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", static_cast<std::uint32_t>(failure.number()));
  std::string text = "Error Code: 0x";
  text += hex;
  text += "\r\nError Description: ";
  text += failure.description();
  text += "\r\nError Source: ";
  text += failure.source();
  return text;
}

void CatchLogRaise(const Error& failure) {
  const std::string report = ErrorReport(failure);
  platform::LogEvent(platform::EventType::Error, report);
  throw Error(kErrComponent, std::string(kComponentPrefix) + report, std::string(kComponentSource));
}

void RaiseComponentError(std::string_view message) {
  throw Error(kErrComponent, std::string(kComponentPrefix) + std::string(message), std::string(kComponentSource));
}

Error ToError(std::exception_ptr caught) {
  try {
    std::rethrow_exception(caught);
  } catch (const Error& e) {
    return e;
  } catch (const std::bad_alloc&) {
    return Error(kErrOutOfMemory, "Out of memory");
  } catch (const std::exception& e) {
    return Error(kErrInternal, std::string("Internal error: ") + e.what());
  } catch (...) {
    return Error(kErrInternal, "Internal error");
  }
}

std::int16_t Zoetra::Sum(std::int16_t Val1, std::int16_t Val2) {
  return WithCatchLogRaise([&] { return Add16(Val1, Val2); });
}

std::int16_t Zoetra::Ratio(std::int16_t Val1, std::int16_t Val2) {
  return WithCatchLogRaise([&] {
    if (Val2 == 0) {
      // The host's floating division: x / 0 is a division by zero, 0 / 0 an overflow.
      if (Val1 == 0) RaiseOverflow();
      RaiseDivisionByZero();
    }
    return RoundToInt16(static_cast<double>(Val1) / static_cast<double>(Val2));
  });
}

std::string Zoetra::CreateZoetra2(const platform::Variant& sFile) { return sFile.IsArray() ? "OK" : "Error"; }

}  // namespace zoetra

// Checked 16- and 32-bit arithmetic and rounding conversions.
//
// Signed arithmetic never wraps: a result outside the type raises the overflow
// failure (6). Conversions from floating point round to nearest with halves to
// the even neighbour; a value out of range (or NaN) is an overflow failure.
// Integer division truncates toward zero; a zero divisor raises failure 11.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "platform/base/error.hpp"

namespace zoetra {

// Narrows any integer to T, raising the overflow failure when it does not fit.
template <class T, class U>
constexpr T Narrow(U value) {
  static_assert(std::is_integral_v<T> && std::is_integral_v<U>);
  if (!std::in_range<T>(value)) RaiseOverflow();
  return static_cast<T>(value);
}

constexpr std::int16_t Add16(std::int32_t a, std::int32_t b) { return Narrow<std::int16_t>(std::int64_t{a} + b); }
constexpr std::int16_t Sub16(std::int32_t a, std::int32_t b) { return Narrow<std::int16_t>(std::int64_t{a} - b); }
constexpr std::int16_t Mul16(std::int32_t a, std::int32_t b) { return Narrow<std::int16_t>(std::int64_t{a} * b); }
constexpr std::int32_t Add32(std::int64_t a, std::int64_t b) { return Narrow<std::int32_t>(a + b); }
constexpr std::int32_t Sub32(std::int64_t a, std::int64_t b) { return Narrow<std::int32_t>(a - b); }
// 32-bit operands only: the 64-bit product of two 32-bit values cannot overflow.
constexpr std::int32_t Mul32(std::int32_t a, std::int32_t b) { return Narrow<std::int32_t>(std::int64_t{a} * b); }

// a \ b: truncates toward zero; a zero divisor is failure 11, INT_MIN \ -1 overflows.
constexpr std::int32_t IntDiv32(std::int32_t a, std::int32_t b) {
  if (b == 0) RaiseDivisionByZero();
  return Narrow<std::int32_t>(std::int64_t{a} / b);
}

// Round to nearest, halves to even, independent of the floating-point environment.
inline double RoundHalfEven(double v) {
  const double f = std::floor(v);
  const double d = v - f;
  if (d > 0.5) return f + 1.0;
  if (d < 0.5) return f;
  return std::fmod(f, 2.0) == 0.0 ? f : f + 1.0;
}

template <class T>
T RoundTo(double v) {
  if (std::isnan(v)) RaiseOverflow();
  const double r = RoundHalfEven(v);
  if (r < static_cast<double>(std::numeric_limits<T>::min()) ||
      r > static_cast<double>(std::numeric_limits<T>::max())) {
    RaiseOverflow();
  }
  return static_cast<T>(r);
}

inline std::int16_t RoundToInt16(double v) { return RoundTo<std::int16_t>(v); }
inline std::int32_t RoundToInt32(double v) { return RoundTo<std::int32_t>(v); }
inline std::uint8_t RoundToByte(double v) { return RoundTo<std::uint8_t>(v); }

}  // namespace zoetra

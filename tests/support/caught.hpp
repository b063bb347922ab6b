// Test helpers: what zoetra::Error a call raises.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/base/error.hpp"

namespace zoetra::test {

// Runs f and returns the error it raises (a test failure if none).
template <class F>
Error Caught(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no failure raised";
  return Error(0, "");
}

// The number of the error f raises, 0 when it raises none (for calls that may
// succeed).
template <class F>
std::int32_t ErrorNumber(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

}  // namespace zoetra::test

// Test helper: runs f and returns the zoetra::Error it raises (a test failure if none).
#pragma once

#include <gtest/gtest.h>

#include "platform/error.hpp"

namespace zoetra::test {

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

}  // namespace zoetra::test

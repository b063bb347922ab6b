// The libFuzzer entry point of one target: sets the fuzzing limits once, runs
// the shared body and turns a broken promise into an abort, so libFuzzer keeps
// the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_entries.hpp"

#define ZOETRA_FUZZ_TARGET(body)                                                     \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    static const bool limits_set = (::zoetra::platform::SetLimits(::zoetra::fuzz::FuzzLimits()), true); \
    (void)limits_set;                                                                \
    try {                                                                            \
      return ::zoetra::fuzz::body(data, size);                                       \
    } catch (const ::zoetra::fuzz::Mismatch& m) {                                    \
      std::fprintf(stderr, "zoetra fuzz target " #body ": %s\n", m.what());          \
      std::abort();                                                                  \
    }                                                                                \
  }

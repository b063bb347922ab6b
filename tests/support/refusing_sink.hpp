// Test helper: a byte sink that takes a number of writes, then refuses every
// one; it counts the writes it was asked for.
#pragma once

#include <cstdint>
#include <span>

#include "gif/mgiflzwenc.hpp"

namespace zoetra::test {

class RefusingSink final : public mGIFLZWEnc::ByteSink {
 public:
  explicit RefusingSink(int allowed) : allowed_(allowed) {}
  bool Write(std::span<const std::uint8_t>) override {
    ++writes;
    return allowed_-- > 0;
  }
  int writes = 0;

 private:
  int allowed_;
};

}  // namespace zoetra::test

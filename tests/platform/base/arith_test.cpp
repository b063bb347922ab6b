#include "platform/base/arith.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "support/caught.hpp"

namespace zoetra {
namespace {

TEST(ArithTest, CheckedSixteenAndThirtyTwoBit) {
  EXPECT_EQ(Add16(-5, 3), -2);
  EXPECT_EQ(Add16(32766, 1), 32767);
  EXPECT_EQ(test::ErrorNumber([] { Add16(32767, 1); }), kErrOverflow);
  EXPECT_EQ(test::ErrorNumber([] { Add16(-32768, -1); }), kErrOverflow);
  EXPECT_EQ(test::ErrorNumber([] { Mul16(256, 128); }), kErrOverflow);
  EXPECT_EQ(Mul32(46340, 46340), 2147395600);
  EXPECT_EQ(test::ErrorNumber([] { Mul32(46341, 46341); }), kErrOverflow);
  EXPECT_EQ(test::ErrorNumber([] { Add32(0x7FFFFFFF, 1); }), kErrOverflow);
  EXPECT_EQ(test::ErrorNumber([] { Sub32(-0x7FFFFFFF - 1, 1); }), kErrOverflow);
  EXPECT_EQ(IntDiv32(-7, 2), -3);  // truncates toward zero
  EXPECT_EQ(test::ErrorNumber([] { IntDiv32(1, 0); }), kErrDivisionByZero);
  EXPECT_EQ(test::ErrorNumber([] { IntDiv32(-0x7FFFFFFF - 1, -1); }), kErrOverflow);
  EXPECT_EQ(test::ErrorNumber([] { Narrow<std::int16_t>(40000); }), kErrOverflow);
  EXPECT_EQ(test::ErrorNumber([] { Narrow<std::uint8_t>(-1); }), kErrOverflow);
}

TEST(ArithTest, RoundingHalvesToEven) {
  const struct {
    double in;
    int out;
  } cases[] = {{0.5, 0}, {1.5, 2}, {2.5, 2}, {-0.5, 0}, {-1.5, -2}, {-2.5, -2}, {3.5, 4}, {2.4999, 2},
               {2.5001, 3}, {35.0, 35}, {-7.0 / 2, -4}, {7.0 / 2, 4}, {5.0 / 2, 2}, {32767.4, 32767}};
  for (const auto& c : cases) EXPECT_EQ(RoundToInt16(c.in), c.out) << c.in;
  EXPECT_EQ(RoundToByte(254.5), 254);
  EXPECT_EQ(RoundToByte(255.49), 255);
  EXPECT_EQ(test::ErrorNumber([] { RoundToByte(255.5); }), kErrOverflow);  // rounds to 256
  EXPECT_EQ(test::ErrorNumber([] { RoundToByte(-0.6); }), kErrOverflow);
  EXPECT_EQ(RoundToByte(-0.5), 0);
  EXPECT_EQ(test::ErrorNumber([] { RoundToInt16(32767.5); }), kErrOverflow);
  EXPECT_EQ(test::ErrorNumber([] { RoundToInt32(std::nan("")); }), kErrOverflow);
  EXPECT_EQ(RoundToInt32(-2147483648.4), -2147483647 - 1);
  EXPECT_EQ(test::ErrorNumber([] { RoundToInt32(2147483647.5); }), kErrOverflow);
}

TEST(ArithTest, PlatformFailureTexts) {
  const struct {
    void (*raise)();
    int number;
    const char* text;
  } cases[] = {{RaiseOverflow, 6, "Overflow"},
               {RaiseSubscript, 9, "Subscript out of range"},
               {RaiseDivisionByZero, 11, "Division by zero"},
               {RaiseFileNotFound, 53, "File not found"}};
  for (const auto& c : cases) {
    const Error e = test::Caught([&] { c.raise(); });
    EXPECT_EQ(e.number(), c.number);
    EXPECT_EQ(e.description(), c.text);
    EXPECT_EQ(e.source(), "ZoetraCom");
  }
}

}  // namespace
}  // namespace zoetra

#include "base/text.h"

#include <gtest/gtest.h>

namespace kalvenor {
namespace {

// Zeros only in front, never a digit cut off past the width; zero itself is a digit.
TEST(TextTest, DigitsArePaddedNeverCut) {
  EXPECT_EQ(Padded(0, 2), "00");
  EXPECT_EQ(Padded(1234567, 6), "1234567");
  EXPECT_EQ(HexDigits(0xC0000005, 8), "C0000005");
  EXPECT_EQ(HexDigits(0x1f, 4, false), "001f");
}

}  // namespace
}  // namespace kalvenor
